// COLORMAP and TRANSPARENT.
#include "grab/colour_tables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/console.h"
#include "grab/commands.h"

namespace kiv {
namespace {

inline constexpr int kDark = 10;            // below: dark; above: bright
inline constexpr int kRampStartLimit = 16;  // below: ends the downward search
inline constexpr int kSearchWindow = 33;
inline constexpr int kShadedIndexes = 240;
inline constexpr uint32_t kShadeSteps = 34;
inline constexpr uint8_t kPastRampIndex = 31;
inline constexpr int kFirstBlendIndex = 10;
inline constexpr int kLastBlendIndex = 245;
inline constexpr int kStartDistance = 7168;
inline constexpr int kMixMax = 63;

int mixIndex(int r, int g, int b) {
    return (r << 12) | (g << 6) | b;
}

// The weights of a blend level, as the straightforward search forms them.
struct LevelWeights {
    double d, e;
    LevelWeights(int32_t level, int32_t levels) {
        d = (level + 0.1) / levels;
        e = 1.0 - d;
    }
};

int truncatedProduct(int component, double weight) {
    return static_cast<int>(static_cast<double>(component) * weight);
}

}  // namespace

PaletteColour paletteEntry(const uint8_t* palette, int index) {
    return {palette[3 * index], palette[3 * index + 1], palette[3 * index + 2]};
}

int brightness(const uint8_t* palette, int index) {
    PaletteColour c = paletteEntry(palette, index);
    return (c.red + c.green + c.blue) / 3;
}

bool findShadeRamp(const uint8_t* palette, int index, int32_t& rampStart, int32_t& rampEnd) {
    bool darkSeen = false;
    const int upTo = std::min(index + kSearchWindow, 256);
    for (int k = index; k < upTo; ++k) {
        const int b = brightness(palette, k);
        if (b < kDark) darkSeen = true;
        if (darkSeen && b > kDark) {
            rampEnd = k - 1;
            break;
        }
    }
    if (!darkSeen) return false;
    bool brightSeen = false;
    const int downTo = std::max(index - kSearchWindow, 0);
    for (int k = index; k >= downTo; --k) {
        const int b = brightness(palette, k);
        if (b > kDark) brightSeen = true;
        if (brightSeen && b < kRampStartLimit) {
            rampStart = k + 1;
            break;
        }
    }
    if (!brightSeen) return false;
    return rampEnd >= rampStart;
}

void buildShadeTable(const uint8_t* palette, uint8_t* table) {
    for (int s = 0; s < 32; ++s) {
        for (int i = 0; i < 256; ++i) table[s * 256 + i] = static_cast<uint8_t>(i);
    }
    // The command starts with no ramp: an end below the start.
    int32_t rampStart = 256, rampEnd = -1;
    for (int i = 0; i < kShadedIndexes; ++i) {
        if (!findShadeRamp(palette, i, rampStart, rampEnd)) continue;
        const uint32_t n = static_cast<uint32_t>(std::abs(rampEnd - i + 1) + 1);
        const uint32_t step = n * 65536u / kShadeSteps;
        uint32_t acc = 0;
        for (int s = 0; s < 32; ++s) {
            const int64_t v = i + static_cast<int64_t>(acc >> 16);
            table[s * 256 + i] = v <= rampEnd ? static_cast<uint8_t>(v) : kPastRampIndex;
            acc += step;
        }
    }
}

uint8_t nearestColour(const uint8_t* palette, int red, int green, int blue) {
    int best = 0, bestDistance = kStartDistance;
    for (int k = kFirstBlendIndex; k <= kLastBlendIndex; ++k) {
        const PaletteColour c = paletteEntry(palette, k);
        const int distance =
            std::abs(c.red - red) + std::abs(c.green - green) + std::abs(c.blue - blue);
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = k;
        }
    }
    return static_cast<uint8_t>(best);
}

