#include "grab/pcx_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "common/console.h"
#include "picture/pcx_decoder.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"

using namespace kiv;
using namespace kivtest;

namespace {

class PcxTest : public ::testing::Test {
  protected:
    // Loads a file through the LOADPCX command.
    void load(const std::string& path) { EXPECT_TRUE(h.run("LOADPCX " + path).empty()); }
    void loadBytes(const Bytes& bytes) {
        writeFile("p.pcx", bytes);
        load("p.pcx");
    }
    Bytes row(int y) const {
        auto begin = h.ctx.picture.begin() + static_cast<long>(y) * h.ctx.width;
        return Bytes(begin, begin + h.ctx.width);
    }
    ScopedTempDir dir;
    GrabHarness h;
};

PcxPicture varied(int w, int height) {
    PcxPicture p = blankPicture(w, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < w; ++x) p.at(x, y) = static_cast<uint8_t>((x * 37 + y * 11) % 256);
    }
    // Runs, and values that need a run byte of their own.
    for (int x = 0; x < std::min(w, 20); ++x) p.at(x, 0) = 200;
    return p;
}

}  // namespace

TEST_F(PcxTest, LoadsPixelsSizeAndPalette) {
    PcxPicture p = varied(33, 9);
    p.palette[3 * 5] = 255;
    p.palette[3 * 5 + 1] = 128;
    p.palette[3 * 5 + 2] = 0;
    writePcx("pic.pcx", p);
    load("pic.pcx");
    EXPECT_EQ(h.ctx.width, 33);
    EXPECT_EQ(h.ctx.height, 9);
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 33 * 9), p.pixels);
    EXPECT_EQ(Bytes(h.ctx.preview.begin(), h.ctx.preview.begin() + 33 * 9), p.pixels);
    EXPECT_EQ(h.ctx.palette[15], 63);
    EXPECT_EQ(h.ctx.palette[16], 32);
    EXPECT_EQ(h.ctx.palette[17], 0);
    // The display keeps the file's own 8-bit colours, and shows the picture upright.
    EXPECT_EQ((*h.preview.bitmap().logicalPalette)[5], 0xFFFF8000u);
    EXPECT_EQ(h.shownPixels(), p.pixels);
    EXPECT_EQ(h.display.fits, (std::vector<std::pair<int32_t, int32_t>>{{33, 9}}));
    EXPECT_EQ(h.display.draws, 1);
    EXPECT_TRUE(h.ctx.loader.hasDisplayBitmap);
    EXPECT_FALSE(jobFailed());
}

TEST_F(PcxTest, DosNamesFindThePicture) {
    ASSERT_EQ(mkdir("art", 0755), 0);
    PcxPicture p = varied(6, 4);
    writePcx("art/sheet.pcx", p);
    load("ART\\SHEET.PCX");
    EXPECT_EQ(h.ctx.width, 6);
    EXPECT_EQ(h.channels.text(), "");
}

TEST_F(PcxTest, PaletteShiftsAndRereadsEachLoad) {
    PcxPicture p = blankPicture(2, 2);
    p.palette[0] = 255;
    p.palette[1] = 4;
    p.palette[2] = 3;
    writePcx("pal.pcx", p);
    load("pal.pcx");
    EXPECT_EQ((std::array<int, 3>{h.ctx.palette[0], h.ctx.palette[1], h.ctx.palette[2]}),
              (std::array<int, 3>{63, 1, 0}));
    auto first = h.ctx.palette;
    load("pal.pcx");
    EXPECT_EQ(h.ctx.palette, first) << "never shifted twice";
}

