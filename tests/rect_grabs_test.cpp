#include <gtest/gtest.h>

#include "archive/archive_format.h"
#include "common/console.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"

using namespace kiv;
using namespace kivtest;

namespace {

uint8_t pixelValue(int x, int y) {
    return static_cast<uint8_t>((x + 3 * y) % 251 + 1);
}

class RectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PcxPicture p = blankPicture(320, 200);
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < 320; ++x) p.at(x, y) = pixelValue(x, y);
        }
        writePcx("pic.pcx", p);
        h.run("LOADPCX pic.pcx");
        ASSERT_TRUE(h.ctx.pictureLoaded);
        h.display.draws = 0;
    }
    // The rectangle's rows as the picture holds them.
    static Bytes rows(int x, int y, int w, int height) {
        Bytes out;
        for (int r = 0; r < height; ++r) {
            for (int c = 0; c < w; ++c) out.push_back(pixelValue(x + c, y + r));
        }
        return out;
    }
    ScopedTempDir dir;
    GrabHarness h;
};

}  // namespace

TEST_F(RectTest, RawTakesBareRows) {
    Bytes item = h.run("RAW sky 0 0 4 2");
    EXPECT_EQ(item.size(), 512u);
    EXPECT_EQ(item, rows(0, 0, 32, 16));
    EXPECT_EQ(h.display.draws, 1);
}

TEST_F(RectTest, TextureHasAHeaderAndClearsThePreview) {
    Bytes item = h.run("TEXTURE floor 2 0 8 8");
    ASSERT_EQ(item.size(), 4108u);
    EXPECT_EQ(loadLE32(item.data()), 64);
    EXPECT_EQ(loadLE32(item.data() + 4), 64);
    EXPECT_EQ(loadLE32(item.data() + 8), 1);
    EXPECT_EQ(Bytes(item.begin() + 12, item.end()), rows(16, 0, 64, 64));
    for (int y = 0; y < 64; ++y) {
        EXPECT_EQ(h.previewAt(15, y), pixelValue(15, y));
        for (int x = 16; x < 80; ++x) ASSERT_EQ(h.previewAt(x, y), 0);
        EXPECT_EQ(h.previewAt(80, y), pixelValue(80, y));
    }
    EXPECT_EQ(h.previewAt(16, 64), pixelValue(16, 64));
    EXPECT_EQ(h.shownPixels()[16], 0) << "refreshed";
    // The pixels always come from the picture: the same texture again is the same item.
    EXPECT_EQ(h.run("TEXTURE floor 2 0 8 8"), item);
}

