// kivtool: kinds recognised from the bytes every grab command writes (and near misses that must
// stay raw), and the built program's list, verify, extract, render and diff.
#include <gtest/gtest.h>

#include "app/kivtool/kivtool.h"
#include "common/file_access.h"
#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "picture/png_picture.h"
#include "support/grab_harness.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

// A picture with sprites, a font band and colours to grab from, 64 × 24.
GrabHarness& sheet() {
    static GrabHarness h;
    static bool ready = false;
    if (!ready) {
        Bytes pixels(64 * 24, 0);
        pixels[0] = 255;  // font markers in column 0, rows 0 and 4: glyph height 3
        pixels[4 * 64] = 255;
        for (int x = 2; x < 12; ++x) {
            if (x % 4 != 1) pixels[static_cast<size_t>(64 + x)] = static_cast<uint8_t>(x);
        }
        for (int y = 8; y < 24; ++y) {
            for (int x = 0; x < 64; ++x) {
                if ((x + y) % 5 != 0)
                    pixels[static_cast<size_t>(y * 64 + x)] = static_cast<uint8_t>(x + y);
            }
        }
        h.setPicture(64, 24, pixels);
        for (int i = 0; i < 768; ++i)
            h.ctx.palette[static_cast<size_t>(i)] = static_cast<uint8_t>((i * 7) % 64);
        ready = true;
    }
    return h;
}

Bytes grab(const std::string& line) {
    GrabHarness& h = sheet();
    Bytes item = h.run(line);
    return item;
}

Bytes withByte(Bytes bytes, size_t at, uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}
Bytes withWord(Bytes bytes, size_t at, int32_t value) {
    storeLE32(bytes.data() + at, value);
    return bytes;
}
Bytes plus(Bytes bytes, Bytes more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

}  // namespace

