// Span-encoded sprites: only the non-zero pixels of a rectangle are stored, as horizontal runs,
// behind a row index that tells where each row's runs begin.
#pragma once

#include <cstdint>

#include "grab/grab_context.h"

namespace kiv {

inline constexpr int32_t kPackedHeaderBytes = 12;
inline constexpr int32_t kSpanHeaderBytes = 12;
inline constexpr int32_t kSpanEndRow = 0x8000;  // the terminator's y, beyond every row
inline constexpr uint8_t kGrabbedMark = 48;     // preview colour of grabbed pixels

// A rectangle of the picture (row stride: the picture's width). Picture bytes past the
// picture's end read as 0.
struct SpriteRect {
    const GrabContext& ctx;
    int32_t x, y, w, h;

    int64_t index(int32_t c, int32_t r) const {
        return (static_cast<int64_t>(y) + r) * ctx.width + x + c;
    }
    uint8_t at(int32_t c, int32_t r) const {
        const int64_t i = index(c, r);
        return i < static_cast<int64_t>(ctx.width) * ctx.height
                   ? ctx.picture[static_cast<size_t>(i)]
                   : 0;
    }
};

// True when the w pixels of row r of the rectangle are all 0.
bool rowIsEmpty(const SpriteRect& rect, int32_t r);
// True when the h pixels of column c of the rectangle are all 0.
bool columnIsEmpty(const SpriteRect& rect, int32_t c);

// Fills the row index of a sprite written up to its terminator.
void buildRowIndex(uint8_t* sprite, int32_t spriteBytes);

// Encodes the rectangle (x, y, w, h), w and h above 0, at the cursor: PACKED keeps the
// rectangle's size, PACKEDC (cropped) the bounding box of its pixels. Picture bytes beyond the
// picture's end read as 0 (see SpriteRect). Advances the cursor, sets lastPackedSize, paints the
// stored pixels in the preview and refreshes it. False, with nothing written, when the sprite would
// not fit the item buffer; its size is then in bytesNeeded.
bool encodePackedSprite(GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h, bool cropped,
                        int64_t* bytesNeeded = nullptr);

}  // namespace kiv
