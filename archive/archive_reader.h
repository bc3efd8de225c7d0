// Reading archives that someone else may have written: one place decides what a well-formed
// archive is. The header and directory are read within the file's real size and checked before
// anything of the data is used; every problem names the entry it is about.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "common/file_access.h"

namespace kiv {

struct ArchiveProblem {
    int32_t entry = -1;  // index from 0, or -1 for the file as a whole
    std::string name;    // the entry's name
    std::string text;
    // "entry 3 (hero): text", or the text alone.
    std::string describe() const;
};

// How strict to be. The link processor takes over whatever it can copy safely (the magic and
// the names are not its business); a check of a finished archive wants everything right.
struct ArchiveRules {
    bool requireMagic = false;
    bool requireTerminatedNames = false;
    bool requireNonNegative = false;  // offsets of zero-length entries too, and flags
};
inline constexpr ArchiveRules kMergeRules{};
inline constexpr ArchiveRules kStrictRules{true, true, true};

struct ArchiveDirectory {
    ArchiveHeader header;
    std::vector<ArchiveEntry> entries;  // as many as could be read
    int64_t fileSize = 0;
    std::vector<ArchiveProblem> problems;
    // Structure sound: the header and every entry's data lie inside the file.
    bool usable() const { return problems.empty(); }
};

// From the file's first bytes (at least the header and the directory, when the file has them)
// and its real size.
ArchiveDirectory parseArchiveDirectory(std::span<const uint8_t> bytes, int64_t fileSize,
                                       const ArchiveRules& rules);
// From an open file: reads the header, then the directory, never past the file's size.
ArchiveDirectory readArchiveDirectory(const ReadableFile& file, const ArchiveRules& rules);

// The entry's name as text (up to its first zero, at most 16 characters).
std::string entryName(const ArchiveEntry& entry);

}  // namespace kiv
