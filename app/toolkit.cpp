#include "app/toolkit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>

#include "app/unpack.h"
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

std::optional<std::vector<size_t>> selectEntries(const ArchiveView& archive,
                                                 const std::vector<std::string>& names) {
    std::vector<size_t> chosen;
    if (names.empty()) {
        for (size_t i = 0; i < archive.size(); ++i) chosen.push_back(i);
        return chosen;
    }
    bool allFound = true;
    for (const std::string& wanted : names) {
        bool found = false;
        if (wanted.size() > 1 && wanted[0] == '#') {
            const long n = std::strtol(wanted.c_str() + 1, nullptr, 10);
            if (n >= 1 && static_cast<size_t>(n) <= archive.size()) {
                chosen.push_back(static_cast<size_t>(n - 1));
                found = true;
            }
        }
        for (size_t i = 0; i < archive.size() && !found; ++i) {
            if (archive.name(i) != wanted) continue;
            for (size_t j = i; j < archive.size(); ++j) {
                if (archive.name(j) == wanted) chosen.push_back(j);
            }
            found = true;
        }
        if (!found) {
            std::fprintf(stderr, "kivtool: %s: no entry named %s\n", archive.path().c_str(),
                         wanted.c_str());
            allFound = false;
        }
    }
    if (!allFound) return std::nullopt;
    return chosen;
}

std::string safeFileName(const std::string& name, size_t index, std::vector<std::string>& used) {
    std::string safe;
    for (char c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        safe += keep ? c : '_';
    }
    if (!safe.empty() && safe[0] == '.') safe[0] = '_';
    const std::string numbered = "entry-" + std::to_string(index + 1);
    if (safe.empty()) safe = numbered;
    if (std::find(used.begin(), used.end(), safe) != used.end()) safe += "-" + numbered;
    used.push_back(safe);
    return safe;
}

namespace {

// The command line of a subcommand: its words and options.
struct Words {
    std::vector<std::string> plain;
    std::map<std::string, std::string> options;  // --name value, or "" for a flag
    bool help = false;
    std::string bad;  // an unknown option
};

Words parseWords(int argc, char** argv, int from, const std::vector<std::string>& valued,
                 const std::vector<std::string>& flags) {
    Words w;
    for (int i = from; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            w.help = true;
        } else if (std::find(valued.begin(), valued.end(), word) != valued.end()) {
            if (i + 1 >= argc) {
                w.bad = word + " needs a value";
            } else {
                w.options[word] = argv[++i];
            }
        } else if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
            w.options[word] = "";
        } else if (word.size() > 1 && word[0] == '-' && word != "-") {
            w.bad = "unknown option " + word;
        } else {
            w.plain.push_back(word);
        }
    }
    return w;
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

bool openArchive(ArchiveView& archive, const std::string& path) {
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

// The name field as text that shows every byte: printable characters as they are, others as
// \xNN.
std::string printableName(const ArchiveEntry& entry) {
    std::string out;
    for (char c : entryName(entry)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", u);
            out += buffer;
        }
    }
    return out;
}

const char* const kUsage =
    "usage: kivtool COMMAND ARGUMENTS\n"
    "Sees, checks, extracts, renders and compares kiv archives.\n\n"
    "  list ARCHIVE [--json]          one row per entry: index, flags, offset, length, kind, name\n"
    "  verify ARCHIVE...              checks each archive's structure and items\n"
    "  extract ARCHIVE [NAME...] [-o DIR]\n"
    "                                 writes each item's bytes to a file named after it\n"
    "  render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|FILE.pcx|FILE.png] [--scale N]\n"
    "         [--width W]             writes each graphic item as an indexed PNG\n"
    "  diff A B [--images DIR]        which entries were added, removed, moved, renamed, changed\n"
    "  unpack ARCHIVE DIR             writes a project of scripts and pictures that rebuilds it\n"
    "  verify --rebuild ARCHIVE       unpacks and rebuilds it; says whether it comes back\n"
    "\n"
    "A NAME is an entry's name (every entry of that name) or #N, the N-th entry.\n"
    "Exit status: 0 all well (or no difference), 1 a problem or difference found, 2 trouble.\n";

int usageError(const std::string& what) {
    std::fprintf(stderr, "kivtool: %s\n%s", what.c_str(), kUsage);
    return kToolTrouble;
}

// ---- list

