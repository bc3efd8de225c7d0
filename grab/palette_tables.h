// Colour tables made from a palette for the game to look up: translucency at any alpha, additive
// and multiplied light, tints, light and fog levels, palette-swap translations and greys. Every
// colour a table wants is rounded to 8-bit sRGB, and its entry is the nearest allowed one under
// the chosen metric, found exactly (ties to the lowest index).
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "grab/colour_match.h"
#include "grab/palette_source.h"

namespace kiv {

enum class TableKind { Blend, Additive, Multiply, Tint, Light, Remap, Grey, Inverse, Palettes };
bool parseTableKind(const std::string& word, TableKind& kind);

// One range of a palette-swap: entries first to last become to to toLast, stretched.
struct RemapRange {
    int from = 0, fromLast = 0, to = 0, toLast = 0;
};

struct TableOptions {
    TableKind kind = TableKind::Blend;
    double alpha = 0.5;           // blend: the weight of colour a
    Rgb colour;                   // tint and light: the colour moved toward
    double amount = 0.5;          // tint
    int levels = 32;              // light
    bool keepSaturation = false;  // light: only the lightness fades (OKLab)
    std::bitset<256> fullbright;  // light: entries that stay themselves at every level
    std::vector<RemapRange> ranges;
    int bits = 5;  // inverse: bits a component, 5 (32³ cells) or 6 (64³); palettes: 8 or 6
    // palettes: each one the base palette with every entry moved toward a colour by an amount
    std::vector<std::pair<Rgb, double>> biases;
    bool linear = false;  // mix in linear light instead of sRGB values
    ColourMetric metric = ColourMetric::OkLab;
    std::bitset<256> reserved;  // never an output
};

// The table's size in bytes: 65,536 for the pair tables, 256 a level for the others, and for
// the inverse colour map one byte a cell of 2^bits a side: the entry nearest to the cell's
// colour (component c as c × 255 / (2^bits − 1), rounded), cells red-major: (r, g, b) at
// r × 4^bits + g × 2^bits + b, as engines index them with a colour's top bits. A palette set
// is 768 bytes a palette: the base palette, then one for each bias (8-bit values, or 6-bit).
size_t tableBytes(const TableOptions& options);

// The colour a cell wants (pair tables: a is the row, b the column; level tables: a is the
// level), before it is matched. Not used by remap.
Rgb tableTarget(const std::array<uint8_t, 768>& colours, const TableOptions& options, int a, int b);

// "A-B" (or "A"), each 0 to 255.
bool parseEntryRange(const std::string& text, int& first, int& last);

// False with the reason when no entry is left to be an output.
bool makeTable(const PaletteSource& palette, const TableOptions& options,
               std::vector<uint8_t>& table, std::string* why);

}  // namespace kiv
