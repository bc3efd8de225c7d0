// The formats of the items that grab commands write, as named records with explicit
// little-endian readers and writers, and strict readers that tell whether bytes are such an
// item. All integers are 32-bit signed little-endian; records are packed without alignment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kiv {

// TEXTURE: {width, height, kind 1}, then height rows of width palette indices.
struct TextureHeader {
    static constexpr size_t kBytes = 12;
    static constexpr int32_t kKind = 1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t kind = kKind;
    void store(uint8_t* at) const;
    static TextureHeader load(const uint8_t* at);
};

// PACKED and PACKEDC: {width, height, kind 0}, a row index of height entries (offsets of each
// row's first span record, counted from the sprite's first byte; 0 for a row without one), the
// span records row by row, left to right, and a terminator record.
struct PackedSprite {
    static constexpr size_t kHeaderBytes = 12;
    static constexpr int32_t kEndRow = 0x8000;  // the terminator's y, beyond every row
    int32_t width = 0;
    int32_t height = 0;  // 0 for a sprite without runs
    int32_t kind = 0;
    void store(uint8_t* at) const;
    static PackedSprite load(const uint8_t* at);
};

// One run of non-zero pixels: {x, y, length}, then length pixel bytes.
struct SpanRecord {
    static constexpr size_t kBytes = 12;
    int32_t x = 0;
    int32_t y = 0;
    int32_t length = 0;
    void store(uint8_t* at) const;
    static SpanRecord load(const uint8_t* at);
};

// FONT: {height, glyphOffset[256], glyphWidth[256] (bytes)}, then the glyphs' PACKED sprites in
// code order; an offset counts from the first byte after the header, -1 for a code without
// glyph.
struct FontHeader {
    static constexpr size_t kBytes = 1284;
    static constexpr size_t kOffsetsAt = 4;
    static constexpr size_t kWidthsAt = 1028;
    int32_t height = 0;
    std::array<int32_t, 256> glyphOffset{};
    std::array<uint8_t, 256> glyphWidth{};
    FontHeader() { glyphOffset.fill(-1); }
    void store(uint8_t* at) const;
    static FontHeader load(const uint8_t* at);
};

// COLORMAP: 32 shade levels of 256 indexes; row 0 and columns 240 to 255 are the identity.
struct ShadeTable {
    static constexpr size_t kLevels = 32;
    static constexpr size_t kBytes = kLevels * 256;
    static constexpr int kShadedIndexes = 240;
};

// TRANSPARENT: per level a 256 × 256 block, row a (weight d), column b (weight 1 - d); every
// entry lies in 10 to 245.
struct BlendTable {
    static constexpr size_t kLevelBytes = 256 * 256;
    static constexpr uint8_t kLowestIndex = 10;
    static constexpr uint8_t kHighestIndex = 245;
};

inline constexpr size_t kPaletteItemBytes = 768;

// A rectangle of a picture: pixel (c, r) is pixels[(y + r) × stride + x + c], and 0 where that
// index reaches limit or beyond (rows below a short picture).
struct PixelWindow {
    const uint8_t* pixels = nullptr;
    int64_t limit = 0;
    int32_t stride = 0;
    int32_t x = 0, y = 0, w = 0, h = 0;
    int64_t index(int32_t c, int32_t r) const {
        return (static_cast<int64_t>(y) + r) * stride + x + c;
    }
    uint8_t at(int32_t c, int32_t r) const {
        const int64_t i = index(c, r);
        return i < limit ? pixels[i] : 0;
    }
};

// The sprite encoder of PACKED (cropped false) and PACKEDC (cropped true), w and h above 0.
// The size first, so that a caller can check room before anything is written.
int64_t packedSpriteSize(const PixelWindow& window, bool cropped);
// Writes the sprite (packedSpriteSize bytes) at out.
void writePackedSprite(const PixelWindow& window, bool cropped, uint8_t* out);
// The whole sprite as bytes.
std::vector<uint8_t> encodePackedSprite(const PixelWindow& window, bool cropped);

// What a strict reader found.
struct SpriteImage {
    int32_t width = 0;
    int32_t height = 0;    // rows of pixels (for an empty PACKED sprite: its row-index entries)
    bool cropped = false;  // written by PACKEDC
    int32_t runs = 0;
    std::vector<uint8_t> pixels;  // width × height
};
struct FontImage {
    int32_t height = 0;
    int firstCode = -1, lastCode = -1, glyphs = 0;
    FontHeader header;
    std::array<SpriteImage, 256> glyph{};  // for codes with a glyph
};
struct TextureImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;  // width × height when both are above 0
};

// Each reads an item whole and succeeds only when the bytes are exactly what the grab command
// writes for some picture (a sprite is encoded again and compared); why receives the reason
// otherwise. Nothing is read outside the span.
std::optional<SpriteImage> readPackedSprite(std::span<const uint8_t> bytes, std::string* why);
std::optional<FontImage> readFont(std::span<const uint8_t> bytes, std::string* why);
std::optional<TextureImage> readTexture(std::span<const uint8_t> bytes, std::string* why);
bool isPaletteItem(std::span<const uint8_t> bytes);
bool isShadeTable(std::span<const uint8_t> bytes);
// The number of levels, or 0 when the bytes are not blend tables.
int32_t blendTableLevels(std::span<const uint8_t> bytes);

}  // namespace kiv
