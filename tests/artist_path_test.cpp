// The artist's path: indexed pictures under --palette, transparent entries, palette sets and
// text palettes, FONT sheets with more glyphs than codes, numbers that are missing or no
// numbers, hostile PNG headers and tails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "common/file_output.h"
#include "grab/commands.h"
#include "grab/picture_mapping.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"

using namespace kiv;
using namespace kivtest;

namespace {

// Under AddressSanitizer a child's address space cannot be limited: the checks that need no
// limit to fail run without one there.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kSanitized = 1;
#else
constexpr uint64_t kSanitized = 0;
#endif
uint64_t limitOf(uint64_t bytes) {
    return kSanitized ? 0 : bytes;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ArtistPath, IndexedPicturesUnderThePaletteAndTransparentEntries) {
    ScopedTempDir dir;
    PictureMapper mapper;
    ASSERT_TRUE(mapper.setUp({"game", "game", testColours(), 256, "test"}, {}, nullptr));
    std::array<uint8_t, 768> own{};  // another palette: red, grey, white, black at 0 to 3
    const uint8_t ownSet[][3] = {{255, 0, 0}, {128, 128, 128}, {255, 255, 255}, {0, 0, 0}};
    for (int i = 0; i < 4; ++i) std::copy(ownSet[i], ownSet[i] + 3, own.begin() + 3 * i);
    std::array<uint8_t, 768> near = testColours();
    near[3 * 4] = 252;     // the same red in 6 bits
    near[3 * 7 + 1] = 99;  // an entry the picture does not use
    std::vector<uint8_t> fifthClear(256, 255), fifthHalf(256, 255), firstClear(256, 255);
    fifthClear[5] = 0, fifthHalf[2] = 100, firstClear[0] = 0;
    struct Case {
        const char* what;
        bool mapped;  // under --palette
        std::array<uint8_t, 768> colours;
        std::vector<uint8_t> alphas;
        Bytes pixels, expected;
        std::string diagnostic;  // "" when none
    };
    const Case cases[] = {
        {"used entries the game's",
         true,
         near,
         {},
         {1, 2, 4, 3},
         {1, 2, 4, 3},
         "keeps its indices"},
        {"its own palette", true, own, {}, {0, 1, 2, 3}, {4, 2, 3, 1}, "4 of the 4 entries"},
        {"a clear entry 5", true, testColours(), fifthClear, {5, 2, 4, 5}, {0, 2, 4, 0}, ""},
        {"a half-clear entry", true, testColours(), fifthHalf, {2}, {}, "partly transparent"},
        {"clear 5, no palette", false, testColours(), fifthClear, {5, 1}, {5, 1}, "entry 5 is"},
        {"clear 5 unused", false, testColours(), fifthClear, {4, 1}, {4, 1}, ""},
        {"clear 0, no palette", false, testColours(), firstClear, {0, 1}, {0, 1}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPng png;
        png.width = static_cast<int>(c.pixels.size()), png.height = 1;
        png.pixels = c.pixels, png.palette = c.colours, png.alphas = c.alphas;
        writeFile("p.png", encodePng(png));
        GrabHarness h;
        h.ctx.trueColour = c.mapped ? &mapper : nullptr;
        h.ctx.noteMappings = true;
        h.run("LOADPCX p.png");
        if (c.expected.empty()) {
            EXPECT_FALSE(h.ctx.pictureLoaded);
        } else {
            ASSERT_TRUE(h.ctx.pictureLoaded);
            EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + c.pixels.size()),
                      c.expected);
        }
        const std::string said = h.channels.diagnostics();
        if (c.diagnostic.empty()) {
            EXPECT_FALSE(contains(said, "transparent")) << said;
        } else {
            EXPECT_TRUE(contains(said, c.diagnostic)) << said;
        }
    }
    // A PCX with its own palette is mapped too; the picture's palette becomes the game's.
    PcxPicture pcx = blankPicture(4, 1);
    pcx.pixels = {0, 1, 2, 3};
    pcx.palette = own;
    writePcx("p.pcx", pcx);
    GrabHarness h;
    h.ctx.trueColour = &mapper;
    h.run("LOADPCX p.pcx");
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 4), (Bytes{4, 2, 3, 1}));
    EXPECT_EQ(h.ctx.palette[3 * 4], 63);
    EXPECT_EQ(h.ctx.palette[3 * 0], 0);
}

