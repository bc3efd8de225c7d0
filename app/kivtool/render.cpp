// kivtool render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|SOURCE] [--scale N] [--width W |
// --table WxH]
#include <algorithm>
#include <cstdio>

#include "app/kivtool/kivtool.h"
#include "picture/png_picture.h"

namespace kiv {

namespace {

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

// A palette set as a strip: palette p is row p, entry e column e, each scale pixels a side.
bool drawPaletteSet(const ArchiveView& archive, size_t i, const std::vector<uint8_t>& bytes,
                    int scale, const std::string& folder, NameSet& used) {
    if (bytes.empty() || bytes.size() % 768 != 0) {
        notWritten(archive, i,
                   "a raw item of " + std::to_string(bytes.size()) +
                       " bytes is no whole number of 768-byte palettes");
        return false;
    }
    const bool sixBit = std::all_of(bytes.begin(), bytes.end(), [](uint8_t v) { return v < 64; });
    const auto palettes = static_cast<int32_t>(bytes.size() / 768);
    const int32_t width = 256 * scale, height = palettes * scale;
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            for (size_t k = 0; k < 3; ++k) {
                const uint8_t v = bytes[size_t(y / scale) * 768 + size_t(x / scale) * 3 + k];
                rgb[(size_t(y) * size_t(width) + size_t(x)) * 3 + k] =
                    sixBit ? static_cast<uint8_t>(v * 4 + v / 16) : v;
            }
        }
    }
    const std::string file = inFolder(folder, safeFileName(archive.name(i), i, used) + ".png");
    std::string why;
    if (!writeRgbPng(file, width, height, rgb, &why)) {
        notWritten(archive, i, file + ": " + why);
        return false;
    }
    std::printf("%s\n", file.c_str());
    return true;
}

}  // namespace

