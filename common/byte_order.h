// Little-endian integers in byte buffers: every file format of kiv stores 32-bit signed
// little-endian words, unaligned.
#pragma once

#include <cstdint>

namespace kiv {

inline void storeLE32(uint8_t* at, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

inline int32_t loadLE32(const uint8_t* at) {
    uint32_t v = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                 static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
    return static_cast<int32_t>(v);
}

inline int32_t loadLE16Signed(const uint8_t* at) {
    return static_cast<int16_t>(static_cast<uint16_t>(at[0] | at[1] << 8));
}

}  // namespace kiv
