// kivtool: sees, checks, extracts, renders and compares what is inside archives, and unpacks
// them into projects that rebuild them. Each subcommand returns the program's exit status.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/archive_reader.h"
#include "common/file_access.h"
#include "grab/item_kinds.h"

namespace kiv {

// Exit statuses: all well, a problem or difference found, trouble (a file that cannot be read,
// wrong words on the command line).
inline constexpr int kToolOk = 0;
inline constexpr int kToolProblem = 1;  // a problem or a difference found
inline constexpr int kToolTrouble = 2;

// An archive opened for reading: the directory is checked strictly, items are read one at a
// time and never past the file's size.
class ArchiveView {
  public:
    // False with a one-line reason when the file cannot be read or is not an archive.
    bool open(const std::string& path, std::string* why);
    const std::string& path() const { return path_; }
    const ArchiveDirectory& directory() const { return dir_; }
    size_t size() const { return dir_.entries.size(); }
    const ArchiveEntry& entry(size_t i) const { return dir_.entries[i]; }
    std::string name(size_t i) const { return entryName(dir_.entries[i]); }
    // The entry's data lies inside the file.
    bool readable(size_t i) const;
    std::vector<uint8_t> item(size_t i) const;  // empty when not readable
    ItemInfo info(size_t i) const;
    // The colours pictures are shown in: the first palette item's, as 8-bit components, or
    // grey when there is none (then false).
    bool displayPalette(std::array<uint8_t, 768>& colours) const;
    // A palette-sized entry before the first palette item whose data cannot be read (a palette
    // cut short with the file), or -1.
    int64_t damagedPalette() const;
    const ReadableFile& file() const { return file_; }

  private:
    std::string path_;
    ReadableFile file_;
    ArchiveDirectory dir_;
};

// The entries that a list of names selects (a name, or #N for entry N from 1); all when the
// list is empty. Unknown names are reported and give nullopt.
std::optional<std::vector<size_t>> selectEntries(const ArchiveView& archive,
                                                 const std::vector<std::string>& names);

// A name that is safe as a file name: letters, digits, '.', '-' and '_' kept, others '_'; no
// leading dot; empty names and repeats get the entry number, so that no two are the same.
// used collects what was given out.
std::string safeFileName(const std::string& name, size_t index,
                         std::unordered_set<std::string>& used);

// Whether n bytes at two places are the same, read in blocks.
bool sameBytes(const ReadableFile& a, int64_t atA, const ReadableFile& b, int64_t atB, int64_t n);

int kivtoolMain(int argc, char** argv);

// The command line of a subcommand: its words and options.
struct SubcommandLine {
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;  // --name value, or "" for a flag
    bool help = false;
    std::string error;  // an unknown option, or one without its value
};
SubcommandLine parseSubcommandLine(int argc, char** argv, int from,
                                   const std::vector<std::string>& valued,
                                   const std::vector<std::string>& flags);
// Wrong words: the reason and the usage on standard error; the exit status.
int usageError(const std::string& what);

// kivtool index: a true-colour picture mapped onto a palette.
int indexPicture(int argc, char** argv);
// kivtool table: a colour table made from a palette.
int makeColourTable(int argc, char** argv);

}  // namespace kiv