TEST_F(RectTest, EmptyRectangles) {
    Bytes texture = h.run("TEXTURE empty 0 0 0 0");
    EXPECT_EQ(texture, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(h.run("RAW empty 0 0 0 5").empty());
    EXPECT_TRUE(h.run("RAW empty 0 0 5 0").empty());
    EXPECT_TRUE(h.run("RAW empty 0 0 5 -1").empty());
    EXPECT_FALSE(jobFailed());
}

TEST_F(RectTest, RawPutsThePicturesPixelsBack) {
    h.run("TEXTURE t 0 0 2 2");
    EXPECT_EQ(h.previewAt(3, 3), 0);
    h.run("RAW r 0 0 1 1");
    EXPECT_EQ(h.previewAt(3, 3), pixelValue(3, 3));
    EXPECT_EQ(h.previewAt(8, 8), 0) << "outside the RAW rectangle the clearing stays";
}

TEST_F(RectTest, RectangleRunningPastTheRightEdgeContinuesOnTheNextRow) {
    // Scaled: x 312, w 16: the last 8 pixels of a row, then the first 8 of the next.
    Bytes item = h.run("RAW wrap 39 0 2 1");
    ASSERT_EQ(item.size(), 128u);
    for (int c = 0; c < 16; ++c) {
        int linear = 312 + c;
        EXPECT_EQ(item[c], pixelValue(linear % 320, linear / 320)) << c;
    }
    // The last rectangle that still ends on the picture's last byte.
    EXPECT_EQ(h.run("RAW last 39 24 1 1").size(), 64u);
    EXPECT_FALSE(jobFailed());
}

TEST_F(RectTest, RectanglesOutsideThePictureAreRefused) {
    struct Case {
        std::string line;
        std::string message;
    } cases[] = {
        {"RAW a -1 0 1 1", "RAW a: rectangle x -8 y 0 w 8 h 8 has a negative value\n"},
        {"TEXTURE b 0 -1 1 1", "TEXTURE b: rectangle x 0 y -8 w 8 h 8 has a negative value\n"},
        {"RAW c 0 0 -1 1", "RAW c: rectangle x 0 y 0 w -8 h 8 has a negative value\n"},
        {"RAW d 0 24 1 2",
         "RAW d: rectangle x 0 y 192 w 8 h 16 lies outside the 320 x 200 picture (positions and "
         "sizes are in units of 8 pixels)\n"},
        {"TEXTURE e 39 24 2 1",
         "TEXTURE e: rectangle x 312 y 192 w 16 h 8 lies outside the 320 x 200 picture (positions "
         "and sizes are in units of 8 pixels)\n"},
        {"RAW f 0 25 0 0", ""},  // touches nothing: no item, no refusal
        {"RAW g 40 24 1 1",
         "RAW g: rectangle x 320 y 192 w 8 h 8 lies outside the 320 x 200 picture (positions and "
         "sizes are in units of 8 pixels)\n"},
        {"RAW 0 0 -5 1", "RAW 0: rectangle x 0 y -40 w 8 h 0 has a negative value\n"},
    };
    for (const auto& c : cases) {
        h.channels.clear();
        beginJobLog();
        auto before = h.ctx.preview;
        EXPECT_TRUE(h.run(c.line).empty()) << c.line;
        EXPECT_EQ(h.channels.errorTexts(), c.message) << c.line;
        EXPECT_EQ(jobFailed(), !c.message.empty()) << c.line;
        EXPECT_EQ(h.ctx.preview, before) << c.line;
    }
}

TEST(RectNoPicture, CommandsBeforeTheFirstLoadAreRefused) {
    GrabHarness h;
    h.ctx.width = 320;  // a size left by an earlier run of the process
    h.ctx.height = 200;
    EXPECT_TRUE(h.run("RAW sky 0 0 4 2").empty());
    EXPECT_TRUE(h.run("TEXTURE t 0 0 1 1").empty());
    EXPECT_EQ(h.channels.errorTexts(),
              "RAW sky: no picture loaded\nTEXTURE t: no picture loaded\n");
    EXPECT_TRUE(jobFailed());
}

// Each command hands the display only the area it changed: its rectangle, the box of a
// sprite's pixels, or whole rows when it runs past the right edge into the next rows.
TEST(PreviewAreas, EachCommandDrawsOnlyWhatItChanged) {
    ScopedTempDir dir;
    PcxPicture p = blankPicture(64, 32);
    p.at(10, 5) = 3;
    p.at(20, 9) = 4;
    p.at(60, 2) = 5;
    writePcx("pic.pcx", p);
    GrabHarness h;
    struct Case {
        const char* line;
        PreviewArea area;  // rows first, end; columns first, end
    } cases[] = {
        {"LOADPCX pic.pcx", {0, 32, 0, 64}},
        {"RAW r 1 2 3 1", {16, 24, 8, 32}},
        {"TEXTURE t 2 1 1 2", {8, 24, 16, 24}},
        {"PACKED s 0 0 4 2", {5, 10, 10, 21}},
        {"PACKEDC c 0 0 4 2", {5, 10, 10, 21}},
        {"RAW w 7 0 2 1", {0, 9, 0, 64}},      // 16 columns from x 56: on into the next rows
        {"PACKED e 7 0 2 1", {2, 3, 60, 61}},  // its one pixel
        {"PACKED z 2 2 1 1", {0, 0, 0, 0}},    // no pixel: nothing
        {"TRANSPARENT g 1", {0, 32, 0, 64}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        h.display.areas.clear();
        h.run(c.line);
        ASSERT_FALSE(h.display.areas.empty());
        const PreviewArea& a = h.display.areas.back();
        EXPECT_EQ(std::vector<int32_t>({a.firstRow, a.endRow, a.firstColumn, a.endColumn}),
                  std::vector<int32_t>(
                      {c.area.firstRow, c.area.endRow, c.area.firstColumn, c.area.endColumn}));
    }
    // Whatever came in pieces, the display holds the preview.
    Bytes preview(h.ctx.preview.begin(), h.ctx.preview.begin() + 64 * 32);
    EXPECT_EQ(h.shownPixels(), preview);
}
