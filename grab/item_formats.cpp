#include "grab/item_formats.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "kiv/kiv.h"

namespace kiv {

void TextureHeader::store(uint8_t* at) const {
    storeLE32(at, width);
    storeLE32(at + 4, height);
    storeLE32(at + 8, kind);
}
TextureHeader TextureHeader::load(const uint8_t* at) {
    return {loadLE32(at), loadLE32(at + 4), loadLE32(at + 8)};
}

void PackedSprite::store(uint8_t* at) const {
    storeLE32(at, width);
    storeLE32(at + 4, height);
    storeLE32(at + 8, kind);
}
PackedSprite PackedSprite::load(const uint8_t* at) {
    return {loadLE32(at), loadLE32(at + 4), loadLE32(at + 8)};
}

void SpanRecord::store(uint8_t* at) const {
    storeLE32(at, x);
    storeLE32(at + 4, y);
    storeLE32(at + 8, length);
}
SpanRecord SpanRecord::load(const uint8_t* at) {
    return {loadLE32(at), loadLE32(at + 4), loadLE32(at + 8)};
}

void FontHeader::store(uint8_t* at) const {
    storeLE32(at, height);
    for (size_t k = 0; k < 256; ++k) storeLE32(at + kOffsetsAt + 4 * k, glyphOffset[k]);
    std::memcpy(at + kWidthsAt, glyphWidth.data(), glyphWidth.size());
}
FontHeader FontHeader::load(const uint8_t* at) {
    FontHeader h;
    h.height = loadLE32(at);
    for (size_t k = 0; k < 256; ++k) h.glyphOffset[k] = loadLE32(at + kOffsetsAt + 4 * k);
    std::memcpy(h.glyphWidth.data(), at + kWidthsAt, h.glyphWidth.size());
    return h;
}

namespace {

bool rowIsEmpty(const PixelWindow& src, int32_t r) {
    for (int32_t c = 0; c < src.w; ++c) {
        if (src.at(c, r) != 0) return false;
    }
    return true;
}

bool columnIsEmpty(const PixelWindow& src, int32_t c) {
    for (int32_t r = 0; r < src.h; ++r) {
        if (src.at(c, r) != 0) return false;
    }
    return true;
}

// Calls run(c, r, l) for every maximal run of non-zero pixels in rows top … bottom, scanning
// each row from column left to the rectangle's right edge.
template <typename Run>
void forEachRun(const PixelWindow& src, int32_t left, int32_t top, int32_t bottom, Run run) {
    for (int32_t r = top; r <= bottom; ++r) {
        for (int32_t c = left; c < src.w;) {
            if (src.at(c, r) == 0) {
                ++c;
                continue;
            }
            int32_t l = 0;
            while (c + l < src.w && src.at(c + l, r) != 0) ++l;
            run(c, r, l);
            c += l;
        }
    }
}

// The box the encoder works on: four searches, each stopping at its first hit. Without any
// pixel, PACKED has no rows (top -1) and PACKEDC a box of one row.
struct SpriteBox {
    int32_t left, right, top, bottom, width, height;
    bool noPixel;
};

SpriteBox spriteBox(const PixelWindow& src, bool cropped) {
    auto first = [](int32_t from, int32_t to, int32_t start, auto hasInk) {
        const int32_t step = from <= to ? 1 : -1;
        for (int32_t i = from; i != to + step; i += step) {
            if (hasInk(i)) return i;
        }
        return start;
    };
    auto column = [&](int32_t c) { return !columnIsEmpty(src, c); };
    auto row = [&](int32_t r) { return !rowIsEmpty(src, r); };
    const int32_t none = cropped ? 0 : -1;
    SpriteBox box{};
    box.left = first(0, src.w - 1, src.x, column);
    box.right = first(src.w - 1, 0, src.x + src.w - 1, column);
    box.top = first(0, src.h - 1, none, row);
    box.bottom = first(src.h - 1, 0, none, row);
    box.width = cropped ? box.right - box.left + 1 : src.w;
    box.height = cropped ? box.bottom - box.top + 1 : src.h;
    box.noPixel = !cropped && box.top == -1;
    return box;
}

// Fills the row index of a sprite written up to its terminator.
void buildRowIndex(uint8_t* sprite, int64_t spriteBytes) {
    const int32_t n = loadLE32(sprite + 4);
    for (int32_t r = 0; r < n; ++r) storeLE32(sprite + PackedSprite::kHeaderBytes + 4 * r, 0);
    int64_t at = PackedSprite::kHeaderBytes + 4 * static_cast<int64_t>(std::max(n, 0));
    if (n < 1 || loadLE32(sprite + at + 8) == -1) {
        storeLE32(sprite + 4, 0);
        storeLE32(sprite + at + 8, 0);
        return;
    }
    int32_t i = 0;
    int32_t previousRow = -1;
    while (at + static_cast<int64_t>(SpanRecord::kBytes) <= spriteBytes) {
        const SpanRecord record = SpanRecord::load(sprite + at);
        if (record.length == -1) break;
        if (record.y != previousRow) {
            i = std::max(i, record.y);
            if (i >= n) break;
            storeLE32(sprite + PackedSprite::kHeaderBytes + 4 * i, static_cast<int32_t>(at));
            ++i;
            previousRow = record.y;
            if (i >= n) break;
        }
        at += static_cast<int64_t>(SpanRecord::kBytes) + record.length;
    }
}

}  // namespace

int64_t packedSpriteSize(const PixelWindow& src, bool cropped) {
    const SpriteBox box = spriteBox(src, cropped);
    int64_t size = static_cast<int64_t>(PackedSprite::kHeaderBytes) + 4 * int64_t{box.height} +
                   static_cast<int64_t>(SpanRecord::kBytes);
    if (!box.noPixel) {
        forEachRun(src, box.left, box.top, box.bottom, [&](int32_t, int32_t, int32_t l) {
            size += static_cast<int64_t>(SpanRecord::kBytes) + l;
        });
    }
    return size;
}

void writePackedSprite(const PixelWindow& src, bool cropped, uint8_t* sprite) {
    const SpriteBox box = spriteBox(src, cropped);
    const int64_t recordsStart =
        static_cast<int64_t>(PackedSprite::kHeaderBytes) + 4 * int64_t{box.height};
    std::memset(sprite, 0, static_cast<size_t>(recordsStart));
    PackedSprite{box.width, box.height, 0}.store(sprite);
    SpanRecord{0, 0, -1}.store(sprite + recordsStart);  // placeholder terminator
    int64_t at = recordsStart;
    if (!box.noPixel) {
        forEachRun(src, box.left, box.top, box.bottom, [&](int32_t c, int32_t r, int32_t l) {
            SpanRecord{cropped ? c - box.left : c, cropped ? r - box.top : r, l}.store(sprite + at);
            for (int32_t i = 0; i < l; ++i) {
                sprite[at + static_cast<int64_t>(SpanRecord::kBytes) + i] = src.at(c + i, r);
            }
            at += static_cast<int64_t>(SpanRecord::kBytes) + l;
        });
        SpanRecord{0, PackedSprite::kEndRow, -1}.store(sprite + at);
    }
    const int64_t size = at + static_cast<int64_t>(SpanRecord::kBytes);
    buildRowIndex(sprite, size);
    if (cropped) storeLE32(sprite + size - static_cast<int64_t>(SpanRecord::kBytes) + 8, 0);
}

std::vector<uint8_t> encodePackedSprite(const PixelWindow& window, bool cropped) {
    std::vector<uint8_t> bytes(static_cast<size_t>(packedSpriteSize(window, cropped)));
    writePackedSprite(window, cropped, bytes.data());
    return bytes;
}

namespace {

// The largest picture a sprite can come from.
constexpr int64_t kMostSpritePixels = 1228800;

bool fail(std::string* why, const char* text) {
    if (why != nullptr) *why = text;
    return false;
}

// Reads a sprite with runs through libkiv, the reader a game uses: its structure checked there
// (every record inside the item and the box, the row index), its pixels drawn from it.
bool readRuns(std::span<const uint8_t> bytes, SpriteImage& image, std::string* why) {
    kiv_sprite view;
    kiv_status status;
    if (kiv_sprite_from_bytes(bytes.data(), bytes.size(), &view, &status) != KIV_OK) {
        if (why != nullptr) *why = status.message;
        return false;
    }
    if (view.size != bytes.size()) return fail(why, "bytes follow the terminator");
    if (view.height != image.height) return fail(why, "a sprite with rows but no run");
    const kiv_surface surface =
        kiv_surface_of(image.pixels.data(), image.width, image.height, image.width);
    kiv_draw_sprite(&surface, &view, 0, 0);
    int cropped = 0;
    image.runs = kiv_sprite_runs(&view, &cropped);
    image.cropped = cropped != 0;
    return true;
}

}  // namespace

std::optional<SpriteImage> readPackedSprite(std::span<const uint8_t> bytes, std::string* why) {
    const int64_t size = static_cast<int64_t>(bytes.size());
    if (size < 28) return fail(why, "shorter than the smallest sprite"), std::nullopt;
    const PackedSprite header = PackedSprite::load(bytes.data());
    if (header.kind != 0) return fail(why, "kind is not 0"), std::nullopt;
    if (header.width < 1 || header.height < 0) return fail(why, "bad size"), std::nullopt;
    SpriteImage image;
    image.width = header.width;
    if (header.height == 0) {
        // Without runs: PACKED keeps a zero row index of the rectangle's height and ends in
        // {0, 0, 0}; PACKEDC has one zero entry and ends in {0, 0x8000, 0}.
        const SpanRecord last = SpanRecord::load(bytes.data() + size - 12);
        const int64_t rows = (size - 24) / 4;
        if ((size - 24) % 4 != 0) return fail(why, "bad length"), std::nullopt;
        for (int64_t at = 12; at < size - 12; ++at) {
            if (bytes[static_cast<size_t>(at)] != 0) {
                return fail(why, "an empty sprite's row index is not zero"), std::nullopt;
            }
        }
        if (last.x == 0 && last.y == 0 && last.length == 0) {
            image.cropped = false;
        } else if (last.x == 0 && last.y == PackedSprite::kEndRow && last.length == 0 &&
                   rows == 1) {
            image.cropped = true;
        } else {
            return fail(why, "an empty sprite without its end record"), std::nullopt;
        }
        image.height = image.cropped ? 0 : static_cast<int32_t>(rows);
        if (static_cast<int64_t>(image.width) * image.height > kMostSpritePixels) {
            return fail(why, "larger than any picture"), std::nullopt;
        }
        image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
        return image;
    }
    image.height = header.height;
    if (12 + 4 * int64_t{header.height} + 12 > size ||
        static_cast<int64_t>(header.width) * header.height > kMostSpritePixels) {
        return fail(why, "the row index does not fit the item"), std::nullopt;
    }
    image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height), 0);
    if (!readRuns(bytes, image, why)) return std::nullopt;
    // Exactly what the encoder writes for these pixels, or not a sprite of this tool.
    const PixelWindow window{image.pixels.data(),
                             static_cast<int64_t>(image.pixels.size()),
                             image.width,
                             0,
                             0,
                             image.width,
                             image.height};
    const std::vector<uint8_t> again = encodePackedSprite(window, image.cropped);
    if (again.size() != bytes.size() || !std::equal(again.begin(), again.end(), bytes.begin())) {
        return fail(why, "not the encoding of its own pixels (row index, runs or box)"),
               std::nullopt;
    }
    return image;
}

