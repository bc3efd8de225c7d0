#include "grab/packed_sprite.h"

#include <algorithm>

#include "grab/commands.h"

namespace kiv {

PixelWindow pictureWindow(const GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
    const int64_t pictureBytes = static_cast<int64_t>(ctx.width) * ctx.height;
    return PixelWindow{ctx.picture.data(),
                       std::min<int64_t>(pictureBytes, static_cast<int64_t>(ctx.picture.size())),
                       ctx.width,
                       x,
                       y,
                       w,
                       h};
}

bool encodePackedSprite(GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h, bool cropped,
                        int64_t* bytesNeeded) {
    const PixelWindow src = pictureWindow(ctx, x, y, w, h);
    // Size first, so that nothing is written for a sprite that does not fit.
    const int64_t size = packedSpriteSize(src, cropped);
    if (bytesNeeded != nullptr) *bytesNeeded = size;
    if (ctx.cursor + static_cast<uint64_t>(size) > ctx.itemBuffer.size()) return false;
    writePackedSprite(src, cropped, ctx.itemBuffer.data() + ctx.cursor);
    ctx.cursor += static_cast<size_t>(size);
    ctx.lastPackedSize = static_cast<int32_t>(size);
    // Every stored pixel (each non-zero one of the rectangle) shows in the grabbed colour.
    int64_t first = -1, last = -1;
    int32_t left = w, right = -1, top = -1, bottom = -1;
    for (int32_t r = 0; r < h; ++r) {
        for (int32_t c = 0; c < w; ++c) {
            if (src.at(c, r) == 0) continue;
            const int64_t p = src.index(c, r);
            ctx.preview[static_cast<size_t>(p)] = kGrabbedMark;
            first = first < 0 ? p : std::min(first, p);
            last = std::max(last, p);
            left = std::min(left, c);
            right = std::max(right, c);
            if (top < 0) top = r;
            bottom = r;
        }
    }
    // The box of the pixels marked; a sprite past the right edge goes on in the next rows.
    if (first >= 0 && x >= 0 && int64_t{x} + w <= ctx.width) {
        markPreviewRectangle(ctx, int64_t{x} + left, int64_t{y} + top, right - left + 1,
                             bottom - top + 1);
    } else if (first >= 0) {
        markPreviewBytes(ctx, first, last + 1);
    }
    refreshPreview(ctx);
    return true;
}

namespace {

void packedCommand(GrabContext& ctx, bool cropped) {
    const int32_t x = ctx.numArgs[1], y = ctx.numArgs[2], w = ctx.numArgs[3], h = ctx.numArgs[4];
    if (w == 0 || h == 0) return;  // nothing: no item, lastPackedSize and preview unchanged
    if (!requirePicture(ctx)) return;
    if (h < 0) {
        refuseCommand(ctx, "rectangle x %d y %d w %d h %d has a negative value", x, y, w, h);
        return;
    }
    if (!rectangleInPicture(ctx, x, y, w, h)) return;
    int64_t needed = 0;
    if (!encodePackedSprite(ctx, x, y, w, h, cropped, &needed)) {
        refuseCommand(ctx, "sprite of %lld bytes does not fit the %zu-byte item buffer",
                      static_cast<long long>(needed), ctx.itemBuffer.size());
    }
}

}  // namespace

// PACKED name x y w h   (units of 8 pixels)
// The rectangle as a sprite of its own size.
void grabPacked(GrabContext& ctx) {
    packedCommand(ctx, false);
}

// PACKEDC name x y w h   (units of 8 pixels)
// The rectangle cropped to the bounding box of its pixels.
void grabPackedCropped(GrabContext& ctx) {
    packedCommand(ctx, true);
}

}  // namespace kiv
