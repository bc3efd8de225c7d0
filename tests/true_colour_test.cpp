// True-colour pictures onto a palette: every PNG kind, exact answers, the rules of transparent
// and reserved entries, dithering, palette sources and kivtool index.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "grab/colour_match.h"
#include "grab/picture_mapping.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"

using namespace kiv;
using namespace kivtest;

namespace {

PaletteSource testSource() {
    return {"test", "test", testColours(), 256, "test"};
}

TrueColourPicture picture(int w, int h, std::vector<uint8_t> rgba) {
    return {w, h, std::move(rgba), true};
}

}  // namespace

TEST(TrueColour, EveryPngKindLoadsOntoThePalette) {
    ScopedTempDir dir;
    PcxPicture pal = blankPicture(2, 2);
    pal.palette = testColours();
    writePcx("pal.pcx", pal);
    PictureMapper mapper;
    ASSERT_TRUE(mapper.setUp(testSource(), {}, nullptr));
    // Opaque black (entry 0 is transparent: 1), grey exact, grey near 2, last pixel white or
    // transparent where the kind has alpha.
    const std::vector<uint8_t> rgba = {0,   0,   0,   255, 128, 128, 128, 255,
                                       140, 140, 140, 255, 255, 255, 255, 0};
    struct Case {
        TestPng::Kind kind;
        int depth;
        bool interlaced;
        uint8_t last;
    };
    const Case cases[] = {{TestPng::Grey, 8, false, 3},      {TestPng::Grey, 16, true, 3},
                          {TestPng::Rgb, 8, false, 3},       {TestPng::Rgb, 16, false, 3},
                          {TestPng::GreyAlpha, 8, false, 0}, {TestPng::GreyAlpha, 16, false, 0},
                          {TestPng::Rgba, 8, true, 0},       {TestPng::Rgba, 16, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " at " + std::to_string(c.depth) + " bits");
        TestPng png;
        png.width = 4, png.height = 1, png.kind = c.kind, png.bitDepth = c.depth;
        png.interlaced = c.interlaced, png.rgba = rgba;
        writeFile("p.png", encodePng(png));
        GrabHarness h;
        h.ctx.trueColour = &mapper;
        h.run("LOADPCX p.png");
        ASSERT_EQ(h.ctx.width, 4);
        EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 4),
                  (Bytes{1, 2, 2, c.last}));
        EXPECT_EQ(h.ctx.palette[3 * 4], 63);  // the palette is the source's, in 6 bits
        EXPECT_EQ(h.channels.errorTexts(), "");
    }
}

TEST(TrueColour, DifferencesAgreeWithPublishedValues) {
    struct Case {
        ColourMetric metric;
        ColourPoint a, b;
        double shown;
    };
    const Case cases[] = {
        {ColourMetric::Ciede2000, {50, 2.6772, -79.7751}, {50, 0, -82.7485}, 2.0425},
        {ColourMetric::Ciede2000, {50, 0, 0}, {50, -1, 2}, 2.3669},
        {ColourMetric::Ciede2000, {50, 2.5, 0}, {73, 25, -18}, 27.1492},
        {ColourMetric::Ciede2000,
         {60.2574, -34.0099, 36.2677},
         {60.4626, -34.1751, 39.4387},
         1.2644},
        {ColourMetric::OkLab,
         colourPoint(ColourMetric::OkLab, {255, 0, 0}),
         {0.627955, 0.224863, 0.125846},
         0},
        {ColourMetric::OkLab,
         colourPoint(ColourMetric::OkLab, {0, 0, 255}),
         {0.452014, -0.032457, -0.311528},
         0},
        {ColourMetric::OkLab, colourPoint(ColourMetric::OkLab, {255, 255, 255}), {1, 0, 0}, 0},
        {ColourMetric::Rgb, colourPoint(ColourMetric::Rgb, {1, 2, 3}), {4, 6, 3}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(metricName(c.metric)) + " " + std::to_string(c.shown));
        EXPECT_NEAR(shownDifference(c.metric, squaredDifference(c.metric, c.a, c.b)), c.shown,
                    c.metric == ColourMetric::OkLab ? 1e-3 : 1e-4);
    }
}

