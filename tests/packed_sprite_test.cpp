#include "grab/packed_sprite.h"

#include <gtest/gtest.h>

#include <random>

#include "archive/archive_format.h"
#include "common/console.h"
#include "grab/commands.h"
#include "support/grab_harness.h"
#include "support/sprite_decoder.h"

using namespace kiv;
using namespace kivtest;

namespace {

std::vector<int32_t> words(const Bytes& b, size_t from, size_t count) {
    std::vector<int32_t> out;
    for (size_t i = 0; i < count; ++i) out.push_back(loadLE32(b.data() + from + 4 * i));
    return out;
}

Bytes record(int32_t x, int32_t y, int32_t length, Bytes pixels = {}) {
    // Sized once, then filled: GCC 12 at -O3 sees an overflow in growing a 12-byte vector.
    Bytes out(12 + pixels.size());
    storeLE32(out.data(), x);
    storeLE32(out.data() + 4, y);
    storeLE32(out.data() + 8, length);
    std::copy(pixels.begin(), pixels.end(), out.begin() + 12);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes ints(std::initializer_list<int32_t> values) {
    Bytes out;
    for (int32_t v : values) {
        Bytes w(4);
        storeLE32(w.data(), v);
        out.insert(out.end(), w.begin(), w.end());
    }
    return out;
}

class PackedTest : public ::testing::Test {
  protected:
    // A 6 × 5 picture with the 4 × 3 example at column 1, row 1, and ink around it.
    void SetUp() override {
        Bytes pixels(30, 0);
        const uint8_t example[3][4] = {{0, 0, 0, 0}, {0, 5, 6, 0}, {0, 7, 0, 9}};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 4; ++c) pixels[(1 + r) * 6 + 1 + c] = example[r][c];
        }
        pixels[0] = 3;  // outside the rectangle
        pixels[29] = 4;
        h.setPicture(6, 5, pixels);
    }
    Bytes packed(int x, int y, int w, int height, bool cropped = false) {
        return h.call(cropped ? grabPackedCropped : grabPacked, cropped ? "PACKEDC" : "PACKED", "s",
                      {0, x, y, w, height});
    }
    GrabHarness h;
};

}  // namespace

TEST_F(PackedTest, TheFourByThreeExample) {
    Bytes item = packed(1, 1, 4, 3);
    Bytes expected = concat({ints({4, 3, 0}), ints({0, 24, 38}), record(1, 1, 2, {5, 6}),
                             record(1, 2, 1, {7}), record(3, 2, 1, {9}), record(0, 0x8000, -1)});
    EXPECT_EQ(item.size(), 76u);
    EXPECT_EQ(item, expected);
    EXPECT_EQ(h.ctx.lastPackedSize, 76);

    Bytes cropped = packed(1, 1, 4, 3, true);
    Bytes expectedCropped =
        concat({ints({3, 2, 0}), ints({20, 34}), record(0, 0, 2, {5, 6}), record(0, 1, 1, {7}),
                record(2, 1, 1, {9}), record(0, 0x8000, 0)});
    EXPECT_EQ(cropped.size(), 72u);
    EXPECT_EQ(cropped, expectedCropped);
    EXPECT_EQ(h.ctx.lastPackedSize, 72);

    // The four stored pixels are marked 48 in the preview; the rest keep their colour.
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 6; ++x) {
            uint8_t pic = h.pictureAt(x, y);
            bool stored = x >= 1 && x <= 4 && y >= 1 && y <= 3 && pic != 0;
            EXPECT_EQ(h.previewAt(x, y), stored ? 48 : pic) << x << "," << y;
        }
    }
}

TEST_F(PackedTest, AllZeroRectangle) {
    Bytes empty(30, 0);
    h.setPicture(6, 5, empty);
    EXPECT_EQ(packed(1, 1, 4, 3), concat({ints({4, 0, 0}), ints({0, 0, 0}), record(0, 0, 0)}));
    EXPECT_EQ(h.ctx.lastPackedSize, 36);
    EXPECT_EQ(packed(1, 1, 4, 3, true), concat({ints({4, 0, 0}), ints({0}), record(0, 0x8000, 0)}));
    EXPECT_EQ(h.ctx.lastPackedSize, 28);
}

