// A small PCX writer for test pictures: 8-bit, one plane, run-length encoded, with control over
// runs, scanline length, padding, the palette trailer and truncation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kivtest {

struct PcxPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;         // width × height, top row first
    std::array<uint8_t, 768> palette{};  // 8-bit components, red first

    int xMin = 0;
    int yMin = 0;
    int bytesPerLine = -1;  // -1: the width rounded up to an even number
    uint8_t padValue = 0;   // the bytes of a scanline beyond the width
    bool useRuns = true;    // false: every byte below 192 stored alone
    bool trailer = true;    // the 769-byte palette trailer
    uint8_t marker = 12;
    uint8_t manufacturer = 10;
    uint8_t version = 5;
    size_t truncateAt = std::numeric_limits<size_t>::max();  // cut the file after this many bytes

    uint8_t& at(int x, int y) { return pixels.at(static_cast<size_t>(y) * width + x); }
};

PcxPicture blankPicture(int width, int height, uint8_t fill = 0);
// A palette whose colour i is (i, 255 - i, i / 2), distinct in every index.
std::array<uint8_t, 768> rampPalette();

// The 128-byte header of a picture.
std::vector<uint8_t> pcxHeader(const PcxPicture& picture);
// The whole file.
std::vector<uint8_t> encodePcx(const PcxPicture& picture);
// A header, then the given data bytes as they stand, then the trailer of the picture.
std::vector<uint8_t> pcxWithData(const PcxPicture& picture, const std::vector<uint8_t>& data);

void writePcx(const std::string& path, const PcxPicture& picture);

}  // namespace kivtest
