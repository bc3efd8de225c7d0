// libkiv: what it draws is what kivtool render shows, clipping is exact at every offset around
// the edges, damaged archives and items are refused with the entry named.
#include <gtest/gtest.h>

#include <random>

#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "kiv/kiv.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

struct Opened {
    kiv_archive* archive = nullptr;
    Bytes bytes;
    explicit Opened(const std::string& path) : bytes(readFile(path)) {
        kiv_status status;
        archive = kiv_open_memory(bytes.data(), bytes.size(), &status);
        EXPECT_NE(archive, nullptr) << status.message;
    }
    ~Opened() { kiv_close(archive); }
};

// What the library draws of a sprite into a zeroed surface of its box.
Bytes drawn(const kiv_sprite& sprite, bool mirrored = false) {
    Bytes pixels(static_cast<size_t>(sprite.width) * sprite.height, 0);
    const kiv_surface s = kiv_surface_of(pixels.data(), sprite.width, sprite.height, sprite.width);
    (mirrored ? kiv_draw_sprite_mirrored : kiv_draw_sprite)(&s, &sprite, 0, 0);
    return pixels;
}

// Random pictures cut by every grab command of the kinds the library draws.
void makeRandomArchive(uint32_t seed) {
    std::mt19937 random(seed);
    PcxPicture p = blankPicture(64, 48);
    for (uint8_t& v : p.pixels) v = random() % 3 == 0 ? 0 : static_cast<uint8_t>(random() % 256);
    for (int y = 0; y < 48; ++y) p.at(0, y) = 0;
    p.at(0, 0) = p.at(0, 9) = 255;  // font markers: glyphs 8 high
    for (int y = 0; y < 48; ++y) {
        for (int x = 5; x < 64; x += 7) p.at(x, y) = 0;  // cells of up to 6 columns
    }
    writePcx("r.pcx", p);
    std::string script = "LOADPCX r.pcx\nFONT f 32 90\n";
    for (int k = 0; k < 8; ++k) {
        const int x = static_cast<int>(random() % 6), y = static_cast<int>(random() % 4);
        const int w = 1 + static_cast<int>(random() % (8 - x)),
                  h = 1 + static_cast<int>(random() % (6 - y));
        for (const char* kind : {"PACKED", "PACKEDC", "TEXTURE"}) {
            script += std::string(kind) + " " + kind[0] + std::to_string(k) + " " +
                      std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " +
                      std::to_string(h) + "\n";
        }
    }
    writeText("r.scp", script + "PACKED empty 7 5 1 1\nPACKEDC emptyc 7 5 1 1\n");
}

}  // namespace