int list(int argc, char** argv) {
    const Words w = parseWords(argc, argv, 2, {}, {"--json"});
    if (w.help) {
        std::printf(
            "usage: kivtool list ARCHIVE [--json]\n"
            "One row per entry: index (from 1), flags, offset, length, kind, name and a\n"
            "detail. Kinds: label, empty, palette, sprite, font, texture, shade-table,\n"
            "blend-table, raw; a kind is given only when the whole item decodes.\n");
        return kToolOk;
    }
    if (!w.bad.empty()) return usageError(w.bad);
    if (w.plain.size() != 1) return usageError("list takes one archive");
    ArchiveView archive;
    if (!openArchive(archive, w.plain[0])) return kToolTrouble;
    const bool json = w.options.count("--json") > 0;
    if (json) std::printf("[");
    if (!json) {
        std::printf("%s: %zu entries, %lld bytes\n", archive.path().c_str(), archive.size(),
                    static_cast<long long>(archive.directory().fileSize));
        std::printf("%5s %6s %10s %10s  %-12s %-16s %s\n", "#", "flags", "offset", "length", "kind",
                    "name", "detail");
    }
    for (size_t i = 0; i < archive.size(); ++i) {
        const ArchiveEntry& e = archive.entry(i);
        const ItemInfo info = archive.info(i);
        if (json) {
            std::printf(
                "%s\n  {\"index\": %zu, \"name\": %s, \"flags\": %d, \"offset\": %d, "
                "\"length\": %d, \"kind\": \"%s\", \"detail\": %s}",
                i == 0 ? "" : ",", i + 1, jsonString(entryName(e)).c_str(), e.flags, e.offset,
                e.length, kindName(info.kind), jsonString(info.detail).c_str());
        } else {
            std::printf("%5zu %6d %10d %10d  %-12s %-16s %s\n", i + 1, e.flags, e.offset, e.length,
                        kindName(info.kind), printableName(e).c_str(), info.detail.c_str());
        }
    }
    if (json) std::printf("%s]\n", archive.size() > 0 ? "\n" : "");
    for (const ArchiveProblem& problem : archive.directory().problems) {
        std::fprintf(stderr, "kivtool: %s: %s\n", archive.path().c_str(),
                     problem.describe().c_str());
    }
    return archive.directory().problems.empty() ? kToolOk : kToolFound;
}

// ---- verify

int verifyOne(const std::string& path) {
    ArchiveView archive;
    std::string why;
    if (!archive.open(path, &why)) {
        // A file that is there but no archive is a problem found; one that cannot be read,
        // trouble.
        std::fprintf(stderr, "kivtool: %s: %s\n", path.c_str(), why.c_str());
        ReadableFile probe;
        return probe.open(path) ? kToolFound : kToolTrouble;
    }
    int problems = 0;
    for (const ArchiveProblem& problem : archive.directory().problems) {
        std::printf("%s: %s\n", path.c_str(), problem.describe().c_str());
        ++problems;
    }
    // Every item's bytes can be read; its kind is recognised only when it decodes whole.
    for (size_t i = 0; i < archive.size(); ++i) {
        if (!archive.readable(i)) continue;
        if (archive.item(i).size() != static_cast<size_t>(archive.entry(i).length)) {
            std::printf("%s: entry %zu (%s): its data cannot be read\n", path.c_str(), i + 1,
                        printableName(archive.entry(i)).c_str());
            ++problems;
        }
    }
    if (problems == 0) std::printf("%s: ok, %zu entries\n", path.c_str(), archive.size());
    return problems == 0 ? kToolOk : kToolFound;
}

int verify(int argc, char** argv) {
    const Words w = parseWords(argc, argv, 2, {}, {"--rebuild"});
    if (w.help) {
        std::printf(
            "usage: kivtool verify ARCHIVE...\n"
            "       kivtool verify --rebuild ARCHIVE...\n"
            "Checks the magic, the entry count against the file's size, that every\n"
            "entry's data lies inside the file, that no value is negative and every name\n"
            "ends with a zero, and that every item recognised as a kind decodes.\n"
            "With --rebuild: unpacks each archive into a temporary folder, rebuilds it with kiv\n"
            "and says whether it comes back byte for byte, or where it first differs.\n"
            "Exit status: 0 all well, 1 a problem found, 2 a file cannot be read.\n");
        return kToolOk;
    }
    if (!w.bad.empty()) return usageError(w.bad);
    if (w.plain.empty()) return usageError("verify takes one or more archives");
    int status = kToolOk;
    for (const std::string& path : w.plain) {
        status = std::max(status,
                          w.options.count("--rebuild") ? rebuildAndCompare(path) : verifyOne(path));
    }
    return status;
}

