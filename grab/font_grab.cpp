// FONT: a proportional font cut out of a font sheet. Two 255 markers in column 0 give the glyph
// height; glyphs stand side by side in bands of that height, separated by blank columns.
#include <cstring>

#include "common/console.h"
#include "grab/commands.h"
#include "grab/packed_sprite.h"

namespace kiv {
namespace {

inline constexpr int32_t kMarker = 255;
inline constexpr uint8_t kSpacer = 254;
inline constexpr int32_t kTopMarkerRows = 20;
inline constexpr int32_t kBottomMarkerRows = 100;
inline constexpr int32_t kWidestGlyph = 128;

// The sheet; rows below the picture read as 0.
uint8_t sheetAt(const GrabContext& ctx, int32_t c, int32_t r) {
    if (r >= ctx.height || c >= ctx.width) return 0;
    return ctx.picture[static_cast<size_t>(r) * static_cast<size_t>(ctx.width) + c];
}

bool bandColumnHasInk(const GrabContext& ctx, int32_t c, int32_t top, int32_t h) {
    for (int32_t r = top; r < top + h; ++r) {
        if (sheetAt(ctx, c, r) != 0) return true;
    }
    return false;
}

// The cells of the sheet from column c of the band at row `band` on, in reading order.
int32_t cellsFrom(const GrabContext& ctx, int32_t c, int32_t band, int32_t h) {
    int32_t cells = 0;
    for (; band < ctx.height; band += h + 1, c = 0) {
        bool inCell = false;
        for (; c < ctx.width; ++c) {
            const bool ink = bandColumnHasInk(ctx, c, band, h);
            if (ink && !inCell) ++cells;
            inCell = ink;
        }
    }
    return cells;
}

}  // namespace

// FONT name first last   (character codes, not scaled)
// A FontHeader, then one PACKED sprite per glyph in code order.
void grabFont(GrabContext& ctx) {
    if (!requirePicture(ctx) || !fitsItemBuffer(ctx, FontHeader::kBytes)) return;
    uint8_t* header = ctx.itemBuffer.data() + ctx.cursor;
    ctx.cursor += FontHeader::kBytes;
    FontHeader font;
    font.store(header);

    const int32_t first = ctx.numArgs[1], last = ctx.numArgs[2];
    if (first < 0 || first > 255 || last < 0 || last > 255) {
        refuseCommand(ctx, "character codes %d to %d: each must lie in 0 to 255", first, last);
        return;
    }
    if (first > last) {
        warn(Warning::EmptyFont,
             "FONT %s: the first code %d is above the last %d, so the font has no glyphs; give "
             "the codes lowest first",
             itemLabel(ctx), first, last);
    }
    const int32_t W = ctx.width, H = ctx.height;
    int32_t top = -1;
    for (int32_t r = 0; r < kTopMarkerRows && top < 0; ++r) {
        if (sheetAt(ctx, 0, r) == kMarker) top = r;
    }
    if (top < 0) {
        outputError("FONT: Top Not Found\n");
        diagnose(Severity::Error, "FONT %s: no top marker (colour 255) in column 0 of rows 0 to 19",
                 itemLabel(ctx));
        return;
    }
    int32_t bottom = -1;
    for (int32_t r = top + 1; r < kBottomMarkerRows && bottom < 0; ++r) {
        if (sheetAt(ctx, 0, r) == kMarker) bottom = r;
    }
    if (bottom < 0) {
        outputError("FONT: Bottom Not Found\n");
        diagnose(Severity::Error,
                 "FONT %s: no bottom marker (colour 255) in column 0 of rows %d to 99 below the "
                 "top marker at row %d",
                 itemLabel(ctx), top + 1, top);
        return;
    }
    const int32_t h = bottom - top - 1;
    font.height = h;
    font.store(header);

    int32_t c = 0, band = top + 1, offset = 0;
    for (int32_t k = first; k <= last; ++k) {
        for (;;) {
            if (c >= W) {
                c = 0;
                band += h + 1;
                if (band >= H) {  // the sheet has no further cell
                    warn(Warning::MissingGlyphs,
                         "FONT %s: codes %d to %d got no glyph: the sheet has no cell for "
                         "them after the %d glyphs found",
                         itemLabel(ctx), k, last, k - first);
                    return;
                }
            } else if (bandColumnHasInk(ctx, c, band, h)) {
                break;
            } else {
                ++c;
            }
        }
        int32_t n = 1;
        while (c + n < W && bandColumnHasInk(ctx, c + n, band, h)) ++n;
        if (n > kWidestGlyph) {
            outputError("FONT: Width too BIG !!!\n");
            diagnose(Severity::Error,
                     "FONT %s: the cell of code %d at column %d, row %d is %d pixels wide, more "
                     "than 128; the font keeps the glyphs before it",
                     itemLabel(ctx), k, c, band, n);
            return;
        }
        for (int32_t r = band; r < band + h && r < H; ++r) {
            uint8_t* row = ctx.picture.data() + static_cast<size_t>(r) * static_cast<size_t>(W);
            for (int32_t i = c; i < c + n; ++i) {
                if (row[i] == kSpacer) row[i] = 0;
            }
        }
        int64_t needed = 0;
        if (!encodePackedSprite(ctx, c, band, n, h, false, &needed)) {
            diagnose(Severity::Error,
                     "FONT %s: the glyph of code %d (%lld bytes) does not fit the %zu-byte item "
                     "buffer; the font keeps the glyphs before it",
                     itemLabel(ctx), k, static_cast<long long>(needed), ctx.itemBuffer.size());
            return;
        }
        font.glyphWidth[static_cast<size_t>(k)] = static_cast<uint8_t>(n);
        font.glyphOffset[static_cast<size_t>(k)] = offset;
        font.store(header);
        offset += ctx.lastPackedSize;
        c += n;
    }
    // Cells the codes did not reach: a glyph split by an empty column counts as two cells and
    // moves every later code, which drops the last glyph without a word.
    const int32_t surplus = h > 0 && first <= last ? cellsFrom(ctx, c, band, h) : 0;
    if (surplus > 0) {
        warn(Warning::SurplusGlyphs,
             "FONT %s: the sheet has %d more glyph %s than the codes %d to %d take; a glyph "
             "split by an empty column counts as two and moves every later code: close the gap "
             "in the glyph, or raise the last code",
             itemLabel(ctx), surplus, surplus == 1 ? "cell" : "cells", first, last);
    }
}

}  // namespace kiv
