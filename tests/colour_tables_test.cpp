#include "grab/colour_tables.h"

#include <gtest/gtest.h>

#include <random>

#include "common/console.h"
#include "grab/commands.h"
#include "support/grab_harness.h"

using namespace kiv;
using namespace kivtest;

namespace {

// Ramps of 16 entries: every component of entry k is 63 − 4 × (k mod 16).
std::array<uint8_t, 768> greyRamps() {
    std::array<uint8_t, 768> pal{};
    for (int k = 0; k < 256; ++k) {
        for (int c = 0; c < 3; ++c) pal[3 * k + c] = static_cast<uint8_t>(63 - 4 * (k % 16));
    }
    return pal;
}

// Entry 10 + v holds (v, v, v), so the nearest index of a grey mix m is 10 + m.
std::array<uint8_t, 768> greyScale() {
    std::array<uint8_t, 768> pal{};
    for (int v = 0; v < 64; ++v) {
        for (int c = 0; c < 3; ++c) pal[3 * (10 + v) + c] = static_cast<uint8_t>(v);
    }
    for (int c = 0; c < 3; ++c) {
        pal[3 * 1 + c] = 63;  // white, at an index the search never returns
        pal[3 * 2 + c] = 0;
    }
    return pal;
}

std::vector<int> column(const Bytes& table, int i) {
    std::vector<int> out;
    for (int s = 0; s < 32; ++s) out.push_back(table[s * 256 + i]);
    return out;
}

std::vector<int> repeated(std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int> out;
    for (auto [value, count] : runs) out.insert(out.end(), count, value);
    return out;
}

}  // namespace

TEST(Colormap, GreyRampColumns) {
    GrabHarness h;
    h.ctx.palette = greyRamps();
    Bytes table = h.run("COLORMAP shades");
    ASSERT_EQ(table.size(), 8192u);
    std::vector<int> halfSteps;
    for (int s = 0; s < 32; ++s) halfSteps.push_back(16 + s / 2);
    EXPECT_EQ(column(table, 16), halfSteps);
    EXPECT_EQ(column(table, 15), repeated({{15, 18}, {31, 14}}));
    EXPECT_EQ(column(table, 31), repeated({{31, 32}}));
    EXPECT_EQ(column(table, 30), repeated({{30, 12}, {31, 20}}));
    for (int i = 240; i < 256; ++i) EXPECT_EQ(column(table, i), repeated({{i, 32}})) << i;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(table[i], i) << "row 0 is the identity";
}

TEST(Colormap, AllZeroPaletteGivesTheIdentity) {
    GrabHarness h;
    Bytes table = h.run("COLORMAP shades");
    for (int s = 0; s < 32; ++s) {
        for (int i = 0; i < 256; ++i) ASSERT_EQ(table[s * 256 + i], i);
    }
}

TEST(Colormap, RampBoundsNotFoundKeepTheirEarlierValues) {
    // Entry 0 dark and nothing bright after it in its window: no end is found for index 0,
    // so the "no ramp" start keeps its column the identity.
    std::array<uint8_t, 768> pal{};
    for (int k = 40; k < 256; ++k) pal[3 * k] = pal[3 * k + 1] = pal[3 * k + 2] = 63;
    int32_t start = 256, end = -1;
    EXPECT_FALSE(findShadeRamp(pal.data(), 0, start, end));
    EXPECT_EQ(end, -1);
    EXPECT_EQ(start, 256);
    // A brightness of 10 is neither dark nor bright in the upward search.
    pal.fill(10);
    EXPECT_FALSE(findShadeRamp(pal.data(), 5, start, end));
}

TEST(Colormap, PreviewRowsAreDoubledAndClipped) {
    GrabHarness h;
    h.ctx.palette = greyRamps();
    Bytes pixels(100 * 50, 7);
    h.setPicture(100, 50, pixels);
    Bytes table = h.run("COLORMAP shades");
    for (int y = 0; y < 50; ++y) {
        for (int x = 0; x < 100; ++x) ASSERT_EQ(h.previewAt(x, y), table[(y / 2) * 256 + x]);
    }
    EXPECT_EQ(h.ctx.preview[100 * 50], 0) << "nothing below the picture";
    EXPECT_EQ(h.display.draws, 0) << "COLORMAP does not refresh the preview";
}

TEST(Transparent, WeightsOfFourLevels) {
    GrabHarness h;
    h.ctx.palette = greyScale();
    Bytes tables = h.run("TRANSPARENT glass 4");
    ASSERT_EQ(tables.size(), 262144u);
    // White (index 1) with weight d over black (index 2): trunc(63 d) for d = 0.025, 0.275,
    // 0.525, 0.775.
    const int expected[4] = {1, 17, 33, 48};
    const int complement[4] = {61, 45, 29, 14};  // trunc(63 (1 − d))
    for (int level = 0; level < 4; ++level) {
        EXPECT_EQ(tables[level * 65536 + 1 * 256 + 2], 10 + expected[level]) << level;
        // Black over white: the weight 1 − d on white.
        EXPECT_EQ(tables[level * 65536 + 2 * 256 + 1], 10 + complement[level]) << level;
    }
    EXPECT_EQ(h.display.draws, 0) << "no display bitmap yet";
}

