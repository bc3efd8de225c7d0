// A small PNG writer for test pictures, through libpng, with control over the colour type, the
// bit depth, interlacing and the number of palette entries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kivtest {

struct TestPng {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;         // width × height values (indices, or grey levels)
    std::array<uint8_t, 768> palette{};  // 8-bit components, red first
    int paletteEntries = 256;
    int bitDepth = 8;  // 1, 2, 4 or 8; 16 for Grey, GreyAlpha, Rgb and Rgba
    enum Kind { Indexed, Grey, Rgb, GreyAlpha, Rgba } kind = Indexed;
    bool interlaced = false;
    // When given: the colour of each pixel (red, green, blue, alpha) for the other kinds than
    // Indexed (grey takes red); 16-bit samples are v × 257 plus wide16.
    std::vector<uint8_t> rgba;
    uint8_t wide16 = 0;
    std::vector<uint8_t> alphas;  // Indexed: the tRNS chunk's alpha of each entry, when given
    std::vector<uint16_t> transparentColour;  // Grey (one value) or Rgb (three): a tRNS colour
};

// The whole file; cut it short to damage it.
std::vector<uint8_t> encodePng(const TestPng& picture);

// What libpng would not write: an 8-bit indexed PNG of any declared size, with a palette of
// `entries` greys and one IDAT chunk holding `inflated` (the filtered rows, and whatever tail
// a test wants) compressed by zlib.
std::vector<uint8_t> declaredPng(uint32_t width, uint32_t height, int entries,
                                 const std::vector<uint8_t>& inflated);

}  // namespace kivtest