std::optional<FontImage> readFont(std::span<const uint8_t> bytes, std::string* why) {
    // The structure as libkiv checks it (every offset and glyph sprite inside the item), then
    // what FONT writes: consecutive codes, each glyph exactly its cell's sprite, nothing after.
    kiv_font view;
    kiv_status status;
    if (kiv_font_from_bytes(bytes.data(), bytes.size(), &view, &status) != KIV_OK) {
        if (why != nullptr) *why = status.message;
        return std::nullopt;
    }
    FontImage font;
    font.header = FontHeader::load(bytes.data());
    font.height = font.header.height;
    if (font.height < 0 || font.height > 98) return fail(why, "bad glyph height"), std::nullopt;
    const int64_t body = static_cast<int64_t>(bytes.size() - FontHeader::kBytes);
    int64_t expected = 0;
    int last = -2;
    for (int k = 0; k < 256; ++k) {
        const int32_t offset = font.header.glyphOffset[k];
        const int width = font.header.glyphWidth[k];
        if (offset == -1) {
            if (width != 0) return fail(why, "a width without a glyph"), std::nullopt;
            continue;
        }
        if (width < 1 || width > 128)
            return fail(why, "a glyph width outside 1 to 128"), std::nullopt;
        if (last != -2 && last != k - 1)
            return fail(why, "glyph codes are not consecutive"), std::nullopt;
        if (offset != expected)
            return fail(why, "glyph offsets do not follow the sprites"), std::nullopt;
        // The glyph runs to the next glyph's offset, or to the end of the item.
        int64_t end = body;
        if (k < 255 && font.header.glyphOffset[k + 1] != -1) end = font.header.glyphOffset[k + 1];
        if (end <= offset || end > body)
            return fail(why, "a glyph lies outside the item"), std::nullopt;
        std::string glyphWhy;
        auto glyph =
            readPackedSprite(bytes.subspan(FontHeader::kBytes + static_cast<size_t>(offset),
                                           static_cast<size_t>(end - offset)),
                             &glyphWhy);
        if (!glyph || glyph->cropped || glyph->width != width || glyph->height != font.height ||
            (font.height == 0)) {
            if (why != nullptr)
                *why = "glyph " + std::to_string(k) + " is not a sprite of the cell" +
                       (glyphWhy.empty() ? "" : ": " + glyphWhy);
            return std::nullopt;
        }
        font.glyph[static_cast<size_t>(k)] = std::move(*glyph);
        if (font.firstCode < 0) font.firstCode = k;
        font.lastCode = k;
        ++font.glyphs;
        last = k;
        expected = end;
    }
    if (expected != body) return fail(why, "bytes follow the last glyph"), std::nullopt;
    return font;
}

