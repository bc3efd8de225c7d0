// A picture file as LOADPCX reads it, whatever its format: its first bytes (up to a limit) and,
// from the file's real end, the bytes where a PCX keeps its palette; then what it holds, decoded
// as far as its format allows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "picture/pcx_decoder.h"
#include "picture/png_picture.h"

namespace kiv {

// Picture files are read up to this size; the palette always comes from the file's real end.
inline constexpr int64_t kPictureFileReadLimit = 64 * 1024 * 1024;

struct PictureFile {
    std::vector<uint8_t> bytes;    // the first kPictureFileReadLimit bytes at most
    int64_t size = 0;              // the whole file's size
    std::vector<uint8_t> trailer;  // its last kPcxTrailerBytes, when it has that many
    // The file as the PCX reader takes it (valid while this lives).
    PcxFile pcx() const { return {bytes, size, trailer}; }
};

// What a picture file holds.
enum class PictureHolds {
    Indexed,        // a PCX or a PNG with a palette: size, colours, alphas, pixels()
    TrueColour,     // a PNG without a palette, decoded into rgba (only when asked for)
    BadTrueColour,  // such a PNG that cannot be decoded (why says so)
    NotAPicture,    // a PNG refused (why, pngColourType) or a PCX with pcxProblem
};

// A picture file and what it holds. Its buffers are reused from one load to the next.
struct Picture {
    PictureFile file;
    bool png = false;  // the file has a PNG's signature
    PictureHolds holds = PictureHolds::NotAPicture;
    int32_t width = 0, height = 0;
    int32_t lineBytes = 0;               // of a decoded line (a PCX's may pass its width)
    std::array<uint8_t, 768> colours{};  // 8-bit components, red first
    std::array<uint8_t, 256> alphas{};   // 255 throughout for a PCX
    TrueColourPicture rgba;
    // Why it is not (or partly not) a picture: the PCX check that failed (every file is checked
    // as a PCX too), a PNG's reason and its colour type (-1 when unknown).
    PcxProblem pcxProblem = PcxProblem::None;
    std::string why;
    int pngColourType = -1;
    PngPicture indexedPng;  // an indexed PNG's pixels
    PcxInfo pcxInfo;

    // An indexed picture's width x height pixels into out (a PCX is decoded here).
    void pixels(uint8_t* out) const;
};

// Reads path (a regular file; a folder, a FIFO or a device is refused) into picture.file, reusing
// its buffers, and says what it holds: a PNG is decoded when it has at most pixelLimit pixels (a
// true-colour one only when trueColour is asked for); a PCX's pixels wait for pixels(), so its
// size can be checked first. False with the reason when the file cannot be read.
bool loadPicture(const std::string& path, bool trueColour, int64_t pixelLimit, Picture& picture,
                 std::string& reason);

}  // namespace kiv
