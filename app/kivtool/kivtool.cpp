// kivtool COMMAND ARGUMENTS: the dispatch, the usage and the helpers the subcommands share.
#include "app/kivtool/kivtool.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/unpack.h"
#include "grab/item_formats.h"
#include "grab/palette_source.h"
#include "picture/pcx_decoder.h"
#include "picture/png_picture.h"

namespace kiv {

SubcommandLine parseSubcommandLine(int argc, char** argv, std::span<const OptionEntry> table) {
    const CommandLine line = parseCommandLine(argc, argv, 2, table);
    SubcommandLine w;
    w.operands = line.operands;
    w.help = line.help;
    w.error = line.error;
    w.line = line;
    return w;
}

int subcommandHelp(const char* text, std::span<const OptionEntry> table) {
    std::printf("%s\nOptions:\n%s", text, optionsHelp(table).c_str());
    return kToolOk;
}

bool makeFolder(const std::string& folder) {
    if (folder.empty() || folder == ".") return true;
    std::string at;
    for (size_t i = 0; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/') {
            at = folder.substr(0, i);
            if (!at.empty()) mkdir(at.c_str(), 0777);
        }
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string inFolder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".") return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool openForReading(ArchiveView& archive, const std::string& path) {
    std::string why;
    if (archive.open(path, &why)) return true;
    std::fprintf(stderr, "kivtool: %s: %s\n", path.c_str(), why.c_str());
    return false;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string shownName(const ArchiveView& archive, size_t i) {
    return printableName(archive.name(i));
}

void problemWith(const ArchiveView& archive, size_t i, const std::string& what) {
    std::fprintf(stderr, "kivtool: %s: entry %zu (%s): %s\n", archive.path().c_str(), i + 1,
                 shownName(archive, i).c_str(), what.c_str());
}

void notWritten(const ArchiveView& archive, size_t i, const std::string& why) {
    problemWith(archive, i, "not written: " + why);
}

bool wholeNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::atoi(text.c_str());
    return value >= low && value <= high;
}

bool chooseColours(const ArchiveView& archive, const std::string& wanted,
                   std::array<uint8_t, 768>& colours, bool* damaged, bool* wrongValue) {
    if (!wanted.empty()) {
        for (size_t i = 0; i < archive.size(); ++i) {
            if (archive.name(i) != wanted) continue;
            const std::vector<uint8_t> bytes = archive.item(i);
            if (!archive.readable(i)) {
                problemWith(archive, i, "its data lies outside the file; no palette to draw with");
                return false;
            }
            if (!isPaletteItem(bytes)) {
                problemWith(archive, i,
                            "not a palette item (" +
                                std::string(kindName(itemInfo(archive, i).kind)) + " of " +
                                std::to_string(bytes.size()) + " bytes)");
                return false;
            }
            colours = displayColours(bytes);
            return true;
        }
        // Any palette source kiv --palette takes, read by the same reader.
        PaletteSource source;
        std::string why;
        if (!loadPaletteSource(wanted, source, &why)) {
            std::fprintf(stderr, "kivtool: --palette %s is no entry of %s, and %s\n",
                         printableName(wanted).c_str(), archive.path().c_str(), why.c_str());
            if (wrongValue != nullptr) *wrongValue = true;
            return false;
        }
        colours = source.colours;
        return true;
    }
    const int64_t cut = damagedPalette(archive);
    if (cut >= 0) {
        problemWith(archive, static_cast<size_t>(cut),
                    "a palette item whose data lies outside the file; pictures are shown in grey");
        if (damaged != nullptr) *damaged = true;
    }
    if (!displayPalette(archive, colours) && cut < 0) {
        std::fprintf(stderr, "kivtool: %s has no palette item; pictures are shown in grey\n",
                     archive.path().c_str());
    }
    return true;
}

namespace {

const char* const kUsageHead =
    "usage: kivtool COMMAND ARGUMENTS\n"
    "Sees, checks, extracts, renders and compares kiv archives.\n\n";
const char* const kUsageEnd =
    "\n"
    "A NAME is an entry's name (every entry of that name) or #N, the N-th entry.\n"
    "Exit status: 0 all well (or no difference), 1 a problem or difference found, 2 trouble.\n";

const Subcommand* const kCommands[] = {&kListCommand,   &kVerifyCommand, &kExtractCommand,
                                       &kRenderCommand, &kDiffCommand,   &kUnpackCommand,
                                       &kIndexCommand,  &kTableCommand,  &kPaletteCommand};

}  // namespace

int usageError(const std::string& what) {
    std::fprintf(stderr, "kivtool: %s\ntry 'kivtool --help'\n", what.c_str());
    return kToolTrouble;
}

// kivtool unpack ARCHIVE DIR [--force]

namespace {

constexpr OptionEntry kForceOption{"--force", nullptr,
                                   "write into a folder that already holds files"};

const OptionEntry kUnpackOptions[] = {
    kForceOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

static int unpackCommand(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kUnpackOptions);
    if (w.help) {
        return subcommandHelp(
            "usage: kivtool unpack ARCHIVE DIR [--force]\n"
            "Writes an editable project into DIR that rebuilds the archive byte for byte:\n"
            "sprites, textures and fonts as indexed PNG pictures (pictures/) cut by grab\n"
            "scripts (*.scp), the palette as a PALETTE line over a picture with it, shade\n"
            "and blend tables as the COLORMAP and TRANSPARENT lines that compute them,\n"
            "other items as files (items/), labels as label lines, and entries no script\n"
            "line can make in small helper archives (helpers/); NAME.lnk puts them all\n"
            "together in order and build.sh lists the jobs: kiv on every grab script, then\n"
            "on it. Each graphic item is encoded again from its picture before it is\n"
            "written; only one that comes back identical goes the editable way. A DIR that\n"
            "holds files is refused (nothing written) unless --force is given.\n"
            "Exit status: 0 the project rebuilds the archive, 1 something of it cannot be\n"
            "reproduced or a file cannot be written (said on standard error), 2 trouble.\n",
            kUnpackOptions);
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 2) return usageError("unpack takes an archive and a folder");
    return unpackArchive(w.operands[0], w.operands[1], w.has(kForceOption));
}

int kivtoolMain(int argc, char** argv) {
    if (argc < 2) return usageError("a command is needed");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s", kUsageHead);
        for (const Subcommand* row : kCommands) std::printf("%s", row->usage);
        std::printf("%s", kUsageEnd);
        return kToolOk;
    }
    if (command == "--version") {
        std::printf("kivtool %s\n", KIV_VERSION);
        return kToolOk;
    }
    for (const Subcommand* row : kCommands) {
        if (command == row->name) return row->run(argc, argv);
    }
    return usageError("unknown command " + command);
}

std::span<const Subcommand* const> subcommands() {
    return kCommands;
}

const Subcommand kUnpackCommand = {
    "unpack", kUnpackOptions,
    "  unpack ARCHIVE DIR [--force]   writes a project of scripts and pictures that rebuilds it\n"
    "  verify --rebuild ARCHIVE       unpacks and rebuilds it; says whether it comes back\n",
    unpackCommand};

}  // namespace kiv
