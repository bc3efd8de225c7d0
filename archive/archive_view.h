// An archive opened for reading: the directory is checked strictly, items are read one at a
// time and never past the file's size. The one reading interface of kivtool, unpack and the
// window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "common/file_access.h"

namespace kiv {

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
    bool readable(size_t i) const {
        const ArchiveEntry& e = dir_.entries[i];
        return e.length >= 0 &&
               (e.length == 0 ||
                (e.offset >= 0 && static_cast<int64_t>(e.offset) + e.length <= dir_.fileSize));
    }
    std::vector<uint8_t> item(size_t i) const;  // empty when not readable
    const ReadableFile& file() const { return file_; }

  private:
    std::string path_;
    ReadableFile file_;
    ArchiveDirectory dir_;
};

// Whether n bytes at two places are the same, read in blocks.
bool sameBytes(const ReadableFile& a, int64_t atA, const ReadableFile& b, int64_t atB, int64_t n);

}  // namespace kiv
