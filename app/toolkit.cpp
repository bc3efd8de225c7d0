#include "app/toolkit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <tuple>
#include <unordered_map>

#include "app/unpack.h"
#include "common/file_output.h"
#include "grab/item_formats.h"
#include "grab/pcx_decoder.h"
#include "grab/png_picture.h"

namespace kiv {

bool ArchiveView::open(const std::string& path, std::string* why) {
    path_ = path;
    if (!file_.open(path)) {
        if (why != nullptr) *why = file_.reason();
        return false;
    }
    dir_ = readArchiveDirectory(file_, kStrictRules);
    // A file that is no archive at all is refused; one with damaged entries can still be seen.
    for (const ArchiveProblem& problem : dir_.problems) {
        if (problem.entry < 0) {
            if (why != nullptr) *why = problem.text;
            return false;
        }
    }
    return true;
}

bool ArchiveView::readable(size_t i) const {
    const ArchiveEntry& e = dir_.entries[i];
    return e.length >= 0 &&
           (e.length == 0 ||
            (e.offset >= 0 && static_cast<int64_t>(e.offset) + e.length <= dir_.fileSize));
}

std::vector<uint8_t> ArchiveView::item(size_t i) const {
    std::vector<uint8_t> bytes;
    if (!readable(i) || dir_.entries[i].length == 0) return bytes;
    bytes.resize(static_cast<size_t>(dir_.entries[i].length));
    if (!file_.readAt(dir_.entries[i].offset, bytes.data(), bytes.size())) bytes.clear();
    return bytes;
}

ItemInfo ArchiveView::info(size_t i) const {
    if (!readable(i)) return ItemInfo{ItemKind::Raw, "data outside the file", false, 0};
    return recogniseItem(name(i), item(i));
}

bool ArchiveView::displayPalette(std::array<uint8_t, 768>& colours) const {
    for (size_t i = 0; i < size(); ++i) {
        if (entry(i).length != static_cast<int32_t>(kPaletteItemBytes)) continue;
        const std::vector<uint8_t> bytes = item(i);
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

int64_t ArchiveView::damagedPalette() const {
    for (size_t i = 0; i < size(); ++i) {
        if (entry(i).length != static_cast<int32_t>(kPaletteItemBytes)) continue;
        if (!readable(i)) return static_cast<int64_t>(i);
        if (isPaletteItem(item(i))) return -1;
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

bool sameBytes(const ReadableFile& a, int64_t atA, const ReadableFile& b, int64_t atB, int64_t n) {
    constexpr size_t kBlock = 1 << 16;
    std::vector<uint8_t> left(kBlock), right(kBlock);
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min<int64_t>(n, kBlock));
        if (!a.readAt(atA, left.data(), step) || !b.readAt(atB, right.data(), step)) return false;
        if (std::memcmp(left.data(), right.data(), step) != 0) return false;
        atA += static_cast<int64_t>(step);
        atB += static_cast<int64_t>(step);
        n -= static_cast<int64_t>(step);
    }
    return true;
}

SubcommandLine parseSubcommandLine(int argc, char** argv, int from,
                                   const std::vector<std::string>& valued,
                                   const std::vector<std::string>& flags) {
    SubcommandLine w;
    for (int i = from; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            w.help = true;
        } else if (std::find(valued.begin(), valued.end(), word) != valued.end()) {
            if (i + 1 >= argc) {
                w.error = word + " needs a value";
            } else {
                w.options[word] = argv[++i];
            }
        } else if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
            w.options[word] = "";
        } else if (word.size() > 1 && word[0] == '-' && word != "-") {
            w.error = "unknown option " + word;
        } else {
            w.operands.push_back(word);
        }
    }
    return w;
}

namespace {

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

// An entry's name as a terminal may show it.
std::string shownName(const ArchiveView& archive, size_t i) {
    return printableName(archive.name(i));
}

// An item that was asked for and not written, with the reason, on standard error.
void problemWith(const ArchiveView& archive, size_t i, const std::string& what) {
    std::fprintf(stderr, "kivtool: %s: entry %zu (%s): %s\n", archive.path().c_str(), i + 1,
                 shownName(archive, i).c_str(), what.c_str());
}

void notWritten(const ArchiveView& archive, size_t i, const std::string& why) {
    problemWith(archive, i, "not written: " + why);
}

// A whole number from low to high, all digits.
bool wholeNumber(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::atoi(text.c_str());
    return value >= low && value <= high;
}

// The pictures of a changed item side by side with a mask of the pixels that differ.
bool writeDiffImages(const std::string& folder, const std::string& name, const IndexedImage& before,
                     const IndexedImage& after, const std::array<uint8_t, 768>& coloursA,
                     const std::array<uint8_t, 768>& coloursB) {
    IndexedImage mask = after;
    for (size_t p = 0; p < mask.pixels.size(); ++p) {
        if (before.pixels[p] == after.pixels[p]) mask.pixels[p] = 0;
    }
    mask.transparentZero = true;
    const std::string base = inFolder(folder, name);
    std::string why;
    using Picture = std::tuple<const char*, const IndexedImage*, const std::array<uint8_t, 768>*>;
    for (const auto& [suffix, image, colours] :
         {Picture{".before.png", &before, &coloursA}, Picture{".after.png", &after, &coloursB},
          Picture{".diff.png", &mask, &coloursB}}) {
        if (!writeIndexedPng(base + suffix, *image, *colours, &why)) {
            std::fprintf(stderr, "kivtool: %s%s: %s\n", base.c_str(), suffix, why.c_str());
            return false;
        }
    }
    return true;
}

const char* const kUsage =
    "usage: kivtool COMMAND ARGUMENTS\n"
    "Sees, checks, extracts, renders and compares kiv archives.\n\n"
    "  list ARCHIVE [--json]          one row per entry: index, flags, offset, length, kind, name\n"
    "  verify [--strict] ARCHIVE...   checks each archive's structure and items\n"
    "  extract ARCHIVE [NAME...] [-o DIR]\n"
    "                                 writes each item's bytes to a file named after it\n"
    "  render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|FILE.pcx|FILE.png] [--scale N]\n"
    "         [--width W | --table WxH]  writes each graphic item as an indexed PNG\n"
    "  diff A B [--images DIR]        which entries were added, removed, moved, renamed, changed\n"
    "  unpack ARCHIVE DIR [--force]   writes a project of scripts and pictures that rebuilds it\n"
    "  verify --rebuild ARCHIVE       unpacks and rebuilds it; says whether it comes back\n"
    "  index IN.png -o OUT.png --palette SOURCE [--pcx] [--report-only] [OPTION...]\n"
    "                                 maps a true-colour picture onto a palette\n"
    "  table KIND --palette SOURCE -o FILE [OPTION...]\n"
    "                                 writes a colour table: blend, additive, multiply, tint,\n"
    "                                 light, remap or grey\n"
    "\n"
    "A NAME is an entry's name (every entry of that name) or #N, the N-th entry.\n"
    "Exit status: 0 all well (or no difference), 1 a problem or difference found, 2 trouble.\n";

}  // namespace

int usageError(const std::string& what) {
    std::fprintf(stderr, "kivtool: %s\ntry 'kivtool --help'\n", what.c_str());
    return kToolTrouble;
}

namespace {

// ---- list

int list(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, 2, {}, {"--json"});
    if (w.help) {
        std::printf(
            "usage: kivtool list ARCHIVE [--json]\n"
            "One row per entry: index (from 1), flags (8 hex digits), offset, length, kind,\n"
            "name and a detail. Kinds: label, empty, palette, sprite, font, texture,\n"
            "shade-table, blend-table, raw; a kind is given only when the whole item decodes.\n"
            "Names show printable ASCII as it is, '\\' as \\\\ and other bytes as \\xNN. With\n"
            "--json: flags as an unsigned number, names and details as JSON strings in which\n"
            "'\"', '\\' and every byte outside 0x20 to 0x7E is escaped, bytes 0x80 to 0xFF as\n"
            "\\u0080 to \\u00ff (each byte one character).\n");
        return kToolOk;
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 1) return usageError("list takes one archive");
    ArchiveView archive;
    if (!openForReading(archive, w.operands[0])) return kToolTrouble;
    const bool json = w.options.count("--json") > 0;
    if (json) std::printf("[");
    if (!json) {
        std::printf("%s: %zu entries, %lld bytes\n", archive.path().c_str(), archive.size(),
                    static_cast<long long>(archive.directory().fileSize));
        std::printf("%5s %8s %10s %10s  %-12s %-16s %s\n", "#", "flags", "offset", "length", "kind",
                    "name", "detail");
    }
    for (size_t i = 0; i < archive.size(); ++i) {
        const ArchiveEntry& e = archive.entry(i);
        const ItemInfo info = archive.info(i);
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

// ---- verify

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

int verify(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, 2, {}, {"--rebuild", "--strict"});
    if (w.help) {
        std::printf(
            "usage: kivtool verify [--strict] ARCHIVE...\n"
            "       kivtool verify --rebuild ARCHIVE...\n"
            "Checks all eight bytes of the magic, the entry count against the file's size,\n"
            "that every entry's data lies inside the file and behind the directory, that no\n"
            "length or offset is negative and every name ends with a zero, and that every\n"
            "item's data can be read. Flags are not checked: any value is kiv's. Items whose\n"
            "data overlaps and bytes that belong to no item are notes (errors with --strict).\n"
            "With --rebuild: unpacks each archive into a temporary folder, rebuilds it with kiv\n"
            "and says whether it comes back byte for byte, or where it first differs.\n"
            "Exit status: 0 all well, 1 a problem found, 2 a file cannot be read.\n");
        return kToolOk;
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.empty()) return usageError("verify takes one or more archives");
    const bool strict = w.options.count("--strict") > 0;
    int status = kToolOk;
    for (const std::string& path : w.operands) {
        status = std::max(status, w.options.count("--rebuild") ? rebuildAndCompare(path)
                                                               : verifyOne(path, strict));
    }
    return status;
}

// ---- extract

bool isLabel(const ArchiveEntry& entry) {
    const std::string name = entryName(entry);
    return entry.length == 0 && !name.empty() && name.back() == ':';
}

int extract(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, 2, {"-o"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool extract ARCHIVE [NAME...] [-o DIR]\n"
            "Writes each item's exact bytes to a file named after the item (made safe\n"
            "for the file system; empty and repeated names get the entry number).\n"
            "Labels are skipped. Exit status: 0 every item written, 1 an item could not be\n"
            "(its data lies outside the file, or the write failed), 2 trouble.\n");
        return kToolOk;
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

// ---- render

// The colours pictures are shown in: an item of the archive, a picture file's palette, the
// archive's first palette item, or grey. False when the palette asked for cannot be had;
// damaged is set when the archive's own palette is cut short.
bool chooseColours(const ArchiveView& archive, const std::string& wanted,
                   std::array<uint8_t, 768>& colours, bool* damaged = nullptr) {
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
                            "not a palette item (" + std::string(kindName(archive.info(i).kind)) +
                                " of " + std::to_string(bytes.size()) + " bytes)");
                return false;
            }
            colours = displayColours(bytes);
            return true;
        }
        ReadableFile file;
        if (!file.open(wanted)) {
            std::fprintf(stderr, "kivtool: %s is neither an entry of %s nor a picture file (%s)\n",
                         printableName(wanted).c_str(), archive.path().c_str(),
                         file.reason().c_str());
            return false;
        }
        const std::vector<uint8_t> bytes = file.readAll(64 << 20);
        if (hasPngSignature(bytes)) {
            PngPicture png;
            std::string why;
            if (readIndexedPng(bytes, 1 << 24, png, &why)) {
                colours = png.colours;
                return true;
            }
            std::fprintf(stderr, "kivtool: %s: %s\n", wanted.c_str(), why.c_str());
            return false;
        }
        PcxInfo info;
        if (readPcxInfo(pcxFileFromBytes(bytes), info) == PcxProblem::None) {
            colours = info.fileColours;
            return true;
        }
        std::fprintf(stderr, "kivtool: %s is neither an indexed PNG nor a 256-colour PCX picture\n",
                     wanted.c_str());
        return false;
    }
    const int64_t cut = archive.damagedPalette();
    if (cut >= 0) {
        problemWith(archive, static_cast<size_t>(cut),
                    "a palette item whose data lies outside the file; pictures are shown in grey");
        if (damaged != nullptr) *damaged = true;
    }
    if (!archive.displayPalette(colours) && cut < 0) {
        std::fprintf(stderr, "kivtool: %s has no palette item; pictures are shown in grey\n",
                     archive.path().c_str());
    }
    return true;
}