// ---- extract

int extract(int argc, char** argv) {
    const Words w = parseWords(argc, argv, 2, {"-o"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool extract ARCHIVE [NAME...] [-o DIR]\n"
            "Writes each item's exact bytes to a file named after the item (made safe\n"
            "for the file system; empty and repeated names get the entry number).\n"
            "Labels are skipped.\n");
        return kToolOk;
    }
    if (!w.bad.empty()) return usageError(w.bad);
    if (w.plain.empty()) return usageError("extract takes an archive");
    ArchiveView archive;
    if (!openArchive(archive, w.plain[0])) return kToolTrouble;
    const auto chosen = selectEntries(archive, {w.plain.begin() + 1, w.plain.end()});
    if (!chosen) return kToolTrouble;
    const std::string folder = w.options.count("-o") ? w.options.at("-o") : ".";
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", folder.c_str());
        return kToolTrouble;
    }
    std::vector<std::string> used;
    int status = kToolOk;
    for (size_t i : *chosen) {
        const ItemInfo info = archive.info(i);
        if (info.kind == ItemKind::Label) continue;
        if (!archive.readable(i)) {
            std::fprintf(stderr, "kivtool: entry %zu (%s): data outside the file, not written\n",
                         i + 1, archive.name(i).c_str());
            status = kToolFound;
            continue;
        }
        const std::string file = inFolder(folder, safeFileName(archive.name(i), i, used));
        const std::vector<uint8_t> bytes = archive.item(i);
        std::FILE* out = std::fopen(file.c_str(), "wb");
        const bool written =
            out != nullptr &&
            (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size());
        if (out != nullptr && std::fclose(out) != 0) status = kToolTrouble;
        if (!written) {
            std::fprintf(stderr, "kivtool: %s: %s\n", file.c_str(), std::strerror(errno));
            return kToolTrouble;
        }
        std::printf("%s\n", file.c_str());
    }
    return status;
}

// ---- render

// The colours pictures are shown in: an item of the archive, a picture file's palette, the
// archive's first palette item, or grey.
bool chooseColours(const ArchiveView& archive, const std::string& wanted,
                   std::array<uint8_t, 768>& colours) {
    if (!wanted.empty()) {
        ReadableFile file;
        bool isFile = false;
        for (size_t i = 0; i < archive.size(); ++i) {
            if (archive.name(i) != wanted) continue;
            const std::vector<uint8_t> bytes = archive.item(i);
            if (!isPaletteItem(bytes)) break;
            colours = displayColours(bytes);
            return true;
        }
        if (file.open(wanted)) {
            isFile = true;
            const std::vector<uint8_t> bytes = file.readAll(64 << 20);
            PngPicture png;
            if (hasPngSignature(bytes)) {
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
        }
        std::fprintf(stderr, "kivtool: %s is %s\n", wanted.c_str(),
                     isFile ? "neither an indexed PNG nor a 256-colour PCX picture"
                            : "neither a palette item of the archive nor a picture file");
        return false;
    }
    if (!archive.displayPalette(colours)) {
        std::fprintf(stderr, "kivtool: %s has no palette item; pictures are shown in grey\n",
                     archive.path().c_str());
    }
    return true;
}

int render(int argc, char** argv) {
    const Words w = parseWords(argc, argv, 2, {"-o", "--palette", "--scale", "--width"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|FILE.pcx|FILE.png]\n"
            "                      [--scale N] [--width W]\n"
            "Writes each graphic item as an indexed PNG whose pixel values are the item's\n"
            "palette indices and whose palette holds the 256 colours in order (index 0\n"
            "transparent for sprites and fonts): sprites and textures at their size, a font as\n"
            "a sheet of its glyphs in a grid of 16, the palette as a 16 x 16 swatch, a shade\n"
            "table as 256 x 32, each blend level as 256 x 256 (NAME.levelN.png), a raw item in\n"
            "rows of W pixels when --width is given. The colours are the archive's first\n"
            "palette item unless --palette names another item or a picture file.\n");
        return kToolOk;
    }
    if (!w.bad.empty()) return usageError(w.bad);
    if (w.plain.empty()) return usageError("render takes an archive");
    const int scale = w.options.count("--scale") ? std::atoi(w.options.at("--scale").c_str()) : 1;
    const int rawWidth =
        w.options.count("--width") ? std::atoi(w.options.at("--width").c_str()) : 0;
    if (scale < 1 || scale > 16) return usageError("--scale takes a whole number from 1 to 16");
    if (rawWidth < 0 || rawWidth > 65536) return usageError("--width takes 1 to 65536");
    ArchiveView archive;
    if (!openArchive(archive, w.plain[0])) return kToolTrouble;
    const auto chosen = selectEntries(archive, {w.plain.begin() + 1, w.plain.end()});
    if (!chosen) return kToolTrouble;
    std::array<uint8_t, 768> colours{};
    if (!chooseColours(archive, w.options.count("--palette") ? w.options.at("--palette") : "",
                       colours)) {
        return kToolTrouble;
    }
    const std::string folder = w.options.count("-o") ? w.options.at("-o") : ".";
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", folder.c_str());
        return kToolTrouble;
    }
    std::vector<std::string> used;
    for (size_t i : *chosen) {
        const std::vector<uint8_t> bytes = archive.item(i);
        const ItemInfo info = recogniseItem(archive.name(i), bytes);
        const std::vector<IndexedImage> pictures = renderItem(info, bytes, rawWidth);
        if (pictures.empty()) continue;
        const std::string base = safeFileName(archive.name(i), i, used);
        for (size_t level = 0; level < pictures.size(); ++level) {
            const std::string file =
                inFolder(folder, base + (info.kind == ItemKind::BlendTable
                                             ? ".level" + std::to_string(level) + ".png"
                                             : ".png"));
            std::string why;
            if (!writeIndexedPng(file, scaled(pictures[level], scale), colours, &why)) {
                std::fprintf(stderr, "kivtool: %s: %s\n", file.c_str(), why.c_str());
                return kToolTrouble;
            }
            std::printf("%s\n", file.c_str());
        }
    }
    return kToolOk;
}