TEST(TrueColour, AnswersEqualAFullSearch) {
    std::mt19937 random(7);
    for (const ColourMetric metric :
         {ColourMetric::OkLab, ColourMetric::Rgb, ColourMetric::Ciede2000}) {
        SCOPED_TRACE(metricName(metric));
        std::array<uint8_t, 768> colours{};
        for (auto& v : colours)
            v = static_cast<uint8_t>(random() % 4 == 0 ? random() % 8 * 36 : random());
        MatchRules rules;
        for (size_t i = 0; i < 256; ++i)
            (random() % 5 == 0 ? rules.keptExact : rules.searchable).set(i);
        ColourMatcher matcher(colours, rules, metric);
        auto entry = [&](int i) {
            return Rgb{colours[3 * i], colours[3 * i + 1], colours[3 * i + 2]};
        };
        // The same colours asked one at a time, all at once, and for the nearest searchable
        // entry alone (as dithering asks).
        std::vector<Rgb> asked;
        std::vector<int> wanted, nearestWanted;
        for (int n = 0; n < 9000; ++n) {  // past 8,192: matchEach in two halves
            Rgb c{uint8_t(random()), uint8_t(random()), uint8_t(random())};
            if (n % 3 == 0) c = entry(static_cast<int>(random() % 256));  // exact colours too
            if (n % 3 == 1)
                c.g = static_cast<uint8_t>(entry(static_cast<int>(random() % 256)).g + 1);
            asked.push_back(c);
            int want = -1;
            for (const auto* set : {&rules.searchable, &rules.keptExact}) {
                for (int i = 0; i < 256 && want < 0; ++i) {
                    if (set->test(static_cast<size_t>(i)) && entry(i) == c) want = i;
                }
            }
            double best = 1e300;
            for (int i = 0; i < 256 && want < 0; ++i) {
                if (!rules.searchable.test(static_cast<size_t>(i))) continue;
                const double d = squaredDifference(metric, colourPoint(metric, c),
                                                   colourPoint(metric, entry(i)));
                if (d < best) best = d, want = -2 - i;
            }
            if (want < -1) want = -2 - want;
            ASSERT_EQ(matcher.match(c), want) << int(c.r) << "," << int(c.g) << "," << int(c.b);
            wanted.push_back(want);
            nearestWanted.push_back(matcher.nearestByFullSearch(c));
        }
        std::vector<uint8_t> all(asked.size());
        for (const bool twoAtOnce : {false, true}) {
            if (!matcher.answersManyQuickly()) break;
            matcher.matchEach(asked, all.data(), twoAtOnce);
            EXPECT_TRUE(std::equal(all.begin(), all.end(), wanted.begin()));
        }
        for (size_t i = 0; i < asked.size(); ++i)
            ASSERT_EQ(matcher.nearestSearchable(asked[i]), nearestWanted[i]) << i;
    }
}