TEST(ItemKinds, EveryGrabCommandAndTheNearMisses) {
    const Bytes packed = grab("PACKED s 0 1 2 2");
    const Bytes cropped = grab("PACKEDC c 0 1 2 2");
    const Bytes font = grab("FONT f 65 70");
    const Bytes texture = grab("TEXTURE t 1 1 2 1");
    Bytes shades = grab("COLORMAP m");
    const Bytes blend = grab("TRANSPARENT b 2");
    struct Case {
        const char* what;
        std::string name;
        Bytes bytes;
        ItemKind kind;
        std::string detail;  // "" for any
    } cases[] = {
        {"label", "GROUP:", {}, ItemKind::Label, ""},
        {"empty", "nothing", {}, ItemKind::Empty, ""},
        {"PACKED", "s", packed, ItemKind::Sprite, "16x16, "},
        {"PACKEDC", "c", cropped, ItemKind::Sprite, "cropped 16x16"},
        {"PACKED of nothing", "e", grab("PACKED e 7 0 1 1"), ItemKind::Sprite, "8x8, 0 runs"},
        {"PACKEDC of nothing", "e", grab("PACKEDC e 7 0 1 1"), ItemKind::Sprite, "cropped 8x0"},
        {"FONT", "f", font, ItemKind::Font, "height 3, codes 65-70, 6 glyphs"},
        {"TEXTURE", "t", texture, ItemKind::Texture, "16x8"},
        {"TEXTURE without pixels", "t", grab("TEXTURE t 0 0 0 0"), ItemKind::Texture, "0x0"},
        {"PALETTE", "p", grab("PALETTE p"), ItemKind::Palette, ""},
        {"COLORMAP", "m", shades, ItemKind::ShadeTable, ""},
        {"TRANSPARENT", "b", blend, ItemKind::BlendTable, "2 levels"},
        {"RAW", "r", grab("RAW r 0 1 3 1"), ItemKind::Raw, "192 bytes"},
        // Near misses: one thing wrong, and the item is raw.
        {"sprite, row index off", "s", withWord(packed, 12, 20), ItemKind::Raw, ""},
        {"sprite, byte after its end", "s", plus(packed, {0}), ItemKind::Raw, ""},
        {"sprite, cut short", "s", Bytes(packed.begin(), packed.end() - 1), ItemKind::Raw, ""},
        {"sprite, terminator length", "s", withWord(packed, packed.size() - 4, 5), ItemKind::Raw,
         ""},
        {"sprite, a zero pixel stored", "s", withByte(packed, loadLE32(packed.data() + 12) + 12, 0),
         ItemKind::Raw, ""},
        {"sprite, kind 1", "s", withWord(packed, 8, 1), ItemKind::Raw, ""},
        {"cropped sprite, box too large", "c", withWord(cropped, 0, 17), ItemKind::Raw, ""},
        {"font, offset off by one", "f",
         withWord(font, 4 + 4 * 66, loadLE32(font.data() + 4 + 4 * 66) + 1), ItemKind::Raw, ""},
        {"font, width of a code without glyph", "f", withByte(font, 1028 + 90, 3), ItemKind::Raw,
         ""},
        {"texture, one byte more", "t", plus(texture, {1}), ItemKind::Raw, ""},
        {"palette, a component of 64", "p", withByte(grab("PALETTE p"), 5, 64), ItemKind::Raw, ""},
        {"shade table, row 0 not the identity", "m", withByte(shades, 3, 4), ItemKind::Raw, ""},
        {"blend table, an index below 10", "b", withByte(blend, 7, 9), ItemKind::Raw, ""},
        {"blend table, an index above 245", "b", withByte(blend, 9, 246), ItemKind::Raw, ""},
        {"shade table, an index past the ramps shaded", "m", withByte(shades, 256 * 5 + 250, 251),
         ItemKind::Raw, ""},
        {"shade table, a shade below its index", "m",
         withByte(shades, 256 * 3 + 40, shades[256 * 3 + 40] == 31 ? 30 : 39), ItemKind::Raw, ""},
        {"sprite, a span on the row past the height", "s", withWord(packed, 12 + 4 * 16 + 4, 16),
         ItemKind::Raw, ""},
        {"sprite, a span left of the sprite", "s", withWord(packed, 12 + 4 * 16, -1), ItemKind::Raw,
         ""},
        {"sprite, a span past the right edge", "s",
         withWord(packed, 12 + 4 * 16, 17 - loadLE32(packed.data() + 12 + 4 * 16 + 8)),
         ItemKind::Raw, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ItemInfo info = recogniseItem(c.name, c.bytes);
        EXPECT_STREQ(kindName(info.kind), kindName(c.kind));
        if (!c.detail.empty()) {
            EXPECT_NE(info.detail.find(c.detail), std::string::npos) << "detail: " << info.detail;
        }
    }
}

TEST(Kivtool, RenderedPixelsAreThePicturesIndices) {
    ScopedTempDir dir;
    GrabHarness& h = sheet();
    const Bytes sprite = grab("PACKED s 0 1 2 2");
    const Bytes texture = grab("TEXTURE t 1 1 2 1");
    writeFile("a.kiv", buildArchive({{"pal", grab("PALETTE pal")},
                                     {"s", sprite},
                                     {"t", texture},
                                     {"f", grab("FONT f 65 70")},
                                     {"b", grab("TRANSPARENT b 2")}}));
    RunResult r = runKivtool({"render", "a.kiv", "-o", "out"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.output,
              "out/pal.png\nout/s.png\nout/t.png\nout/f.png\nout/b.level0.png\nout/b.level1.png\n");
    struct Expect {
        const char* file;
        int x, y, w, h;  // the rectangle of the picture it came from
        bool transparent;
    } expected[] = {{"out/s.png", 0, 8, 16, 16, true}, {"out/t.png", 8, 8, 16, 8, false}};
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.file);
        PngPicture png;
        std::string why;
        ASSERT_TRUE(readIndexedPng(readFile(e.file), 1 << 20, png, &why)) << why;
        ASSERT_EQ(png.width, e.w);
        ASSERT_EQ(png.height, e.h);
        for (int y = 0; y < e.h; ++y) {
            for (int x = 0; x < e.w; ++x) {
                ASSERT_EQ(png.pixels[static_cast<size_t>(y * e.w + x)],
                          h.pictureAt(e.x + x, e.y + y));
            }
        }
        EXPECT_EQ(png.paletteEntries, 256);
        EXPECT_EQ(png.transparentEntries, e.transparent ? 1 : 0);
        // Colour 5 of the palette item, 6-bit (41, 48, 55), shown as v × 4 + v / 16.
        EXPECT_EQ(png.colours[15], 41 * 4 + 2);
        EXPECT_EQ(png.colours[17], 55 * 4 + 3);
    }
    PngPicture swatch;
    ASSERT_TRUE(readIndexedPng(readFile("out/pal.png"), 1 << 20, swatch, nullptr));
    EXPECT_EQ(swatch.width * swatch.height, 256);
    EXPECT_EQ(swatch.pixels[200], 200);
    EXPECT_EQ(runKivtool({"render", "a.kiv", "s", "--scale", "3", "-o", "big"}).status, 0);
    PngPicture big;
    ASSERT_TRUE(readIndexedPng(readFile("big/s.png"), 1 << 20, big, nullptr));
    EXPECT_EQ(big.width, 48);
    EXPECT_EQ(big.pixels[static_cast<size_t>(47 * 48 + 47)], h.pictureAt(15, 23));
}