TEST_F(PackedTest, ZeroWidthOrHeightMakesNothing) {
    packed(1, 1, 4, 3);
    auto preview = h.ctx.preview;
    for (auto [w, height] : {std::pair{0, 3}, std::pair{4, 0}, std::pair{0, -2}}) {
        for (bool cropped : {false, true}) {
            EXPECT_TRUE(packed(1, 1, w, height, cropped).empty());
            EXPECT_EQ(h.ctx.lastPackedSize, 76);
        }
    }
    EXPECT_EQ(h.ctx.preview, preview);
    EXPECT_FALSE(jobFailed());
}

TEST_F(PackedTest, RunsEndAtTheRectanglesRightEdge) {
    Bytes row(10, 7);
    h.setPicture(10, 1, row);
    Bytes item = packed(2, 0, 3, 1);
    EXPECT_EQ(item, concat({ints({3, 1, 0}), ints({16}), record(0, 0, 3, {7, 7, 7}),
                            record(0, 0x8000, -1)}));
    EXPECT_EQ(h.previewAt(5, 0), 7) << "beyond the rectangle nothing is marked";
}

TEST_F(PackedTest, EmptyRowInsideTheBox) {
    Bytes pixels{1, 0, 0, 0, 0, 0, 2, 0, 3};
    h.setPicture(3, 3, pixels);
    Bytes item = packed(0, 0, 3, 3);
    EXPECT_EQ(words(item, 12, 3), (std::vector<int32_t>{24, 0, 37}));
    DecodedSprite d = decodeSprite(item, 0, false);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.pixels, pixels);
    Bytes cropped = packed(0, 0, 3, 3, true);
    EXPECT_EQ(words(cropped, 0, 2), (std::vector<int32_t>{3, 3}));
    EXPECT_EQ(words(cropped, 12, 3), (std::vector<int32_t>{24, 0, 37}));
}

TEST_F(PackedTest, SinglePixelAndLastColumn) {
    Bytes pixels(25, 0);
    pixels[3 * 5 + 2] = 9;  // column 2, row 3
    h.setPicture(5, 5, pixels);
    EXPECT_EQ(packed(0, 0, 5, 5), concat({ints({5, 5, 0}), ints({0, 0, 0, 32, 0}),
                                          record(2, 3, 1, {9}), record(0, 0x8000, -1)}));
    EXPECT_EQ(packed(0, 0, 5, 5, true),
              concat({ints({1, 1, 0}), ints({16}), record(0, 0, 1, {9}), record(0, 0x8000, 0)}));

    Bytes column(25, 0);
    for (int r = 1; r < 4; ++r) column[r * 5 + 4] = static_cast<uint8_t>(10 + r);
    h.setPicture(5, 5, column);
    Bytes cropped = packed(0, 0, 5, 5, true);
    DecodedSprite d = decodeSprite(cropped, 0, true);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.width, 1);
    EXPECT_EQ(d.height, 3);
    EXPECT_EQ(d.pixels, (Bytes{11, 12, 13}));
    for (size_t at = 24; at < cropped.size() - 12; at += 13) EXPECT_EQ(loadLE32(&cropped[at]), 0);
}

TEST_F(PackedTest, PixelsOnlyInTheLowerHalfKeepTheRectanglesHeight) {
    Bytes pixels(16, 0);
    pixels[3 * 4 + 1] = 8;
    pixels[2 * 4 + 0] = 6;
    h.setPicture(4, 4, pixels);
    Bytes item = packed(0, 0, 4, 4);
    EXPECT_EQ(words(item, 0, 2), (std::vector<int32_t>{4, 4}));
    EXPECT_EQ(words(item, 12, 4), (std::vector<int32_t>{0, 0, 28, 41}));
}

