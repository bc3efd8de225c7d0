#include "grab/item_kinds.h"

#include <algorithm>

#include "grab/item_formats.h"
#include "kiv/kiv.h"

namespace kiv {

const char* kindName(ItemKind kind) {
    switch (kind) {
        case ItemKind::Label:
            return "label";
        case ItemKind::Empty:
            return "empty";
        case ItemKind::Palette:
            return "palette";
        case ItemKind::Sprite:
            return "sprite";
        case ItemKind::Font:
            return "font";
        case ItemKind::Texture:
            return "texture";
        case ItemKind::ShadeTable:
            return "shade-table";
        case ItemKind::BlendTable:
            return "blend-table";
        case ItemKind::Raw:
            return "raw";
    }
    return "raw";
}

namespace {
std::string size(int32_t w, int32_t h) {
    return std::to_string(w) + "x" + std::to_string(h);
}
}  // namespace

ItemInfo recogniseItem(const std::string& name, std::span<const uint8_t> bytes) {
    ItemInfo info;
    if (bytes.empty()) {
        info.kind = !name.empty() && name.back() == ':' ? ItemKind::Label : ItemKind::Empty;
        return info;
    }
    if (isPaletteItem(bytes)) {
        info.kind = ItemKind::Palette;
        info.detail = "256 colours";
        return info;
    }
    if (auto font = readFont(bytes, nullptr)) {
        info.kind = ItemKind::Font;
        info.detail = "height " + std::to_string(font->height);
        if (font->glyphs > 0) {
            info.detail += ", codes " + std::to_string(font->firstCode) + "-" +
                           std::to_string(font->lastCode) + ", " + std::to_string(font->glyphs) +
                           " glyphs";
        } else {
            info.detail += ", no glyphs";
        }
        return info;
    }
    if (auto sprite = readPackedSprite(bytes, nullptr)) {
        info.kind = ItemKind::Sprite;
        info.cropped = sprite->cropped;
        info.detail = std::string(sprite->cropped ? "cropped " : "") +
                      size(sprite->width, sprite->height) + ", " + std::to_string(sprite->runs) +
                      " runs";
        return info;
    }
    if (auto texture = readTexture(bytes, nullptr)) {
        info.kind = ItemKind::Texture;
        info.detail = size(texture->width, texture->height);
        return info;
    }
    if (isShadeTable(bytes)) {
        info.kind = ItemKind::ShadeTable;
        info.detail = "32 levels";
        return info;
    }
    if (const int32_t levels = blendTableLevels(bytes)) {
        info.kind = ItemKind::BlendTable;
        info.levels = levels;
        info.detail = std::to_string(levels) + (levels == 1 ? " level" : " levels");
        return info;
    }
    info.detail = std::to_string(bytes.size()) + " bytes";
    return info;
}

namespace {

IndexedImage image(int32_t w, int32_t h, bool transparentZero) {
    IndexedImage out;
    out.width = w;
    out.height = h;
    out.pixels.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    out.transparentZero = transparentZero;
    return out;
}

// Glyphs are drawn by libkiv, the reader a game uses, from the checked font.
IndexedImage glyphSheet(const FontImage& font, std::span<const uint8_t> bytes) {
    kiv_font view;
    if (kiv_font_from_bytes(bytes.data(), bytes.size(), &view, nullptr) != KIV_OK) return {};
    int32_t cellWidth = 1;
    for (int k = font.firstCode; k >= 0 && k <= font.lastCode; ++k) {
        cellWidth = std::max(cellWidth, font.glyph[static_cast<size_t>(k)].width);
    }
    const int32_t cells = std::max(font.glyphs, 1);
    const int32_t columns = std::min(cells, 16);
    const int32_t rows = (cells + 15) / 16;
    const int32_t h = std::max(font.height, 1);
    IndexedImage sheet = image(columns * (cellWidth + 1), rows * (h + 1), true);
    const kiv_surface surface =
        kiv_surface_of(sheet.pixels.data(), sheet.width, sheet.height, sheet.width);
    for (int k = font.firstCode; k >= 0 && k <= font.lastCode; ++k) {
        const int32_t cell = k - font.firstCode;
        const int32_t x0 = (cell % 16) * (cellWidth + 1), y0 = (cell / 16) * (h + 1);
        kiv_sprite drawn;
        if (kiv_glyph(&view, static_cast<unsigned char>(k), &drawn))
            kiv_draw_sprite(&surface, &drawn, x0, y0);
    }
    return sheet;
}

}  // namespace

std::vector<IndexedImage> renderItem(const ItemInfo& info, std::span<const uint8_t> bytes,
                                     int32_t rawWidth) {
    std::vector<IndexedImage> out;
    switch (info.kind) {
        case ItemKind::Sprite:
            // The box as the strict reader found it (an empty PACKED sprite keeps its rows),
            // its pixels drawn by libkiv, index 0 where nothing is.
            if (auto sprite = readPackedSprite(bytes, nullptr); sprite && sprite->height > 0) {
                IndexedImage picture = image(sprite->width, sprite->height, true);
                const kiv_surface surface = kiv_surface_of(picture.pixels.data(), picture.width,
                                                           picture.height, picture.width);
                kiv_sprite view;
                if (kiv_sprite_from_bytes(bytes.data(), bytes.size(), &view, nullptr) == KIV_OK) {
                    kiv_draw_sprite(&surface, &view, 0, 0);
                }
                out.push_back(std::move(picture));
            }
            break;
        case ItemKind::Font:
            if (auto font = readFont(bytes, nullptr)) out.push_back(glyphSheet(*font, bytes));
            break;
        case ItemKind::Texture: {
            kiv_picture texture;
            if (kiv_texture_from_bytes(bytes.data(), bytes.size(), &texture, nullptr) == KIV_OK) {
                IndexedImage picture = image(texture.width, texture.height, false);
                const kiv_surface surface = kiv_surface_of(picture.pixels.data(), picture.width,
                                                           picture.height, picture.width);
                kiv_draw_picture(&surface, &texture, 0, 0);
                out.push_back(std::move(picture));
            }
            break;
        }
        case ItemKind::Palette: {
            IndexedImage swatch = image(16, 16, false);
            for (int i = 0; i < 256; ++i)
                swatch.pixels[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
            out.push_back(std::move(swatch));
            break;
        }
        case ItemKind::ShadeTable: {
            IndexedImage table = image(256, 32, false);
            table.pixels.assign(bytes.begin(), bytes.end());
            out.push_back(std::move(table));
            break;
        }
        case ItemKind::BlendTable:
            for (int32_t level = 0; level < info.levels; ++level) {
                IndexedImage table = image(256, 256, false);
                const auto block = bytes.subspan(
                    static_cast<size_t>(level) * BlendTable::kLevelBytes, BlendTable::kLevelBytes);
                table.pixels.assign(block.begin(), block.end());
                out.push_back(std::move(table));
            }
            break;
        case ItemKind::Raw:
            if (rawWidth > 0 && bytes.size() >= static_cast<size_t>(rawWidth)) {
                const int32_t rows =
                    static_cast<int32_t>(bytes.size() / static_cast<size_t>(rawWidth));
                IndexedImage picture = image(rawWidth, rows, false);
                std::copy_n(bytes.begin(), picture.pixels.size(), picture.pixels.begin());
                out.push_back(std::move(picture));
            }
            break;
        case ItemKind::Label:
        case ItemKind::Empty:
            break;
    }
    return out;
}

IndexedImage enlarged(const IndexedImage& source, int32_t factor) {
    if (factor <= 1) return source;
    IndexedImage out = image(source.width * factor, source.height * factor, source.transparentZero);
    for (int32_t y = 0; y < out.height; ++y) {
        const uint8_t* from = source.pixels.data() + static_cast<size_t>(y / factor) * source.width;
        uint8_t* to = out.pixels.data() + static_cast<size_t>(y) * out.width;
        for (int32_t x = 0; x < out.width; ++x) to[x] = from[x / factor];
    }
    return out;
}

std::array<uint8_t, 768> displayColours(std::span<const uint8_t> palette6) {
    std::array<uint8_t, 768> out{};
    for (size_t i = 0; i < out.size() && i < palette6.size(); ++i) {
        const int v = palette6[i] & 63;
        out[i] = static_cast<uint8_t>(v * 4 + v / 16);
    }
    return out;
}

}  // namespace kiv