// Why an item asked for gives no picture ("" when it gives one).
std::string whyNoPicture(const ArchiveView& archive, size_t i, const ItemInfo& info, size_t bytes,
                         int32_t rawWidth) {
    if (!archive.readable(i)) return "its data lies outside the file";
    switch (info.kind) {
        case ItemKind::Label:
            return "a label has no picture";
        case ItemKind::Empty:
            return "an empty item has no picture";
        case ItemKind::Sprite:
        case ItemKind::Texture:
            return "a " + std::string(kindName(info.kind)) + " of " + info.detail +
                   " has no pixels to draw";
        case ItemKind::Raw:
            if (rawWidth == 0) {
                return "a raw item of " + std::to_string(bytes) +
                       " bytes: give --width W to draw it in rows of W pixels";
            }
            return "a raw item of " + std::to_string(bytes) + " bytes is shorter than one row of " +
                   std::to_string(rawWidth) + " pixels";
        default:
            return "it has no picture";
    }
}

int render(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(
        argc, argv, 2, {"-o", "--palette", "--scale", "--width", "--table"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|FILE.pcx|FILE.png]\n"
            "                      [--scale N] [--width W | --table WxH]\n"
            "Writes each graphic item as an indexed PNG whose pixel values are the item's\n"
            "palette indices and whose palette holds the 256 colours in order (index 0\n"
            "transparent for sprites and fonts): sprites and textures at their size, a font as\n"
            "a sheet of its glyphs in a grid of 16, the palette as a 16 x 16 swatch, a shade\n"
            "table as 256 x 32, each blend level as 256 x 256 (NAME.levelN.png), a raw item in\n"
            "rows of W pixels when --width is given, a raw item of 65,536 bytes as a 256 x 256\n"
            "table and, with --table WxH, a raw item of whole W x H tables as one picture per\n"
            "table (NAME.levelN.png when there are several). The colours are the archive's first\n"
            "palette item unless --palette names another item or a picture file.\n"
            "Every item named (with no names, every graphic item) is written or said on\n"
            "standard error with the reason. Exit status: 0 all written, 1 an item not\n"
            "written or the archive's palette damaged, 2 trouble.\n");
        return kToolOk;
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.empty()) return usageError("render takes an archive");
    int scale = 1, rawWidth = 0;
    if (w.options.count("--scale") && !wholeNumber(w.options.at("--scale"), 1, 16, scale)) {
        return usageError("--scale takes a whole number from 1 to 16");
    }
    if (w.options.count("--width") && !wholeNumber(w.options.at("--width"), 1, 65536, rawWidth)) {
        return usageError("--width takes a whole number from 1 to 65536");
    }
    int tableWidth = 0, tableHeight = 0;
    if (w.options.count("--table")) {
        const std::string& size = w.options.at("--table");
        const size_t x = size.find('x');
        if (rawWidth > 0 || x == std::string::npos ||
            !wholeNumber(size.substr(0, x), 1, 65536, tableWidth) ||
            !wholeNumber(size.substr(x + 1), 1, 65536, tableHeight) ||
            int64_t{tableWidth} * tableHeight > (int64_t{1} << 24)) {
            return usageError(
                "--table takes WxH, each from 1 to 65536 and at most 16,777,216 "
                "cells, and not with --width");
        }
    }
    ArchiveView archive;
    if (!openForReading(archive, w.operands[0])) return kToolTrouble;
    const bool named = w.operands.size() > 1;
    const auto chosen = selectEntries(archive, {w.operands.begin() + 1, w.operands.end()});
    if (!chosen) return kToolTrouble;
    std::array<uint8_t, 768> colours{};
    bool damaged = false;
    if (!chooseColours(archive, w.options.count("--palette") ? w.options.at("--palette") : "",
                       colours, &damaged)) {
        return kToolProblem;
    }
    const std::string folder = w.options.count("-o") ? w.options.at("-o") : ".";
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", folder.c_str());
        return kToolTrouble;
    }
    std::unordered_set<std::string> used;
    int status = damaged ? kToolProblem : kToolOk;
    for (size_t i : *chosen) {
        const std::vector<uint8_t> bytes = archive.item(i);
        const ItemInfo info =
            archive.readable(i) ? recogniseItem(archive.name(i), bytes) : archive.info(i);
        std::vector<IndexedImage> pictures = renderItem(info, bytes, rawWidth);
        // Tables: whole W x H blocks of a raw item, one picture each.
        const bool table = info.kind == ItemKind::Raw && rawWidth == 0 &&
                           (tableWidth > 0 || bytes.size() == 65536);
        const size_t cells = tableWidth > 0 ? size_t(tableWidth) * size_t(tableHeight) : 65536;
        if (table && !bytes.empty() && bytes.size() % cells == 0) {
            for (size_t at = 0; at < bytes.size(); at += cells) {
                pictures.push_back({tableWidth > 0 ? tableWidth : 256,
                                    tableHeight > 0 ? tableHeight : 256,
                                    {bytes.begin() + static_cast<ptrdiff_t>(at),
                                     bytes.begin() + static_cast<ptrdiff_t>(at + cells)},
                                    false});
            }
        }
        if (pictures.empty()) {
            // Without names only graphic items are asked for: labels, empty and raw items
            // (unless a width is given) are passed over.
            const bool graphic = info.kind != ItemKind::Label && info.kind != ItemKind::Empty &&
                                 (info.kind != ItemKind::Raw || rawWidth > 0 || tableWidth > 0);
            if (named || graphic || !archive.readable(i)) {
                notWritten(archive, i,
                           table && archive.readable(i)
                               ? "a raw item of " + std::to_string(bytes.size()) +
                                     " bytes is no whole number of " + std::to_string(tableWidth) +
                                     " x " + std::to_string(tableHeight) + " tables"
                               : whyNoPicture(archive, i, info, bytes.size(), rawWidth));
                status = kToolProblem;
            }
            continue;
        }
        const std::string base = safeFileName(archive.name(i), i, used);
        for (size_t level = 0; level < pictures.size(); ++level) {
            const std::string file =
                inFolder(folder, base + (info.kind == ItemKind::BlendTable || pictures.size() > 1
                                             ? ".level" + std::to_string(level) + ".png"
                                             : ".png"));
            std::string why;
            if (!writeIndexedPng(file, enlarged(pictures[level], scale), colours, &why)) {
                notWritten(archive, i, file + ": " + why);
                status = kToolProblem;
                continue;
            }
            std::printf("%s\n", file.c_str());
        }
    }
    return status;
}

