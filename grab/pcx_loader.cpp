#include "grab/pcx_loader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/console.h"
#include "archive/script_text.h"
#include "grab/commands.h"

namespace kiv {

bool PcxReader::fill() {
    if (ended_) return false;
    len_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    pos_ = 0;
    if (len_ == 0) ended_ = true;
    return len_ > 0;
}

size_t PcxReader::read(uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (pos_ == len_ && !fill()) break;
        size_t take = std::min(n - done, len_ - pos_);
        std::memcpy(out + done, buffer_ + pos_, take);
        pos_ += take;
        done += take;
    }
    return done;
}

bool PcxReader::seekFromEnd(long offset) {
    pos_ = len_ = 0;
    ended_ = false;
    return std::fseek(file_, offset, SEEK_END) == 0;
}

bool PcxReader::seekTo(long offset) {
    pos_ = len_ = 0;
    ended_ = false;
    return std::fseek(file_, offset, SEEK_SET) == 0;
}

namespace {

int32_t field16(const uint8_t* header, size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>(header[at] | header[at + 1] << 8));
}

struct OpenFile {
    std::FILE* f;
    ~OpenFile() {
        if (f != nullptr) std::fclose(f);
    }
};

}  // namespace

int32_t decodePcxLine(uint8_t* row, PcxReader& file, const PcxLoaderState& state) {
    const int32_t lineBytes = state.bytesPerLine;
    // Only the first pictureWidth bytes of a scanline belong to the picture; a shorter
    // scanline leaves the rest of the row 0.
    const int32_t keep = std::min(state.pictureWidth, lineBytes);
    std::memset(row, 0, static_cast<size_t>(state.pictureWidth));
    int32_t i = 0;
    while (i < lineBytes) {
        if (file.atEnd()) {
            // Past the end every byte is 255: runs of 63 bytes of 255 to the scanline's end.
            if (i < keep) std::memset(row + i, 255, static_cast<size_t>(keep - i));
            i += (lineBytes - i + 62) / 63 * 63;
            break;
        }
        int c = file.next();
        if ((c & 0xC0) == 0xC0) {
            int32_t count = c & 0x3F;
            int value = file.next();
            if (i < keep) {
                std::memset(row + i, value, static_cast<size_t>(std::min(i + count, keep) - i));
            }
            i += count;
        } else {
            if (i < keep) row[i] = static_cast<uint8_t>(c);
            ++i;
        }
    }
    return i;
}

void decodePcxRows(uint8_t* destination, PcxReader& file, const PcxLoaderState& state,
                   uint8_t* palette) {
    for (size_t i = 0; i < kPaletteBytes; ++i) palette[i] = static_cast<uint8_t>(palette[i] >> 2);
    for (int32_t r = 0; r < state.pictureHeight; ++r) {
        decodePcxLine(
            destination + static_cast<size_t>(r) * static_cast<size_t>(state.pictureWidth), file,
            state);
    }
}

uint8_t* loadPcx(GrabContext& ctx, const char* path, int32_t& width, int32_t& height) {
    PcxLoaderState& state = ctx.loader;
    uint8_t* result = nullptr;
    // The old bitmap goes first, so even a failed load leaves none behind.
    if (state.hasDisplayBitmap) {
        releaseDisplayBitmap(ctx.display);
        state.hasDisplayBitmap = false;
    }
    OpenFile file{path != nullptr ? std::fopen(resolveScriptPath(path).c_str(), "rb") : nullptr};
    if (file.f == nullptr) {
        outputError("Error Opening %s\n", path != nullptr ? path : "(no file name)");
    } else {
        PcxReader reader(file.f);
        uint8_t header[kPcxHeaderBytes];
        std::array<uint8_t, kPaletteBytes> palette{};
        uint8_t marker = 0;
        if (reader.read(header, sizeof header) < sizeof header) {
            outputError("Error Reading\n");
        } else if (header[0] != 10 || header[1] != 5) {
            outputError("Not a 256 Color PCX File\n");
        } else if (!reader.seekFromEnd(-kPcxTrailerBytes)) {
            outputErrorLine("Error Seeking to Palette");
        } else if (reader.read(&marker, 1) != 1 || marker != 12 ||
                   reader.read(palette.data(), palette.size()) != palette.size()) {
            outputErrorLine("Error Reading Palette");
        } else {
            PcxLoaderState next = state;
            next.pictureWidth = field16(header, 8) - field16(header, 4) + 1;
            next.pictureHeight = field16(header, 10) - field16(header, 6) + 1;
            next.bytesPerLine = field16(header, 66);
            const int64_t pixels = static_cast<int64_t>(next.pictureWidth) * next.pictureHeight;
            if (next.pictureWidth <= 0 || next.pictureHeight <= 0 || next.bytesPerLine <= 0 ||
                pixels > static_cast<int64_t>(kPictureBytes)) {
                outputError(
                    "LOADPCX %s: a picture of %d x %d pixels with %d bytes per line is not "
                    "loaded: each must be at least 1 and the picture at most %zu pixels\n",
                    path, next.pictureWidth, next.pictureHeight, next.bytesPerLine, kPictureBytes);
            } else {
                reader.seekTo(static_cast<long>(kPcxHeaderBytes));
                fitWindowToPicture(ctx.output, next.pictureWidth, next.pictureHeight);
                uint8_t* store = createDisplayBitmap(ctx.display, ctx.output, palette.data(),
                                                     next.pictureWidth, next.pictureHeight);
                if (store == nullptr) {
                    outputError("LOADPCX %s: the %d x %d display bitmap cannot be created\n", path,
                                next.pictureWidth, next.pictureHeight);
                } else {
                    next.hasDisplayBitmap = true;
                    state = next;
                    decodePcxRows(store, reader, state, palette.data());
                    ctx.palette = palette;
                    result = store;
                }
            }
        }
    }
    width = state.pictureWidth;
    height = state.pictureHeight;
    return result;
}

// LOADPCX: makes the file the picture of the following commands.
void grabLoadPcx(GrabContext& ctx) {
    int32_t width = 0, height = 0;
    const uint8_t* pixels = loadPcx(ctx, ctx.textArgs[0], width, height);
    ctx.width = width;
    ctx.height = height;
    if (pixels != nullptr && !ctx.picture.empty()) {
        const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::memcpy(ctx.picture.data(), pixels, n);
        std::memcpy(ctx.preview.data(), pixels, n);
        ctx.pictureLoaded = true;
    }
    refreshPreview(ctx);
}

}  // namespace kiv
