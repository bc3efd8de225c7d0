#include <gtest/gtest.h>

#include "archive/archive_format.h"
#include "common/console.h"
#include "grab/commands.h"
#include "support/grab_harness.h"
#include "support/sprite_decoder.h"

using namespace kiv;
using namespace kivtest;

namespace {

struct Font {
    int32_t height;
    std::array<int32_t, 256> offset;
    std::array<int, 256> width;
};

Font header(const Bytes& item) {
    Font f{};
    f.height = loadLE32(item.data());
    for (int k = 0; k < 256; ++k) {
        f.offset[k] = loadLE32(item.data() + 4 + 4 * k);
        f.width[k] = item[1028 + k];
    }
    return f;
}

class FontTest : public ::testing::Test {
  protected:
    void sheet(int w, int height) {
        pixels.assign(static_cast<size_t>(w) * height, 0);
        W = w;
        H = height;
    }
    void set(int x, int y, uint8_t v) { pixels.at(static_cast<size_t>(y) * W + x) = v; }
    Bytes font(int first, int last) {
        h.setPicture(W, H, pixels);
        return h.call(grabFont, "FONT", "f", {0, first, last, 0, 0});
    }
    GrabHarness h;
    Bytes pixels;
    int W = 0, H = 0;
};

}  // namespace

TEST_F(FontTest, TheTwelveByTenSheet) {
    sheet(12, 10);
    set(0, 0, 255);
    set(0, 3, 255);
    set(1, 1, 7);
    set(2, 1, 7);
    set(1, 2, 7);
    set(4, 1, 254);
    set(5, 1, 254);
    set(0, 4, 9);
    set(0, 5, 9);
    Bytes item = font(65, 68);
    ASSERT_EQ(item.size(), 1433u);
    Font f = header(item);
    EXPECT_EQ(f.height, 2);
    EXPECT_EQ(f.width[65], 2);
    EXPECT_EQ(f.offset[65], 0);
    EXPECT_EQ(f.width[66], 2);
    EXPECT_EQ(f.offset[66], 59);
    EXPECT_EQ(f.width[67], 1);
    EXPECT_EQ(f.offset[67], 91);
    EXPECT_EQ(f.width[68], 0);
    EXPECT_EQ(f.offset[68], -1);
    for (int k = 0; k < 256; ++k) {
        if (k < 65 || k > 67) {
            EXPECT_EQ(f.offset[k], -1) << k;
        }
    }
    DecodedSprite a = decodeSprite(item, 1284, false);
    EXPECT_EQ(a.error, "");
    EXPECT_EQ(a.size, 59u);
    EXPECT_EQ(a.pixels, (Bytes{7, 7, 7, 0}));
    DecodedSprite space = decodeSprite(item, 1284 + 59, false);
    EXPECT_EQ(space.width, 2);
    EXPECT_EQ(space.height, 0);
    DecodedSprite c = decodeSprite(item, 1284 + 91, false);
    EXPECT_EQ(c.size, 58u);
    EXPECT_EQ(c.pixels, (Bytes{9, 9}));
    EXPECT_EQ(h.pictureAt(4, 1), 0) << "spacers are cleared in the picture";
    EXPECT_EQ(h.pictureAt(5, 1), 0);
    EXPECT_EQ(h.previewAt(4, 1), 254) << "and keep their colour in the preview";
    int marks = 0;
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 12; ++x) marks += h.previewAt(x, y) == 48;
    }
    EXPECT_EQ(marks, 5);
    EXPECT_EQ(h.channels.text(), "");
}

TEST_F(FontTest, MarkerFailuresLeaveTheHeaderAlone) {
    struct Case {
        int top, bottom, height;
        std::string message;
        int32_t storedHeight;
    } cases[] = {
        {0, 1, 10, "", 0},  // adjacent markers: h = 0, no cell
        {20, 30, 40, "FONT: Top Not Found\n", 0},
        {19, 100, 120, "FONT: Bottom Not Found\n", 0},
        {19, 99, 120, "", 79},
        {2, -1, 5, "FONT: Bottom Not Found\n", 0},  // a short sheet: rows below read 0
    };
    for (const auto& c : cases) {
        h.channels.clear();
        sheet(8, c.height);
        set(0, c.top, 255);
        if (c.bottom >= 0) set(0, c.bottom, 255);
        for (int y = 0; y < c.height; ++y) {
            if (y != c.top && y != c.bottom) set(3, y, 5);
        }
        Bytes item = font(32, 40);
        Font f = header(item);
        EXPECT_EQ(h.channels.text(), c.message) << c.top << "/" << c.bottom;
        EXPECT_EQ(f.height, c.storedHeight) << c.top << "/" << c.bottom;
        if (!c.message.empty() || c.storedHeight == 0) {
            EXPECT_EQ(item.size(), 1284u);
            for (int k = 0; k < 256; ++k) ASSERT_EQ(f.offset[k], -1);
        }
    }
}

