// What the items of an opened archive are: their kinds, the colours pictures are shown in, and
// the entries a list of names selects.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_view.h"
#include "grab/item_kinds.h"

namespace kiv {

ItemInfo itemInfo(const ArchiveView& archive, size_t i);
// The colours pictures are shown in: the first palette item's, as 8-bit components, or grey when
// there is none (then false).
bool displayPalette(const ArchiveView& archive, std::array<uint8_t, 768>& colours);
// A palette-sized entry before the first palette item whose data cannot be read (a palette cut
// short with the file), or -1.
int64_t damagedPalette(const ArchiveView& archive);

// The entries that a list of names selects (a name, or #N for entry N from 1); all when the
// list is empty. Unknown names are reported and give nullopt.
std::optional<std::vector<size_t>> selectEntries(const ArchiveView& archive,
                                                 const std::vector<std::string>& names);

// A set of names held compactly, for sets as large as an archive's directory: the names' bytes
// one after another and an open table of where each starts (about 20 bytes a name besides its
// characters).
class NameSet {
  public:
    bool contains(std::string_view name) const { return table_[slot(name)] != 0; }
    // Adds a name that is not in the set.
    void insert(std::string_view name);

  private:
    size_t slot(std::string_view name) const;  // where the name is, or the empty slot for it
    std::string_view at(uint64_t start) const;
    std::string bytes_;  // each name after its length (4 bytes)
    std::vector<uint64_t> table_ = std::vector<uint64_t>(16);  // 1 + a name's start, 0 empty
    size_t count_ = 0;
};

// A name that is safe as a file name: letters, digits, '.', '-' and '_' kept, others '_'; no
// leading dot; empty names and repeats get the entry number, so that no two are the same.
// used collects what was given out.
std::string safeFileName(const std::string& name, size_t index, NameSet& used);

}  // namespace kiv