TEST(Runtime, DrawsWhatRenderShows) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "p");
    for (const char* script : {"art.scp", "letters.scp"})
        ASSERT_EQ(runKiv({script}, "p").status, 0);
    std::vector<std::string> archives = {"p/art.kiv", "p/letters.kiv"};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        makeRandomArchive(seed);
        ASSERT_EQ(runKiv({"-q", "r.scp"}).status, 0);
        // Appended piece by piece: GCC 12 at -O3 sees overlapping copies in "r" + text.
        std::string name = std::to_string(seed);
        name.insert(name.begin(), 'r');
        name += ".kiv";
        std::rename("r.kiv", name.c_str());
        archives.push_back(name);
    }
    int sprites = 0, glyphs = 0, textures = 0;
    for (const std::string& path : archives) {
        Opened a(path);
        for (int i = 0; i < kiv_count(a.archive); ++i) {
            SCOPED_TRACE(path + " " + kiv_name(a.archive, i));
            size_t size = 0;
            const unsigned char* item = kiv_item(a.archive, i, &size);
            const std::span<const uint8_t> bytes(item, size);
            const kiv::ItemInfo info = kiv::recogniseItem(kiv_name(a.archive, i), bytes);
            const std::vector<kiv::IndexedImage> shown = kiv::renderItem(info, bytes);
            kiv_status status;
            kiv_sprite sprite;
            kiv_font font;
            kiv_picture texture;
            EXPECT_EQ(kiv_sprite_view(a.archive, i, &sprite, &status) == KIV_OK,
                      info.kind == kiv::ItemKind::Sprite)
                << status.message;
            if (info.kind == kiv::ItemKind::Sprite) {
                ++sprites;
                if (sprite.height == 0) continue;  // an empty sprite draws nothing
                ASSERT_EQ(shown.size(), 1u);
                EXPECT_EQ(drawn(sprite), shown[0].pixels);
                // Mirrored: each row reversed.
                Bytes mirrored = drawn(sprite, true);
                for (int y = 0; y < sprite.height; ++y) {
                    std::reverse(mirrored.begin() + y * sprite.width,
                                 mirrored.begin() + (y + 1) * sprite.width);
                }
                EXPECT_EQ(mirrored, shown[0].pixels);
            } else if (info.kind == kiv::ItemKind::Texture) {
                ++textures;
                ASSERT_EQ(kiv_texture_view(a.archive, i, &texture, &status), KIV_OK);
                Bytes pixels(static_cast<size_t>(texture.width) * texture.height);
                const kiv_surface s =
                    kiv_surface_of(pixels.data(), texture.width, texture.height, texture.width);
                kiv_draw_picture(&s, &texture, 0, 0);
                EXPECT_EQ(pixels, shown[0].pixels);
            } else if (info.kind == kiv::ItemKind::Font) {
                ASSERT_EQ(kiv_font_view(a.archive, i, &font, &status), KIV_OK) << status.message;
                const auto image = kiv::readFont(bytes, nullptr);
                for (int code = 1; code < 256; ++code) {
                    const int width = kiv_glyph_width(&font, static_cast<unsigned char>(code));
                    EXPECT_EQ(width, image->header.glyphOffset[code] < 0
                                         ? 0
                                         : image->header.glyphWidth[code]);
                    if (width == 0 || code == '\n') continue;
                    ++glyphs;
                    Bytes pixels(static_cast<size_t>(width) * font.height, 0);
                    const kiv_surface s = kiv_surface_of(pixels.data(), width, font.height, width);
                    const char text[2] = {static_cast<char>(code), 0};
                    EXPECT_EQ(kiv_draw_text(&s, &font, 0, 0, text), width);
                    const kiv::SpriteImage& g = image->glyph[code];
                    EXPECT_EQ(pixels, g.height == 0 ? Bytes(pixels.size(), 0) : g.pixels) << code;
                }
            }
        }
    }
    EXPECT_GT(sprites, 40);
    EXPECT_GT(glyphs, 20);
    EXPECT_GT(textures, 20);
}