TEST_F(FontTest, WidthLimitIs128) {
    for (int width : {128, 129}) {
        h.channels.clear();
        sheet(140, 6);
        set(0, 0, 255);
        set(0, 3, 255);
        for (int x = 2; x < 2 + width; ++x) set(x, 1 + x % 2, 3);
        for (int x = 2 + width + 2; x < 140; ++x) set(x, 1, 4);  // a second glyph after it
        Bytes item = font(10, 11);
        Font f = header(item);
        if (width == 128) {
            EXPECT_EQ(h.channels.text(), "");
            EXPECT_EQ(f.width[10], 128);
            EXPECT_EQ(f.width[11], 140 - 132);
        } else {
            EXPECT_EQ(h.channels.text(), "FONT: Width too BIG !!!\n");
            EXPECT_EQ(item.size(), 1284u);
            EXPECT_EQ(f.offset[10], -1);
            EXPECT_EQ(f.offset[11], -1);
            EXPECT_TRUE(jobFailed());
        }
    }
}

TEST_F(FontTest, CodesOutsideTheTablesAndInReverse) {
    sheet(8, 6);
    set(0, 0, 255);
    set(0, 3, 255);
    set(2, 1, 6);
    Bytes reversed = font(70, 60);
    EXPECT_EQ(reversed.size(), 1284u);
    EXPECT_EQ(header(reversed).height, 2) << "first above last: the header with its height";
    EXPECT_EQ(h.channels.text(), "");
    for (auto [first, last] : {std::pair{-1, 10}, std::pair{65, 256}, std::pair{300, 10}}) {
        h.channels.clear();
        Bytes item = font(first, last);
        EXPECT_EQ(item.size(), 1284u);
        EXPECT_EQ(header(item).height, 0);
        EXPECT_EQ(h.channels.errorTexts(), "FONT f: character codes " + std::to_string(first) +
                                               " to " + std::to_string(last) +
                                               ": each must lie in 0 to 255\n");
    }
}

TEST_F(FontTest, CellAtTheRightEdgeAndABandBelowThePicture) {
    sheet(6, 8);
    set(0, 0, 255);
    set(0, 5, 255);  // h = 4: bands at rows 1 and 6 (the second reaches past row 7)
    set(4, 2, 8);
    set(5, 2, 8);  // a cell that ends at the picture's right edge
    set(2, 6, 9);  // in the last band, whose rows 8 and 9 lie below the picture
    // The buffer past the picture holds what a larger picture left there: rows below the
    // picture must read 0, never these bytes.
    h.setPicture(W, H, pixels);
    std::fill(h.ctx.picture.begin() + W * H, h.ctx.picture.end(), 77);
    Bytes item = h.call(grabFont, "FONT", "f", {0, 0, 2, 0, 0});
    Font f = header(item);
    EXPECT_EQ(f.width[0], 2);
    EXPECT_EQ(f.width[1], 1);
    EXPECT_EQ(f.offset[2], -1);
    DecodedSprite low = decodeSprite(item, 1284 + static_cast<size_t>(f.offset[1]), false);
    EXPECT_EQ(low.error, "");
    EXPECT_EQ(low.height, 4);
    EXPECT_EQ(low.pixels, (Bytes{9, 0, 0, 0}));
}

TEST_F(FontTest, GlyphsThatOverflowTheItemBufferStopTheFont) {
    sheet(1280, 960);
    set(0, 0, 255);
    set(0, 99, 255);  // 98 rows a band
    for (int band = 0; band < 9; ++band) {
        for (int cell = 0; cell < 10; ++cell) {
            int x0 = 1 + cell * 122;
            for (int r = 0; r < 98; ++r) {
                for (int c = 0; c < 120; ++c) {
                    if ((r + c) % 2) set(x0 + c, 1 + band * 99 + r, 2);
                }
            }
        }
    }
    Bytes item = font(0, 60);
    Font f = header(item);
    EXPECT_NE(h.channels.errorTexts().find("FONT f: the glyph of code 19 ("), std::string::npos)
        << h.channels.diagnostics();
    EXPECT_EQ(f.width[18], 120);
    EXPECT_EQ(f.offset[19], -1);
    EXPECT_EQ(f.width[19], 0);
    EXPECT_EQ(item.size(), 1284u + 19u * static_cast<size_t>(f.offset[1]));
    EXPECT_LE(item.size(), kItemBufferBytes);
}

TEST(FontNoPicture, IsRefusedWithoutAnItem) {
    GrabHarness h;
    EXPECT_TRUE(h.call(grabFont, "FONT", "f", {0, 65, 90, 0, 0}).empty());
    EXPECT_EQ(h.channels.errorTexts(), "FONT f: no picture loaded\n");
}
