#include "grab/pcx_decoder.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"

namespace kiv {

PcxFile pcxFileFromBytes(std::span<const uint8_t> bytes) {
    PcxFile file;
    file.bytes = bytes;
    file.size = static_cast<int64_t>(bytes.size());
    if (bytes.size() >= kPcxTrailerBytes) file.trailer = bytes.last(kPcxTrailerBytes);
    return file;
}

PcxProblem readPcxInfo(const PcxFile& file, PcxInfo& info) {
    if (file.bytes.size() < kPcxHeaderBytes) return PcxProblem::ShortHeader;
    const uint8_t* header = file.bytes.data();
    if (header[0] != 10 || header[1] != 5) return PcxProblem::NotPcx256;
    if (file.size < static_cast<int64_t>(kPcxTrailerBytes) ||
        file.trailer.size() != kPcxTrailerBytes) {
        return PcxProblem::NoTrailer;
    }
    if (file.trailer[0] != kPcxPaletteMarker) return PcxProblem::BadPalette;
    std::memcpy(info.fileColours.data(), file.trailer.data() + 1, info.fileColours.size());
    info.width = loadLE16Signed(header + 8) - loadLE16Signed(header + 4) + 1;
    info.height = loadLE16Signed(header + 10) - loadLE16Signed(header + 6) + 1;
    info.bytesPerLine = loadLE16Signed(header + 66);
    return PcxProblem::None;
}

void decodePcxPixels(const PcxFile& file, const PcxInfo& info, uint8_t* pixels) {
    if (info.width <= 0 || info.height <= 0) return;
    const size_t width = static_cast<size_t>(info.width);
    const int32_t lineBytes = info.bytesPerLine;
    const int32_t keep = std::min(info.width, lineBytes);
    const uint8_t* p = file.bytes.data() + std::min(file.bytes.size(), kPcxHeaderBytes);
    const uint8_t* const end = file.bytes.data() + file.bytes.size();
    for (int32_t r = 0; r < info.height; ++r) {
        uint8_t* row = pixels + static_cast<size_t>(r) * width;
        if (keep < info.width) std::memset(row + std::max(keep, 0), 0, width - std::max(keep, 0));
        int32_t i = 0;
        // Inside the picture's part of the scanline.
        while (i < keep) {
            if (p == end) {
                // Past the end every byte is 255: runs of 255 to the scanline's end.
                std::memset(row + i, 255, static_cast<size_t>(keep - i));
                i = keep;
                break;
            }
            const uint8_t c = *p++;
            if (c >= 0xC0) {
                const int32_t count = c & 0x3F;
                const uint8_t value = p < end ? *p++ : 255;
                std::memset(row + i, value, static_cast<size_t>(std::min(count, keep - i)));
                i += count;
            } else {
                row[i++] = c;
            }
        }
        // The padding beyond the picture's width: consumed, not kept.
        while (i < lineBytes) {
            if (p == end) break;  // what is left of this line and every later one reads 255
            const uint8_t c = *p++;
            if (c >= 0xC0) {
                if (p < end) ++p;
                i += c & 0x3F;
            } else {
                ++i;
            }
        }
    }
}

}  // namespace kiv
