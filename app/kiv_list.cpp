// kiv-list <archive.kiv>: prints an archive's header and directory.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_format.h"

int main(int argc, char** argv) {
    using namespace kiv;
    if (argc != 2) {
        std::printf("usage: kiv-list <archive.kiv>\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::printf("cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    if (bytes.size() < kHeaderBytes) {
        std::printf("%s: too short for an archive header\n", argv[1]);
        return 1;
    }
    ArchiveHeader header = ArchiveHeader::fromBytes(bytes.data());
    std::printf("%s: magic \"%.8s\", %d entries, %zu bytes\n", argv[1], header.magic.data(),
                header.count, bytes.size());
    std::printf("  #  flags     offset     length  name\n");
    for (int32_t i = 0; i < header.count; ++i) {
        size_t at = kHeaderBytes + static_cast<size_t>(i) * kEntryBytes;
        if (at + kEntryBytes > bytes.size()) {
            std::printf("directory ends early\n");
            return 1;
        }
        ArchiveEntry e = ArchiveEntry::fromBytes(bytes.data() + at);
        std::printf("%3d %6d %10d %10d  %.16s\n", i + 1, e.flags, e.offset, e.length,
                    e.name.data());
    }
    return 0;
}