// ---- diff

// An entry's data, said for a line of diff.
std::string described(const ArchiveView& archive, size_t i, const ItemInfo& info, size_t bytes) {
    if (!archive.readable(i)) return "data outside the file";
    return std::string(kindName(info.kind)) + " of " + std::to_string(bytes) + " bytes";
}

// A content hash of an item (FNV-1a over its bytes, read in blocks); 0 when it cannot be read.
uint64_t contentHash(const ArchiveView& archive, size_t i) {
    const ArchiveEntry& e = archive.entry(i);
    uint64_t hash = 1469598103934665603ull;
    std::vector<uint8_t> block(1 << 16);
    for (int64_t done = 0; done < e.length;) {
        const size_t step = static_cast<size_t>(std::min<int64_t>(e.length - done, 1 << 16));
        if (!archive.file().readAt(e.offset + done, block.data(), step)) return 0;
        for (size_t k = 0; k < step; ++k) hash = (hash ^ block[k]) * 1099511628211ull;
        done += static_cast<int64_t>(step);
    }
    return hash;
}

// What lies after the last item (both files have the right magic, or they would not be open).
std::string outsideDifference(const ArchiveView& a, const ArchiveView& b) {
    auto tail = [](const ArchiveView& v) {
        int64_t end = static_cast<int64_t>(kHeaderBytes) +
                      static_cast<int64_t>(v.size()) * static_cast<int64_t>(kEntryBytes);
        for (size_t i = 0; i < v.size(); ++i) {
            if (v.readable(i) && v.entry(i).length > 0) {
                end = std::max(end, static_cast<int64_t>(v.entry(i).offset) + v.entry(i).length);
            }
        }
        return std::pair<int64_t, int64_t>(end, v.directory().fileSize - end);
    };
    const auto [endA, tailA] = tail(a);
    const auto [endB, tailB] = tail(b);
    if (tailA != tailB) {
        return "after the last item: " + std::to_string(tailA) + " bytes -> " +
               std::to_string(tailB) + " bytes";
    }
    if (tailA > 0 && !sameBytes(a.file(), endA, b.file(), endB, tailA)) {
        return "the " + std::to_string(tailA) + " bytes after the last item differ";
    }
    return "";
}

