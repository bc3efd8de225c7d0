#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/console.h"
#include "grab/commands.h"

namespace kiv {

namespace {

// Adds an area, already inside the picture, to what changed.
void markArea(GrabContext& ctx, const PreviewArea& area) {
    if (area.empty()) return;
    PreviewArea& dirty = ctx.dirty;
    if (dirty.empty()) {
        dirty = area;
        return;
    }
    dirty.firstRow = std::min(dirty.firstRow, area.firstRow);
    dirty.endRow = std::max(dirty.endRow, area.endRow);
    dirty.firstColumn = std::min(dirty.firstColumn, area.firstColumn);
    dirty.endColumn = std::max(dirty.endColumn, area.endColumn);
}

int32_t within(int64_t value, int32_t limit) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, limit));
}

}  // namespace

void markPreviewBytes(GrabContext& ctx, int64_t firstByte, int64_t endByte) {
    if (ctx.width <= 0 || endByte <= firstByte || firstByte < 0) return;
    const int64_t first = firstByte / ctx.width;
    const int64_t end = (endByte + ctx.width - 1) / ctx.width;
    PreviewArea area{within(first, ctx.height), within(end, ctx.height), 0, ctx.width};
    if (end - first == 1) {
        area.firstColumn = static_cast<int32_t>(firstByte % ctx.width);
        area.endColumn = static_cast<int32_t>((endByte - 1) % ctx.width + 1);
    }
    markArea(ctx, area);
}

void markPreviewRectangle(GrabContext& ctx, int64_t x, int64_t y, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0 || ctx.width <= 0) return;
    if (x < 0 || x + width > ctx.width) {
        markPreviewBytes(ctx, y * ctx.width + x, (y + height - 1) * ctx.width + x + width);
        return;
    }
    markArea(ctx, {within(y, ctx.height), within(y + height, ctx.height), within(x, ctx.width),
                   within(x + width, ctx.width)});
}

void refreshPreview(GrabContext& ctx) {
    const PreviewArea changed = ctx.dirty;
    ctx.dirty = PreviewArea{};
    if (ctx.preview.empty() || ctx.previewSink == nullptr) return;
    ctx.previewSink->previewChanged(ctx.preview.data(), ctx.width, ctx.height, changed);
}

const char* itemLabel(const GrabContext& ctx) {
    return ctx.textArgs[0] != nullptr ? ctx.textArgs[0] : "(no name)";
}

void refuseCommand(const GrabContext& ctx, const char* format, ...) {
    char reason[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    diagnose(Severity::Error, "%s %s: %s", ctx.command, itemLabel(ctx), reason);
}

bool paletteIsBlank(const GrabContext& ctx) {
    return std::all_of(ctx.palette.begin(), ctx.palette.end(), [](uint8_t v) { return v == 0; });
}

void warnWithoutPicture(const GrabContext& ctx) {
    if (ctx.pictureLoaded) return;
    warn(Warning::NoPicture, "%s %s comes before any picture of the script: it uses %s",
         ctx.command, itemLabel(ctx),
         paletteIsBlank(ctx) ? "an all-zero palette" : "the palette of an earlier job");
}

bool requirePicture(const GrabContext& ctx) {
    if (ctx.pictureLoaded) return true;
    if (ctx.skippingToPicture) return false;
    refuseCommand(ctx, "no picture loaded");
    return false;
}

bool rectangleInPicture(const GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (x < 0 || y < 0 || w < 0) {
        refuseCommand(ctx, "rectangle x %d y %d w %d h %d has a negative value", x, y, w, h);
        return false;
    }
    if (w == 0 || h <= 0) return true;  // touches no byte
    const int64_t pictureBytes = static_cast<int64_t>(ctx.width) * ctx.height;
    const int64_t first = static_cast<int64_t>(y) * ctx.width + x;
    const int64_t end = (static_cast<int64_t>(y) + h - 1) * ctx.width + x + w;
    if (first >= pictureBytes || end > pictureBytes) {
        refuseCommand(ctx,
                      "rectangle x %d y %d w %d h %d lies outside the %d x %d picture "
                      "(positions and sizes are in units of 8 pixels)",
                      x, y, w, h, ctx.width, ctx.height);
        return false;
    }
    if (static_cast<int64_t>(x) + w > ctx.width) {
        warn(Warning::RowWrap,
             "%s %s: rectangle x %d y %d w %d h %d runs past the right edge of the %d-pixel "
             "wide picture and goes on with the next row",
             ctx.command, itemLabel(ctx), x, y, w, h, ctx.width);
    }
    return true;
}

bool fitsItemBuffer(const GrabContext& ctx, uint64_t bytes) {
    if (ctx.cursor + bytes <= ctx.itemBuffer.size()) return true;
    refuseCommand(ctx, "output of %llu bytes does not fit the %zu-byte item buffer",
                  static_cast<unsigned long long>(ctx.cursor + bytes), ctx.itemBuffer.size());
    return false;
}

}  // namespace kiv
