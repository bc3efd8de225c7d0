#include "picture/pcx_decoder.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

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

namespace {

// Where decoding stands: the next input byte, the position in the scanline, the row.
struct DecodeState {
    const uint8_t* p;
    int32_t i = 0;
    int32_t row = 0;
};

// Where the scanlines are decoded: straight into their rows while a scanline and what the
// stores of 16 bytes may write beyond it (128 bytes) stay inside the picture, the later rows
// overwriting it; otherwise through line (lineBytes + 128 bytes), copied into the row.
struct LineSink {
    uint8_t* pixels;
    size_t width;
    size_t keep;  // the bytes of a scanline that belong to the picture
    int32_t lineBytes;
    int32_t height;
    uint8_t* line;

    bool direct(int32_t row) const {
        return static_cast<size_t>(row) * width + static_cast<size_t>(lineBytes) + 128 <=
               width * static_cast<size_t>(height);
    }
    uint8_t* target(int32_t row) const {
        return direct(row) ? pixels + static_cast<size_t>(row) * width : line;
    }

    // Stores count bytes of value at position i of the line.
    static inline void put(uint8_t* at, uint8_t value, int32_t count) {
        const uint64_t eight = value * 0x0101010101010101ull;
        std::memcpy(at, &eight, 8);
        if (count <= 8) return;
        if (count <= 16) {
            std::memcpy(at + 8, &eight, 8);
        } else {
            std::memset(at, value, static_cast<size_t>(count));
        }
    }
    // After a token: when the scanline is complete, its picture part goes to its row.
    inline bool lineDone(DecodeState& s) const {
        if (s.i < lineBytes) return false;
        uint8_t* row = pixels + static_cast<size_t>(s.row) * width;
        if (!direct(s.row)) std::memcpy(row, line, keep);
        if (keep < width) std::memset(row + keep, 0, width - keep);
        ++s.row;
        s.i = 0;
        return true;
    }
};

// The bytes of a 64-byte block that are run markers (top two bits set).
inline uint64_t markerBits(const uint8_t* block) {
#if defined(__SSE2__)
    const __m128i top = _mm_set1_epi8(static_cast<char>(0xC0));
    uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
        const __m128i marker = _mm_cmpeq_epi8(_mm_and_si128(v, top), top);
        bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(marker))) << (16 * k);
    }
    return bits;
#else
    uint64_t bits = 0;
    for (int k = 0; k < 64; ++k) bits |= static_cast<uint64_t>(block[k] >= 0xC0) << k;
    return bits;
#endif
}

// The bytes that are a run's value: those that follow a marker which itself begins a token. In a
// row of markers the first begins a token and takes the second as its value, the third begins
// the next token, and so on; carry says whether the block's first byte is a value.
inline uint64_t valueBits(uint64_t markers, uint64_t& carry) {
    constexpr uint64_t kEven = 0x5555555555555555ull;
    markers &= ~carry;  // a marker that is a value begins nothing
    const uint64_t follows = markers << 1 | carry;
    const uint64_t oddStarts = markers & ~kEven & ~follows;
    uint64_t evenStarts = 0;
    carry = __builtin_add_overflow(oddStarts, markers, &evenStarts) ? 1 : 0;
    const uint64_t invert = evenStarts << 1;
    return (kEven ^ invert) & follows;
}

