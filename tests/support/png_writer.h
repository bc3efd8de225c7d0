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
    int bitDepth = 8;  // 1, 2, 4 or 8
    enum Kind { Indexed, Grey, Rgb } kind = Indexed;
    bool interlaced = false;
};

// The whole file; cut it short to damage it.
std::vector<uint8_t> encodePng(const TestPng& picture);

}  // namespace kivtest
