// kivtool verify [--strict] ARCHIVE... and verify --rebuild ARCHIVE...
#include <algorithm>
#include <cstdio>

#include "app/kivtool/kivtool.h"
#include "app/unpack.h"

namespace kiv {

namespace {

int verifyOne(const std::string& path, bool strict) {
    ArchiveView archive;
    std::string why;
    if (!archive.open(path, &why)) {
        // A file that is there but no archive is a problem found; one that cannot be read,
        // trouble.
        std::fprintf(stderr, "kivtool: %s: %s\n", path.c_str(), why.c_str());
        ReadableFile probe;
        return probe.open(path) ? kToolProblem : kToolTrouble;
    }
    size_t problems = 0;
    for (const ArchiveProblem& problem : archive.directory().problems) {
        std::printf("%s: %s\n", path.c_str(), problem.describe().c_str());
        ++problems;
    }
    // Every item's bytes can be read; its kind is recognised only when it decodes whole.
    for (size_t i = 0; i < archive.size(); ++i) {
        if (!archive.readable(i)) continue;
        if (archive.item(i).size() != static_cast<size_t>(archive.entry(i).length)) {
            std::printf("%s: entry %zu (%s): its data cannot be read\n", path.c_str(), i + 1,
                        shownName(archive, i).c_str());
            ++problems;
        }
    }
    // What kiv never writes but a reader can live with: notes, problems with --strict.
    const std::vector<ArchiveProblem> notes = layoutNotes(archive.directory());
    for (const ArchiveProblem& note : notes) {
        std::printf("%s: %s: %s\n", path.c_str(), strict ? "error" : "note",
                    note.describe().c_str());
    }
    if (strict) problems += notes.size();
    if (problems == 0) {
        std::printf("%s: ok, %zu entries", path.c_str(), archive.size());
        if (!notes.empty()) std::printf(" (%zu notes)", notes.size());
        std::printf("\n");
    }
    return problems == 0 ? kToolOk : kToolProblem;
}

}  // namespace

namespace {

constexpr OptionEntry kStrictOption{"--strict", nullptr,
                                    "overlapping items and bytes of no item are errors, not notes"};

constexpr OptionEntry kRebuildOption{"--rebuild", nullptr,
                                     "unpack, rebuild with kiv and compare byte for byte"};

const OptionEntry kVerifyOptions[] = {
    kStrictOption,
    kRebuildOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

static int verifyArchives(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kVerifyOptions);
    if (w.help) {
        return subcommandHelp(
            "usage: kivtool verify [--strict] ARCHIVE...\n"
            "       kivtool verify --rebuild ARCHIVE...\n"
            "Checks all eight bytes of the magic, the entry count against the file's size,\n"
            "that every entry's data lies inside the file and behind the directory, that no\n"
            "length or offset is negative and every name ends with a zero, and that every\n"
            "item's data can be read. Flags are not checked: any value is kiv's. Items whose\n"
            "data overlaps and bytes that belong to no item are notes (errors with --strict).\n"
            "With --rebuild: unpacks each archive into a temporary folder, rebuilds it with kiv\n"
            "and says whether it comes back byte for byte, or where it first differs.\n"
            "Exit status: 0 all well, 1 a problem found, 2 a file cannot be read.\n",
            kVerifyOptions);
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.empty()) return usageError("verify takes one or more archives");
    const bool strict = w.has(kStrictOption);
    int status = kToolOk;
    for (const std::string& path : w.operands) {
        status = std::max(
            status, w.has(kRebuildOption) ? rebuildAndCompare(path) : verifyOne(path, strict));
    }
    return status;
}

const Subcommand kVerifyCommand = {
    "verify", kVerifyOptions,
    "  verify [--strict] ARCHIVE...   checks each archive's structure and items\n", verifyArchives};

}  // namespace kiv
