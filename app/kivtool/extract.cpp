// kivtool extract ARCHIVE [NAME...] [-o DIR]
#include <unistd.h>

#include <cstdio>
#include <map>
#include <unordered_set>

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
    std::unordered_set<std::string> used;
    // Entries that share their data (the same offset and length) are written once: the others
    // become hard links to the first file, so that many names of one large item cost its size
    // once, not once each.
    std::map<std::pair<int32_t, int32_t>, std::pair<size_t, std::string>> written;
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
        const auto shared = written.find({entry.offset, entry.length});
        if (entry.length > 0 && shared != written.end() && linkTo(shared->second.second, file)) {
            std::fprintf(stderr,
                         "kivtool: entry %zu (%s) shares its data with entry %zu: %s is a "
                         "hard link to %s\n",
                         i + 1, shownName(archive, i).c_str(), shared->second.first + 1,
                         file.c_str(), shared->second.second.c_str());
            std::printf("%s\n", file.c_str());
            continue;
        }
        std::string why;
        if (entry.length > 0)
            written.emplace(std::make_pair(entry.offset, entry.length), std::make_pair(i, file));
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