TEST(Transparent, WhiteOverBlackAtOneLevelGivesSix) {
    auto pal = greyScale();
    EXPECT_EQ(blendToIndex(pal.data(), 0, 1, 2, 1), 16);
    BlendSearch fast(pal.data());
    Bytes level(65536);
    fast.blendLevel(0, 1, level.data());
    EXPECT_EQ(level[1 * 256 + 2], 16);
}

TEST(Transparent, TiesGoToTheHigherIndex) {
    std::array<uint8_t, 768> pal{};
    pal.fill(63);
    // Entries 20 and 200 both hold the mix exactly.
    for (int c = 0; c < 3; ++c) pal[3 * 20 + c] = pal[3 * 200 + c] = 30;
    EXPECT_EQ(nearestColour(pal.data(), 30, 30, 30), 200);
    EXPECT_EQ(BlendSearch(pal.data()).nearest(30, 30, 30), 200);
    // Both one step away, on different components.
    pal[3 * 20] = 29;
    pal[3 * 200 + 2] = 31;
    EXPECT_EQ(nearestColour(pal.data(), 30, 30, 30), 200);
    EXPECT_EQ(BlendSearch(pal.data()).nearest(30, 30, 30), 200);
    // The lower index nearer: it wins.
    pal[3 * 200 + 1] = 31;
    EXPECT_EQ(nearestColour(pal.data(), 30, 30, 30), 20);
    BlendSearch fast(pal.data());
    EXPECT_EQ(fast.nearest(30, 30, 30), 20);
    EXPECT_EQ(fast.nearest(31, 31, 31), 200);
}

TEST(Transparent, AllZeroPaletteMapsEveryPairTo245) {
    GrabHarness h;
    Bytes tables = h.run("TRANSPARENT glass 2");
    ASSERT_EQ(tables.size(), 131072u);
    for (uint8_t v : tables) ASSERT_EQ(v, 245);
}

TEST(Transparent, LevelCounts) {
    GrabHarness h;
    EXPECT_TRUE(h.run("TRANSPARENT glass").empty());
    EXPECT_TRUE(h.run("TRANSPARENT glass 0").empty());
    EXPECT_TRUE(h.run("TRANSPARENT glass -3").empty());
    EXPECT_TRUE(h.run("TRANSPARENT glass many").empty());
    EXPECT_EQ(h.channels.text(), "");
    EXPECT_TRUE(h.run("TRANSPARENT glass 24").empty());
    EXPECT_EQ(h.channels.errorTexts(),
              "TRANSPARENT glass: 24 levels do not fit the 1536000-byte item buffer: at most 23\n");
    EXPECT_TRUE(jobFailed());
    EXPECT_EQ(h.run("TRANSPARENT glass 23").size(), 23u * 65536u);
}

TEST(Transparent, PreviewShowsEachLevelClipped) {
    GrabHarness h;
    h.ctx.palette = greyScale();
    Bytes pixels(300 * 100, 3);
    h.setPicture(300, 100, pixels);
    Bytes tables = h.run("TRANSPARENT glass 3");
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 300; ++x) {
            ASSERT_EQ(h.previewAt(x, y), x < 256 ? tables[2 * 65536 + y * 256 + x] : 3);
        }
    }
    EXPECT_EQ(h.ctx.preview[300 * 100], 0);
}

// The fast search gives the straightforward search's answer for every mix and pair.
TEST(Transparent, FastSearchMatchesTheStraightforwardOne) {
    std::mt19937 engine(8122026);
    auto random = [&engine](int n) {
        return static_cast<int>(engine() % static_cast<unsigned>(n));
    };
    for (int round = 0; round < 12; ++round) {
        std::array<uint8_t, 768> pal{};
        for (auto& c : pal) {
            // Coarse levels make many exact ties; round 11 has components past 63.
            c = static_cast<uint8_t>(round % 3 == 0 ? 21 * random(4)
                                     : round == 11  ? random(256)
                                                    : random(64));
        }
        BlendSearch fast(pal.data());
        if (round < 3) {
            for (int r = 0; r < 64; ++r) {
                for (int g = 0; g < 64; ++g) {
                    for (int b = 0; b < 64; ++b) {
                        ASSERT_EQ(fast.nearest(r, g, b), nearestColour(pal.data(), r, g, b))
                            << round << ": " << r << " " << g << " " << b;
                    }
                }
            }
        }
        for (int levels = 1 + round % 2; levels <= 23; levels += 2) {
            const int level = random(levels);
            Bytes table(65536);
            fast.blendLevel(level, levels, table.data());
            for (int n = 0; n < 300; ++n) {
                const int a = random(256), b = random(256);
                ASSERT_EQ(table[a * 256 + b], blendToIndex(pal.data(), level, a, b, levels))
                    << "round " << round << " levels " << levels << " level " << level;
            }
        }
    }
}
