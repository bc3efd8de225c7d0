// A picture of palette indices, as the codecs read and write it and items are drawn.
#pragma once

#include <cstdint>
#include <vector>

namespace kiv {

// A picture of palette indices.
struct IndexedImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;   // width × height, top row first
    bool transparentZero = false;  // index 0 is see-through (sprites and fonts)
};

}  // namespace kiv
