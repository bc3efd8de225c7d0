#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/console.h"
#include "grab/commands.h"

namespace kiv {

void markPreviewBytes(GrabContext& ctx, int64_t firstByte, int64_t endByte) {
    if (ctx.width <= 0 || endByte <= firstByte) return;
    const int64_t first = firstByte / ctx.width;
    const int64_t end = std::min<int64_t>((endByte + ctx.width - 1) / ctx.width, ctx.height);
    if (end <= first) return;
    if (ctx.dirtyEndRow <= ctx.dirtyFirstRow) {
        ctx.dirtyFirstRow = static_cast<int32_t>(first);
        ctx.dirtyEndRow = static_cast<int32_t>(end);
    } else {
        ctx.dirtyFirstRow = std::min(ctx.dirtyFirstRow, static_cast<int32_t>(first));
        ctx.dirtyEndRow = std::max(ctx.dirtyEndRow, static_cast<int32_t>(end));
    }
}

void refreshPreview(GrabContext& ctx) {
    const int32_t first = ctx.dirtyFirstRow, end = ctx.dirtyEndRow;
    ctx.dirtyFirstRow = ctx.dirtyEndRow = 0;
    if (ctx.preview.empty() || ctx.previewSink == nullptr) return;
    ctx.previewSink->previewChanged(ctx.preview.data(), ctx.width, ctx.height, first,
                                    std::max(first, end));
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

void warnWithoutPicture(const GrabContext& ctx) {
    if (ctx.pictureLoaded) return;
    const bool zero =
        std::all_of(ctx.palette.begin(), ctx.palette.end(), [](uint8_t v) { return v == 0; });
    warn(Warning::NoPicture, "%s %s comes before any picture of the script: it uses %s",
             ctx.command, itemLabel(ctx),
             zero ? "an all-zero palette" : "the palette of an earlier job");
}

bool requirePicture(const GrabContext& ctx) {
    if (ctx.pictureLoaded) return true;
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
        refuseCommand(ctx, "rectangle x %d y %d w %d h %d lies outside the %d x %d picture", x, y,
                      w, h, ctx.width, ctx.height);
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
