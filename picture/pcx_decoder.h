// The PCX picture format, decoded in memory: 8-bit, one plane, run-length encoded pixels from
// offset 128, and a 769-byte palette trailer (marker 12, then 256 colours) at the file's end.
// Bytes in, a picture or the reason out; no file, display or message inside.
#pragma once

#include <array>
#include <vector>
#include <cstdint>
#include <span>

namespace kiv {

inline constexpr size_t kPcxHeaderBytes = 128;
inline constexpr size_t kPcxTrailerBytes = 769;
inline constexpr uint8_t kPcxPaletteMarker = 12;

// A picture file: its bytes from the start (all of them, or only as many as were read) and its
// last 769 bytes, which hold the palette.
struct PcxFile {
    std::span<const uint8_t> bytes;
    int64_t size = 0;  // the whole file's size
    std::span<const uint8_t> trailer;
};
// A file held whole in memory.
PcxFile pcxFileFromBytes(std::span<const uint8_t> bytes);

// Why a file is not loaded, in the order the checks are made.
enum class PcxProblem {
    None,
    ShortHeader,  // fewer than 128 bytes
    NotPcx256,    // byte 0 is not 10 or byte 1 not 5
    NoTrailer,    // shorter than the 769-byte trailer
    BadPalette,   // the trailer's marker is not 12
};

struct PcxInfo {
    int32_t width = 0;                       // xMax - xMin + 1
    int32_t height = 0;                      // yMax - yMin + 1
    int32_t bytesPerLine = 0;                // length of one decoded scanline
    std::array<uint8_t, 768> fileColours{};  // the trailer's 8-bit components, red first
};

// Checks the header and reads the palette trailer.
PcxProblem readPcxInfo(const PcxFile& file, PcxInfo& info);

// Decodes info.height scanlines of info.bytesPerLine bytes from offset 128 on into pixels
// (info.width × info.height bytes, row stride info.width). Only the first width bytes of a
// scanline belong to the picture; a shorter scanline leaves the rest of its row 0. Past the end
// of the bytes every byte reads 255.
void decodePcxPixels(const PcxFile& file, const PcxInfo& info, uint8_t* pixels);

// A 256-colour PCX of width × height palette indices (at most 65,535 a side): header, the
// run-length encoded scanlines (padded to an even length) and the palette trailer.
std::vector<uint8_t> encodePcx(int32_t width, int32_t height, const uint8_t* pixels,
                               const std::array<uint8_t, 768>& colours);

}  // namespace kiv
