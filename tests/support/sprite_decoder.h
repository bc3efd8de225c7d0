// Reads a packed sprite back into pixels, checking its structure on the way.
#pragma once

#include <string>

#include "support/test_support.h"

namespace kivtest {

struct DecodedSprite {
    int32_t width = 0;
    int32_t height = 0;  // as stored: 0 for a sprite without runs
    Bytes pixels;        // width × height, 0 where nothing is stored
    size_t size = 0;     // bytes the sprite takes, terminator included
    std::string error;   // empty when the structure is sound
};

// The sprite at start of bytes; cropped tells the terminator of PACKEDC from that of PACKED.
DecodedSprite decodeSprite(const Bytes& bytes, size_t start, bool cropped);

}  // namespace kivtest