// ---- diff

int diff(int argc, char** argv) {
    const Words w = parseWords(argc, argv, 2, {"--images"}, {});
    if (w.help) {
        std::printf(
            "usage: kivtool diff A B [--images DIR]\n"
            "Says which entries were added, removed, moved, renamed or changed (for a\n"
            "changed graphic item: its size and how many pixels differ). --images writes\n"
            "NAME.before.png, NAME.after.png and NAME.diff.png for changed pictures of\n"
            "one size. Exit status: 0 the same content, 1 different, 2 trouble.\n");
        return kToolOk;
    }
    if (!w.bad.empty()) return usageError(w.bad);
    if (w.plain.size() != 2) return usageError("diff takes two archives");
    ArchiveView a, b;
    if (!openArchive(a, w.plain[0]) || !openArchive(b, w.plain[1])) return kToolTrouble;
    const std::string images = w.options.count("--images") ? w.options.at("--images") : "";
    if (!images.empty() && !makeFolder(images)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", images.c_str());
        return kToolTrouble;
    }
    // Entries of the same name pair up in the order they come.
    std::map<std::string, std::vector<size_t>> inB;
    for (size_t j = 0; j < b.size(); ++j) inB[b.name(j)].push_back(j);
    std::map<std::string, size_t> taken;
    std::vector<std::pair<size_t, size_t>> pairs;
    std::vector<bool> pairedA(a.size()), pairedB(b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        auto& candidates = inB[a.name(i)];
        size_t& next = taken[a.name(i)];
        if (next < candidates.size()) {
            pairs.emplace_back(i, candidates[next]);
            pairedA[i] = pairedB[candidates[next]] = true;
            ++next;
        }
    }
    std::vector<std::string> lines;
    auto same = [&](size_t i, size_t j) {
        return a.entry(i).flags == b.entry(j).flags && a.item(i) == b.item(j) &&
               a.entry(i).length == b.entry(j).length;
    };
    // Renamed: an entry of A without partner whose bytes an entry of B without partner holds.
    for (size_t i = 0; i < a.size(); ++i) {
        if (pairedA[i]) continue;
        for (size_t j = 0; j < b.size(); ++j) {
            if (pairedB[j] || !same(i, j) || a.entry(i).length == 0) continue;
            lines.push_back("renamed  " + a.name(i) + " -> " + b.name(j) + " (entry " +
                            std::to_string(i + 1) + " -> " + std::to_string(j + 1) + ")");
            pairedA[i] = pairedB[j] = true;
            break;
        }
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!pairedA[i]) {
            lines.push_back("removed  " + a.name(i) + " (entry " + std::to_string(i + 1) + ")");
        }
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!pairedB[j]) {
            lines.push_back("added    " + b.name(j) + " (entry " + std::to_string(j + 1) + ")");
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
    std::vector<std::string> used;
    for (size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (!inOrder[k]) {
            lines.push_back("moved    " + a.name(i) + " (entry " + std::to_string(i + 1) + " -> " +
                            std::to_string(j + 1) + ")");
        }
        if (same(i, j)) continue;
        const std::vector<uint8_t> before = a.item(i), after = b.item(j);
        const ItemInfo infoA = recogniseItem(a.name(i), before);
        const ItemInfo infoB = recogniseItem(b.name(j), after);
        std::string text = "changed  " + a.name(i) + ": ";
        if (a.entry(i).flags != b.entry(j).flags) {
            text += "flags " + std::to_string(a.entry(i).flags) + " -> " +
                    std::to_string(b.entry(j).flags) + "; ";
        }
        const auto picturesA = renderItem(infoA, before), picturesB = renderItem(infoB, after);
        if (infoA.kind == infoB.kind && !picturesA.empty() && !picturesB.empty() &&
            infoA.kind != ItemKind::Palette) {
            const IndexedImage& pa = picturesA[0];
            const IndexedImage& pb = picturesB[0];
            text += std::string(kindName(infoA.kind)) + " " + infoA.detail;
            if (pa.width == pb.width && pa.height == pb.height) {
                size_t differ = 0;
                IndexedImage mask = pb;
                for (size_t p = 0; p < pa.pixels.size(); ++p) {
                    if (pa.pixels[p] != pb.pixels[p]) {
                        ++differ;
                    } else {
                        mask.pixels[p] = 0;
                    }
                }
                text += ", " + std::to_string(differ) + " of " + std::to_string(pa.pixels.size()) +
                        " pixels differ";
                if (!images.empty()) {
                    const std::string base = inFolder(images, safeFileName(a.name(i), i, used));
                    mask.transparentZero = true;
                    std::string why;
                    if (!writeIndexedPng(base + ".before.png", pa, coloursA, &why) ||
                        !writeIndexedPng(base + ".after.png", pb, coloursB, &why) ||
                        !writeIndexedPng(base + ".diff.png", mask, coloursB, &why)) {
                        std::fprintf(stderr, "kivtool: %s: %s\n", base.c_str(), why.c_str());
                        return kToolTrouble;
                    }
                }
            } else {
                text += " -> " + infoB.detail;
            }
        } else {
            text += std::string(kindName(infoA.kind)) + " of " + std::to_string(before.size()) +
                    " bytes -> " + kindName(infoB.kind) + " of " + std::to_string(after.size()) +
                    " bytes";
        }
        lines.push_back(text);
    }
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return lines.empty() ? kToolOk : kToolFound;
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
    if (command == "unpack") {
        const Words w = parseWords(argc, argv, 2, {}, {});
        if (w.help) {
            std::printf(
                "usage: kivtool unpack ARCHIVE DIR\n"
                "Writes an editable project into DIR that rebuilds the archive byte for byte:\n"
                "sprites, textures and fonts as indexed PNG pictures (pictures/) cut by grab\n"
                "scripts (*.scp), the palette as a PALETTE line over a picture with it, shade\n"
                "and blend tables as the COLORMAP and TRANSPARENT lines that compute them,\n"
                "other items as files (items/), labels as label lines, and entries no script\n"
                "line can make in small helper archives (helpers/); NAME.lnk puts them all\n"
                "together in order and build.sh runs kiv on every grab script and then on it.\n"
                "Each graphic item is encoded again from its picture before it is written;\n"
                "only one that comes back identical goes the editable way.\n"
                "Exit status: 0 the project rebuilds the archive, 1 something of it cannot be\n"
                "reproduced (said on standard error), 2 trouble.\n");
            return kToolOk;
        }
        if (!w.bad.empty()) return usageError(w.bad);
        if (w.plain.size() != 2) return usageError("unpack takes an archive and a folder");
        return unpackArchive(w.plain[0], w.plain[1]);
    }
    return usageError("unknown command " + command);
}

}  // namespace kiv
