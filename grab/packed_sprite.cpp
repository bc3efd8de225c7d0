#include "grab/packed_sprite.h"

#include <algorithm>
#include <cstring>

#include "archive/archive_format.h"
#include "grab/commands.h"

namespace kiv {

bool rowIsEmpty(const SpriteRect& rect, int32_t r) {
    for (int32_t c = 0; c < rect.w; ++c) {
        if (rect.at(c, r) != 0) return false;
    }
    return true;
}

bool columnIsEmpty(const SpriteRect& rect, int32_t c) {
    for (int32_t r = 0; r < rect.h; ++r) {
        if (rect.at(c, r) != 0) return false;
    }
    return true;
}

void buildRowIndex(uint8_t* sprite, int32_t spriteBytes) {
    const int32_t n = loadLE32(sprite + 4);
    for (int32_t r = 0; r < n; ++r) storeLE32(sprite + kPackedHeaderBytes + 4 * r, 0);
    int32_t at = kPackedHeaderBytes + 4 * std::max(n, 0);
    if (n < 1 || loadLE32(sprite + at + 8) == -1) {
        storeLE32(sprite + 4, 0);
        storeLE32(sprite + at + 8, 0);
        return;
    }
    int32_t i = 0;
    int32_t previousRow = -1;
    while (at + kSpanHeaderBytes <= spriteBytes) {
        const int32_t row = loadLE32(sprite + at + 4);
        const int32_t length = loadLE32(sprite + at + 8);
        if (length == -1) break;
        if (row != previousRow) {
            i = std::max(i, row);
            if (i >= n) break;
            storeLE32(sprite + kPackedHeaderBytes + 4 * i, at);
            ++i;
            previousRow = row;
            if (i >= n) break;
        }
        at += kSpanHeaderBytes + length;
    }
}

namespace {

// Calls run(c, r, l) for every maximal run of non-zero pixels in rows top … bottom, scanning
// each row from column left to the rectangle's right edge.
template <typename Run>
void forEachRun(const SpriteRect& src, int32_t left, int32_t top, int32_t bottom, Run run) {
    for (int32_t r = top; r <= bottom; ++r) {
        for (int32_t c = left; c < src.w;) {
            if (src.at(c, r) == 0) {
                ++c;
                continue;
            }
            int32_t l = 0;
            while (c + l < src.w && src.at(c + l, r) != 0) ++l;
            run(c, r, l);
            c += l;
        }
    }
}

}  // namespace

bool encodePackedSprite(GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h, bool cropped,
                        int64_t* bytesNeeded) {
    const SpriteRect src{ctx, x, y, w, h};
    // Bounding box: four searches, each stopping at its first hit. Without any pixel, left and
    // right stay the rectangle's picture columns.
    auto first = [](int32_t from, int32_t to, int32_t start, auto hasInk) {
        const int32_t step = from <= to ? 1 : -1;
        for (int32_t i = from; i != to + step; i += step) {
            if (hasInk(i)) return i;
        }
        return start;
    };
    auto column = [&](int32_t c) { return !columnIsEmpty(src, c); };
    auto row = [&](int32_t r) { return !rowIsEmpty(src, r); };
    const int32_t none = cropped ? 0 : -1;
    const int32_t left = first(0, w - 1, x, column);
    const int32_t right = first(w - 1, 0, x + w - 1, column);
    const int32_t top = first(0, h - 1, none, row);
    const int32_t bottom = first(h - 1, 0, none, row);
    const int32_t width = cropped ? right - left + 1 : w;
    const int32_t height = cropped ? bottom - top + 1 : h;
    const bool noPixel = !cropped && top == -1;

    // Size first, so that nothing is written for a sprite that does not fit.
    const int64_t recordsStart = kPackedHeaderBytes + 4 * static_cast<int64_t>(height);
    int64_t size = recordsStart + kSpanHeaderBytes;
    if (!noPixel) {
        forEachRun(src, left, top, bottom,
                   [&](int32_t, int32_t, int32_t l) { size += kSpanHeaderBytes + l; });
    }
    if (bytesNeeded != nullptr) *bytesNeeded = size;
    if (ctx.cursor + static_cast<uint64_t>(size) > ctx.itemBuffer.size()) return false;

    uint8_t* sprite = ctx.itemBuffer.data() + ctx.cursor;
    std::memset(sprite, 0, static_cast<size_t>(recordsStart));
    storeLE32(sprite, width);
    storeLE32(sprite + 4, height);
    storeLE32(sprite + 8, 0);
    auto putRecord = [&](int64_t at, int32_t rx, int32_t ry, int32_t length) {
        storeLE32(sprite + at, rx);
        storeLE32(sprite + at + 4, ry);
        storeLE32(sprite + at + 8, length);
    };
    putRecord(recordsStart, 0, 0, -1);  // placeholder terminator
    int64_t at = recordsStart;
    if (!noPixel) {
        forEachRun(src, left, top, bottom, [&](int32_t c, int32_t r, int32_t l) {
            putRecord(at, cropped ? c - left : c, cropped ? r - top : r, l);
            for (int32_t i = 0; i < l; ++i) {
                const size_t p = static_cast<size_t>(src.index(c + i, r));
                sprite[at + kSpanHeaderBytes + i] = ctx.picture[p];
                ctx.preview[p] = kGrabbedMark;
            }
            at += kSpanHeaderBytes + l;
        });
        putRecord(at, 0, kSpanEndRow, -1);
    }
    ctx.cursor += static_cast<size_t>(size);
    ctx.lastPackedSize = static_cast<int32_t>(size);
    buildRowIndex(sprite, static_cast<int32_t>(size));
    if (cropped) storeLE32(sprite + size - kSpanHeaderBytes + 8, 0);
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

// PACKED: the rectangle as a sprite of its own size.
void grabPacked(GrabContext& ctx) {
    packedCommand(ctx, false);
}

// PACKEDC: the rectangle cropped to the bounding box of its pixels.
void grabPackedCropped(GrabContext& ctx) {
    packedCommand(ctx, true);
}

}  // namespace kiv
