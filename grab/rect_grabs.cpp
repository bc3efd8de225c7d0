// RAW and TEXTURE: a rectangle of the picture as bare rows, or behind a 12-byte header.
#include <cstring>

#include "archive/archive_format.h"
#include "grab/commands.h"

namespace kiv {
namespace {

inline constexpr size_t kTextureHeaderBytes = 12;

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

// RAW: the rectangle's rows; the preview shows the picture's own pixels there again.
void grabRaw(GrabContext& ctx) {
    const Rectangle rect = rectangleArgs(ctx);
    if (!requirePicture(ctx) || !rectangleInPicture(ctx, rect.x, rect.y, rect.w, rect.h) ||
        !fitsItemBuffer(ctx, rowBytes(rect))) {
        return;
    }
    copyRows(ctx, rect, PreviewEffect::Restore);
    refreshPreview(ctx);
}

// TEXTURE: {w, h, 1}, then the rectangle's rows; the preview is cleared to 0 there.
void grabTexture(GrabContext& ctx) {
    const Rectangle rect = rectangleArgs(ctx);
    if (!requirePicture(ctx) || !rectangleInPicture(ctx, rect.x, rect.y, rect.w, rect.h) ||
        !fitsItemBuffer(ctx, kTextureHeaderBytes + rowBytes(rect))) {
        return;
    }
    uint8_t* header = ctx.itemBuffer.data() + ctx.cursor;
    storeLE32(header, rect.w);
    storeLE32(header + 4, rect.h);
    storeLE32(header + 8, 1);
    ctx.cursor += kTextureHeaderBytes;
    copyRows(ctx, rect, PreviewEffect::Clear);
    refreshPreview(ctx);
}

}  // namespace kiv
