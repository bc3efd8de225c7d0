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
// Flags are never checked: they are an opaque word that merges copy unchanged.
struct ArchiveRules {
    bool requireMagic = false;  // all eight bytes: "KIV2.0" and two zeros
    bool requireTerminatedNames = false;
    // Zero-length entries' offsets inside 0 to the file's size, as kiv writes them.
    bool requirePlausibleOffsets = false;
    // No item's data starts inside the header or the directory.
    bool requireDataBehindDirectory = false;
};
inline constexpr ArchiveRules kMergeRules{};
inline constexpr ArchiveRules kStrictRules{true, true, true, true};

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

// A name as it may be shown on a terminal: printable ASCII as it is, '\\' doubled, every other
// byte as \xNN.
std::string printableName(const std::string& name);

// What is odd about the layout without making the archive unusable: items whose data overlaps,
// and bytes that belong to no item (between items or after the last one). kiv writes neither.
// Entries whose data lies outside the file are left to the directory's problems.
std::vector<ArchiveProblem> layoutNotes(const ArchiveDirectory& dir);

}  // namespace kiv
