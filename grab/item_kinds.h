// What an archive item is, recognised from its bytes, and its pictures: the readers behind
// kivtool's list, verify, render and diff and the window's archive browser. A kind is given only
// when the whole item is exactly what the grab command writes; anything else is raw.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "picture/indexed_image.h"

namespace kiv {

enum class ItemKind { Label, Empty, Palette, Sprite, Font, Texture, ShadeTable, BlendTable, Raw };
const char* kindName(ItemKind kind);

struct ItemInfo {
    ItemKind kind = ItemKind::Raw;
    std::string detail;  // "sprite 32×32, 3 runs", "height 8, codes 65–90, 26 glyphs", …
    bool cropped = false;
    int32_t levels = 0;  // blend tables
};

// name: the entry's name; bytes: its data (empty for a zero-length entry).
ItemInfo recogniseItem(const std::string& name, std::span<const uint8_t> bytes);


// The pictures of a graphic item: one for a sprite, a font sheet (glyphs in code order in a grid
// of 16, a column and a row of index 0 between cells), a texture, the palette as a 16 × 16
// swatch, the shade table as 256 × 32, one 256 × 256 picture per blend level. A raw item gives a
// picture only when rawWidth is above 0 (its bytes in rows of that width). Empty when the item
// has no picture.
std::vector<IndexedImage> renderItem(const ItemInfo& info, std::span<const uint8_t> bytes,
                                     int32_t rawWidth = 0);

// Nearest-neighbour enlargement by a whole factor.
IndexedImage enlarged(const IndexedImage& image, int32_t factor);

// A palette of 6-bit components shown as 8-bit ones: v × 4 + v / 16.
std::array<uint8_t, 768> displayColours(std::span<const uint8_t> palette6);

}  // namespace kiv
