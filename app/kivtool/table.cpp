// kivtool table KIND --palette SOURCE -o FILE [options]
// Writes a colour table made from a palette: a file that a link script packs like any other.
#include <cstdio>
#include <cstdlib>

#include "app/kivtool/kivtool.h"
#include "app/mapping_setup.h"
#include "common/file_output.h"
#include "grab/palette_tables.h"

namespace kiv {

namespace {

const char* const kTableHelp =
    "usage: kivtool table KIND --palette SOURCE -o FILE [OPTION...]\n"
    "Writes a colour table of the palette: each cell the entry nearest to the colour it wants,\n"
    "found exactly under --match (ties to the lowest index). Kinds:\n"
    "  blend --alpha A         256 x 256: cell a x 256 + b nearest to A colour(a) + (1-A) "
    "colour(b)\n"
    "  additive                256 x 256: the sum of both colours, each component at most 255\n"
    "  multiply                256 x 256: the product of both colours\n"
    "  tint --colour R,G,B --amount A\n"
    "                          256: each entry moved toward the colour by A (0 to 1)\n"
    "  light --to R,G,B --levels N [--keep-saturation] [--fullbright LIST]\n"
    "                          N x 256: level l moves each entry toward the colour by l/(N-1)\n"
    "                          (black: a light map; grey: fog); --keep-saturation fades the\n"
    "                          lightness alone; fullbright entries stay themselves\n"
    "  remap --from A-B --to C-D [--from ... --to ...]\n"
    "                          256: a palette-swap translation, ranges of unequal length "
    "stretched\n"
    "  grey                    256: each entry to the entry nearest to its grey\n"
    "  inverse --bits 5|6      32^3 or 64^3: an inverse colour map, each cell (red-major, from a\n"
    "                          colour's top bits) the entry nearest to the cell's colour\n"
    "  palettes --bias R,G,B:A [--bias ...] [--bits 8|6]\n"
    "                          768 x (1 + biases): a palette set, the base palette and one for\n"
    "                          each bias (every colour moved toward R,G,B by A, as tint does),\n"
    "                          8-bit values or 6-bit\n"
    "Exit status: 0 written, 1 the palette cannot be used, 2 wrong words.\n";

constexpr OptionEntry kTableLinearOption{"--linear", nullptr,
                                         "mix in linear light rather than sRGB values"};

constexpr OptionEntry kTableKeepSaturationOption{"--keep-saturation", nullptr,
                                                 "light: fade the lightness alone"};

constexpr OptionEntry kTablePaletteOption{
    "--palette", "SOURCE",
    "as for kiv --palette: PCX, indexed PNG, ARCHIVE[:ITEM], JASC-PAL,\nGIMP palette or raw .pal"};

constexpr OptionEntry kTableOutOption{"-o", "FILE", "the table to write"};

constexpr OptionEntry kTableAlphaOption{"--alpha", "A",
                                        "blend: the weight of the row's colour, 0 to 1"};

constexpr OptionEntry kTableAmountOption{"--amount", "A", "tint: how far, 0 to 1"};

constexpr OptionEntry kTableColourOption{"--colour", "R,G,B", "tint: the colour moved toward"};

constexpr OptionEntry kTableToOption{
    "--to", "R,G,B|C-D", "light: the colour faded toward; remap: the entries mapped onto"};

constexpr OptionEntry kTableFromOption{"--from", "A-B",
                                       "remap: the entries mapped (with a --to each)"};

constexpr OptionEntry kTableLevelsOption{"--levels", "N", "light: 2 to 256 levels"};

constexpr OptionEntry kTableBitsOption{
    "--bits", "N", "inverse: 5 or 6 bits a component; palettes: 8 (default) or 6-bit values"};

constexpr OptionEntry kTableBiasOption{
    "--bias", "R,G,B:A", "palettes: one more palette moved toward R,G,B by A (0 to 1)"};

constexpr OptionEntry kTableFullbrightOption{"--fullbright", "LIST",
                                             "light: entries that stay themselves at every level"};

constexpr OptionEntry kTableReserveOption{"--reserve", "LIST",
                                          "entries that are never an output, e.g. 0,224-255"};

constexpr OptionEntry kTableDitherOption{"--dither", "KIND",
                                         "refused: dithering does not apply to tables"};

const OptionEntry kTableOptions[] = {
    kTablePaletteOption,
    kTableOutOption,
    kTableAlphaOption,
    kTableColourOption,
    kTableAmountOption,
    kTableToOption,
    kTableLevelsOption,
    kTableBitsOption,
    kTableBiasOption,
    kTableKeepSaturationOption,
    kTableFullbrightOption,
    kTableFromOption,
    kTableLinearOption,
    kMetricOption,
    kTableReserveOption,
    kTableDitherOption,
    {"-h, --help", nullptr, "this text"},
};

bool unitNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && value >= 0 && value <= 1;
}

// What the command line asks for: the options of one table and where it goes.
struct TableWords {
    TableOptions o;
    std::string paletteName, out;
    bool haveAlpha = false, haveColour = false, haveAmount = false, haveLevels = false,
         haveBits = false;
    std::vector<std::string> from, to;
};

// Takes one option's value. "" when it is right, else what is wrong with it.
std::string takeTableWord(const std::string& word, const std::string& value, TableWords& t) {
    TableOptions& o = t.o;
    std::string reason;
    if (isOption(word, kTableLinearOption)) {
        o.linear = true;
    } else if (isOption(word, kTableKeepSaturationOption)) {
        o.keepSaturation = true;
    } else if (isOption(word, kTablePaletteOption)) {
        t.paletteName = value;
    } else if (isOption(word, kTableOutOption)) {
        t.out = value;
    } else if (isOption(word, kTableAlphaOption)) {
        if (!unitNumber(value, o.alpha)) return "a number from 0 to 1 is needed";
        t.haveAlpha = true;
    } else if (isOption(word, kTableAmountOption)) {
        if (!unitNumber(value, o.amount)) return "a number from 0 to 1 is needed";
        t.haveAmount = true;
    } else if (isOption(word, kTableColourOption)) {
        if (!parseRgb(value, o.colour)) return "three numbers 0 to 255, as R,G,B, are needed";
        t.haveColour = true;
    } else if (isOption(word, kTableToOption)) {
        t.to.push_back(value);
    } else if (isOption(word, kTableFromOption)) {
        t.from.push_back(value);
    } else if (isOption(word, kTableLevelsOption)) {
        char* end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || n < 2 || n > 256) return "2 to 256 levels";
        o.levels = static_cast<int>(n);
        t.haveLevels = true;
    } else if (isOption(word, kTableBitsOption)) {
        if (value != "5" && value != "6" && value != "8") return "5, 6 or 8 bits";
        o.bits = value[0] - '0';
        t.haveBits = true;
    } else if (isOption(word, kTableBiasOption)) {
        const size_t colon = value.find(':');
        Rgb colour;
        double amount = 0;
        if (colon == std::string::npos || !parseRgb(value.substr(0, colon), colour) ||
            !unitNumber(value.substr(colon + 1), amount)) {
            return "R,G,B:A is needed, each colour 0 to 255 and A from 0 to 1";
        }
        o.biases.emplace_back(colour, amount);
    } else if (isOption(word, kTableFullbrightOption)) {
        if (!parseIndexList(value, o.fullbright, &reason)) return reason;
    } else if (isOption(word, kTableReserveOption)) {
        if (!parseIndexList(value, o.reserved, &reason)) return reason;
    } else if (isOption(word, kMetricOption)) {
        if (!parseColourMetric(value, o.metric)) return "the metrics are oklab, rgb and ciede2000";
    } else if (isOption(word, kTableDitherOption)) {
        return "dithering does not apply to tables";
    }
    return {};
}

