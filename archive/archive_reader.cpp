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

ArchiveDirectory parseArchiveDirectory(std::span<const uint8_t> bytes, int64_t fileSize,
                                       const ArchiveRules& rules) {
    ArchiveDirectory dir;
    dir.fileSize = fileSize;
    auto fileProblem = [&](std::string text) { dir.problems.push_back({-1, {}, std::move(text)}); };
    if (fileSize < static_cast<int64_t>(kHeaderBytes) || bytes.size() < kHeaderBytes) {
        fileProblem("shorter than an archive header (" + std::to_string(fileSize) + " bytes)");
        return dir;
    }
    dir.header = ArchiveHeader::fromBytes(bytes.data());
    if (rules.requireMagic && (std::memcmp(dir.header.magic.data(), kArchiveMagic, 6) != 0 ||
                               dir.header.magic[6] != 0 || dir.header.magic[7] != 0)) {
        fileProblem("not a KIV2.0 archive (wrong magic)");
        return dir;
    }
    if (dir.header.count < 0) {
        fileProblem("negative entry count " + std::to_string(dir.header.count));
        return dir;
    }
    const int64_t directoryEnd =
        static_cast<int64_t>(kHeaderBytes) + static_cast<int64_t>(dir.header.count) * kEntryBytes;
    if (directoryEnd > fileSize) {
        fileProblem("a directory of " + std::to_string(dir.header.count) +
                    " entries reaches past the end of the " + std::to_string(fileSize) +
                    "-byte file");
        return dir;
    }
    // Offsets are 32-bit: a directory past 2 GiB leaves no room for data, and is not read
    // (a sparse file can claim one of 60 GB in 4 KB on disk).
    if (directoryEnd > INT32_MAX) {
        fileProblem("a directory of " + std::to_string(dir.header.count) +
                    " entries reaches past the 2 GiB that an archive's offsets address");
        return dir;
    }
    if (static_cast<int64_t>(bytes.size()) < directoryEnd) {
        fileProblem("the directory cannot be read");
        return dir;
    }
    dir.entries.reserve(static_cast<size_t>(dir.header.count));
    for (int32_t i = 0; i < dir.header.count; ++i) {
        const ArchiveEntry entry = ArchiveEntry::fromBytes(bytes.data() + kHeaderBytes +
                                                           static_cast<size_t>(i) * kEntryBytes);
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
    return dir;
}

ArchiveDirectory readArchiveDirectory(const ReadableFile& file, const ArchiveRules& rules) {
    const int64_t size = file.size();
    uint8_t header[kHeaderBytes] = {};
    if (size < static_cast<int64_t>(kHeaderBytes) || !file.readAt(0, header, kHeaderBytes)) {
        return parseArchiveDirectory({}, size, rules);
    }
    const int32_t count = ArchiveHeader::fromBytes(header).count;
    const int64_t directoryEnd =
        static_cast<int64_t>(kHeaderBytes) + static_cast<int64_t>(std::max(count, 0)) * kEntryBytes;
    if (count < 0 || directoryEnd > size || directoryEnd > INT32_MAX) {
        return parseArchiveDirectory(header, size, rules);
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(directoryEnd));
    if (!file.readAt(0, bytes.data(), bytes.size())) {
        ArchiveDirectory dir = parseArchiveDirectory(header, size, rules);
        dir.problems.push_back({-1, {}, "the directory cannot be read"});
        return dir;
    }
    return parseArchiveDirectory(bytes, size, rules);
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