TEST_F(PcxTest, FailuresPrintTheirMessageAndChangeNothing) {
    PcxPicture good = blankPicture(4, 4);
    Bytes valid = encodePcx(good);
    Bytes badMaker = valid;
    badMaker[0] = 11;
    Bytes badVersion = valid;
    badVersion[1] = 3;
    Bytes shortFile = pcxHeader(good);
    shortFile.resize(700);
    Bytes badMarker = valid;
    badMarker[valid.size() - 769] = 13;
    PcxPicture zeroLine = good;
    zeroLine.bytesPerLine = 0;
    PcxPicture huge = blankPicture(1, 1);
    huge.width = 1281;
    huge.height = 960;
    PcxPicture inverted = good;
    inverted.xMin = 10;  // xMax = 13 written, then xMin moved past it below
    Bytes invertedBytes = encodePcx(inverted);
    invertedBytes[4] = 20;
    const std::string tooBig =
        "LOADPCX p.pcx: a picture of 1281 x 960 pixels with 1282 bytes per line is not loaded: "
        "each must be at least 1 and the picture at most 1228800 pixels\n";
    // The original tool's messages stay on standard output; kiv's diagnostic says why.
    struct Case {
        const char* what;
        Bytes bytes;
        std::string message;
        std::string diagnostic;
    } cases[] = {
        {"header of 127 bytes", Bytes(127, 10), "Error Reading\n",
         "LOADPCX p.pcx: 127 bytes, shorter than a PCX header"},
        {"manufacturer", badMaker, "Not a 256 Color PCX File\n", "(it begins 11 5, not 10 5)"},
        {"version", badVersion, "Not a 256 Color PCX File\n", "(it begins 10 3, not 10 5)"},
        {"shorter than the trailer", shortFile, "Error Seeking to Palette\n",
         "shorter than the 769-byte palette at a PCX picture's end"},
        {"marker", badMarker, "Error Reading Palette\n", "(the byte before it is 13, not 12)"},
        {"bytes per line 0", encodePcx(zeroLine), "",
         "LOADPCX p.pcx: a picture of 4 x 4 pixels with 0 bytes per line is not loaded: each "
         "must be at least 1 and the picture at most 1228800 pixels\n"},
        {"too many pixels", pcxWithData(huge, {}), "", tooBig},
        {"negative width", invertedBytes, "",
         "LOADPCX p.pcx: a picture of -6 x 4 pixels with 4 bytes per line is not loaded: each "
         "must be at least 1 and the picture at most 1228800 pixels\n"},
    };
    for (const auto& c : cases) {
        GrabHarness fresh;
        writeFile("p.pcx", c.bytes);
        EXPECT_TRUE(fresh.run("LOADPCX p.pcx").empty());
        EXPECT_EQ(fresh.channels.text(), c.message) << c.what;
        EXPECT_NE(fresh.channels.diagnostics().find(c.diagnostic), std::string::npos)
            << c.what << ": " << fresh.channels.diagnostics();
        EXPECT_EQ(fresh.ctx.width, 0) << c.what;
        EXPECT_EQ(fresh.ctx.height, 0) << c.what;
        EXPECT_EQ(fresh.ctx.palette, (std::array<uint8_t, 768>{})) << c.what;
        EXPECT_FALSE(fresh.preview.bitmap().valid) << c.what;
        EXPECT_FALSE(fresh.ctx.pictureLoaded) << c.what;
        EXPECT_TRUE(jobFailed()) << c.what;
    }
    GrabHarness missing;
    missing.run("LOADPCX nothere.pcx");
    EXPECT_EQ(missing.channels.text(), "Error Opening nothere.pcx\n");
    GrabHarness unnamed;
    unnamed.run("LOADPCX");
    EXPECT_EQ(unnamed.channels.text(), "Error Opening (no file name)\n");
}

TEST_F(PcxTest, FailedLoadAfterAGoodOneKeepsPictureAndSize) {
    PcxPicture p = varied(10, 6);
    writePcx("good.pcx", p);
    load("good.pcx");
    auto palette = h.ctx.palette;
    load("nothere.pcx");
    EXPECT_EQ(h.ctx.width, 10);
    EXPECT_EQ(h.ctx.height, 6);
    EXPECT_EQ(h.ctx.palette, palette);
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 60), p.pixels);
    EXPECT_EQ(Bytes(h.ctx.preview.begin(), h.ctx.preview.begin() + 60), p.pixels);
    EXPECT_FALSE(h.preview.bitmap().valid)
        << "the old bitmap is released before the file is opened";
    EXPECT_TRUE(h.ctx.pictureLoaded);
}

TEST_F(PcxTest, DisplayBitmapThatCannotBeMadeFailsTheLoad) {
    writePcx("good.pcx", varied(8, 8));
    h.display.accept = false;
    load("good.pcx");
    EXPECT_EQ(h.channels.text(), "");
    EXPECT_EQ(h.channels.diagnostics(),
              "kiv: error: LOADPCX good.pcx: the 8 x 8 display bitmap cannot be created\n"
              "kiv: note: the commands up to the next LOADPCX that need a picture are skipped\n");
    EXPECT_EQ(h.ctx.width, 0);
    EXPECT_EQ(h.ctx.palette, (std::array<uint8_t, 768>{}));
    EXPECT_FALSE(h.ctx.pictureLoaded);
}

