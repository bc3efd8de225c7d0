#include "archive/archive_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kiv {

std::string ArchiveProblem::describe() const {
    if (entry < 0) return text;
    return "entry " + std::to_string(entry + 1) + " (" + printableName(name) + "): " + text;
}

std::string printableName(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\\') {
            out += "\\\\";
        } else if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string entryName(const ArchiveEntry& entry) {
    const char* begin = entry.name.data();
    const char* end = std::find(begin, begin + entry.name.size(), '\0');
    return std::string(begin, end);
}

namespace {

// Checks the header at the start of bytes; the end of the directory it announces, or -1 with
// the problem said.
int64_t checkHeader(ArchiveDirectory& dir, std::span<const uint8_t> bytes,
                    const ArchiveRules& rules) {
    const int64_t fileSize = dir.fileSize;
    auto fileProblem = [&](std::string text) { dir.problems.push_back({-1, {}, std::move(text)}); };
    if (fileSize < static_cast<int64_t>(kHeaderBytes) || bytes.size() < kHeaderBytes) {
        fileProblem("shorter than an archive header (" + std::to_string(fileSize) + " bytes)");
        return -1;
    }
    dir.header = ArchiveHeader::fromBytes(bytes.data());
    if (rules.requireMagic && (std::memcmp(dir.header.magic.data(), kArchiveMagic, 6) != 0 ||
                               dir.header.magic[6] != 0 || dir.header.magic[7] != 0)) {
        fileProblem("not a KIV2.0 archive (wrong magic)");
        return -1;
    }
    if (dir.header.count < 0) {
        fileProblem("negative entry count " + std::to_string(dir.header.count));
        return -1;
    }
    const int64_t directoryEnd =
        static_cast<int64_t>(kHeaderBytes) + static_cast<int64_t>(dir.header.count) * kEntryBytes;
    if (directoryEnd > fileSize) {
        fileProblem("a directory of " + std::to_string(dir.header.count) +
                    " entries reaches past the end of the " + std::to_string(fileSize) +
                    "-byte file");
        return -1;
    }
    // Offsets are 32-bit: a directory past 2 GiB leaves no room for data, and is not read
    // (a sparse file can claim one of 60 GB in 4 KB on disk).
    if (directoryEnd > INT32_MAX) {
        fileProblem("a directory of " + std::to_string(dir.header.count) +
                    " entries reaches past the 2 GiB that an archive's offsets address");
        return -1;
    }
    return directoryEnd;
}

// Adds the entries whose bytes follow one another in bytes, checking each.
void addEntries(ArchiveDirectory& dir, std::span<const uint8_t> bytes, int64_t directoryEnd,
                const ArchiveRules& rules) {
    const int64_t fileSize = dir.fileSize;
    for (size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
        const auto i = static_cast<int32_t>(dir.entries.size());
        const ArchiveEntry entry = ArchiveEntry::fromBytes(bytes.data() + at);
        dir.entries.push_back(entry);
        auto problem = [&](std::string text) {
            dir.problems.push_back({i, entryName(entry), std::move(text)});
        };
        if (entry.length < 0) {
            problem("negative length " + std::to_string(entry.length));
        } else if (entry.length > 0 && entry.offset < 0) {
            problem("negative offset " + std::to_string(entry.offset));
        } else if (entry.length > 0 &&
                   static_cast<int64_t>(entry.offset) + entry.length > fileSize) {
            problem("data at " + std::to_string(entry.offset) + " + " +
                    std::to_string(entry.length) + " lies past the end of the " +
                    std::to_string(fileSize) + "-byte file");
        } else if (entry.length > 0 && rules.requireDataBehindDirectory &&
                   entry.offset < directoryEnd) {
            problem("its data starts at " + std::to_string(entry.offset) +
                    ", inside the header and directory, which end at " +
                    std::to_string(directoryEnd));
        } else if (entry.length == 0 && rules.requirePlausibleOffsets &&
                   (entry.offset < 0 || entry.offset > fileSize)) {
            problem("a zero-length entry at offset " + std::to_string(entry.offset) +
                    ", outside the " + std::to_string(fileSize) + "-byte file");
        }
        if (rules.requireTerminatedNames &&
            std::find(entry.name.begin(), entry.name.end(), '\0') == entry.name.end()) {
            problem("name is not zero-terminated");
        }
    }
}

}  // namespace

