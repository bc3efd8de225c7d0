// Colour tables of kivtool table: every kind against a full search on two palettes, the rules of
// fullbright and reserved entries, linear mixing, and the command's words, render and diff;
// palettes completed from the art.
#include "grab/palette_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "grab/palette_completion.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

PaletteSource paletteOf(const std::array<uint8_t, 768>& colours) {
    return {"p", "p", colours, 256, "test"};
}

std::array<uint8_t, 768> randomColours() {
    std::mt19937 random(11);
    std::array<uint8_t, 768> c{};
    for (auto& v : c) v = static_cast<uint8_t>(random());
    c[0] = c[1] = c[2] = 0;
    c[765] = c[766] = c[767] = 255;
    return c;
}

}  // namespace

TEST(ColourTables, EveryKindEqualsAFullSearch) {
    const PaletteSource example = [] {
        PaletteSource s;
        EXPECT_TRUE(loadPaletteSource(KIV_SOURCE_DIR "/examples/project/sheet.pcx", s, nullptr));
        return s;
    }();
    const PaletteSource random = paletteOf(randomColours());
    // Colours met again and again: every tie must go to the lowest entry.
    const PaletteSource repeats = [] {
        std::array<uint8_t, 768> c = randomColours();
        for (size_t i = 24; i < 768; ++i) c[i] = c[i % 24];
        return paletteOf(c);
    }();
    struct Case {
        const char* what;
        TableOptions o;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change) {
        TableOptions o;
        change(o);
        cases.push_back({what, o});
    };
    add("blend 0.3", [](TableOptions& o) { o.kind = TableKind::Blend, o.alpha = 0.3; });
    add("blend linear rgb", [](TableOptions& o) {
        o.kind = TableKind::Blend, o.linear = true, o.metric = ColourMetric::Rgb;
    });
    add("additive reserved",
        [](TableOptions& o) { o.kind = TableKind::Additive, o.reserved.set(255).set(7); });
    add("blend 0.5 rgb", [](TableOptions& o) {
        o.kind = TableKind::Blend, o.alpha = 0.5, o.metric = ColourMetric::Rgb;
    });
    add("additive rgb reserved", [](TableOptions& o) {
        o.kind = TableKind::Additive, o.metric = ColourMetric::Rgb, o.reserved.set(0).set(9);
    });
    add("multiply rgb",
        [](TableOptions& o) { o.kind = TableKind::Multiply, o.metric = ColourMetric::Rgb; });
    add("multiply ciede2000",
        [](TableOptions& o) { o.kind = TableKind::Multiply, o.metric = ColourMetric::Ciede2000; });
    add("tint", [](TableOptions& o) {
        o.kind = TableKind::Tint, o.colour = {255, 0, 0}, o.amount = 0.4;
    });
    add("fog", [](TableOptions& o) {
        o.kind = TableKind::Light, o.colour = {128, 128, 128}, o.levels = 5;
    });
    add("light, saturation kept",
        [](TableOptions& o) { o.kind = TableKind::Light, o.levels = 4, o.keepSaturation = true; });
    add("grey", [](TableOptions& o) { o.kind = TableKind::Grey; });
    add("inverse 5", [](TableOptions& o) { o.kind = TableKind::Inverse, o.bits = 5; });
    add("inverse 6 rgb reserved", [](TableOptions& o) {
        o.kind = TableKind::Inverse, o.bits = 6, o.metric = ColourMetric::Rgb, o.reserved.set(0);
    });
    for (const PaletteSource* palette : {&example, &random, &repeats}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (palette == &random    ? " (random palette)"
                                                : palette == &repeats ? " (repeats)"
                                                                      : ""));
            if (palette != &example && c.o.metric == ColourMetric::Ciede2000) continue;  // slow
            std::vector<uint8_t> table;
            ASSERT_TRUE(makeTable(*palette, c.o, table, nullptr));
            ASSERT_EQ(table.size(), tableBytes(c.o));
            const int rows = static_cast<int>(table.size() / 256);
            for (int a = 0; a < rows; a += (rows > 16 ? 7 : 1)) {
                for (int b = 0; b < 256; ++b) {
                    const Rgb want = tableTarget(palette->colours, c.o, a, b);
                    const ColourPoint p = colourPoint(c.o.metric, want);
                    double best = 1e300;
                    int answer = -1;
                    for (int e = 0; e < 256; ++e) {
                        if (c.o.reserved.test(static_cast<size_t>(e))) continue;
                        const Rgb have{palette->colours[3 * e], palette->colours[3 * e + 1],
                                       palette->colours[3 * e + 2]};
                        const double d =
                            squaredDifference(c.o.metric, p, colourPoint(c.o.metric, have));
                        if (d < best) best = d, answer = e;
                    }
                    ASSERT_EQ(table[static_cast<size_t>(a * 256 + b)], answer) << a << ", " << b;
                }
            }
        }
    }
}