std::optional<TextureImage> readTexture(std::span<const uint8_t> bytes, std::string* why) {
    if (bytes.size() < TextureHeader::kBytes)
        return fail(why, "shorter than a texture header"), std::nullopt;
    const TextureHeader header = TextureHeader::load(bytes.data());
    if (header.kind != TextureHeader::kKind) return fail(why, "kind is not 1"), std::nullopt;
    if (header.width < 0) return fail(why, "negative width"), std::nullopt;
    const int64_t pixels = header.width > 0 && header.height > 0
                               ? static_cast<int64_t>(header.width) * header.height
                               : 0;
    if (static_cast<int64_t>(bytes.size()) != 12 + pixels) {
        return fail(why, "length is not 12 + width × height"), std::nullopt;
    }
    TextureImage image{header.width, header.height, {}};
    kiv_picture view;
    if (pixels > 0 &&
        kiv_texture_from_bytes(bytes.data(), bytes.size(), &view, nullptr) == KIV_OK) {
        image.pixels.assign(static_cast<size_t>(pixels), 0);
        const kiv_surface surface =
            kiv_surface_of(image.pixels.data(), image.width, image.height, image.width);
        kiv_draw_picture(&surface, &view, 0, 0);
    }
    return image;
}

bool isPaletteItem(std::span<const uint8_t> bytes) {
    kiv_palette palette;
    return kiv_palette_from_bytes(bytes.data(), bytes.size(), &palette, nullptr) == KIV_OK;
}

