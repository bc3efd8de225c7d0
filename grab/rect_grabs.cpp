// RAW and TEXTURE: a rectangle of the picture as bare rows, or behind a 12-byte header.
#include <cstring>

#include "grab/commands.h"
#include "grab/item_formats.h"

namespace kiv {
namespace {

struct Rectangle {
    int32_t x, y, w, h;
};

Rectangle rectangleArgs(const GrabContext& ctx) {
    return {ctx.numArgs[1], ctx.numArgs[2], ctx.numArgs[3], ctx.numArgs[4]};
}

size_t rowStart(const GrabContext& ctx, const Rectangle& rect, int32_t r) {
    return static_cast<size_t>(rect.y + r) * static_cast<size_t>(ctx.width) +
           static_cast<size_t>(rect.x);
}

enum class PreviewEffect { Restore, Clear };

// The rectangle's rows from the picture, top row first, written at the cursor; the preview
// inside it gets the picture's pixels back, or index 0.
void copyRows(GrabContext& ctx, const Rectangle& rect, PreviewEffect effect) {
    // A rectangle without columns touches no byte, however many rows it names.
    if (rect.w <= 0 || rect.h <= 0) return;
    markPreviewRectangle(ctx, rect.x, rect.y, rect.w, rect.h);
    for (int32_t r = 0; r < rect.h; ++r) {
        const size_t at = rowStart(ctx, rect, r);
        const size_t w = static_cast<size_t>(rect.w);
        if (effect == PreviewEffect::Restore) {
            std::memcpy(ctx.preview.data() + at, ctx.picture.data() + at, w);
        } else {
            std::memset(ctx.preview.data() + at, 0, w);
        }
        std::memcpy(ctx.itemBuffer.data() + ctx.cursor, ctx.picture.data() + at, w);
        ctx.cursor += w;
    }
}

uint64_t rowBytes(const Rectangle& rect) {
    return rect.h > 0 ? static_cast<uint64_t>(rect.w) * static_cast<uint64_t>(rect.h) : 0;
}

}  // namespace

// RAW name x y w h   (units of 8 pixels)
// The rectangle's rows; the preview shows the picture's own pixels there again.
void grabRaw(GrabContext& ctx) {
    const Rectangle rect = rectangleArgs(ctx);
    if (!requirePicture(ctx) || !rectangleInPicture(ctx, rect.x, rect.y, rect.w, rect.h) ||
        !fitsItemBuffer(ctx, rowBytes(rect))) {
        return;
    }
    copyRows(ctx, rect, PreviewEffect::Restore);
    refreshPreview(ctx);
}

// TEXTURE name x y w h   (units of 8 pixels)
// {w, h, 1}, then the rectangle's rows; the preview is cleared to 0 there.
void grabTexture(GrabContext& ctx) {
    const Rectangle rect = rectangleArgs(ctx);
    if (!requirePicture(ctx) || !rectangleInPicture(ctx, rect.x, rect.y, rect.w, rect.h) ||
        !fitsItemBuffer(ctx, TextureHeader::kBytes + rowBytes(rect))) {
        return;
    }
    TextureHeader{rect.w, rect.h, TextureHeader::kKind}.store(ctx.itemBuffer.data() + ctx.cursor);
    ctx.cursor += TextureHeader::kBytes;
    copyRows(ctx, rect, PreviewEffect::Clear);
    refreshPreview(ctx);
}

}  // namespace kiv