namespace {

constexpr OptionEntry kScaleOption{"--scale", "N", "enlarge by whole pixels, 1 to 16"};

constexpr OptionEntry kWidthOption{"--width", "W", "draw raw items in rows of W pixels"};

constexpr OptionEntry kTableSizeOption{"--table", "WxH",
                                       "draw raw items as whole W x H tables, a picture each"};

constexpr OptionEntry kPalettesOption{"--palettes", nullptr,
                                      "draw raw items of whole 768-byte palettes as a strip"};

constexpr OptionEntry kRenderPaletteOption{
    "--palette", "ITEM|SOURCE",
    "the colours: a palette item, or any palette source of kiv --palette"};

constexpr OptionEntry kRenderFolderOption{"-o", "DIR",
                                          "the folder to write into (the current one)"};

const OptionEntry kRenderOptions[] = {
    kRenderFolderOption,
    kRenderPaletteOption,
    kScaleOption,
    kWidthOption,
    kTableSizeOption,
    kPalettesOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

namespace {

const char* const kRenderHelp =
    "usage: kivtool render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|SOURCE]\n"
    "                      [--scale N] [--width W | --table WxH]\n"
    "Writes each graphic item as an indexed PNG whose pixel values are the item's\n"
    "palette indices and whose palette holds the 256 colours in order (index 0\n"
    "transparent for sprites and fonts): sprites and textures at their size, a font as\n"
    "a sheet of its glyphs in a grid of 16, the palette as a 16 x 16 swatch, a shade\n"
    "table as 256 x 32, each blend level as 256 x 256 (NAME.levelN.png), a raw item in\n"
    "rows of W pixels when --width is given, a raw item of 65,536 bytes as a 256 x 256\n"
    "table and, with --table WxH, a raw item of whole W x H tables as one picture per\n"
    "table (NAME.levelN.png when there are several). The colours are the archive's first\n"
    "palette item unless --palette names another item or a palette source as kiv\n"
    "--palette takes them (PCX, indexed PNG, archive[:ITEM], JASC-PAL, GIMP, raw or\n"
    "a set of raw palettes FILE:N). With --palettes, a raw item of whole palettes of\n"
    "768 bytes (a palette set) is drawn as an RGB strip, a row of its 256 colours a\n"
    "palette (6-bit values when none is above 63).\n"
    "Every item named (with no names, every graphic item) is written or said on\n"
    "standard error with the reason. Exit status: 0 all written, 1 an item not\n"
    "written or the archive's palette damaged, 2 trouble.\n";

// The sizes the command line asks for.
struct RenderWords {
    int scale = 1, rawWidth = 0, tableWidth = 0, tableHeight = 0;
    bool strips = false;
};

// "" when the words are right, else what is wrong.
std::string takeRenderWords(const SubcommandLine& w, RenderWords& r) {
    if (w.has(kScaleOption) && !wholeNumber(w.value(kScaleOption), 1, 16, r.scale))
        return "--scale takes a whole number from 1 to 16";
    if (w.has(kWidthOption) && !wholeNumber(w.value(kWidthOption), 1, 65536, r.rawWidth))
        return "--width takes a whole number from 1 to 65536";
    if (w.has(kTableSizeOption)) {
        const std::string& size = w.value(kTableSizeOption);
        const size_t x = size.find('x');
        if (r.rawWidth > 0 || x == std::string::npos ||
            !wholeNumber(size.substr(0, x), 1, 65536, r.tableWidth) ||
            !wholeNumber(size.substr(x + 1), 1, 65536, r.tableHeight) ||
            int64_t{r.tableWidth} * r.tableHeight > (int64_t{1} << 24)) {
            return "--table takes WxH, each from 1 to 65536 and at most 16,777,216 cells, and not "
                   "with --width";
        }
    }
    r.strips = w.has(kPalettesOption);
    if (r.strips && (r.rawWidth > 0 || r.tableWidth > 0))
        return "--palettes is not given with --width or --table";
    return {};
}

// Where the pictures go and in which colours.
struct RenderTarget {
    std::string folder;
    std::array<uint8_t, 768> colours{};
    NameSet used;
    bool named = false;  // names were given: every item asked for is said
};

// Writes the pictures of entry i (or says why there are none): false when one is not written.
bool renderEntry(const ArchiveView& archive, size_t i, const RenderWords& r, RenderTarget& t) {
    const std::vector<uint8_t> bytes = archive.item(i);
    const ItemInfo info =
        archive.readable(i) ? recogniseItem(archive.name(i), bytes) : itemInfo(archive, i);
    if (r.strips && info.kind == ItemKind::Raw && archive.readable(i))
        return drawPaletteSet(archive, i, bytes, r.scale, t.folder, t.used);
    std::vector<IndexedImage> pictures = renderItem(info, bytes, r.rawWidth);
    // Tables: whole W x H blocks of a raw item, one picture each.
    const bool table = info.kind == ItemKind::Raw && r.rawWidth == 0 &&
                       (r.tableWidth > 0 || bytes.size() == 65536);
    const size_t cells = r.tableWidth > 0 ? size_t(r.tableWidth) * size_t(r.tableHeight) : 65536;
    if (table && !bytes.empty() && bytes.size() % cells == 0) {
        for (size_t at = 0; at < bytes.size(); at += cells) {
            pictures.push_back({r.tableWidth > 0 ? r.tableWidth : 256,
                                r.tableHeight > 0 ? r.tableHeight : 256,
                                {bytes.begin() + static_cast<ptrdiff_t>(at),
                                 bytes.begin() + static_cast<ptrdiff_t>(at + cells)},
                                false});
        }
    }
    if (pictures.empty()) {
        // Without names only graphic items are asked for: labels, empty and raw items (unless a
        // width is given) are passed over.
        const bool graphic = info.kind != ItemKind::Label && info.kind != ItemKind::Empty &&
                             (info.kind != ItemKind::Raw || r.rawWidth > 0 || r.tableWidth > 0);
        if (!t.named && !graphic && archive.readable(i)) return true;
        notWritten(archive, i,
                   table && archive.readable(i)
                       ? "a raw item of " + std::to_string(bytes.size()) +
                             " bytes is no whole number of " + std::to_string(r.tableWidth) +
                             " x " + std::to_string(r.tableHeight) + " tables"
                       : whyNoPicture(archive, i, info, bytes.size(), r.rawWidth));
        return false;
    }
    const std::string base = safeFileName(archive.name(i), i, t.used);
    bool all = true;
    for (size_t level = 0; level < pictures.size(); ++level) {
        const std::string file =
            inFolder(t.folder, base + (info.kind == ItemKind::BlendTable || pictures.size() > 1
                                           ? ".level" + std::to_string(level) + ".png"
                                           : ".png"));
        std::string why;
        if (!writeIndexedPng(file, enlarged(pictures[level], r.scale), t.colours, &why)) {
            notWritten(archive, i, file + ": " + why);
            all = false;
            continue;
        }
        std::printf("%s\n", file.c_str());
    }
    return all;
}

}  // namespace

static int renderItems(int argc, char** argv) {
    const SubcommandLine w = parseSubcommandLine(argc, argv, kRenderOptions);
    if (w.help) return subcommandHelp(kRenderHelp, kRenderOptions);
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.empty()) return usageError("render takes an archive");
    RenderWords r;
    const std::string wrong = takeRenderWords(w, r);
    if (!wrong.empty()) return usageError(wrong);
    ArchiveView archive;
    if (!openForReading(archive, w.operands[0])) return kToolTrouble;
    RenderTarget t;
    t.named = w.operands.size() > 1;
    const auto chosen = selectEntries(archive, {w.operands.begin() + 1, w.operands.end()});
    if (!chosen) return kToolTrouble;
    bool damaged = false, wrongValue = false;
    if (!chooseColours(
            archive,
            (w.has(kRenderPaletteOption) ? w.value(kRenderPaletteOption) : std::string("")),
            t.colours, &damaged, &wrongValue)) {
        return wrongValue ? kToolTrouble : kToolProblem;
    }
    t.folder = (w.has(kRenderFolderOption) ? w.value(kRenderFolderOption) : std::string("."));
    if (!makeFolder(t.folder)) {
        std::fprintf(stderr, "kivtool: cannot make the folder %s\n", t.folder.c_str());
        return kToolTrouble;
    }
    int status = damaged ? kToolProblem : kToolOk;
    for (size_t i : *chosen) {
        if (!renderEntry(archive, i, r, t)) status = kToolProblem;
    }
    return status;
}

const Subcommand kRenderCommand = {
    "render", kRenderOptions,
    "  render ARCHIVE [NAME...] [-o DIR] [--palette ITEM|SOURCE] [--scale N]\n         [--width W "
    "| --table WxH]  writes each graphic item as an indexed PNG\n",
    renderItems};

}  // namespace kiv