TEST_F(PcxTest, OddWidthDropsThePaddingByte) {
    PcxPicture p = varied(319, 200);
    p.padValue = 77;
    writePcx("odd.pcx", p);
    load("odd.pcx");
    ASSERT_EQ(h.ctx.width, 319);
    EXPECT_EQ(h.ctx.loader.bytesPerLine, 320);
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 319 * 200), p.pixels);
    EXPECT_EQ(h.ctx.picture[319 * 200], 0) << "the last padding byte lands nowhere";
    EXPECT_EQ(h.shownPixels(), p.pixels);
}

TEST_F(PcxTest, OriginOffsetsOnlySetTheSize) {
    PcxPicture p = varied(320, 200);
    p.xMin = 10;
    p.yMin = 5;
    writePcx("off.pcx", p);
    load("off.pcx");
    EXPECT_EQ(h.ctx.width, 320);
    EXPECT_EQ(h.ctx.height, 200);
    EXPECT_EQ(row(0), Bytes(p.pixels.begin(), p.pixels.begin() + 320));
}

TEST_F(PcxTest, RunBytes) {
    PcxPicture p = blankPicture(4, 2);
    // 193 197 is one byte 197; 192 7 writes nothing; a run of 6 crosses the first scanline's
    // end and the second scanline starts with the byte after it.
    loadBytes(pcxWithData(p, {193, 197, 192, 7, 1, 0xC6, 9, 2, 3, 4, 5}));
    EXPECT_EQ(row(0), (Bytes{197, 1, 9, 9}));
    EXPECT_EQ(row(1), (Bytes{2, 3, 4, 5}));
}

TEST_F(PcxTest, DataEndsEarlyAndTheDecoderReadsOnAsTwoFiftyFive) {
    PcxPicture p = blankPicture(1000, 2);
    p.palette.fill(0);
    p.palette[0] = 200;  // a run byte inside the trailer: count 8 of the next byte, 0
    loadBytes(pcxWithData(p, {5, 6}));
    Bytes expected{5, 6, 12};
    expected.insert(expected.end(), 8, 0);    // the run 200, 0 from the palette's start
    expected.insert(expected.end(), 766, 0);  // the other palette bytes
    expected.insert(expected.end(), 1000 - expected.size(), 255);  // then the end of the file
    EXPECT_EQ(row(0), expected);
    EXPECT_EQ(row(1), Bytes(1000, 255));
}

TEST_F(PcxTest, ShortScanlineLeavesTheRestOfTheRowZero) {
    PcxPicture p = varied(6, 3);
    p.bytesPerLine = 4;
    writePcx("short.pcx", p);
    load("short.pcx");
    for (int y = 0; y < 3; ++y) {
        Bytes expected(p.pixels.begin() + y * 6, p.pixels.begin() + y * 6 + 4);
        expected.insert(expected.end(), {0, 0});
        EXPECT_EQ(row(y), expected) << y;
    }
}

TEST_F(PcxTest, LongScanlinesNeverWritePastThePicture) {
    PcxPicture p = varied(3, 3);
    p.bytesPerLine = 300;
    p.padValue = 9;
    writePcx("long.pcx", p);
    load("long.pcx");
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.begin() + 9), p.pixels);
    EXPECT_EQ(h.ctx.picture[9], 0);
}

TEST_F(PcxTest, PicturesOfTheFullSizeLoad) {
    PcxPicture p = varied(1280, 960);
    writePcx("full.pcx", p);
    load("full.pcx");
    EXPECT_EQ(h.ctx.width * h.ctx.height, 1228800);
    EXPECT_EQ(Bytes(h.ctx.picture.begin(), h.ctx.picture.end()), p.pixels);
}