// Every way of drawing, at every offset around the edges of a clip rectangle, equals drawing
// into a larger surface and cutting the rectangle out.
TEST(Runtime, ClippingIsExactAtEveryOffset) {
    ScopedTempDir dir;
    makeRandomArchive(11);
    ASSERT_EQ(runKiv({"-q", "r.scp"}).status, 0);
    Opened a("r.kiv");
    Bytes shade(32 * 256), blend(65536), translation(256);
    for (size_t i = 0; i < shade.size(); ++i) shade[i] = static_cast<uint8_t>(i * 7 + i / 256);
    for (size_t i = 0; i < blend.size(); ++i) blend[i] = static_cast<uint8_t>((i >> 8) ^ (i * 3));
    for (size_t i = 0; i < 256; ++i) translation[i] = static_cast<uint8_t>(255 - i);
    kiv_font font;
    kiv_status status;
    ASSERT_EQ(kiv_font_view(a.archive, kiv_find(a.archive, "f"), &font, &status), KIV_OK);
    constexpr int W = 20, H = 14, M = 48;
    const int clipLeft = 3, clipTop = 2, clipRight = 17, clipBottom = 11;
    auto background = [](int x, int y) { return static_cast<uint8_t>(x * 5 + y * 11 + 1); };
    using Draw = std::function<void(const kiv_surface&, int, int)>;
    std::vector<std::pair<std::string, Draw>> draws;
    for (int i = 0; i < kiv_count(a.archive); ++i) {
        kiv_sprite sprite;
        kiv_picture texture;
        const std::string name = kiv_name(a.archive, i);
        if (kiv_sprite_view(a.archive, i, &sprite, nullptr) == KIV_OK && sprite.height > 0) {
            draws.emplace_back(name, [=](const kiv_surface& s, int x, int y) {
                kiv_draw_sprite(&s, &sprite, x, y);
            });
            draws.emplace_back(name + " mirrored", [=](const kiv_surface& s, int x, int y) {
                kiv_draw_sprite_mirrored(&s, &sprite, x, y);
            });
            draws.emplace_back(
                name + " translated", [&, sprite](const kiv_surface& s, int x, int y) {
                    kiv_draw_sprite_translated(&s, &sprite, x, y, translation.data());
                });
            draws.emplace_back(name + " blended", [&, sprite](const kiv_surface& s, int x, int y) {
                kiv_draw_sprite_blended(&s, &sprite, x, y, blend.data());
            });
            draws.emplace_back(name + " lit", [&, sprite](const kiv_surface& s, int x, int y) {
                kiv_draw_sprite_lit(&s, &sprite, x, y, shade.data(), 9);
            });
        } else if (kiv_texture_view(a.archive, i, &texture, nullptr) == KIV_OK) {
            draws.emplace_back(name, [=](const kiv_surface& s, int x, int y) {
                kiv_draw_picture(&s, &texture, x, y);
            });
        }
    }
    draws.emplace_back("text", [&](const kiv_surface& s, int x, int y) {
        kiv_draw_text(&s, &font, x, y, "AB\nC@D");
    });
    ASSERT_GT(draws.size(), 20u);
    for (const auto& [what, draw] : draws) {
        SCOPED_TRACE(what);
        for (int y = -14; y < H + 2; ++y) {
            for (int x = -14; x < W + 2; ++x) {
                Bytes big(static_cast<size_t>(W + 2 * M) * (H + 2 * M)), small(W * H);
                for (int r = 0; r < H + 2 * M; ++r) {
                    for (int c = 0; c < W + 2 * M; ++c)
                        big[r * (W + 2 * M) + c] = background(c - M, r - M);
                }
                for (int r = 0; r < H; ++r) {
                    for (int c = 0; c < W; ++c) small[r * W + c] = background(c, r);
                }
                draw(kiv_surface_of(big.data(), W + 2 * M, H + 2 * M, W + 2 * M), x + M, y + M);
                kiv_surface s = kiv_surface_of(small.data(), W, H, W);
                s.clip_left = clipLeft, s.clip_top = clipTop;
                s.clip_right = clipRight, s.clip_bottom = clipBottom;
                draw(s, x, y);
                for (int r = 0; r < H; ++r) {
                    for (int c = 0; c < W; ++c) {
                        const bool inside =
                            c >= clipLeft && c < clipRight && r >= clipTop && r < clipBottom;
                        const uint8_t want =
                            inside ? big[(r + M) * (W + 2 * M) + c + M] : background(c, r);
                        ASSERT_EQ(small[r * W + c], want)
                            << "at " << x << "," << y << " pixel " << c << "," << r;
                    }
                }
            }
        }
    }
    // Far off, and a clip rectangle larger than the surface: nothing outside is touched.
    Bytes pixels(W * H, 7);
    kiv_surface s = kiv_surface_of(pixels.data(), W, H, W);
    s.clip_left = -100, s.clip_right = 1000, s.clip_top = -5, s.clip_bottom = 99;
    for (const auto& [what, draw] : draws) {
        for (int far : {INT32_MIN, -1000000, 1000000, INT32_MAX})
            draw(s, far, far), draw(s, 0, far), draw(s, far, 0);
    }
    EXPECT_EQ(pixels, Bytes(W * H, 7));
}

