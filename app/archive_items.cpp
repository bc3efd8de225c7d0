#include "app/archive_items.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

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

std::string safeFileName(const std::string& name, size_t index,
                         std::unordered_set<std::string>& used) {
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
    if (used.count(safe) > 0) {
        const std::string stem = safe + "-" + numbered;
        safe = stem;
        for (size_t k = 2; used.count(safe) > 0; ++k) safe = stem + "-" + std::to_string(k);
    }
    used.insert(safe);
    return safe;
}

}  // namespace kiv