uint8_t blendToIndex(const uint8_t* palette, int32_t level, int a, int b, int32_t levels) {
    if (level < 0 || levels < 1) return 0;
    const LevelWeights w(level, levels);
    const PaletteColour ca = paletteEntry(palette, a), cb = paletteEntry(palette, b);
    const int red =
        std::min(kMixMax, truncatedProduct(ca.red, w.d) + truncatedProduct(cb.red, w.e));
    const int green =
        std::min(kMixMax, truncatedProduct(ca.green, w.d) + truncatedProduct(cb.green, w.e));
    const int blue =
        std::min(kMixMax, truncatedProduct(ca.blue, w.d) + truncatedProduct(cb.blue, w.e));
    return nearestColour(palette, red, green, blue);
}

// With every component in 0 … 63 the nearest index of all mixes comes from one distance
// transform over the 64³ grid: each cell keeps the pair (distance, index) that is least by
// distance and then greatest by index, which is what the search's "last of the nearest" picks.
// The city-block distance separates into three passes of one axis each.
BlendSearch::BlendSearch(const uint8_t* palette) : palette_(palette), best_(64 * 64 * 64, 0) {
    for (int i = 0; i < 768; ++i) {
        if (palette[i] > kMixMax) {
            known_.assign(best_.size(), 0);  // searched one mix at a time instead
            return;
        }
    }
    // key = distance × 256 + (255 − index): smaller is better.
    constexpr int32_t kFar = 1 << 24;
    constexpr int32_t kStep = 256;
    std::vector<int32_t> key(64 * 64 * 64, kFar);
    for (int k = kFirstBlendIndex; k <= kLastBlendIndex; ++k) {
        const PaletteColour c = paletteEntry(palette, k);
        key[static_cast<size_t>(mixIndex(c.red, c.green, c.blue))] = 255 - k;
    }
    int32_t* cells = key.data();
    // Blue: along each line of 64 cells.
    for (int line = 0; line < 4096; ++line) {
        int32_t* cell = cells + line * 64;
        for (int i = 1; i < 64; ++i) cell[i] = std::min(cell[i], cell[i - 1] + kStep);
        for (int i = 62; i >= 0; --i) cell[i] = std::min(cell[i], cell[i + 1] + kStep);
    }
    // Green and red: whole rows of cells at a time, which the compiler vectorises.
    auto sweep = [&](int32_t* plane, int count, int stride, int width) {
        for (int i = 1; i < count; ++i) {
            int32_t* row = plane + i * stride;
            const int32_t* before = row - stride;
            for (int j = 0; j < width; ++j) row[j] = std::min(row[j], before[j] + kStep);
        }
        for (int i = count - 2; i >= 0; --i) {
            int32_t* row = plane + i * stride;
            const int32_t* after = row + stride;
            for (int j = 0; j < width; ++j) row[j] = std::min(row[j], after[j] + kStep);
        }
    };
    for (int red = 0; red < 64; ++red) sweep(cells + red * 4096, 64, 64, 64);
    sweep(cells, 64, 4096, 4096);
    for (size_t i = 0; i < key.size(); ++i) best_[i] = static_cast<uint8_t>(255 - key[i] % 256);
    complete_ = true;
}

uint8_t BlendSearch::nearest(int red, int green, int blue) {
    const size_t mix = static_cast<size_t>(mixIndex(red, green, blue));
    if (!complete_ && !known_[mix]) {
        best_[mix] = nearestColour(palette_, red, green, blue);
        known_[mix] = 1;
    }
    return best_[mix];
}

void BlendSearch::blendLevel(int32_t level, int32_t levels, uint8_t* out) {
    if (level < 0 || levels < 1) {
        std::memset(out, 0, kBlendLevelBytes);
        return;
    }
    const LevelWeights w(level, levels);
    // The truncated products of every component value, formed as the search forms them.
    std::array<int, 256> byD{}, byE{};
    for (int c = 0; c < 256; ++c) {
        byD[c] = truncatedProduct(c, w.d);
        byE[c] = truncatedProduct(c, w.e);
    }
    std::array<PaletteColour, 256> second{};
    for (int b = 0; b < 256; ++b) {
        const PaletteColour cb = paletteEntry(palette_, b);
        second[b] = {byE[cb.red], byE[cb.green], byE[cb.blue]};
    }
    for (int a = 0; a < 256; ++a) {
        const PaletteColour ca = paletteEntry(palette_, a);
        const int red = byD[ca.red], green = byD[ca.green], blue = byD[ca.blue];
        uint8_t* row = out + a * 256;
        for (int b = 0; b < 256; ++b) {
            row[b] = nearest(std::min(kMixMax, red + second[b].red),
                             std::min(kMixMax, green + second[b].green),
                             std::min(kMixMax, blue + second[b].blue));
        }
    }
}

