// PACKED and PACKEDC: span-encoded sprites cut out of the picture (the format is in
// item_formats.h).
#pragma once

#include <cstdint>

#include "grab/grab_context.h"
#include "grab/item_formats.h"

namespace kiv {

inline constexpr uint8_t kGrabbedMark = 48;  // preview colour of grabbed pixels

// The rectangle (x, y, w, h) of the context's picture; bytes past the picture's end read 0.
PixelWindow pictureWindow(const GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h);

// Encodes the rectangle, w and h above 0, at the cursor: PACKED keeps the rectangle's size,
// PACKEDC (cropped) the bounding box of its pixels. Advances the cursor, sets lastPackedSize,
// paints the stored pixels in the preview and refreshes it. False, with nothing written, when
// the sprite would not fit the item buffer; its size is then in bytesNeeded.
bool encodePackedSprite(GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h, bool cropped,
                        int64_t* bytesNeeded = nullptr);

}  // namespace kiv