// Whole 64-byte blocks with at least one byte after them: each token's place is known from the
// bit masks, so no token waits for the byte before it to be read. The state lives in locals:
// stores of bytes could alias anything the compiler would otherwise have to reload.
void decodeBlocks(DecodeState& s, const uint8_t* end, const LineSink& sink) {
    uint64_t carry = 0;
    const uint8_t* p = s.p;
    int32_t i = s.i;
    int32_t row = s.row;
    uint8_t* line = row < sink.height ? sink.target(row) : sink.line;
    const int32_t lineBytes = sink.lineBytes;
    while (row < sink.height && end - p > 64) {
        const uint8_t* const block = p;
        uint64_t starts = ~valueBits(markerBits(block), carry);
        while (starts != 0) {
            const int k = __builtin_ctzll(starts);
            starts &= starts - 1;
            // Without a branch on the kind of token, which noisy pictures make unpredictable.
            const int32_t c = block[k];
            const int32_t run = static_cast<int32_t>(c >= 0xC0);
            const int32_t count = 1 + (((c & 0x3F) - 1) & -run);
            LineSink::put(line + i, block[k + run], count);
            i += count;
            if (i >= lineBytes) {
                DecodeState done{block, i, row};
                sink.lineDone(done);
                i = 0;
                ++row;
                line = sink.target(row);
                if (row == sink.height) {
                    p = block + k + 1 + run;
                    carry = 0;
                    break;
                }
            }
        }
        if (row == sink.height) break;
        p = block + 64 + static_cast<int>(carry);  // a run's value may open the next block
        carry = 0;
    }
    s = DecodeState{p, i, row};
}

}  // namespace

void decodePcxPixels(const PcxFile& file, const PcxInfo& info, uint8_t* pixels) {
    if (info.width <= 0 || info.height <= 0) return;
    const int32_t lineBytes = std::max(info.bytesPerLine, 0);
    std::vector<uint8_t> line(static_cast<size_t>(lineBytes) + 128);
    const LineSink sink{pixels,
                        static_cast<size_t>(info.width),
                        static_cast<size_t>(std::min(info.width, lineBytes)),
                        lineBytes,
                        info.height,
                        line.data()};
    const uint8_t* const end = file.bytes.data() + file.bytes.size();
    DecodeState s{file.bytes.data() + std::min(file.bytes.size(), kPcxHeaderBytes)};
    if (lineBytes == 0) {
        // Scanlines of no bytes: every row is 0.
        std::memset(pixels, 0, static_cast<size_t>(info.width) * static_cast<size_t>(info.height));
        return;
    }
    decodeBlocks(s, end, sink);
    // The last bytes, one token at a time, and past the end of the data, where every byte
    // reads 255: runs of 255 to the end of each scanline.
    while (s.row < info.height) {
        uint8_t* out = sink.target(s.row);
        if (s.p == end) {
            std::memset(out + s.i, 255, static_cast<size_t>(lineBytes - s.i));
            s.i = lineBytes;
        } else {
            const uint8_t c = *s.p++;
            if (c >= 0xC0) {
                const int32_t count = c & 0x3F;
                const uint8_t value = s.p < end ? *s.p++ : 255;
                LineSink::put(out + s.i, value, count);
                s.i += count;
            } else {
                out[s.i++] = c;
            }
        }
        sink.lineDone(s);
    }
}

std::vector<uint8_t> encodePcx(int32_t width, int32_t height, const uint8_t* pixels,
                               const std::array<uint8_t, 768>& colours) {
    std::vector<uint8_t> out(kPcxHeaderBytes, 0);
    const int32_t lineBytes = width + (width & 1);
    auto put16 = [&](size_t at, int32_t v) {
        out[at] = static_cast<uint8_t>(v & 0xFF);
        out[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    };
    out[0] = 10;  // manufacturer
    out[1] = 5;   // version
    out[2] = 1;   // run-length encoded
    out[3] = 8;   // bits per pixel
    put16(8, width - 1);
    put16(10, height - 1);
    put16(12, 72);
    put16(14, 72);
    out[65] = 1;  // planes
    put16(66, lineBytes);
    put16(68, 1);  // colour palette
    std::vector<uint8_t> line(static_cast<size_t>(lineBytes), 0);
    for (int32_t y = 0; y < height; ++y) {
        std::copy(pixels + static_cast<size_t>(y) * width, pixels + static_cast<size_t>(y + 1) * width,
                  line.begin());
        for (size_t x = 0; x < line.size();) {
            size_t run = 1;
            while (x + run < line.size() && run < 63 && line[x + run] == line[x]) ++run;
            if (run > 1 || line[x] >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | run));
            out.push_back(line[x]);
            x += run;
        }
    }
    out.push_back(12);
    out.insert(out.end(), colours.begin(), colours.end());
    return out;
}

}  // namespace kiv