// What the kind asks of the other options. "" when all is there, else what is missing.
std::string checkKind(TableWords& t) {
    TableOptions& o = t.o;
    if (t.paletteName.empty() && o.kind != TableKind::Remap) return "table needs --palette SOURCE";
    if (t.out.empty()) return "table needs -o FILE";
    if (o.kind == TableKind::Blend && !t.haveAlpha) return "blend needs --alpha A";
    if (o.kind == TableKind::Inverse && (!t.haveBits || o.bits == 8))
        return "inverse needs --bits 5 or 6";
    if (o.kind == TableKind::Palettes && !t.haveBits) o.bits = 8;
    if (o.kind == TableKind::Palettes && o.bits == 5) return "palettes take --bits 8 or 6";
    if (o.kind != TableKind::Inverse && o.kind != TableKind::Palettes && t.haveBits)
        return "--bits belongs to inverse and palettes";
    if (o.kind != TableKind::Palettes && !o.biases.empty()) return "--bias belongs to palettes";
    if (o.kind == TableKind::Tint && (!t.haveColour || !t.haveAmount))
        return "tint needs --colour R,G,B and --amount A";
    if (o.kind == TableKind::Light) {
        if (t.to.size() != 1 || !parseRgb(t.to[0], o.colour))
            return "light needs --to R,G,B, three numbers 0 to 255";
        if (!t.haveLevels) return "light needs --levels N";
    }
    if (o.kind == TableKind::Remap) {
        if (t.from.empty() || t.from.size() != t.to.size())
            return "remap needs --from A-B and --to C-D in pairs";
        for (size_t k = 0; k < t.from.size(); ++k) {
            RemapRange r;
            if (!parseEntryRange(t.from[k], r.from, r.fromLast) ||
                !parseEntryRange(t.to[k], r.to, r.toLast)) {
                return "--from " + t.from[k] + " --to " + t.to[k] +
                       ": ranges of entries 0 to 255, as A-B, are needed";
            }
            o.ranges.push_back(r);
        }
    } else if (!t.from.empty() || (o.kind != TableKind::Light && !t.to.empty())) {
        return "--from and --to belong to remap (light takes --to R,G,B)";
    }
    return {};
}