// Pictures written by other common programs load with the pixels those programs wrote.
TEST_F(PcxTest, PicturesFromOtherPrograms) {
    const int w = 37, height = 23;
    std::ofstream ppm("in.ppm", std::ios::binary);
    ppm << "P6\n" << w << " " << height << "\n255\n";
    std::vector<std::array<uint8_t, 3>> colours;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < w; ++x) {
            // 60 distinct colours in bands, so that both programs keep every colour exactly.
            int k = (x / 3 + y / 2 * 5) % 60;
            std::array<uint8_t, 3> c{static_cast<uint8_t>(k * 4), static_cast<uint8_t>(255 - k * 3),
                                     static_cast<uint8_t>((k * 53) % 256)};
            colours.push_back(c);
            ppm.write(reinterpret_cast<const char*>(c.data()), 3);
        }
    }
    ppm.close();
    struct Tool {
        const char* program;
        const char* command;
    } tools[] = {
        {"/usr/bin/ppmtopcx", "/usr/bin/ppmtopcx -8bit in.ppm > out.pcx 2>/dev/null"},
        {"/usr/bin/convert", "/usr/bin/convert in.ppm -type Palette PCX:out.pcx"},
    };
    int tried = 0;
    for (const auto& tool : tools) {
        if (!fileExists(tool.program)) continue;
        ++tried;
        std::remove("out.pcx");
        ASSERT_EQ(std::system(tool.command), 0) << tool.command;
        GrabHarness fresh;
        ASSERT_TRUE(fresh.run("LOADPCX out.pcx").empty());
        ASSERT_EQ(fresh.channels.text(), "") << tool.program;
        ASSERT_EQ(fresh.ctx.width, w) << tool.program;
        ASSERT_EQ(fresh.ctx.height, height) << tool.program;
        const auto& pal = *fresh.preview.bitmap().logicalPalette;
        for (int i = 0; i < w * height; ++i) {
            uint32_t shown = pal[fresh.ctx.picture[i]];
            uint32_t want = 0xFF000000u | colours[i][0] << 16 | colours[i][1] << 8 | colours[i][2];
            ASSERT_EQ(shown, want) << tool.program << " pixel " << i;
        }
    }
    if (tried == 0) GTEST_SKIP() << "neither netpbm nor ImageMagick is installed";
}

// The decoder against the scanline rule applied one byte at a time, on random streams of
// literals, runs (count 0 included), runs across scanline ends, short and padded scanlines and
// data that ends early, at sizes on both sides of the 64-byte blocks the decoder works in.
TEST(PcxDecoder, MatchesTheScanlineRuleByteByByte) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        const int width = 1 + static_cast<int>(random() % 90);
        const int height = 1 + static_cast<int>(random() % 12);
        const int lineBytes = std::max(1, width + static_cast<int>(random() % 7) - 3);
        Bytes data;
        const size_t length = random() % (static_cast<size_t>(lineBytes * height) * 2 + 140);
        while (data.size() < length) {
            const unsigned kind = random() % 8;
            if (kind < 3) {
                data.push_back(static_cast<uint8_t>(0xC0 | (random() % 64)));
                data.push_back(static_cast<uint8_t>(random()));
            } else {
                data.push_back(static_cast<uint8_t>(random() % 192));
            }
        }
        if (random() % 4 == 0 && !data.empty()) data.back() = 0xC5;  // a run cut by the end
        PcxPicture p = blankPicture(width, height);
        p.bytesPerLine = lineBytes;
        const Bytes file = pcxWithData(p, data);
        // The rule: past the end every byte reads 255.
        Bytes expected(static_cast<size_t>(width) * height, 0);
        size_t at = 0;
        auto next = [&] { return at < data.size() ? data[at++] : uint8_t{255}; };
        for (int r = 0; r < height; ++r) {
            int i = 0;
            while (i < lineBytes) {
                const uint8_t c = next();
                const int count = c >= 0xC0 ? c & 63 : 1;
                const uint8_t v = c >= 0xC0 ? next() : c;
                for (int k = 0; k < count; ++k, ++i) {
                    if (i < width && i < lineBytes)
                        expected[static_cast<size_t>(r * width + i)] = v;
                }
            }
        }
        const kiv::PcxFile pcx = kiv::pcxFileFromBytes(file);
        kiv::PcxInfo info;
        ASSERT_EQ(kiv::readPcxInfo(pcx, info), kiv::PcxProblem::None);
        // What lies after the data is the trailer, which the decoder reads on into.
        Bytes pixels(expected.size(), 77);
        kiv::decodePcxPixels(kiv::PcxFile{std::span(file).first(128 + data.size()),
                                          static_cast<int64_t>(file.size()), pcx.trailer},
                             info, pixels.data());
        ASSERT_EQ(pixels, expected);
    }
}
