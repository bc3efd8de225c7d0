// The layout check of unpack: how each entry of the archive comes back, or why it cannot.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/archive_items.h"
#include "app/unpack_parts.h"
#include "common/script_text.h"

namespace kiv {

namespace {

bool isDelimiter(char c) {
    return std::strchr(tokenDelimiters, c) != nullptr || c == 26;
}

}  // namespace

bool scriptableName(const ArchiveEntry& entry, size_t most) {
    const std::string name = entryName(entry);
    if (name.empty() || name.size() > most) return false;
    for (size_t i = name.size(); i < entry.name.size(); ++i) {
        if (entry.name[i] != '\0') return false;
    }
    return std::none_of(name.begin(), name.end(), isDelimiter);
}

bool linkLabel(const ArchiveEntry& entry) {
    const std::string name = entryName(entry);
    return entry.flags == 0 && scriptableName(entry, 14) && name.size() >= 4 &&
           name.back() == ':' && name[0] != ';';
}

bool linkItemName(const ArchiveEntry& entry) {
    return entry.flags == 0 && scriptableName(entry, 14);
}

bool layoutReproducible(const ArchiveView& archive) {
    bool reproducible = true;
    auto impossible = [&](const std::string& what) {
        std::fprintf(stderr, "kivtool: %s: cannot be reproduced: %s\n", archive.path().c_str(),
                     what.c_str());
        reproducible = false;
    };
    for (const ArchiveProblem& problem : archive.directory().problems)
        impossible(problem.describe());

    // Where kiv puts each entry's data, and what that asks of zero-length entries.
    const int64_t base = 12 + 28 * static_cast<int64_t>(archive.size());
    int64_t position = 0;
    for (size_t i = 0; i < archive.size() && reproducible; ++i) {
        const ArchiveEntry& entry = archive.entry(i);
        auto label = [&] {
            return "entry " + std::to_string(i + 1) + " (" + printableName(entryName(entry)) + ")";
        };
        if (entry.length > 0) {
            if (entry.offset != base + position) {
                impossible(label() + ": its data is not where kiv puts it (offset " +
                           std::to_string(entry.offset) + ", not " +
                           std::to_string(base + position) + ")");
                break;
            }
            position += entry.length;
            continue;
        }
        // Zero-length: a label line gives offset 0, an empty file or a merge the data position.
        const std::string name = entryName(entry);
        if ((entry.offset == 0 && linkLabel(entry)) ||
            (entry.offset == position && linkItemName(entry)))
            continue;
        if (entry.offset == 0 && position > 0 && name.size() < 4 && !name.empty() &&
            name.back() == ':') {
            impossible(label() +
                       ": a label of fewer than 4 characters at offset 0, which no link "
                       "line makes (the link job ignores lines that short)");
        } else if (entry.offset != position) {
            impossible(label() + ": a zero-length entry at offset " + std::to_string(entry.offset) +
                       ", which is neither 0 for a label nor its data position " +
                       std::to_string(position));
        }
    }
    if (reproducible && archive.directory().fileSize != base + position) {
        impossible(std::to_string(archive.directory().fileSize - base - position) +
                   " bytes lie after the last item's data");
    }
    return reproducible;
}

EntryPlan planEntry(const ArchiveView& archive, size_t i, int64_t& position,
                    const EntryMakers& makers) {
    const ArchiveEntry& entry = archive.entry(i);
    EntryPlan piece;
    if (entry.length > 0) {
        const std::vector<uint8_t> bytes = archive.item(i);
        position += entry.length;
        if (entry.flags == 0 && scriptableName(entry, 15) && makers.grab(i, bytes, piece))
            return piece;
        if (linkItemName(entry)) {
            piece.how = Remake::File;
            piece.lines = makers.file(i, bytes) + " " + entryName(entry) + "\n";
            if (piece.report.empty()) {
                piece.report = printableName(entryName(entry)) + ": " +
                               kindName(itemInfo(archive, i).kind) + ", from " +
                               piece.lines.substr(0, piece.lines.find(' '));
            }
        } else {
            piece.how = Remake::Helper;
            if (piece.report.empty())
                piece.report = printableName(entryName(entry)) + ": from a helper archive";
        }
        return piece;
    }
    // Zero-length (where the layout check allows it): a label, an empty file, or a helper's.
    if (entry.offset == 0 && linkLabel(entry)) {
        piece.how = Remake::Label;
        piece.lines = entryName(entry) + "\n";
        piece.report = printableName(entryName(entry)) + " label";
    } else if (entry.offset == position && linkItemName(entry)) {
        piece.how = Remake::File;
        piece.lines = makers.file(i, {}) + " " + entryName(entry) + "\n";
        piece.report = printableName(entryName(entry)) + ": empty, from " +
                       piece.lines.substr(0, piece.lines.find(' '));
    } else {
        piece.how = Remake::Helper;
        piece.report = "entry " + std::to_string(i + 1) + " (" + printableName(entryName(entry)) +
                       "): empty, from a helper archive";
    }
    return piece;
}

}  // namespace kiv
