#include "app/display.h"

#include <gtest/gtest.h>

#include "archive/archive_format.h"
#include "support/grab_harness.h"

using namespace kiv;
using namespace kivtest;

namespace {
std::array<uint8_t, 768> paletteWithRedAtOne() {
    std::array<uint8_t, 768> pal{};
    pal[3] = 255;  // colour 1: (255, 0, 0)
    pal[6 + 1] = 128;
    pal[6 + 2] = 7;  // colour 2: (0, 128, 7)
    return pal;
}
}  // namespace

TEST(DisplayBitmap, InfoBlockAndColourEntries) {
    DisplayBitmap d;
    auto pal = paletteWithRedAtOne();
    uint8_t* store = createDisplayBitmap(d, nullptr, pal.data(), 321, 7);
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(d.info.has_value());
    const uint8_t* info = d.info->data();
    // The fields of the 40-byte information block: offset, size and value.
    const struct Field {
        const char* name;
        int at, bytes;
        uint32_t value;
    } fields[] = {
        {"size", 0, 4, 40},
        {"width", 4, 4, 321},
        {"height (bottom-up)", 8, 4, 7},
        {"planes", 12, 2, 1},
        {"bits", 14, 2, 8},
        {"compression", 16, 4, 0},
        {"image bytes", 20, 4, 321 * 7},
        {"colours used", 32, 4, 256},
        {"colours important", 36, 4, 256},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.bytes == 4 ? loadLE32(info + f.at) : uint32_t(info[f.at] | info[f.at + 1] << 8),
                  f.value);
    }
    // Entry 1 from (255, 0, 0): blue, green, red, 0.
    EXPECT_EQ(std::vector<uint8_t>(info + 44, info + 48), (std::vector<uint8_t>{0, 0, 255, 0}));
    EXPECT_EQ(std::vector<uint8_t>(info + 48, info + 52), (std::vector<uint8_t>{7, 128, 0, 0}));
    ASSERT_TRUE(d.logicalPalette.has_value());
    EXPECT_EQ((*d.logicalPalette)[1], 0xFFFF0000u);
    EXPECT_EQ(d.pitch(), 324);
    EXPECT_GE(d.pixelStore.size(), 321u * 7u);
    EXPECT_TRUE(d.valid);
}

TEST(DisplayBitmap, PreviewIsCopiedBottomUpAtTheRowPitch) {
    DisplayBitmap d;
    RecordingDisplay out;
    auto pal = paletteWithRedAtOne();
    ASSERT_NE(createDisplayBitmap(d, &out, pal.data(), 5, 3), nullptr);
    const uint8_t preview[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    refreshPreview(d, &out, preview, 5, 3, {0, 3, 0, 5});
    ASSERT_EQ(d.pitch(), 8);
    // The last preview row lands first in memory.
    EXPECT_EQ(Bytes(d.pixelStore.begin(), d.pixelStore.begin() + 5), (Bytes{11, 12, 13, 14, 15}));
    EXPECT_EQ(Bytes(d.pixelStore.begin() + 8, d.pixelStore.begin() + 13), (Bytes{6, 7, 8, 9, 10}));
    EXPECT_EQ(Bytes(d.pixelStore.begin() + 16, d.pixelStore.begin() + 21), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(out.draws, 1);
}

TEST(DisplayBitmap, NothingIsDrawnWithoutABitmap) {
    DisplayBitmap d;
    RecordingDisplay out;
    const uint8_t preview[4] = {1, 2, 3, 4};
    refreshPreview(d, &out, preview, 2, 2, {0, 2, 0, 2});
    drawDisplay(d, &out);
    EXPECT_EQ(out.draws, 0);

    auto pal = paletteWithRedAtOne();
    ASSERT_NE(createDisplayBitmap(d, &out, pal.data(), 2, 2), nullptr);
    releaseDisplayBitmap(d);
    EXPECT_FALSE(d.valid);
    EXPECT_TRUE(d.pixelStore.empty());
    EXPECT_TRUE(d.info.has_value()) << "the info block stays until the next bitmap";
    refreshPreview(d, &out, preview, 2, 2, {0, 2, 0, 2});
    drawDisplay(d, &out);
    EXPECT_EQ(out.draws, 0);
}

TEST(DisplayBitmap, PlatformThatCannotMakeTheSurfaceGivesNone) {
    DisplayBitmap d;
    RecordingDisplay out;
    out.accept = false;
    auto pal = paletteWithRedAtOne();
    EXPECT_EQ(createDisplayBitmap(d, &out, pal.data(), 4, 4), nullptr);
    EXPECT_FALSE(d.valid);
    EXPECT_TRUE(d.pixelStore.empty());
}
