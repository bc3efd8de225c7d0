// kivtool extract ARCHIVE [NAME...] [-o DIR]
#include <cstdio>
#include <unordered_set>

#include "app/kivtool/kivtool.h"
#include "common/file_output.h"

namespace kiv {

namespace {

bool isLabel(const ArchiveEntry& entry) {
    const std::string name = entryName(entry);
    return entry.length == 0 && !name.empty() && name.back() == ':';
}

}  // namespace

namespace {

const OptionEntry kExtractOptions[] = {
    {"-o", "DIR", "the folder to write into (the current one)"},
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

int extractItems(int argc, char** argv) {
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
    const std::string folder = w.options.count("-o") ? w.options.at("-o") : ".";
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", folder.c_str());
        return kToolTrouble;
    }
    std::unordered_set<std::string> used;
    int status = kToolOk;
    for (size_t i : *chosen) {
        if (isLabel(archive.entry(i))) continue;
        if (!archive.readable(i)) {
            notWritten(archive, i, "its data lies outside the file");
            status = kToolProblem;
            continue;
        }
        const std::string file = inFolder(folder, safeFileName(archive.name(i), i, used));
        std::string why;
        if (!writeWholeFile(file, archive.item(i), &why)) {
            notWritten(archive, i, file + ": " + why);
            status = kToolProblem;
            continue;
        }
        std::printf("%s\n", file.c_str());
    }
    return status;
}

std::span<const OptionEntry> extractCommandOptions() {
    return kExtractOptions;
}

}  // namespace kiv