ArchiveDirectory parseArchiveDirectory(std::span<const uint8_t> bytes, int64_t fileSize,
                                       const ArchiveRules& rules) {
    ArchiveDirectory dir;
    dir.fileSize = fileSize;
    const int64_t directoryEnd = checkHeader(dir, bytes, rules);
    if (directoryEnd < 0) return dir;
    if (static_cast<int64_t>(bytes.size()) < directoryEnd) {
        dir.problems.push_back({-1, {}, "the directory cannot be read"});
        return dir;
    }
    dir.entries.reserve(static_cast<size_t>(dir.header.count));
    addEntries(dir, bytes.subspan(kHeaderBytes, static_cast<size_t>(directoryEnd) - kHeaderBytes),
               directoryEnd, rules);
    return dir;
}

// The directory is read a block of entries at a time (memory for the entries alone).
ArchiveDirectory readArchiveDirectory(const ReadableFile& file, const ArchiveRules& rules) {
    constexpr size_t kBlock = 4096 * kEntryBytes;
    ArchiveDirectory dir;
    dir.fileSize = file.size();
    uint8_t header[kHeaderBytes] = {};
    const bool headerRead =
        dir.fileSize >= static_cast<int64_t>(kHeaderBytes) && file.readAt(0, header, kHeaderBytes);
    const int64_t directoryEnd = checkHeader(
        dir, headerRead ? std::span<const uint8_t>(header) : std::span<const uint8_t>(), rules);
    if (directoryEnd < 0) return dir;
    dir.entries.reserve(static_cast<size_t>(dir.header.count));
    std::vector<uint8_t> block(std::min<size_t>(kBlock, static_cast<size_t>(directoryEnd)));
    for (int64_t at = kHeaderBytes; at < directoryEnd;) {
        const size_t step = static_cast<size_t>(std::min<int64_t>(kBlock, directoryEnd - at));
        if (!file.readAt(at, block.data(), step)) {
            dir.entries.clear();
            dir.problems.clear();
            dir.problems.push_back({-1, {}, "the directory cannot be read"});
            return dir;
        }
        addEntries(dir, std::span<const uint8_t>(block.data(), step), directoryEnd, rules);
        at += static_cast<int64_t>(step);
    }
    return dir;
}

}  // namespace kiv

namespace kiv {

std::vector<ArchiveProblem> layoutNotes(const ArchiveDirectory& dir) {
    std::vector<ArchiveProblem> notes;
    if (!dir.problems.empty() && dir.entries.empty()) return notes;
    const int64_t directoryEnd =
        static_cast<int64_t>(kHeaderBytes) + static_cast<int64_t>(dir.entries.size()) * kEntryBytes;
    // The items with data inside the file, in the order of their offsets.
    std::vector<size_t> order;
    for (size_t i = 0; i < dir.entries.size(); ++i) {
        const ArchiveEntry& e = dir.entries[i];
        if (e.length > 0 && e.offset >= directoryEnd &&
            static_cast<int64_t>(e.offset) + e.length <= dir.fileSize) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return dir.entries[a].offset < dir.entries[b].offset;
    });
    int64_t covered = directoryEnd;  // every byte before this belongs to an item (or the directory)
    size_t reaching = SIZE_MAX;      // the item whose data ends at covered
    for (size_t i : order) {
        const ArchiveEntry& e = dir.entries[i];
        const int64_t end = static_cast<int64_t>(e.offset) + e.length;
        if (e.offset > covered) {
            notes.push_back({-1,
                             {},
                             std::to_string(e.offset - covered) + " bytes at " +
                                 std::to_string(covered) + " belong to no item"});
        } else if (e.offset < covered && reaching != SIZE_MAX) {
            notes.push_back({static_cast<int32_t>(i), entryName(e),
                             "its data overlaps that of entry " + std::to_string(reaching + 1) +
                                 " (" + printableName(entryName(dir.entries[reaching])) + ")"});
        }
        if (end > covered) {
            covered = end;
            reaching = i;
        }
    }
    if (dir.fileSize > covered) {
        notes.push_back({-1,
                         {},
                         std::to_string(dir.fileSize - covered) +
                             " bytes after the last item's data (from offset " +
                             std::to_string(covered) + ")"});
    }
    return notes;
}

}  // namespace kiv