// COLORMAP name
// The shading table; drawn at the top-left of the preview, each row twice, without a refresh
// (it shows at the next one).
void grabColormap(GrabContext& ctx) {
    warnWithoutPicture(ctx);
    if (!fitsItemBuffer(ctx, kShadeTableBytes)) return;
    uint8_t* table = ctx.itemBuffer.data() + ctx.cursor;
    buildShadeTable(ctx.palette.data(), table);
    const bool flat = std::all_of(table, table + kShadeTableBytes, [&](const uint8_t& v) {
        return v == static_cast<uint8_t>((&v - table) % 256);
    });
    if (flat && !paletteIsBlank(ctx)) {
        diagnose(Severity::Note,
                 "COLORMAP %s came out flat (every shade is the entry itself): no entry lies on a "
                 "shade ramp, a run of colours from bright down to dark (brightness below 10) "
                 "within 33 entries",
                 itemLabel(ctx));
    }
    if (!ctx.preview.empty()) {
        const size_t columns = static_cast<size_t>(std::clamp(ctx.width, 0, 256));
        for (int32_t row = 0; row < 64 && row < ctx.height; ++row) {
            std::memcpy(
                ctx.preview.data() + static_cast<size_t>(row) * static_cast<size_t>(ctx.width),
                table + (row / 2) * 256, columns);
        }
        markPreviewRectangle(ctx, 0, 0, static_cast<int64_t>(columns), std::min(ctx.height, 64));
    }
    ctx.cursor += kShadeTableBytes;
}

// TRANSPARENT name levels
// One 256 × 256 blending table per level; each level is shown in the preview as soon as it is
// complete.
void grabTransparent(GrabContext& ctx) {
    const int32_t levels = ctx.numArgs[1];
    if (levels <= 0) return;  // no level, or a negative count: no table
    warnWithoutPicture(ctx);
    if (levels > kMostBlendLevels) {
        refuseCommand(ctx, "%d levels do not fit the %zu-byte item buffer: at most %d", levels,
                      ctx.itemBuffer.size(), kMostBlendLevels);
        return;
    }
    const uint64_t bytes = static_cast<uint64_t>(levels) * kBlendLevelBytes;
    if (!fitsItemBuffer(ctx, bytes)) return;
    BlendSearch search(ctx.palette.data());
    uint8_t* out = ctx.itemBuffer.data() + ctx.cursor;
    const size_t columns = static_cast<size_t>(std::clamp(ctx.width, 0, 256));
    for (int32_t level = 0; level < levels; ++level) {
        uint8_t* table = out + static_cast<size_t>(level) * kBlendLevelBytes;
        search.blendLevel(level, levels, table);
        if (!ctx.preview.empty()) {
            for (int32_t a = 0; a < 256 && a < ctx.height; ++a) {
                std::memcpy(
                    ctx.preview.data() + static_cast<size_t>(a) * static_cast<size_t>(ctx.width),
                    table + a * 256, columns);
            }
            markPreviewRectangle(ctx, 0, 0, static_cast<int64_t>(columns),
                                 std::min(ctx.height, 256));
        }
        refreshPreview(ctx);
    }
    if (std::all_of(out, out + bytes, [&](uint8_t v) { return v == out[0]; })) {
        diagnose(Severity::Note,
                 "TRANSPARENT %s came out flat (every cell is entry %u): blends are looked for "
                 "among entries 10 to 245 only, and those hold one colour",
                 itemLabel(ctx), out[0]);
    }
    ctx.cursor += bytes;
}

}  // namespace kiv