TEST(ArtistPath, PaletteSetsTextPalettesAndHostilePngs) {
    ScopedTempDir dir;
    Bytes set(14 * 768, 0);
    for (int k = 0; k < 14; ++k)
        set[static_cast<size_t>(k) * 768] = static_cast<uint8_t>(k * 10 + 64);
    writeFile("playpal.lmp", set);
    std::string blank = "JASC-PAL\n";
    blank.append(1 << 20, '\n');
    writeText("blank.pal", blank);
    std::string many = "GIMP Palette\n";
    for (int i = 0; i < 257; ++i) many += "1 2 3\n";
    writeText("many.gpl", many);
    writeText("full.gpl", many.substr(0, many.size() - 6));
    // A palette PNG that declares 1,048,576 x 1,048,576 pixels in 849 bytes: never decoded.
    writeFile("huge.png", declaredPng(1u << 20, 1u << 20, 141, Bytes(64, 0)));
    struct Case {
        std::string given;
        int at;
        uint8_t red;
        std::string error;  // "" when it loads; else the start of the reason
    };
    const Case cases[] = {
        {"playpal.lmp", 0, 64, ""},
        {"playpal.lmp:13", 0, 194, ""},
        {"playpal.lmp:14", 0, 0, "playpal.lmp:14: a set of 14 palettes has no palette 14"},
        {"playpal.lmp:x", 0, 0, "playpal.lmp:x: a set of 14 palettes has no palette x"},
        {"blank.pal", 0, 0, "blank.pal: line 2: a JASC-PAL file has 0100 here"},
        {"many.gpl", 0, 0, "many.gpl: line 258: more than 256 colours"},
        {"full.gpl", 255, 1, ""},
        {"huge.png", 140, 140, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        PaletteSource source;
        std::string why;
        EXPECT_EQ(loadPaletteSource(c.given, source, &why), c.error.empty()) << why;
        if (!c.error.empty()) {
            EXPECT_EQ(why.rfind(c.error, 0), 0u) << why;
            continue;
        }
        EXPECT_EQ(source.colours[3 * static_cast<size_t>(c.at)], c.red);
    }
    // The same through kiv: no abort, and -v names the palette of the set.
    TestPng grey;
    grey.width = 2, grey.height = 1, grey.kind = TestPng::Grey, grey.pixels = {0, 140};
    writeFile("g.png", encodePng(grey));
    writeText("g.scp", "LOADPCX g.png\nPALETTE p\n");
    RunResult r =
        runKivWith({"--palette", "huge.png", "g.scp"}, ".", {limitOf(512ull << 20), 0, 60});
    EXPECT_EQ(r.status, 0) << r.errors;
    r = runKiv({"-v", "--palette", "playpal.lmp:13", "g.scp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.errors, "palette 13 of a set of 14")) << r.errors;
    // PNG sizes: a 1,228,800 x 1 picture is inside the limit (kivtool index writes it too),
    // 1281 x 960 is refused from the header; a tail of compressed data that the rows do not
    // need is refused before it is inflated.
    Bytes rows(1 + 1228800, 1), tail(1 + 16, 1);
    rows[0] = tail[0] = 0;
    std::mt19937 random(7);
    for (int i = 0; i < 200000; ++i) tail.push_back(static_cast<uint8_t>(random()));
    writeFile("wide.png", declaredPng(1228800, 1, 2, rows));
    writeFile("tail.png", declaredPng(16, 1, 2, tail));
    writeFile("tall.png", declaredPng(1281, 960, 2, Bytes(100, 0)));
    GrabHarness h;
    h.run("LOADPCX wide.png");
    EXPECT_EQ(h.ctx.width, 1228800);
    EXPECT_EQ(h.pictureAt(1228799, 0), 1);
    for (const char* line : {"LOADPCX tail.png", "LOADPCX tall.png"}) h.run(line);
    EXPECT_TRUE(contains(h.channels.diagnostics(), "more compressed data than its pixels need"));
    EXPECT_TRUE(contains(h.channels.diagnostics(), "1281 x 960 pixels is larger than 1228800"));
    writeFile("pal.raw", Bytes(768, 9));
    r = runKivtool({"index", "wide.png", "-o", "w8.png", "--palette", "pal.raw"});
    EXPECT_EQ(r.status, 0) << r.errors;
    PngPicture written;
    std::string why;
    EXPECT_TRUE(readIndexedPng(readFile("w8.png"), 1228800, written, &why)) << why;
}

TEST(ArtistPath, SurplusGlyphsNumbersAndSkippedCommands) {
    // Three cells in one band (the middle one split by an empty column makes four).
    GrabHarness h;
    Bytes sheet(12 * 4, 0);
    sheet[0] = sheet[3 * 12] = 255;  // markers at rows 0 and 3: height 2
    for (int x : {1, 3, 5, 7}) sheet[12 + static_cast<size_t>(x)] = 7;
    struct FontCase {
        int last;
        std::string warning;
    };
    for (const FontCase& c : {FontCase{66, "2 more glyph cells than the codes 65 to 66"},
                              FontCase{67, "1 more glyph cell than"}, FontCase{68, ""}}) {
        SCOPED_TRACE(c.last);
        h.channels.clear();
        h.setPicture(12, 4, sheet);
        h.call(grabFont, "FONT", "f", {0, 65, c.last, 0, 0});
        EXPECT_EQ(contains(h.channels.diagnostics(), "[-Wsurplus-glyphs]"), !c.warning.empty());
        EXPECT_TRUE(contains(h.channels.diagnostics(), c.warning));
    }
    h.setPicture(16, 16, Bytes(256, 3));
    struct LineCase {
        std::string line, warning;  // "" when none
    };
    const LineCase lines[] = {
        {"PACKED hero 0 0 1", "PACKED hero: the height is missing and counts 0 [-Wbad-argument]"},
        {"PACKED hero O 0 1 1", "PACKED hero: the x 'O' is not a whole number and counts 0"},
        {"RAW r 0 0 1 1x", "RAW r: the height '1x' is not a whole number and counts 1"},
        {"TRANSPARENT glass", "TRANSPARENT glass: the number of levels is missing"},
        {"FONT f 65", "FONT f: the last code is missing"},
        {"RAW r -1 0 1 1", ""},
        {"RAW r 0 0 1 1", ""},
        {"PALETTE p", ""},
    };
    for (const LineCase& c : lines) {
        SCOPED_TRACE(c.line);
        h.channels.clear();
        h.run(c.line);
        EXPECT_EQ(contains(h.channels.diagnostics(), "bad-argument"), !c.warning.empty());
        EXPECT_TRUE(contains(h.channels.diagnostics(), c.warning)) << h.channels.diagnostics();
    }
    // A picture that did not load: one error and one note, not an error per command; a
    // name cut at its blank is pointed out; the commands run again after the next picture.
    ScopedTempDir dir;
    writePcx("my sheet.pcx", blankPicture(16, 16));
    writePcx("good.pcx", blankPicture(16, 16));
    writeText("s.scp",
              "LOADPCX my sheet.pcx\nRAW a 0 0 1 1\nPACKED b 0 0 1 1\nLOADPCX good.pcx\n"
              "RAW c 0 0 1 1\nRAW d 0 9 1 1\n");
    const RunResult r = runKiv({"s.scp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors,
              "s.scp:1: error: LOADPCX my: No such file or directory\n"
              "s.scp:1: note: names in scripts end at the first blank or comma; 'my sheet.pcx' "
              "is there: rename it without blanks\n"
              "s.scp:1: note: the commands up to the next LOADPCX that need a picture are "
              "skipped\n"
              "s.scp:6: error: RAW d: rectangle x 0 y 72 w 8 h 8 lies outside the 16 x 16 picture "
              "(positions and sizes are in units of 8 pixels)\n");
    EXPECT_EQ(parseArchive("s.kiv").entries.size(), 1u);
}

TEST(ArtistPath, OutputsDepfilesMemoryAndLargeClaims) {
    ScopedTempDir dir;
    // Only regular files are replaced: a pipe is written into, a folder refused, a link kept.
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::ifstream in("pipe", std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(in), {});
    });
    std::string why;
    EXPECT_TRUE(writeWholeFile("pipe", std::string_view("abc"), &why)) << why;
    reader.join();
    EXPECT_EQ(received, "abc");
    struct stat info {};
    EXPECT_TRUE(stat("pipe", &info) == 0 && S_ISFIFO(info.st_mode));
    mkdir("folder", 0700);
    EXPECT_FALSE(writeWholeFile("folder", std::string_view("x"), &why));
    writeText("target.txt", "old");
    ASSERT_EQ(symlink("target.txt", "link.txt"), 0);
    EXPECT_TRUE(writeWholeFile("link.txt", std::string_view("new"), &why));
    EXPECT_TRUE(lstat("link.txt", &info) == 0 && S_ISLNK(info.st_mode));
    EXPECT_EQ(readFile("target.txt"), bytesOf("new"));

    // --depfile naming a file of the job is refused before the job runs, and a name with a
    // line end, which Make cannot read, is not written.
    PcxPicture pal = blankPicture(16, 16);
    pal.palette = testColours();
    writePcx("sheet.pcx", pal);
    writeText("a.scp", "LOADPCX sheet.pcx\nPALETTE p\n");
    const Bytes sheet = readFile("sheet.pcx");
    for (const char* named : {"sheet.pcx", "a.scp", "a.kiv", "./sheet.pcx"}) {
        SCOPED_TRACE(named);
        const RunResult r = runKiv({"--depfile", named, "a.scp"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.errors, "a file of the job")) << r.errors;
    }
    EXPECT_EQ(readFile("sheet.pcx"), sheet);
    EXPECT_FALSE(fileExists("a.kiv"));
    writeText("b\nc.scp", "LOADPCX sheet.pcx\nPALETTE p\n");
    RunResult r = runKiv({"--depfile", "b.d", "b\nc.scp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.errors, "holds a line end")) << r.errors;
    EXPECT_FALSE(fileExists("b.d"));

    // render takes every palette source, and a wrong one is a wrong word (2).
    Bytes set(2 * 768, 200);
    writeFile("set.lmp", set);
    writeFile("g.kiv", buildArchive({{"pal", Bytes(768, 1)}}));
    r = runKivtool({"render", "g.kiv", "pal", "--palette", "set.lmp:1", "-o", "out"});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_TRUE(fileExists("out/pal.png"));
    r = runKivtool({"render", "g.kiv", "--palette", "set.lmp:2", "-o", "out"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.errors, "has no palette 2")) << r.errors;

    // Memory: a process short of it says so; a sparse archive claiming 2^31 - 1 entries is
    // refused without reading its directory.
    if (!kSanitized) {
        TestPng noise;
        noise.width = 1280, noise.height = 960, noise.kind = TestPng::Rgb;
        std::mt19937 random(3);
        for (int i = 0; i < 1280 * 960 * 4; ++i)
            noise.rgba.push_back(static_cast<uint8_t>(random()));
        writeFile("noise.png", encodePng(noise));
        r = runKivtoolWith({"index", "noise.png", "-o", "n.png", "--palette", "sheet.pcx",
                            "--dither", "floyd-steinberg"},
                           ".", {24ull << 20, 0, 60});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.errors, "kivtool: not enough memory\n");
        EXPECT_FALSE(fileExists("n.png"));
    }
    Bytes header = buildArchive({});
    header[8] = header[9] = header[10] = 0xFF, header[11] = 0x7F;
    writeFile("sparse.kiv", header);
    ASSERT_EQ(truncate("sparse.kiv", (int64_t{1} << 31) * 28 + 4096), 0);
    r = runKivtoolWith({"list", "sparse.kiv"}, ".", {limitOf(256ull << 20), 0, 60});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.errors, "past the 2 GiB")) << r.errors;

    // extract writes data that entries share once; verify --rebuild works in TMPDIR.
    const Bytes blob = patternBytes(4096, 9);
    Bytes three = buildArchive({{"a", blob}, {"b", {}}, {"c", {}}});
    for (size_t k = 1; k < 3; ++k) std::copy_n(three.begin() + 16, 8, three.begin() + 16 + 28 * k);
    writeFile("three.kiv", three);
    r = runKivtool({"extract", "three.kiv", "-o", "x"});
    EXPECT_EQ(r.status, 0) << r.errors;
    struct stat a {
    }, c{};
    ASSERT_TRUE(stat("x/a", &a) == 0 && stat("x/c", &c) == 0);
    EXPECT_EQ(a.st_ino, c.st_ino);
    EXPECT_EQ(readFile("x/c"), blob);
    EXPECT_TRUE(contains(r.errors, "entry 3 (c) shares its data with entry 1")) << r.errors;
    const auto [status, said] = shellOutput(
        "TMPDIR=" + dir.path() + "/none " KIVTOOL_BINARY_PATH " verify --rebuild three.kiv 2>&1");
    EXPECT_EQ(status, 2);
    EXPECT_TRUE(contains(said, dir.path() + "/none")) << said;
}

// Rules of the mapping that a fault could break unseen: dithering keeps exact pixels (with a
// neighbour entry within the dither's spread) and never reaches a reserved entry; tRNS colours
// are transparent; the palette marker of a PCX; the size of an indexed PNG; names for Make.
TEST(ArtistPath, MappingRulesEachCaught) {
    // Entries 160 to 163 are (0, 0, 40) and 164 is (0, 0, 41): an exact blue has a neighbour
    // one step away. Red (entry 4) is reserved: only exactly red pixels take it.
    std::vector<uint8_t> rgba;
    const int w = 48, h = 6;
    for (int i = 0; i < w * h; ++i) {
        const int x = i % w;
        const uint8_t v = static_cast<uint8_t>(x * 5);
        const std::array<uint8_t, 4> px = i % 3 == 0   ? std::array<uint8_t, 4>{0, 0, 40, 255}
                                          : x % 8 == 1 ? std::array<uint8_t, 4>{255, 0, 0, 255}
                                                       : std::array<uint8_t, 4>{255, v, v, 255};
        rgba.insert(rgba.end(), px.begin(), px.end());
    }
    for (const Dither dither : {Dither::Ordered, Dither::FloydSteinberg, Dither::Atkinson,
                                Dither::SierraLite, Dither::Pattern, Dither::BlueNoise}) {
        SCOPED_TRACE(static_cast<int>(dither));
        MappingOptions o;
        o.dither = dither;
        ASSERT_TRUE(parseIndexList("4", o.reserved, nullptr));
        PictureMapper mapper;
        ASSERT_TRUE(mapper.setUp({"game", "game", testColours(), 256, "test"}, o, nullptr));
        std::vector<uint8_t> out;
        ASSERT_TRUE(mapper.map({w, h, rgba, false}, out, nullptr, nullptr));
        for (int i = 0; i < w * h; ++i) {
            const bool blue = i % 3 == 0, red = !blue && i % w % 8 == 1;
            if (blue) {
                EXPECT_EQ(out[i], 160) << i;
            }
            EXPECT_EQ(out[i] == 4, red) << i;
        }
    }
    ScopedTempDir dir;
    // A tRNS colour of a grey or true-colour PNG is transparent.
    PictureMapper mapper;
    ASSERT_TRUE(mapper.setUp({"game", "game", testColours(), 256, "test"}, {}, nullptr));
    TestPng keyed;
    keyed.width = 2, keyed.height = 1, keyed.kind = TestPng::Rgb;
    keyed.rgba = {255, 0, 0, 255, 128, 128, 128, 255};
    keyed.transparentColour = {255, 0, 0};
    writeFile("keyed.png", encodePng(keyed));
    GrabHarness g;
    g.ctx.trueColour = &mapper;
    g.run("LOADPCX keyed.png");
    EXPECT_EQ(Bytes(g.ctx.picture.begin(), g.ctx.picture.begin() + 2), (Bytes{0, 2}));
    // A PCX palette source needs its marker byte 12.
    writePcx("pal.pcx", blankPicture(4, 4));
    Bytes unmarked = readFile("pal.pcx");
    unmarked[unmarked.size() - 769] = 11;
    writeFile("unmarked.pcx", unmarked);
    PaletteSource source;
    std::string why;
    EXPECT_FALSE(loadPaletteSource("unmarked.pcx", source, &why));
    EXPECT_TRUE(contains(why, "without a 256-colour palette")) << why;
    // Names with blanks are escaped for Make.
    ASSERT_EQ(mkdir("my art", 0755), 0);
    writeText("my art/a.scp", "PALETTE p\n");
    ASSERT_EQ(runKiv({"--depfile", "a.d", "my art/a.scp"}).status, 0);
    const Bytes rule = readFile("a.d");
    EXPECT_TRUE(
        contains(std::string(rule.begin(), rule.end()), "my\\ art/a.kiv: \\\n  my\\ art/a.scp\n"));
}