TEST(Runtime, RefusesDamagedArchivesAndItemsNamingTheEntry) {
    ScopedTempDir dir;
    const Bytes good = buildArchive(
        {{"LBL:", {}}, {"a", {1, 2, 3}}, {"b", Bytes(768, 9)}, {"END:", {}}, {"c", {4}}});
    auto withInt = [&](size_t at, uint32_t v) {
        Bytes b = good;
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
        return b;
    };
    Bytes unterminated = good;
    std::fill(unterminated.begin() + 12 + 28 + 12, unterminated.begin() + 12 + 28 + 28, 'x');
    Bytes magic = good;
    magic[7] = 1;
    const struct {
        const char* what;
        Bytes bytes;
        const char* message;  // nullptr: opens
    } cases[] = {
        {"sound", good, nullptr},
        {"short", Bytes(good.begin(), good.begin() + 11),
         "11 bytes: shorter than an archive's header"},
        {"magic", magic, "not a KIV2.0 archive"},
        {"negative count", withInt(8, 0xFFFFFFFF), "negative entry count -1"},
        {"count past the end", withInt(8, 0x7FFFFFFF), "a directory of 2147483647 entries"},
        {"data past the end", withInt(12 + 28 + 8, 2000), "entry 2 (a): data at"},
        {"data in the directory", withInt(12 + 28 + 4, 12), "entry 2 (a): its data starts at 12"},
        {"negative length", withInt(12 + 28 * 2 + 8, 0xFFFFFFFE),
         "entry 3 (b): negative length -2"},
        {"a label outside", withInt(12 + 4, 100000), "entry 1 (LBL:): a zero-length entry"},
        {"a name without end", unterminated, "entry 2 (xxxxxxxxxxxxxxx): name is not"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kiv_status status;
        kiv_archive* a = kiv_open_memory(c.bytes.data(), c.bytes.size(), &status);
        EXPECT_EQ(a != nullptr, c.message == nullptr);
        if (c.message != nullptr) {
            EXPECT_EQ(std::string(status.message).rfind(c.message, 0), 0u) << status.message;
        }
        kiv_close(a);
    }
    writeFile("g.kiv", good);
    kiv_status status;
    kiv_archive* a = kiv_open_file("g.kiv", &status);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(kiv_find(a, "b"), 2);
    EXPECT_EQ(kiv_find(a, "B"), -1);
    int first = -1;
    EXPECT_EQ(kiv_group(a, "LBL:", &first), 2);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(kiv_group(a, "END:", &first), 1);
    EXPECT_EQ(kiv_group(a, "NONE:", &first), -1);
    kiv_palette palette;
    ASSERT_EQ(kiv_palette_view(a, 2, &palette, &status), KIV_OK);
    EXPECT_EQ(palette.colours8[0], 9 * 4 + 9 / 16);
    kiv_sprite sprite;
    EXPECT_EQ(kiv_sprite_view(a, 1, &sprite, &status), KIV_ERROR_KIND);
    EXPECT_EQ(std::string(status.message).rfind("entry 2 (a): ", 0), 0u) << status.message;
    EXPECT_EQ(kiv_palette_view(a, 1, &palette, &status), KIV_ERROR_KIND);
    EXPECT_EQ(kiv_sprite_view(a, 9, &sprite, &status), KIV_ERROR_ARGUMENT);
    kiv_close(a);
    EXPECT_EQ(kiv_open_file("none.kiv", &status), nullptr);
    EXPECT_EQ(status.code, KIV_ERROR_FILE);
    // Sprites whose spans leave their box or the bytes, or whose row index lies, are refused.
    const Bytes sprite4x3 = kiv::encodePackedSprite(
        {Bytes{0, 0, 0, 0, 0, 5, 6, 0, 0, 7, 0, 9}.data(), 12, 4, 0, 0, 4, 3}, false);
    ASSERT_EQ(sprite4x3.size(), 76u);
    auto spriteWith = [&](size_t at, uint32_t v) {
        Bytes b = sprite4x3;
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
        int code;
    } sprites[] = {
        {"sound", sprite4x3, KIV_OK},
        {"a texture's kind", spriteWith(8, 1), KIV_ERROR_KIND},
        {"a span past the box", spriteWith(51, 4), KIV_ERROR_FORMAT},
        {"a span below the box", spriteWith(55, 3), KIV_ERROR_FORMAT},
        {"a length past the bytes", spriteWith(59, 40), KIV_ERROR_FORMAT},
        {"a row index that lies", spriteWith(16, 38), KIV_ERROR_FORMAT},
        {"an index to a row without runs", spriteWith(12, 24), KIV_ERROR_FORMAT},
        {"no end record", Bytes(sprite4x3.begin(), sprite4x3.end() - 12), KIV_ERROR_FORMAT},
        {"a row index past the end", spriteWith(4, 1000), KIV_ERROR_FORMAT},
    };
    for (const auto& c : sprites) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kiv_sprite_from_bytes(c.bytes.data(), c.bytes.size(), &sprite, &status), c.code)
            << status.message;
    }
}
