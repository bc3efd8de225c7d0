#include "app/archive_items.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "grab/item_formats.h"

namespace kiv {

ItemInfo itemInfo(const ArchiveView& archive, size_t i) {
    if (!archive.readable(i)) return ItemInfo{ItemKind::Raw, "data outside the file", false, 0};
    return recogniseItem(archive.name(i), archive.item(i));
}

bool displayPalette(const ArchiveView& archive, std::array<uint8_t, 768>& colours) {
    for (size_t i = 0; i < archive.size(); ++i) {
        if (archive.entry(i).length != static_cast<int32_t>(kPaletteItemBytes)) continue;
        const std::vector<uint8_t> bytes = archive.item(i);
        if (isPaletteItem(bytes)) {
            colours = displayColours(bytes);
            return true;
        }
    }
    for (size_t v = 0; v < 256; ++v) {
        colours[3 * v] = colours[3 * v + 1] = colours[3 * v + 2] = static_cast<uint8_t>(v);
    }
    return false;
}

int64_t damagedPalette(const ArchiveView& archive) {
    for (size_t i = 0; i < archive.size(); ++i) {
        if (archive.entry(i).length != static_cast<int32_t>(kPaletteItemBytes)) continue;
        if (!archive.readable(i)) return static_cast<int64_t>(i);
        if (isPaletteItem(archive.item(i))) return -1;
    }
    return -1;
}

std::optional<std::vector<size_t>> selectEntries(const ArchiveView& archive,
                                                 const std::vector<std::string>& names) {
    std::vector<size_t> chosen;
    if (names.empty()) {
        for (size_t i = 0; i < archive.size(); ++i) chosen.push_back(i);
        return chosen;
    }
    std::unordered_map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < archive.size(); ++i) byName[archive.name(i)].push_back(i);
    std::unordered_set<size_t> taken;
    bool allFound = true;
    for (const std::string& wanted : names) {
        std::vector<size_t> found;
        const bool numbered = wanted.size() > 1 && wanted[0] == '#' && wanted.size() <= 21 &&
                              std::all_of(wanted.begin() + 1, wanted.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
        if (numbered) {
            const unsigned long long n = std::strtoull(wanted.c_str() + 1, nullptr, 10);
            if (n >= 1 && n <= archive.size()) found.push_back(static_cast<size_t>(n - 1));
        }
        if (found.empty()) {
            const auto it = byName.find(wanted);
            if (it != byName.end()) found = it->second;
        }
        if (found.empty()) {
            std::fprintf(stderr, "kivtool: %s: no entry %s %s\n", archive.path().c_str(),
                         numbered ? "numbered" : "named", printableName(wanted).c_str());
            allFound = false;
        }
        for (size_t i : found) {
            if (taken.insert(i).second) chosen.push_back(i);
        }
    }
    if (!allFound) return std::nullopt;
    return chosen;
}

namespace {

uint64_t nameHash(std::string_view name) {
    uint64_t h = 1469598103934665603ull;
    for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h ^ h >> 29;
}

}  // namespace

std::string_view NameSet::at(uint64_t start) const {
    uint32_t length = 0;
    std::memcpy(&length, bytes_.data() + start, sizeof length);
    return std::string_view(bytes_).substr(start + sizeof length, length);
}

size_t NameSet::slot(std::string_view name) const {
    const size_t mask = table_.size() - 1;
    for (size_t k = nameHash(name) & mask;; k = (k + 1) & mask) {
        if (table_[k] == 0 || at(table_[k] - 1) == name) return k;
    }
}

void NameSet::insert(std::string_view name) {
    // Kept at most half full, so a free slot is always found.
    if (2 * (count_ + 1) > table_.size()) {
        std::vector<uint64_t> old(table_.size() * 2);
        old.swap(table_);
        for (const uint64_t start : old) {
            if (start != 0) table_[slot(at(start - 1))] = start;
        }
    }
    const auto length = static_cast<uint32_t>(name.size());
    const uint64_t start = bytes_.size();
    bytes_.append(reinterpret_cast<const char*>(&length), sizeof length);
    bytes_.append(name);
    table_[slot(name)] = start + 1;
    ++count_;
}

std::string safeFileName(const std::string& name, size_t index, NameSet& used) {
    std::string safe;
    for (char c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        safe += keep ? c : '_';
    }
    if (!safe.empty() && safe[0] == '.') safe[0] = '_';
    const std::string numbered = "entry-" + std::to_string(index + 1);
    if (safe.empty()) safe = numbered;
    // A repeat takes the entry number; should another entry's name already be that, a count
    // follows (each try is a new name, so this ends within used.size() + 1 tries).
    if (used.contains(safe)) {
        const std::string stem = safe + "-" + numbered;
        safe = stem;
        for (size_t k = 2; used.contains(safe); ++k) safe = stem + "-" + std::to_string(k);
    }
    used.insert(safe);
    return safe;
}

}  // namespace kiv