TEST(TrueColour, TransparentAndReservedRules) {
    struct Case {
        const char* what;
        std::vector<uint8_t> rgba;
        std::string reserve;
        int transparent, threshold;  // threshold -1: not given
        bool key;
        int want;  // -1: refused
    };
    const Case cases[] = {
        {"opaque black skips the transparent black entry", {0, 0, 0, 255}, "", 0, -1, false, 1},
        {"nearest of a dark colour is never the transparent entry",
         {1, 0, 0, 255},
         "1",
         0,
         -1,
         false,
         5},
        {"alpha 0 takes the transparent index", {9, 9, 9, 0}, "", 7, -1, false, 7},
        {"a reserved colour painted on purpose keeps its entry",
         {10, 200, 30, 255},
         "250",
         0,
         -1,
         false,
         250},
        {"a near colour never takes a reserved entry",
         {10, 201, 30, 255},
         "250-255",
         0,
         -1,
         false,
         249},
        {"a reserved colour that a searchable entry has too",
         {255, 255, 255, 255},
         "3",
         0,
         -1,
         false,
         251},
        {"alpha below the threshold", {255, 0, 0, 127}, "", 0, 128, false, 0},
        {"alpha at the threshold", {255, 0, 0, 128}, "", 0, 128, false, 4},
        {"partly transparent without a threshold", {255, 0, 0, 254}, "", 0, -1, false, -1},
        {"the colour key", {255, 0, 0, 255}, "", 9, -1, true, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MappingOptions o;
        o.transparentIndex = c.transparent;
        if (c.threshold >= 0) o.alphaThreshold = c.threshold;
        if (c.key) o.colourKey = Rgb{255, 0, 0};
        if (!c.reserve.empty()) {
            ASSERT_TRUE(parseIndexList(c.reserve, o.reserved, nullptr));
        }
        PictureMapper mapper;
        ASSERT_TRUE(mapper.setUp(testSource(), o, nullptr));
        std::vector<uint8_t> out;
        std::string why;
        MappingReport report;
        const bool mapped = mapper.map(picture(1, 1, c.rgba), out, &report, &why);
        EXPECT_EQ(mapped, c.want >= 0);
        if (!mapped) {
            EXPECT_EQ(
                why.rfind("1 partly transparent pixels (alpha 1 to 254), the first at (0, 0)", 0),
                0u)
                << why;
        } else {
            EXPECT_EQ(out.at(0), c.want);
        }
    }
    MappingOptions all;
    ASSERT_TRUE(parseIndexList("0-4,5-254,255", all.reserved, nullptr));
    std::string why;
    EXPECT_FALSE(PictureMapper().setUp(testSource(), all, &why));
    EXPECT_NE(why.find("no entry of test is left"), std::string::npos);
    for (const char* wrong : {"", "256", "5-4", "1,,2", "a", "-3", "1-"}) {
        SCOPED_TRACE(wrong);
        EXPECT_FALSE(parseIndexList(wrong, all.reserved, nullptr));
    }
}

const Dither kEveryDither[] = {Dither::Ordered,    Dither::FloydSteinberg, Dither::Atkinson,
                               Dither::SierraLite, Dither::Pattern,        Dither::BlueNoise};

TEST(TrueColour, DitheringNeverMovesAnExactPixel) {
    // A red-to-white ramp with an exact grey every fifth pixel and a transparent hole.
    const int w = 40, hgt = 8;
    std::vector<uint8_t> rgba;
    for (int i = 0; i < w * hgt; ++i) {
        const int x = i % w;
        const uint8_t v = static_cast<uint8_t>(x * 6);
        const std::array<uint8_t, 4> px = i % 5 == 0 ? std::array<uint8_t, 4>{128, 128, 128, 255}
                                          : i == 77  ? std::array<uint8_t, 4>{50, 50, 50, 0}
                                                     : std::array<uint8_t, 4>{255, v, v, 255};
        rgba.insert(rgba.end(), px.begin(), px.end());
    }
    for (const Dither dither : kEveryDither) {
        SCOPED_TRACE(static_cast<int>(dither));
        MappingOptions o;
        o.dither = dither;
        PictureMapper mapper;
        ASSERT_TRUE(mapper.setUp(testSource(), o, nullptr));
        std::vector<uint8_t> out, again;
        ASSERT_TRUE(mapper.map(picture(w, hgt, rgba), out, nullptr, nullptr));
        for (int i = 0; i < w * hgt; i += 5) EXPECT_EQ(out[i], 2) << i;
        EXPECT_EQ(out[77], 0);
        EXPECT_GT(std::count(out.begin(), out.end(), 4), 0);  // red and white both used
        EXPECT_GT(std::count(out.begin(), out.end(), 3), 0);
        if (dither == Dither::Ordered || dither == Dither::Pattern ||
            dither == Dither::BlueNoise) {
            // Another frame that differs in its first row maps every other row the same.
            std::vector<uint8_t> frame = rgba;
            for (int x = 0; x < w * 4; ++x)
                frame[static_cast<size_t>(x)] ^= static_cast<uint8_t>(x % 4 == 3 ? 0 : 0x55);
            ASSERT_TRUE(mapper.map(picture(w, hgt, frame), again, nullptr, nullptr));
            EXPECT_TRUE(std::equal(out.begin() + w, out.end(), again.begin() + w));
        }
    }
}

TEST(TrueColour, PaletteSources) {
    ScopedTempDir dir;
    const std::array<uint8_t, 768> colours = testColours();
    PcxPicture pcx = blankPicture(2, 2);
    pcx.palette = colours;
    writePcx("pal.pcx", pcx);
    TestPng png;
    png.width = png.height = 1, png.pixels = {0}, png.palette = colours, png.paletteEntries = 5;
    writeFile("pal.png", encodePng(png));
    Bytes six(768, 0);
    six[12] = 63, six[13] = 16;  // entry 4: 255, 65, 0 as 8-bit
    writeFile("game.kiv", buildArchive({{"lbl", {}}, {"notpal", Bytes(768, 64)}, {"pal", six}}));
    writeFile("nopal.kiv", buildArchive({{"x", {1, 2}}}));
    writeFile("raw8.pal", Bytes(colours.begin(), colours.end()));
    writeFile("raw6.pal", six);
    writeFile("short.pal", Bytes(767, 1));
    writeText("p.txt", "JASC-PAL\r\n0100\r\n2\r\n1 2 3\r\n4 5 6\r\n");
    writeText("p.gpl", "GIMP Palette\nName: x\n# note\n\n  7 8 9\tdark\n10 11 12\n");
    writeText("bad.gpl", "GIMP Palette\n1 2 3\n4 5 256\n");
    writeText("bad.txt", "JASC-PAL\n0100\n3\n1 2 3\n");
    struct Case {
        std::string given;
        int entries;
        int at;
        std::array<uint8_t, 3> colour;
        std::string error;
    };
    const Case cases[] = {
        {"pal.pcx", 256, 4, {255, 0, 0}, ""},
        {"pal.png", 5, 2, {128, 128, 128}, ""},
        {"game.kiv", 256, 4, {255, 65, 0}, ""},
        {"game.kiv:pal", 256, 4, {255, 65, 0}, ""},
        {"raw8.pal", 256, 251, {255, 255, 255}, ""},
        {"raw6.pal", 256, 4, {255, 65, 0}, ""},
        {"p.txt", 2, 1, {4, 5, 6}, ""},
        {"p.gpl", 2, 1, {10, 11, 12}, ""},
        {"game.kiv:notpal", 0, 0, {}, "game.kiv:notpal: entry 2 (notpal) is not a palette item"},
        {"game.kiv:gone", 0, 0, {}, "game.kiv:gone: the archive has no entry named gone"},
        {"nopal.kiv", 0, 0, {}, "nopal.kiv: the archive holds no palette item"},
        {"short.pal", 0, 0, {}, "short.pal: not a palette: 767 bytes"},
        {"bad.gpl", 0, 0, {}, "bad.gpl: line 3: not three numbers 0 to 255"},
        {"bad.txt", 0, 0, {}, "bad.txt: the file ends after 1 of 3 colours"},
        {"none.pal", 0, 0, {}, "none.pal: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        PaletteSource source;
        std::string why;
        EXPECT_EQ(loadPaletteSource(c.given, source, &why), c.error.empty());
        if (!c.error.empty()) {
            EXPECT_EQ(why.rfind(c.error, 0), 0u) << why;
            continue;
        }
        EXPECT_EQ(source.entries, c.entries);
        EXPECT_TRUE(
            std::equal(c.colour.begin(), c.colour.end(), source.colours.begin() + 3 * c.at));
    }
}

TEST(TrueColour, IndexMakesWhatTheMappedLoadMakes) {
    ScopedTempDir dir;
    PcxPicture pal = blankPicture(2, 2);
    pal.palette = testColours();
    writePcx("pal.pcx", pal);
    TestPng png;
    png.width = 16, png.height = 16, png.kind = TestPng::Rgba;
    std::mt19937 random(3);
    for (int i = 0; i < 256; ++i) {
        for (int k = 0; k < 3; ++k) png.rgba.push_back(static_cast<uint8_t>(random()));
        png.rgba.push_back(i % 7 == 0 ? 0 : 255);
    }
    writeFile("art.png", encodePng(png));
    const std::string cut = "PALETTE pal\nRAW r 0 0 2 2\n";
    writeText("a.scp", "LOADPCX art.png\n" + cut);
    writeText("b.scp", "LOADPCX out.png\n" + cut);
    writeText("c.scp", "LOADPCX out.pcx\n" + cut);
    const std::vector<std::string> options = {"--palette",       "pal.pcx", "--dither",
                                              "floyd-steinberg", "--match", "rgb"};
    auto with = [&](std::vector<std::string> words) {
        words.insert(words.end(), options.begin(), options.end());
        return words;
    };
    const RunResult index = runKivtool(with({"index", "art.png", "-o", "out.png"}));
    EXPECT_EQ(index.status, 0) << index.errors;
    EXPECT_NE(index.output.find("transparent   37\n"), std::string::npos) << index.output;
    EXPECT_EQ(runKivtool(with({"index", "art.png", "-o", "out.pcx", "--pcx"})).status, 0);
    EXPECT_EQ(runKivtool(with({"index", "art.png", "-o", "no.png", "--report-only"})).status, 0);
    EXPECT_FALSE(fileExists("no.png"));
    EXPECT_EQ(runKiv(with({"a.scp"})).status, 0);
    EXPECT_EQ(runKiv({"b.scp"}).status, 0);
    EXPECT_EQ(runKiv({"c.scp"}).status, 0);
    EXPECT_EQ(readFile("a.kiv"), readFile("b.kiv"));
    EXPECT_EQ(readFile("a.kiv"), readFile("c.kiv"));
    // Without --palette the picture is refused with a note naming it; with -v the load is noted.
    RunResult plain = runKiv({"a.scp"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.errors.find("note: or give kiv --palette SOURCE"), std::string::npos);
    RunResult noted = runKiv(with({"-v", "--depfile", "a.d", "a.scp"}));
    EXPECT_NE(noted.errors.find("a.scp:1: note: art.png mapped onto pal.pcx: 256 pixels, "),
              std::string::npos)
        << noted.errors;
    const Bytes depfile = readFile("a.d");
    EXPECT_NE(std::string(depfile.begin(), depfile.end()).find(" \\\n  pal.pcx"),
              std::string::npos);
}

TEST(TrueColour, BadInputSaysWhyAndWritesNothing) {
    ScopedTempDir dir;
    PcxPicture pal = blankPicture(2, 2);
    pal.palette = testColours();
    writePcx("pal.pcx", pal);
    writeFile("bad.pal", Bytes(700, 1));
    TestPng png;
    png.width = 1281, png.height = 960, png.kind = TestPng::Grey, png.pixels.assign(1281 * 960, 5);
    writeFile("big.png", encodePng(png));
    png.width = 4, png.height = 4, png.pixels.assign(16, 5);
    Bytes whole = encodePng(png);
    writeFile("cut.png", Bytes(whole.begin(), whole.end() - 20));
    writeText("big.scp", "LOADPCX big.png\nPALETTE p\n");
    writeText("cut.scp", "LOADPCX cut.png\nPALETTE p\n");
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string error;
        const char* unwritten;
    };
    const Case cases[] = {
        {{"--palette", "bad.pal", "cut.scp"},
         1,
         "kiv: --palette bad.pal: not a palette: 700 bytes",
         "cut.kiv"},
        {{"--palette", "pal.pcx", "--reserve", "0-255", "cut.scp"},
         1,
         "kiv: --palette no entry of pal.pcx is left",
         "cut.kiv"},
        {{"--palette", "pal.pcx", "--dither", "random", "cut.scp"},
         2,
         "kiv: --dither random: the kinds are",
         "cut.kiv"},
        {{"--match", "rgb", "cut.scp"},
         2,
         "kiv: the options of true-colour pictures need --palette",
         "cut.kiv"},
        {{"--palette", "pal.pcx", "cut.scp"},
         1,
         "cut.scp:1: error: LOADPCX cut.png: a damaged PNG file",
         "datatemp.dat"},
        {{"--palette", "pal.pcx", "big.scp"},
         1,
         "big.scp:1: error: LOADPCX big.png: a picture of 1281 x 960 pixels is larger than 1228800 "
         "pixels",
         "datatemp.dat"},
        {{"index", "cut.png", "-o", "x.png", "--palette", "pal.pcx"},
         1,
         "kivtool: cut.png: a damaged PNG file",
         "x.png"},
        {{"index", "cut.png", "-o", "x.png", "--palette", "pal.pcx", "--transparent-index", "256"},
         2,
         "kivtool: --transparent-index 256: an entry 0 to 255",
         "x.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const RunResult r = c.words[0] == "index" ? runKivtool(c.words) : runKiv(c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.errors.rfind(c.error, 0), 0u) << r.errors;
        EXPECT_FALSE(fileExists(c.unwritten));
    }
}

TEST(TrueColour, LargePicturesMapTheSameInTwoHalves) {
    // Enough pixels for the two halves at once; every answer against a full search of its own.
    const int side = 512;
    static_assert(side * side >= static_cast<int>(kTwoThreadPixels));
    std::mt19937 random(9);
    std::vector<uint8_t> rgba;
    for (int i = 0; i < side * side; ++i) {
        rgba.insert(rgba.end(), {uint8_t(random() % 64 * 4), uint8_t(random() % 64 * 4),
                                 uint8_t(random() % 64 * 4), uint8_t(i % 97 == 0 ? 0 : 255)});
    }
    const std::array<uint8_t, 768> colours = testColours();
    MappingOptions o;
    o.metric = ColourMetric::Rgb;
    PictureMapper mapper;
    ASSERT_TRUE(mapper.setUp(testSource(), o, nullptr));
    std::vector<uint8_t> out;
    ASSERT_TRUE(mapper.map(picture(side, side, rgba), out, nullptr, nullptr));
    std::map<uint32_t, int> expected;
    for (int i = 0; i < side * side; ++i) {
        const uint8_t* c = &rgba[4 * static_cast<size_t>(i)];
        if (c[3] == 0) {
            ASSERT_EQ(out[static_cast<size_t>(i)], 0);
            continue;
        }
        const uint32_t key = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        if (!expected.count(key)) {
            int best = 1 << 30, want = -1;
            for (int e = 1; e < 256; ++e) {
                const int dr = c[0] - colours[3 * e], dg = c[1] - colours[3 * e + 1],
                          db = c[2] - colours[3 * e + 2];
                if (dr * dr + dg * dg + db * db < best)
                    best = dr * dr + dg * dg + db * db, want = e;
            }
            expected[key] = want;
        }
        ASSERT_EQ(out[static_cast<size_t>(i)], expected[key]) << i;
    }
}

// The blue-noise mask ranks every place once, and its first sixteenth is spread out: no two of
// those places touch, even across the wrap.
TEST(TrueColour, BlueNoiseMask) {
    const std::vector<uint16_t>& mask = blueNoiseMask();
    const int side = static_cast<int>(kBlueNoiseSide);
    ASSERT_EQ(mask.size(), kBlueNoiseSide * kBlueNoiseSide);
    std::vector<int> seen(mask.size(), 0);
    for (const uint16_t rank : mask) {
        ASSERT_LT(rank, mask.size());
        ++seen[rank];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(mask.size()));
    for (int at = 0; at < side * side; ++at) {
        if (mask[static_cast<size_t>(at)] >= mask.size() / 16) continue;
        for (const auto& [dx, dy] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1},
                                     std::pair{side - 1, 1}}) {
            const int next = (at / side + dy) % side * side + (at % side + dx) % side;
            EXPECT_GE(mask[static_cast<size_t>(next)], mask.size() / 16) << at;
        }
    }
    Dither d = Dither::None;
    for (const auto& [word, want] :
         {std::pair{"atkinson", Dither::Atkinson}, std::pair{"sierra-lite", Dither::SierraLite},
          std::pair{"pattern", Dither::Pattern}, std::pair{"blue-noise", Dither::BlueNoise}}) {
        EXPECT_TRUE(parseDither(word, d) && d == want) << word;
    }
    EXPECT_FALSE(parseDither("bluenoise", d));
}

// Dithering mixes entries so that their average in linear light is the colour: grey 128 (0.216
// in linear light) over black and white is white in 3 or 4 of each 16 pixels of a plan, and in
// 0.216 of them under error diffusion, which keeps an extreme entry's error whole (clipped at
// the cube, the white share was 0.258). Atkinson hands on three quarters and comes out lighter.
TEST(TrueColour, DitheredMixesKeepTheColoursShare) {
    PaletteSource bw{"bw", "bw", {}, 256, "test"};
    std::fill(bw.colours.begin() + 3, bw.colours.end(), 255);  // 0 black, the rest white
    MappingOptions o;
    o.transparentIndex = 7;
    std::vector<uint8_t> grey;
    for (int i = 0; i < 64 * 64; ++i) grey.insert(grey.end(), {128, 128, 128, 255});
    auto whiteShare = [&](Dither dither) {
        o.dither = dither;
        PictureMapper mapper;
        EXPECT_TRUE(mapper.setUp(bw, o, nullptr));
        std::vector<uint8_t> out;
        EXPECT_TRUE(mapper.map(picture(64, 64, grey), out, nullptr, nullptr));
        return static_cast<double>(
                   std::count_if(out.begin(), out.end(), [](uint8_t e) { return e != 0; })) /
               static_cast<double>(out.size());
    };
    for (const Dither dither : {Dither::Pattern, Dither::BlueNoise}) {
        SCOPED_TRACE(static_cast<int>(dither));
        const double share = whiteShare(dither);
        EXPECT_GE(share, 3.0 / 16);
        EXPECT_LE(share, 4.0 / 16);
    }
    EXPECT_NEAR(whiteShare(Dither::FloydSteinberg), 0.216, 0.01);
    EXPECT_NEAR(whiteShare(Dither::SierraLite), 0.216, 0.01);
    EXPECT_GT(whiteShare(Dither::Atkinson), 0.25);
}

// The blurred difference: 0 for exact pixels, the plain OKLab distance for a flat colour, and
// far smaller for a grey dithered between black and white than undithered (error carried in
// sRGB codes made it worse than not dithering: 59 against 40).
TEST(TrueColour, BlurredDifference) {
    PaletteSource bw{"bw", "bw", {}, 256, "test"};
    std::fill(bw.colours.begin() + 3, bw.colours.end(), 255);  // 0 black, the rest white
    MappingOptions o;
    o.transparentIndex = 7;
    auto blurred = [&](Dither dither, std::vector<uint8_t> rgba, int w) {
        o.dither = dither;
        PictureMapper mapper;
        EXPECT_TRUE(mapper.setUp(bw, o, nullptr));
        std::vector<uint8_t> out;
        const TrueColourPicture p = picture(w, static_cast<int>(rgba.size() / 4 / w), rgba);
        EXPECT_TRUE(mapper.map(p, out, nullptr, nullptr));
        return blurredDifference(p, out, bw.colours, 128);
    };
    std::vector<uint8_t> grey, exact, flat;
    for (int i = 0; i < 16 * 16; ++i) {
        grey.insert(grey.end(), {128, 128, 128, 255});
        exact.insert(exact.end(), {uint8_t(i % 2 ? 255 : 0), uint8_t(i % 2 ? 255 : 0),
                                   uint8_t(i % 2 ? 255 : 0), uint8_t(i % 5 ? 255 : 0)});
        flat.insert(flat.end(), {40, 40, 40, 255});
    }
    EXPECT_EQ(blurred(Dither::None, exact, 16), 0.0);
    const ColourPoint a = colourPoint(ColourMetric::OkLab, {40, 40, 40}),
                      b = colourPoint(ColourMetric::OkLab, {0, 0, 0});
    EXPECT_NEAR(blurred(Dither::None, flat, 16),
                100 * std::sqrt(squaredDifference(ColourMetric::OkLab, a, b)), 1e-3);
    // Ordered dithering moves a colour only about as far as neighbouring entries lie apart.
    for (const Dither dither : kEveryDither) {
        SCOPED_TRACE(static_cast<int>(dither));
        if (dither == Dither::Ordered) continue;
        EXPECT_LT(blurred(dither, grey, 16), blurred(Dither::None, grey, 16) / 3);
    }
    EXPECT_EQ(blurredDifference(picture(1, 1, {1, 2, 3, 0}), {7}, bw.colours, 128), -1);
}