// Makes the table and writes it: the exit status.
int writeTable(const TableWords& t) {
    PaletteSource palette;
    std::string why;
    if (!t.paletteName.empty() && !loadPaletteSource(t.paletteName, palette, &why)) {
        std::fprintf(stderr, "kivtool: --palette %s\n", why.c_str());
        return kToolProblem;
    }
    std::vector<uint8_t> table;
    if (!makeTable(palette, t.o, table, &why)) {
        std::fprintf(stderr, "kivtool: --reserve: %s\n", why.c_str());
        return kToolProblem;
    }
    if (!writeWholeFile(t.out, table, &why)) {
        std::fprintf(stderr, "kivtool: cannot write %s: %s\n", t.out.c_str(), why.c_str());
        return kToolProblem;
    }
    return kToolOk;
}

}  // namespace

static int makeColourTable(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv, 2, kTableOptions);
    if (line.help) return subcommandHelp(kTableHelp, kTableOptions);
    if (!line.error.empty()) return usageError(line.error);
    TableWords t;
    for (const auto& [word, value] : line.given) {
        const std::string wrong = takeTableWord(word, value, t);
        if (!wrong.empty()) return usageError(word + " " + value + ": " + wrong);
    }
    if (line.operands.size() != 1 || !parseTableKind(line.operands[0], t.o.kind)) {
        return usageError(
            "table takes one kind: blend, additive, multiply, tint, light, remap, grey, inverse "
            "or palettes");
    }
    const std::string missing = checkKind(t);
    if (!missing.empty()) return usageError(missing);
    return writeTable(t);
}

const Subcommand kTableCommand = {
    "table", kTableOptions,
    "  table KIND --palette SOURCE -o FILE [OPTION...]\n                                 writes a "
    "colour table: blend, additive, multiply, tint,\n                                 light, "
    "remap, grey, inverse or palettes\n",
    makeColourTable};

}  // namespace kiv
