// The archive file: a 12-byte header, a directory of 28-byte entries, then the items' bytes.
// All integers are 32-bit signed little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/byte_order.h"

namespace kiv {

inline constexpr char kArchiveMagic[] = "KIV2.0";
inline constexpr size_t kHeaderBytes = 12;
inline constexpr size_t kEntryBytes = 28;
inline constexpr size_t kNameBytes = 16;
// A stored name holds at most 15 characters and its terminating zero.
inline constexpr size_t kStoredNameChars = kNameBytes - 1;

struct ArchiveHeader {
    std::array<char, 8> magic{};
    int32_t count = 0;

    std::array<uint8_t, kHeaderBytes> bytes() const {
        std::array<uint8_t, kHeaderBytes> out{};
        std::memcpy(out.data(), magic.data(), magic.size());
        storeLE32(out.data() + 8, count);
        return out;
    }
    static ArchiveHeader fromBytes(const uint8_t* in) {
        ArchiveHeader h;
        std::memcpy(h.magic.data(), in, h.magic.size());
        h.count = loadLE32(in + 8);
        return h;
    }
};

struct ArchiveEntry {
    int32_t flags = 0;
    int32_t offset = 0;
    int32_t length = 0;
    std::array<char, kNameBytes> name{};

    std::array<uint8_t, kEntryBytes> bytes() const {
        std::array<uint8_t, kEntryBytes> out{};
        storeLE32(out.data(), flags);
        storeLE32(out.data() + 4, offset);
        storeLE32(out.data() + 8, length);
        std::memcpy(out.data() + 12, name.data(), name.size());
        return out;
    }
    static ArchiveEntry fromBytes(const uint8_t* in) {
        ArchiveEntry e;
        e.flags = loadLE32(in);
        e.offset = loadLE32(in + 4);
        e.length = loadLE32(in + 8);
        std::memcpy(e.name.data(), in + 12, e.name.size());
        return e;
    }
};

}  // namespace kiv