int diff(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, 2, {"--images"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool diff A B [--images DIR]\n"
            "Says which entries were added, removed, moved, renamed or changed (flags, name\n"
            "bytes, data; for a changed graphic item its size and how many pixels differ), and\n"
            "what differs outside the entries (the magic, bytes after the last item).\n"
            "--images writes NAME.before.png, NAME.after.png and NAME.diff.png for changed\n"
            "pictures of one size. Exit status: 0 the two files hold the same entries (flags,\n"
            "names, bytes, order) and nothing else, 1 different, 2 trouble.\n");
        return kToolOk;
    }
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 2) return usageError("diff takes two archives");
    ArchiveView a, b;
    if (!openForReading(a, w.operands[0]) || !openForReading(b, w.operands[1])) return kToolTrouble;
    const std::string images = w.options.count("--images") ? w.options.at("--images") : "";
    if (!images.empty() && !makeFolder(images)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", images.c_str());
        return kToolTrouble;
    }
    // The same file: nothing to say.
    const int64_t sizeA = a.directory().fileSize, sizeB = b.directory().fileSize;
    if (sizeA == sizeB && sameBytes(a.file(), 0, b.file(), 0, sizeA)) return kToolOk;

    // Entries of the same name pair up in the order they come.
    std::unordered_map<std::string, std::vector<size_t>> inB;
    for (size_t j = 0; j < b.size(); ++j) inB[b.name(j)].push_back(j);
    std::unordered_map<std::string, size_t> taken;
    std::vector<std::pair<size_t, size_t>> pairs;
    std::vector<bool> pairedA(a.size()), pairedB(b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        const auto found = inB.find(a.name(i));
        if (found == inB.end()) continue;
        size_t& next = taken[a.name(i)];
        if (next < found->second.size()) {
            pairs.emplace_back(i, found->second[next]);
            pairedA[i] = pairedB[found->second[next]] = true;
            ++next;
        }
    }
    std::vector<std::string> lines;
    // Renamed: an entry of A without partner whose bytes an entry of B without partner holds.
    // Candidates meet by flags, length and a hash of their bytes; each item is read once for
    // its hash and once more to be sure.
    std::unordered_map<uint64_t, std::vector<size_t>> unpairedB;
    auto key = [](const ArchiveView& v, size_t i) {
        const ArchiveEntry& e = v.entry(i);
        uint64_t k = contentHash(v, i);
        k ^= (static_cast<uint64_t>(static_cast<uint32_t>(e.length)) << 32 |
              static_cast<uint32_t>(e.flags)) *
             0x9E3779B97F4A7C15ull;
        return k;
    };
    for (size_t j = 0; j < b.size(); ++j) {
        if (!pairedB[j] && b.entry(j).length > 0 && b.readable(j))
            unpairedB[key(b, j)].push_back(j);
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (pairedA[i] || a.entry(i).length == 0 || !a.readable(i)) continue;
        const auto found = unpairedB.find(key(a, i));
        if (found == unpairedB.end()) continue;
        for (size_t& j : found->second) {
            if (j == SIZE_MAX || pairedB[j]) continue;
            const ArchiveEntry& x = a.entry(i);
            const ArchiveEntry& y = b.entry(j);
            if (x.flags != y.flags || x.length != y.length ||
                !sameBytes(a.file(), x.offset, b.file(), y.offset, x.length)) {
                continue;
            }
            lines.push_back("renamed  " + shownName(a, i) + " -> " + shownName(b, j) + " (entry " +
                            std::to_string(i + 1) + " -> " + std::to_string(j + 1) + ")");
            pairedA[i] = pairedB[j] = true;
            j = SIZE_MAX;
            break;
        }
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!pairedA[i]) {
            lines.push_back("removed  " + shownName(a, i) + " (entry " + std::to_string(i + 1) +
                            ")");
        }
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!pairedB[j]) {
            lines.push_back("added    " + shownName(b, j) + " (entry " + std::to_string(j + 1) +
                            ")");
        }
    }
    // Moved: pairs outside the longest run of pairs that keep their order.
    std::vector<size_t> order;  // B positions in A's order
    for (const auto& p : pairs) order.push_back(p.second);
    std::vector<size_t> tails, tailIndex, parent(order.size(), SIZE_MAX);
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t at = static_cast<size_t>(
            std::lower_bound(tails.begin(), tails.end(), order[k]) - tails.begin());
        if (at == tails.size()) {
            tails.push_back(order[k]);
            tailIndex.push_back(k);
        } else {
            tails[at] = order[k];
            tailIndex[at] = k;
        }
        if (at > 0) parent[k] = tailIndex[at - 1];
    }
    std::vector<bool> inOrder(order.size());
    for (size_t k = tailIndex.empty() ? SIZE_MAX : tailIndex.back(); k != SIZE_MAX; k = parent[k]) {
        inOrder[k] = true;
    }
    std::array<uint8_t, 768> coloursA{}, coloursB{};
    if (!images.empty()) {
        chooseColours(a, "", coloursA);
        chooseColours(b, "", coloursB);
    }
    std::unordered_set<std::string> used;
    for (size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (!inOrder[k]) {
            lines.push_back("moved    " + shownName(a, i) + " (entry " + std::to_string(i + 1) +
                            " -> " + std::to_string(j + 1) + ")");
        }
        // Entries that hold the same (flags, the whole name field, bytes, and for zero-length
        // entries the offset) leave what empty.
        const ArchiveEntry& x = a.entry(i);
        const ArchiveEntry& y = b.entry(j);
        std::vector<std::string> what;
        if (x.flags != y.flags) {
            char text[48];
            std::snprintf(text, sizeof text, "flags %08" PRIx32 " -> %08" PRIx32,
                          static_cast<uint32_t>(x.flags), static_cast<uint32_t>(y.flags));
            what.emplace_back(text);
        }
        if (x.name != y.name) what.emplace_back("the bytes after the name differ");
        const bool bothReadable = a.readable(i) && b.readable(j);
        const bool sameData =
            bothReadable && x.length == y.length &&
            (x.length == 0 || sameBytes(a.file(), x.offset, b.file(), y.offset, x.length));
        if (sameData && x.length == 0 && x.offset != y.offset) {
            what.push_back("zero-length entry at offset " + std::to_string(x.offset) + " -> " +
                           std::to_string(y.offset));
        }
        if (!sameData) {
            const std::vector<uint8_t> before = a.item(i), after = b.item(j);
            const ItemInfo infoA = a.readable(i) ? recogniseItem(a.name(i), before) : a.info(i);
            const ItemInfo infoB = b.readable(j) ? recogniseItem(b.name(j), after) : b.info(j);
            const auto picturesA = renderItem(infoA, before), picturesB = renderItem(infoB, after);
            std::string text;
            if (bothReadable && infoA.kind == infoB.kind && !picturesA.empty() &&
                !picturesB.empty() && infoA.kind != ItemKind::Palette) {
                const IndexedImage& pa = picturesA[0];
                const IndexedImage& pb = picturesB[0];
                text = std::string(kindName(infoA.kind)) + " " + infoA.detail;
                if (pa.width == pb.width && pa.height == pb.height &&
                    picturesA.size() == picturesB.size()) {
                    size_t differ = 0, pixels = 0;
                    for (size_t level = 0; level < picturesA.size(); ++level) {
                        const auto& pixelsA = picturesA[level].pixels;
                        const auto& pixelsB = picturesB[level].pixels;
                        pixels += pixelsA.size();
                        for (size_t p = 0; p < pixelsA.size(); ++p)
                            differ += pixelsA[p] != pixelsB[p];
                    }
                    text +=
                        ", " + std::to_string(differ) + " of " + std::to_string(pixels) +
                        (infoA.kind == ItemKind::ShadeTable || infoA.kind == ItemKind::BlendTable
                             ? " cells differ"
                             : " pixels differ");
                    if (differ == 0) {
                        // Same pixels from other bytes (a re-encoding): still a change.
                        text +=
                            " (same pixels, other bytes: " + described(a, i, infoA, before.size()) +
                            " -> " + described(b, j, infoB, after.size()) + ")";
                    }
                    if (!images.empty() &&
                        !writeDiffImages(images, safeFileName(a.name(i), i, used), pa, pb, coloursA,
                                         coloursB)) {
                        return kToolTrouble;
                    }
                } else {
                    text += " -> " + infoB.detail;
                }
            } else {
                text = described(a, i, infoA, before.size()) + " -> " +
                       described(b, j, infoB, after.size());
                // Raw items of one size (colour tables among them): how many cells differ.
                if (bothReadable && infoA.kind == ItemKind::Raw && infoB.kind == ItemKind::Raw &&
                    before.size() == after.size()) {
                    size_t differ = 0;
                    for (size_t p = 0; p < before.size(); ++p) differ += before[p] != after[p];
                    text += ", " + std::to_string(differ) + " of " + std::to_string(before.size()) +
                            " cells differ";
                }
            }
            what.push_back(text);
        }
        if (what.empty()) continue;
        std::string line = "changed  " + shownName(a, i) + ": ";
        for (size_t n = 0; n < what.size(); ++n) line += (n > 0 ? "; " : "") + what[n];
        lines.push_back(line);
    }
    const std::string outside = outsideDifference(a, b);
    if (!outside.empty()) lines.push_back("outside  " + outside);
    // The files differ, so something must be said.
    if (lines.empty()) {
        lines.push_back("outside  the files differ outside the entries (" + std::to_string(sizeA) +
                        " -> " + std::to_string(sizeB) + " bytes)");
    }
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return kToolProblem;
}

}  // namespace

int kivtoolMain(int argc, char** argv) {
    if (argc < 2) return usageError("a command is needed");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s", kUsage);
        return kToolOk;
    }
    if (command == "--version") {
        std::printf("kivtool %s\n", KIV_VERSION);
        return kToolOk;
    }
    if (command == "list") return list(argc, argv);
    if (command == "verify") return verify(argc, argv);
    if (command == "extract") return extract(argc, argv);
    if (command == "render") return render(argc, argv);
    if (command == "diff") return diff(argc, argv);
    if (command == "index") return indexPicture(argc, argv);
    if (command == "table") return makeColourTable(argc, argv);
    if (command == "unpack") {
        const SubcommandLine w = parseSubcommandLine(argc, argv, 2, {}, {"--force"});
        if (w.help) {
            std::printf(
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
                "reproduced or a file cannot be written (said on standard error), 2 trouble.\n");
            return kToolOk;
        }
        if (!w.error.empty()) return usageError(w.error);
        if (w.operands.size() != 2) return usageError("unpack takes an archive and a folder");
        return unpackArchive(w.operands[0], w.operands[1], w.options.count("--force") > 0);
    }
    return usageError("unknown command " + command);
}

}  // namespace kiv