bool isShadeTable(std::span<const uint8_t> bytes) {
    kiv_shade shade;
    if (kiv_shade_from_bytes(bytes.data(), bytes.size(), &shade, nullptr) != KIV_OK) return false;
    // And what COLORMAP writes: level 0 and the fullbrights unchanged, shades up their ramps.
    for (size_t s = 0; s < ShadeTable::kLevels; ++s) {
        for (size_t i = 0; i < 256; ++i) {
            const uint8_t v = bytes[s * 256 + i];
            if ((s == 0 || i >= ShadeTable::kShadedIndexes) && v != i) return false;
            // A shade walks up its ramp, or is the fixed index 31 past the ramp's end.
            if (v != i && v != 31 && v < i) return false;
        }
    }
    return true;
}

int32_t blendTableLevels(std::span<const uint8_t> bytes) {
    kiv_blend blend;
    if (kiv_blend_from_bytes(bytes.data(), bytes.size(), &blend, nullptr) != KIV_OK) return 0;
    // And what TRANSPARENT writes: every entry in 10 to 245.
    for (uint8_t v : bytes) {
        if (v < BlendTable::kLowestIndex || v > BlendTable::kHighestIndex) return 0;
    }
    return static_cast<int32_t>(bytes.size() / BlendTable::kLevelBytes);
}

}  // namespace kiv