TEST(Kivtool, ExtractReproducesEveryItemsBytes) {
    ScopedTempDir dir;
    std::vector<EntrySpec> entries = {{"GROUP:", {}},
                                      {"hero", patternBytes(30, 1)},
                                      {"hero", patternBytes(5, 2)},
                                      {"", patternBytes(7, 3)},
                                      {"../up", patternBytes(4, 4)},
                                      {".hidden", patternBytes(3, 5)},
                                      {"zero", {}}};
    writeFile("a.kiv", buildArchive(entries));
    RunResult r = runKivtool({"extract", "a.kiv", "-o", "x"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.output, "x/hero\nx/hero-entry-3\nx/entry-4\nx/_._up\nx/_hidden\nx/zero\n");
    EXPECT_EQ(folderEntries("x"), (std::vector<std::string>{"_._up", "_hidden", "entry-4", "hero",
                                                            "hero-entry-3", "zero"}));
    EXPECT_EQ(readFile("x/hero"), entries[1].data);
    EXPECT_EQ(readFile("x/hero-entry-3"), entries[2].data);
    EXPECT_EQ(readFile("x/entry-4"), entries[3].data);
    EXPECT_EQ(readFile("x/_._up"), entries[4].data);
    EXPECT_TRUE(readFile("x/zero").empty());
    EXPECT_FALSE(fileExists("up"));
    // By name, and by number.
    r = runKivtool({"extract", "a.kiv", "#4", "zero", "-o", "y"});
    EXPECT_EQ(r.output, "y/entry-4\ny/zero\n");
    EXPECT_EQ(runKivtool({"extract", "a.kiv", "nobody"}).status, 2);
}

TEST(Kivtool, ListShowsKindsAndRefusesWhatIsNoArchive) {
    ScopedTempDir dir;
    writeFile("a.kiv", buildArchive({{"GROUP:", {}},
                                     {"hero", grab("PACKED s 0 1 2 2"), 3},
                                     {"pal", grab("PALETTE p")}}));
    RunResult r = runKivtool({"list", "a.kiv"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_NE(r.output.find("    1 00000000          0          0  label        GROUP:"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("    2 00000003         96 "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("sprite       hero             16x16, "), std::string::npos)
        << r.output;
    r = runKivtool({"list", "a.kiv", "--json"});
    EXPECT_NE(r.output.find("{\"index\": 1, \"name\": \"GROUP:\", \"flags\": 0, \"offset\": 0, "
                            "\"length\": 0, \"kind\": \"label\", \"detail\": \"\"}"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.front(), '[');
    writeText("pic.pcx", "not an archive at all");
    for (const char* path : {"pic.pcx", "/dev/zero", "missing.kiv"}) {
        SCOPED_TRACE(path);
        r = runKivtool({"list", path});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.output.empty());
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
        EXPECT_NE(r.errors.find(path), std::string::npos);
    }
}

TEST(Kivtool, VerifyNamesEachBrokenEntry) {
    ScopedTempDir dir;
    const Bytes good = buildArchive({{"one", patternBytes(10, 1)}, {"two", patternBytes(5, 2)}});
    struct Case {
        const char* what;
        Bytes bytes;
        int status;
        std::string says;
    } cases[] = {
        {"a good archive", good, 0, "ok, 2 entries"},
        {"cut short", Bytes(good.begin(), good.end() - 3), 1,
         "entry 2 (two): data at 78 + 5 lies past the end of the 80-byte file"},
        {"impossible count", withWord(good, 8, 1000), 1,
         "a directory of 1000 entries reaches past the end"},
        {"negative count", withWord(good, 8, -2), 1, "negative entry count -2"},
        {"offset past the end", withWord(good, 12 + 28 + 4, 500), 1,
         "entry 2 (two): data at 500 + 5"},
        {"negative length", withWord(good, 12 + 8, -4), 1, "entry 1 (one): negative length -4"},
        {"negative offset", withWord(good, 12 + 28 + 4, -1), 1,
         "entry 2 (two): negative offset -1"},
        {"name without end",
         plus(Bytes(good.begin(), good.begin() + 52),
              plus(Bytes(16, 'x'), Bytes(good.begin() + 68, good.end()))),
         1, "entry 2 (xxxxxxxxxxxxxxxx): name is not zero-terminated"},
        {"wrong magic", withByte(good, 0, 'X'), 1, "not a KIV2.0 archive"},
        {"shorter than a header", Bytes(5, 0), 1, "shorter than an archive header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("t.kiv", c.bytes);
        RunResult r = runKivtool({"verify", "t.kiv"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE((r.output + r.errors).find(c.says), std::string::npos) << r.output << r.errors;
    }
    EXPECT_EQ(runKivtool({"verify", "missing.kiv"}).status, 2);
}

TEST(Kivtool, DiffSaysWhatChanged) {
    ScopedTempDir dir;
    const Bytes sprite = grab("PACKED s 0 1 2 2");
    const Bytes pal = grab("PALETTE p");
    writeFile("a.kiv", buildArchive({{"pal", pal},
                                     {"hero", sprite},
                                     {"old", patternBytes(9, 1)},
                                     {"x", patternBytes(4, 2)},
                                     {"y", patternBytes(4, 3)}}));
    writeFile("same.kiv", readFile("a.kiv"));
    Bytes changed = sprite;
    changed[static_cast<size_t>(loadLE32(sprite.data() + 12) + 12)] ^= 1;  // one pixel
    writeFile("b.kiv", buildArchive({{"pal", pal},
                                     {"hero", changed},
                                     {"new", patternBytes(9, 1)},
                                     {"y", patternBytes(4, 3)},
                                     {"x", patternBytes(4, 2)},
                                     {"more", patternBytes(2, 7)}}));
    EXPECT_EQ(runKivtool({"diff", "a.kiv", "same.kiv"}).status, 0);
    RunResult r = runKivtool({"diff", "a.kiv", "b.kiv", "--images", "d"});
    EXPECT_EQ(r.status, 1);
    for (const char* line :
         {"renamed  old -> new", "added    more (entry 6)", "moved    x (entry 4 -> 5)",
          "changed  hero: sprite 16x16", "1 of 256 pixels differ"}) {
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
    }
    EXPECT_TRUE(fileExists("d/hero.diff.png"));
    EXPECT_EQ(runKivtool({"diff", "a.kiv", "missing.kiv"}).status, 2);
}

TEST(Kivtool, HelpAndWrongWords) {
    for (const char* command : {"list", "verify", "extract", "render", "diff"}) {
        SCOPED_TRACE(command);
        RunResult r = runKivtool({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.output.find(std::string("usage: kivtool ") + command), std::string::npos);
    }
    EXPECT_EQ(runKivtool({}).status, 2);
    EXPECT_EQ(runKivtool({"frobnicate"}).status, 2);
    EXPECT_EQ(runKivtool({"list", "a.kiv", "--bogus"}).status, 2);
}