TEST(ColourTables, TargetsFullbrightsAndRemaps) {
    std::array<uint8_t, 768> c{};
    for (int k = 0; k < 3; ++k) c[3 + k] = 255, c[6 + k] = 100;  // 0 black, 1 white, 2 grey 100
    c[9] = 200, c[10] = 100, c[11] = 50;                         // 3
    for (int k = 0; k < 3; ++k) c[12 + k] = 227;                 // 4 grey 227
    struct Case {
        const char* what;
        TableKind kind;
        bool linear;
        int a, b;
        Rgb want;
    };
    const Case cases[] = {
        {"half black, half white", TableKind::Blend, false, 0, 1, {128, 128, 128}},
        {"half of 100 and 227 is 163.5: up", TableKind::Blend, false, 2, 4, {164, 164, 164}},
        {"the same in linear light", TableKind::Blend, true, 0, 1, {188, 188, 188}},
        {"added and clamped", TableKind::Additive, false, 3, 3, {255, 200, 100}},
        {"multiplied", TableKind::Multiply, false, 3, 2, {78, 39, 20}},
        {"multiplied in linear light", TableKind::Multiply, true, 3, 2, {77, 34, 13}},
        {"tinted 0.4 toward white", TableKind::Tint, false, 0, 3, {222, 162, 132}},
        {"fog level 1 of 3 halfway to white", TableKind::Light, false, 1, 0, {128, 128, 128}},
        {"fog's last level is the colour", TableKind::Light, false, 2, 3, {255, 255, 255}},
        {"grey by luminance", TableKind::Grey, false, 0, 3, {128, 128, 128}},
        // Inverse maps of 5 bits (linear stands for 6): red-major cells, c × 255 / (2^bits − 1).
        {"inverse 5: the last red cell", TableKind::Inverse, false, 31744 / 256, 0, {255, 0, 0}},
        {"inverse 5: blue 16 rounds up", TableKind::Inverse, false, 0, 16, {0, 0, 132}},
        {"inverse 5: green 1", TableKind::Inverse, false, 0, 32, {0, 8, 0}},
        {"inverse 6: red 1, blue 63", TableKind::Inverse, true, 4096 / 256, 63, {4, 0, 255}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TableOptions o;
        o.kind = k.kind, o.linear = k.linear, o.alpha = 0.5, o.levels = 3,
        o.colour = {255, 255, 255}, o.amount = 0.4;
        if (k.kind == TableKind::Inverse) o.bits = k.linear ? 6 : 5, o.linear = false;
        EXPECT_EQ(tableTarget(c, o, k.a, k.b), k.want);
    }
    TableOptions light;
    light.kind = TableKind::Light, light.levels = 8, light.colour = {0, 0, 0};
    light.fullbright.set(1).set(3);
    light.reserved.set(2);
    std::vector<uint8_t> table;
    ASSERT_TRUE(makeTable(paletteOf(c), light, table, nullptr));
    for (int level = 0; level < 8; ++level) {
        EXPECT_EQ(table[size_t(level) * 256 + 1], 1);
        EXPECT_EQ(table[size_t(level) * 256 + 3], 3);
        EXPECT_NE(table[size_t(level) * 256 + 2], 2);  // reserved: never an output
    }
    TableOptions remap;
    remap.kind = TableKind::Remap;
    remap.ranges = {{16, 31, 32, 39}, {200, 203, 103, 100}, {5, 5, 9, 9}};
    ASSERT_TRUE(makeTable(paletteOf(c), remap, table, nullptr));
    EXPECT_EQ(std::vector<int>(table.begin() + 14, table.begin() + 34),
              (std::vector<int>{14, 15, 32, 32, 33, 33, 34, 34, 35, 35,
                                36, 36, 37, 37, 38, 38, 39, 39, 32, 33}));
    EXPECT_EQ(std::vector<int>(table.begin() + 200, table.begin() + 204),
              (std::vector<int>{103, 102, 101, 100}));
    EXPECT_EQ(table[5], 9);
    TableOptions none;
    none.reserved.set();
    std::string why;
    EXPECT_FALSE(makeTable(paletteOf(c), none, table, &why));
    EXPECT_EQ(why, "no entry of p is left to be an output");
}

TEST(ColourTables, CommandWordsRenderAndDiff) {
    ScopedTempDir dir;
    PcxPicture pal = blankPicture(2, 2);
    pal.palette = randomColours();
    writePcx("pal.pcx", pal);
    writeFile("nopal.kiv", buildArchive({{"x", {1}}}));
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string error;
    };
    const Case cases[] = {
        {{"blend", "--alpha", "1.01"}, 2, "kivtool: --alpha 1.01: a number from 0 to 1 is needed"},
        {{"blend", "--alpha", "-0.1"}, 2, "kivtool: --alpha -0.1: a number from 0 to 1"},
        {{"blend", "--alpha", "0.5x"}, 2, "kivtool: --alpha 0.5x: a number from 0 to 1"},
        {{"blend"}, 2, "kivtool: blend needs --alpha A"},
        {{"tint", "--colour", "1,2,256", "--amount", "1"},
         2,
         "kivtool: --colour 1,2,256: three numbers"},
        {{"light", "--to", "0,0", "--levels", "4"}, 2, "kivtool: light needs --to R,G,B"},
        {{"light", "--to", "0,0,0", "--levels", "1"}, 2, "kivtool: --levels 1: 2 to 256 levels"},
        {{"remap", "--from", "1-256", "--to", "1-2"}, 2, "kivtool: --from 1-256 --to 1-2: ranges"},
        {{"remap", "--from", "1-5"}, 2, "kivtool: remap needs --from A-B and --to C-D in pairs"},
        {{"grey", "--dither", "ordered"}, 2, "kivtool: --dither ordered: dithering does not apply"},
        {{"sepia"}, 2, "kivtool: table takes one kind"},
        {{"grey", "--reserve", "0-255"}, 1, "kivtool: --reserve: no entry of pal.pcx is left"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> words = {"table"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        words.insert(words.end(), {"--palette", "pal.pcx", "-o", "t.bin"});
        const RunResult r = runKivtool(words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.errors.rfind(c.error, 0), 0u) << r.errors;
        EXPECT_FALSE(fileExists("t.bin"));
    }
    EXPECT_EQ(runKivtool({"table", "grey", "--palette", "nopal.kiv", "-o", "t.bin"}).status, 1);
    // Two archives whose blend tables differ: render draws them, diff counts the cells.
    ASSERT_EQ(
        runKivtool({"table", "blend", "--alpha", "0.5", "--palette", "pal.pcx", "-o", "a.bin"})
            .status,
        0);
    ASSERT_EQ(runKivtool({"table", "blend", "--alpha", "0.5", "--palette", "pal.pcx", "-o", "b.bin",
                          "--linear"})
                  .status,
              0);
    ASSERT_EQ(runKivtool({"table", "light", "--to", "0,0,0", "--levels", "3", "--palette",
                          "pal.pcx", "-o", "l.bin"})
                  .status,
              0);
    const Bytes a = readFile("a.bin"), b = readFile("b.bin");
    const auto differ = std::inner_product(a.begin(), a.end(), b.begin(), size_t{0}, std::plus<>(),
                                           [](uint8_t x, uint8_t y) { return size_t{x != y}; });
    ASSERT_GT(differ, 0u);
    writeFile("a.kiv", buildArchive({{"glass", a}, {"light", readFile("l.bin")}}));
    writeFile("b.kiv", buildArchive({{"glass", b}, {"light", readFile("l.bin")}}));
    const RunResult diff = runKivtool({"diff", "a.kiv", "b.kiv"});
    EXPECT_EQ(diff.status, 1);
    EXPECT_EQ(diff.output, "changed  glass: raw of 65536 bytes -> raw of 65536 bytes, " +
                               std::to_string(differ) + " of 65536 cells differ\n");
    const RunResult render = runKivtool({"render", "a.kiv", "-o", "out"});
    EXPECT_EQ(render.output, "out/glass.png\n");
    const RunResult levels =
        runKivtool({"render", "a.kiv", "light", "-o", "out", "--table", "256x1"});
    EXPECT_EQ(levels.output, "out/light.level0.png\nout/light.level1.png\nout/light.level2.png\n");
    const RunResult odd = runKivtool({"render", "a.kiv", "light", "--table", "256x2"});
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.errors.find("a raw item of 768 bytes is no whole number of 256 x 2 tables"),
              std::string::npos);
    EXPECT_EQ(runKivtool({"render", "a.kiv", "--table", "256x"}).status, 2);
}

// A palette set: the base palette and one palette a bias, read back as kiv --palette reads sets.
TEST(ColourTables, PaletteSets) {
    ScopedTempDir dir;
    std::array<uint8_t, 768> c{};
    for (int k = 0; k < 3; ++k) c[3 + k] = 255, c[6 + k] = 100;  // 0 black, 1 white, 2 grey 100
    TableOptions o;
    o.kind = TableKind::Palettes, o.bits = 8;
    o.biases = {{{255, 0, 0}, 1.0}, {{255, 255, 255}, 0.5}};
    std::vector<uint8_t> set;
    ASSERT_TRUE(makeTable(paletteOf(c), o, set, nullptr));
    ASSERT_EQ(set.size(), 3u * 768);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), set.begin()));
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(Bytes(set.begin() + 768 + 3 * i, set.begin() + 768 + 3 * i + 3),
                  (Bytes{255, 0, 0}));  // all the way to red
    }
    EXPECT_EQ(Bytes(set.begin() + 1536, set.begin() + 1536 + 9),
              (Bytes{128, 128, 128, 255, 255, 255, 178, 178, 178}));  // halfway to white
    o.bits = 6;
    std::vector<uint8_t> six;
    ASSERT_TRUE(makeTable(paletteOf(c), o, six, nullptr));
    for (size_t i = 0; i < six.size(); ++i) ASSERT_EQ(six[i], set[i] >> 2) << i;
    writeFile("set.pal", Bytes(set.begin(), set.end()));
    PaletteSource second;
    ASSERT_TRUE(loadPaletteSource("set.pal:2", second, nullptr));
    EXPECT_EQ(second.colours[0], 128);
    // render --palettes: a row a palette, 6-bit values widened; a part palette is refused.
    writeFile("sets.kiv", buildArchive({{"SET", Bytes(set.begin(), set.end())},
                                        {"SIX", Bytes(six.begin(), six.begin() + 768)},
                                        {"ODD", Bytes(769, 1)},
                                        {"EIGHT", [&] {  // one value of 64: 8-bit values
                                             Bytes b(six.begin(), six.begin() + 768);
                                             b[767] = 64;
                                             return b;
                                         }()}}));
    const RunResult strips = runKivtool({"render", "sets.kiv", "--palettes", "--scale", "2"});
    EXPECT_EQ(strips.status, 1);
    EXPECT_EQ(strips.output, "SET.png\nSIX.png\nEIGHT.png\n");
    EXPECT_NE(strips.errors.find("769 bytes is no whole number of 768-byte palettes"),
              std::string::npos);
    TrueColourPicture strip, sixStrip;
    ASSERT_TRUE(readTrueColourPng(readFile("SET.png"), 1 << 20, strip, nullptr));
    ASSERT_TRUE(readTrueColourPng(readFile("SIX.png"), 1 << 20, sixStrip, nullptr));
    ASSERT_EQ(std::make_pair(strip.width, strip.height), std::make_pair(512, 6));
    auto pixel = [](const TrueColourPicture& p, int x, int y) {
        const size_t at = (size_t(y) * size_t(p.width) + size_t(x)) * 4;
        return Bytes(p.rgba.begin() + at, p.rgba.begin() + at + 3);
    };
    EXPECT_EQ(pixel(strip, 3, 1), (Bytes{255, 255, 255}));  // palette 0, entry 1
    EXPECT_EQ(pixel(strip, 5, 5), (Bytes{178, 178, 178}));  // palette 2, entry 2
    EXPECT_EQ(pixel(strip, 511, 3), (Bytes{255, 0, 0}));    // palette 1, entry 255
    EXPECT_EQ(pixel(sixStrip, 2, 0), (Bytes{255, 255, 255}));
    EXPECT_EQ(pixel(sixStrip, 5, 1), (Bytes{101, 101, 101}));  // 25 in 6 bits
    TrueColourPicture eightStrip;
    ASSERT_TRUE(readTrueColourPng(readFile("EIGHT.png"), 1 << 20, eightStrip, nullptr));
    EXPECT_EQ(pixel(eightStrip, 5, 1), (Bytes{25, 25, 25}));
    EXPECT_EQ(runKivtool({"render", "sets.kiv", "--palettes", "--width", "4"}).status, 2);
    for (const auto& [words, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--bias", "1,2,3"}, "R,G,B:A is needed"},
             {{"--bias", "1,2,3:2"}, "R,G,B:A is needed"},
             {{"--bits", "5"}, "palettes take --bits 8 or 6"}}) {
        std::vector<std::string> args = {"table",   "palettes", "--palette",
                                         "set.pal", "-o",       "x.pal"};
        args.insert(args.end(), words.begin(), words.end());
        const RunResult r = runKivtool(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.errors.find(error), std::string::npos) << r.errors;
    }
}