TEST_F(PackedTest, RefusedRectangles) {
    struct Case {
        std::array<int32_t, 5> args;
        std::string message;
    } cases[] = {
        {{0, -1, 0, 2, 2}, "PACKED s: rectangle x -1 y 0 w 2 h 2 has a negative value\n"},
        {{0, 0, 0, 2, -2}, "PACKED s: rectangle x 0 y 0 w 2 h -2 has a negative value\n"},
        {{0, 0, 0, -2, 2}, "PACKED s: rectangle x 0 y 0 w -2 h 2 has a negative value\n"},
        {{0, 5, 4, 2, 1},
         "PACKED s: rectangle x 5 y 4 w 2 h 1 lies outside the 6 x 5 picture (positions and sizes "
         "are in units of 8 pixels)\n"},
        {{0, 0, 3, 1, 3},
         "PACKED s: rectangle x 0 y 3 w 1 h 3 lies outside the 6 x 5 picture (positions and sizes "
         "are in units of 8 pixels)\n"},
    };
    for (const auto& c : cases) {
        h.channels.clear();
        EXPECT_TRUE(h.call(grabPacked, "PACKED", "s", c.args).empty());
        EXPECT_EQ(h.channels.errorTexts(), c.message);
    }
    GrabHarness none;
    EXPECT_TRUE(none.call(grabPackedCropped, "PACKEDC", "c", {0, 0, 0, 1, 1}).empty());
    EXPECT_EQ(none.channels.errorTexts(), "PACKEDC c: no picture loaded\n");
}

TEST(PackedLimits, SpriteLargerThanTheItemBufferIsRefused) {
    GrabHarness h;
    Bytes checker(1280 * 960);
    for (size_t i = 0; i < checker.size(); ++i) checker[i] = ((i % 1280 + i / 1280) % 2) ? 5 : 0;
    h.setPicture(1280, 960, checker);
    auto preview = h.ctx.preview;
    EXPECT_TRUE(h.run("PACKED big 0 0 160 120").empty());
    // Header and row index, one 13-byte record per stored pixel, the terminator.
    const size_t size = 12 + 4 * 960 + 13 * (1280 * 960 / 2) + 12;
    EXPECT_EQ(h.channels.errorTexts(), "PACKED big: sprite of " + std::to_string(size) +
                                           " bytes does not fit the 1536000-byte item buffer\n");
    EXPECT_EQ(h.ctx.preview, preview) << "nothing is painted for a refused sprite";
    // The largest that fits: 1,536,000 bytes hold a sheet of about 118,000 stored pixels.
    EXPECT_FALSE(h.run("PACKED fits 0 0 160 12").empty());
}

// Every sprite decodes back into its rectangle, and its size and row index are right.
TEST(PackedProperty, RandomRectanglesDecodeBackIntoTheirPixels) {
    GrabHarness h;
    std::mt19937 engine(20261208);
    auto random = [&engine]() { return static_cast<int>(engine() & 0x7FFFFFFF); };
    for (int round = 0; round < 400; ++round) {
        const int W = 1 + random() % 40, H = 1 + random() % 30;
        const int density = random() % 100;
        Bytes pixels(static_cast<size_t>(W) * H);
        for (auto& p : pixels) {
            p = static_cast<uint8_t>(random() % 100 < density ? 1 + random() % 255 : 0);
        }
        h.setPicture(W, H, pixels);
        const int x = random() % W, y = random() % H;
        const int w = 1 + random() % (W - x), height = 1 + random() % (H - y);
        for (bool cropped : {false, true}) {
            Bytes item = h.call(cropped ? grabPackedCropped : grabPacked, "PACKED", "r",
                                {0, x, y, w, height});
            ASSERT_EQ(static_cast<int32_t>(item.size()), h.ctx.lastPackedSize);
            DecodedSprite d = decodeSprite(item, 0, cropped);
            ASSERT_EQ(d.error, "") << round;
            // The rectangle's pixels, and its bounding box.
            int left = w, right = -1, top = height, bottom = -1;
            for (int r = 0; r < height; ++r) {
                for (int c = 0; c < w; ++c) {
                    if (pixels[(y + r) * W + x + c] != 0) {
                        left = std::min(left, c), right = std::max(right, c);
                        top = std::min(top, r), bottom = std::max(bottom, r);
                    }
                }
            }
            if (right < 0) {
                EXPECT_EQ(d.height, 0);
                EXPECT_EQ(item.size(), cropped ? 28u : 24u + 4u * height);
                continue;
            }
            ASSERT_EQ(d.size, item.size());
            const int bx = cropped ? left : 0, by = cropped ? top : 0;
            ASSERT_EQ(d.width, cropped ? right - left + 1 : w);
            ASSERT_EQ(d.height, cropped ? bottom - top + 1 : height);
            for (int r = 0; r < d.height; ++r) {
                for (int c = 0; c < d.width; ++c) {
                    ASSERT_EQ(d.pixels[r * d.width + c], pixels[(y + by + r) * W + x + bx + c])
                        << "round " << round << " at " << c << "," << r;
                }
            }
        }
    }
}
