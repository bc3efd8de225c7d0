// kivtool extract ARCHIVE [NAME...] [-o DIR]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "app/kivtool/kivtool.h"
#include "common/file_output.h"

namespace kiv {

namespace {

bool isLabel(const ArchiveEntry& entry) {
    const std::string name = entryName(entry);
    return entry.length == 0 && !name.empty() && name.back() == ':';
}

// A second name for a file already written, put in place by a rename like any output.
bool linkTo(const std::string& existing, const std::string& file) {
    const std::string temporary = file + ".link-part";
    unlink(temporary.c_str());
    if (link(existing.c_str(), temporary.c_str()) != 0) return false;
    if (rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Where an entry's data lies, as one number.
uint64_t dataPlace(const ArchiveEntry& entry) {
    return static_cast<uint64_t>(static_cast<uint32_t>(entry.offset)) << 32 |
           static_cast<uint32_t>(entry.length);
}

// The places of data that more than one of the chosen entries with data hold, sorted.
std::vector<uint64_t> sharedData(const ArchiveView& archive, const std::vector<size_t>& chosen) {
    std::vector<uint64_t> places;
    for (const size_t i : chosen) {
        if (archive.readable(i) && archive.entry(i).length > 0)
            places.push_back(dataPlace(archive.entry(i)));
    }
    std::sort(places.begin(), places.end());
    std::vector<uint64_t> shared;
    for (size_t k = 1; k < places.size(); ++k) {
        if (places[k] == places[k - 1] && (shared.empty() || shared.back() != places[k]))
            shared.push_back(places[k]);
    }
    return shared;
}

}  // namespace

namespace {

constexpr OptionEntry kExtractFolderOption{"-o", "DIR",
                                           "the folder to write into (the current one)"};

const OptionEntry kExtractOptions[] = {
    kExtractFolderOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

static int extractItems(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kExtractOptions);
    if (w.help) {
        return subcommandHelp(
            "usage: kivtool extract ARCHIVE [NAME...] [-o DIR]\n"
            "Writes each item's exact bytes to a file named after the item (made safe\n"
            "for the file system; empty and repeated names get the entry number).\n"
            "Labels are skipped. Exit status: 0 every item written, 1 an item could not be\n"
            "(its data lies outside the file, or the write failed), 2 trouble.\n",
            kExtractOptions);
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.empty()) return usageError("extract takes an archive");
    ArchiveView archive;
    if (!openForReading(archive, w.operands[0])) return kToolTrouble;
    const auto chosen = selectEntries(archive, {w.operands.begin() + 1, w.operands.end()});
    if (!chosen) return kToolTrouble;
    const std::string folder =
        (w.has(kExtractFolderOption) ? w.value(kExtractFolderOption) : std::string("."));
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", folder.c_str());
        return kToolTrouble;
    }
    NameSet used;
    // Entries that share their data (the same offset and length) are written once: the others
    // become hard links to the first file, so that many names of one large item cost its size
    // once, not once each. Only data that is shared is remembered.
    const std::vector<uint64_t> shared = sharedData(archive, *chosen);
    std::map<uint64_t, std::pair<size_t, std::string>> written;
    int status = kToolOk;
    for (size_t i : *chosen) {
        if (isLabel(archive.entry(i))) continue;
        if (!archive.readable(i)) {
            notWritten(archive, i, "its data lies outside the file");
            status = kToolProblem;
            continue;
        }
        const std::string file = inFolder(folder, safeFileName(archive.name(i), i, used));
        const ArchiveEntry& entry = archive.entry(i);
        const uint64_t place = dataPlace(entry);
        const bool isShared =
            entry.length > 0 && std::binary_search(shared.begin(), shared.end(), place);
        const auto first = isShared ? written.find(place) : written.end();
        if (first != written.end() && linkTo(first->second.second, file)) {
            std::fprintf(stderr,
                         "kivtool: entry %zu (%s) shares its data with entry %zu: %s is a "
                         "hard link to %s\n",
                         i + 1, shownName(archive, i).c_str(), first->second.first + 1,
                         file.c_str(), first->second.second.c_str());
            std::printf("%s\n", file.c_str());
            continue;
        }
        std::string why;
        if (isShared) written.emplace(place, std::make_pair(i, file));
        if (!writeWholeFile(file, archive.item(i), &why)) {
            notWritten(archive, i, file + ": " + why);
            status = kToolProblem;
            continue;
        }
        std::printf("%s\n", file.c_str());
    }
    return status;
}

const Subcommand kExtractCommand = {"extract", kExtractOptions,
                                    "  extract ARCHIVE [NAME...] [-o DIR]\n                        "
                                    "         writes each item's bytes to a file named after it\n",
                                    extractItems};

}  // namespace kiv
