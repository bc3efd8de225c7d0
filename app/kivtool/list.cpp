// kivtool list ARCHIVE [--json]
#include <cinttypes>
#include <cstdio>

#include "app/kivtool/kivtool.h"

namespace kiv {

namespace {

constexpr OptionEntry kJsonOption{"--json", nullptr,
                                  "JSON: flags as numbers, names and details as strings"};

const OptionEntry kListOptions[] = {
    kJsonOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

static int listArchive(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kListOptions);
    if (w.help) {
        return subcommandHelp(
            "usage: kivtool list ARCHIVE [--json]\n"
            "One row per entry: index (from 1), flags (8 hex digits), offset, length, kind,\n"
            "name and a detail. Kinds: label, empty, palette, sprite, font, texture,\n"
            "shade-table, blend-table, raw; a kind is given only when the whole item decodes.\n"
            "Names show printable ASCII as it is, '\\' as \\\\ and other bytes as \\xNN. With\n"
            "--json: flags as an unsigned number, names and details as JSON strings in which\n"
            "'\"', '\\' and every byte outside 0x20 to 0x7E is escaped, bytes 0x80 to 0xFF as\n"
            "\\u0080 to \\u00ff (each byte one character).\n",
            kListOptions);
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 1) return usageError("list takes one archive");
    ArchiveView archive;
    if (!openForReading(archive, w.operands[0])) return kToolTrouble;
    const bool json = w.has(kJsonOption);
    if (json) std::printf("[");
    if (!json) {
        std::printf("%s: %zu entries, %lld bytes\n", archive.path().c_str(), archive.size(),
                    static_cast<long long>(archive.directory().fileSize));
        std::printf("%5s %8s %10s %10s  %-12s %-16s %s\n", "#", "flags", "offset", "length", "kind",
                    "name", "detail");
    }
    for (size_t i = 0; i < archive.size(); ++i) {
        const ArchiveEntry& e = archive.entry(i);
        const ItemInfo info = itemInfo(archive, i);
        const auto flags = static_cast<uint32_t>(e.flags);
        if (json) {
            std::printf("%s\n  {\"index\": %zu, \"name\": %s, \"flags\": %" PRIu32
                        ", \"offset\": %d, \"length\": %d, \"kind\": \"%s\", \"detail\": %s}",
                        i == 0 ? "" : ",", i + 1, jsonString(entryName(e)).c_str(), flags, e.offset,
                        e.length, kindName(info.kind), jsonString(info.detail).c_str());
        } else {
            std::printf("%5zu %08" PRIx32 " %10d %10d  %-12s %-16s %s\n", i + 1, flags, e.offset,
                        e.length, kindName(info.kind), shownName(archive, i).c_str(),
                        info.detail.c_str());
        }
    }
    if (json) std::printf("%s]\n", archive.size() > 0 ? "\n" : "");
    for (const ArchiveProblem& problem : archive.directory().problems) {
        std::fprintf(stderr, "kivtool: %s: %s\n", archive.path().c_str(),
                     problem.describe().c_str());
    }
    return archive.directory().problems.empty() ? kToolOk : kToolProblem;
}

const Subcommand kListCommand = {"list", kListOptions,
                                 "  list ARCHIVE [--json]          one row per entry: index, "
                                 "flags, offset, length, kind, name\n",
                                 listArchive};

}  // namespace kiv