// An entry just as far from a cell's corner as the nearest one (0: 40,20,20 and 1: black, both
// 675 from 15,15,15) is still a candidate of that cell: the tie goes to the lower entry.
TEST(ColourTables, ManyAtOnceKeepTiesAtACellsCorner) {
    std::array<uint8_t, 768> c{};
    c[0] = 40, c[1] = c[2] = 20;
    MatchRules rules;
    rules.searchable.set();
    ColourMatcher matcher(c, rules, ColourMetric::Rgb);
    const std::vector<Rgb> colours = {{15, 15, 15}, {14, 15, 15}, {16, 16, 16}};
    uint8_t out[3] = {9, 9, 9};
    matcher.nearestOfEach(colours, out);
    EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{0, 1, 0}));
}

// A palette completed from the art: the kept entries stay, the free ones take the pictures'
// colours, the most-used first; the same answer whatever order the colours came in.
TEST(ColourTables, PaletteCompletedFromTheArt) {
    std::array<uint8_t, 768> c{};
    c[3] = c[4] = c[5] = 255;  // 0 black, 1 white, the rest black
    ColourCounts counts{{0xC81E1E, 100}, {0x1E1EC8, 50}, {0x000000, 7}, {0x1E1EC9, 1}};
    std::bitset<256> keep;
    keep.set();
    keep.reset(254).reset(255);
    std::array<uint8_t, 768> out{};
    CompletionReport report;
    ASSERT_TRUE(completePalette(c, keep, counts, ColourMetric::Rgb, out, report, nullptr));
    EXPECT_TRUE(std::equal(c.begin(), c.begin() + 254 * 3, out.begin()));
    EXPECT_EQ(Bytes(out.begin() + 254 * 3, out.end()), (Bytes{200, 30, 30, 30, 30, 200}));
    EXPECT_EQ(report.chosen, 2);
    EXPECT_EQ(report.pixels, 158u);
    EXPECT_EQ(report.worstAfter, 1.0);  // 30,30,201 to 30,30,200
    EXPECT_NEAR(report.meanAfter, 1.0 / 158, 1e-9);
    EXPECT_NEAR(report.worstBefore, std::sqrt(30.0 * 30 + 30 * 30 + 201 * 201), 1e-9);
    ColourCounts reordered;
    for (auto it = counts.begin(); it != counts.end(); ++it) reordered.insert(*it);
    std::array<uint8_t, 768> again{};
    ASSERT_TRUE(completePalette(c, keep, reordered, ColourMetric::OkLab, again, report, nullptr));
    ASSERT_TRUE(completePalette(c, keep, counts, ColourMetric::OkLab, out, report, nullptr));
    EXPECT_EQ(out, again);
    std::string why;
    EXPECT_FALSE(completePalette(c, keep, {}, ColourMetric::Rgb, out, report, &why));
    EXPECT_EQ(why, "the pictures have no opaque pixel");
    keep.set();
    EXPECT_FALSE(completePalette(c, keep, counts, ColourMetric::Rgb, out, report, &why));

    // The command: the picture's pixels of alpha below 128 do not count; every format reads back.
    ScopedTempDir dir;
    writeFile("pal.pal", Bytes(c.begin(), c.end()));
    TestPng png;
    // Alpha 128 counts, 127 does not.
    png.width = 4, png.height = 1, png.kind = TestPng::Rgba;
    png.rgba = {200, 30, 30, 255, 30, 30, 200, 255, 10, 250, 10, 128, 250, 250, 10, 127};
    writeFile("art.png", encodePng(png));
    for (const char* format : {"raw", "jasc", "gimp"}) {
        SCOPED_TRACE(format);
        const RunResult r =
            runKivtool({"palette", "--palette", "pal.pal", "--keep", "0-252", "--from", "art.png",
                        "-o", "new", "--format", format, "--match", "rgb"});
        ASSERT_EQ(r.status, 0) << r.errors;
        EXPECT_NE(r.output.find("after         mean 0.00, worst 0.00"), std::string::npos)
            << r.output;
        PaletteSource back;
        ASSERT_TRUE(loadPaletteSource("new", back, nullptr));
        EXPECT_EQ(Bytes(back.colours.begin() + 253 * 3, back.colours.end()),
                  (Bytes{10, 250, 10, 30, 30, 200, 200, 30, 30}));  // a tie: lower colours first
    }
    for (const auto& [words, status] :
         std::vector<std::pair<std::vector<std::string>, int>>{{{"--format", "act"}, 2},
                                                               {{"--keep", "0-256"}, 2},
                                                               {{"--from", "none.png"}, 1},
                                                               {{"--keep", "0-255"}, 1}}) {
        std::vector<std::string> args = {"palette", "--palette", "pal.pal", "--keep", "0-9",
                                         "--from",  "art.png",   "-o",      "x"};
        args.insert(args.end(), words.begin(), words.end());
        EXPECT_EQ(runKivtool(args).status, status) << words[0] << " " << words[1];
    }
}
