// A palette completed from the art: some entries kept as they are (the game's own), the others
// chosen to serve given pictures best under a metric.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "grab/colour_match.h"
#include "picture/png_picture.h"

namespace kiv {

// The colours of the pictures, each with its count of pixels (opaque ones: alpha 128 and up).
using ColourCounts = std::unordered_map<uint32_t, uint64_t>;
void countColours(const TrueColourPicture& picture, ColourCounts& counts);

struct CompletionReport {
    uint64_t pixels = 0;
    size_t colours = 0;  // distinct
    int chosen = 0;      // entries chosen
    int rounds = 0;      // of refinement
    // Over the pixels, each to its nearest entry of the whole palette, as shownDifference gives.
    double meanBefore = 0, worstBefore = 0, meanAfter = 0, worstAfter = 0;
};

// Keeps the entries of keep as they are and chooses the others: first, one at a time, where
// the pixels are worst served (count x squared difference), then refined by k-means (each
// chosen entry the mean of the colours it is nearest to: in sRGB values for rgb, in OKLab for
// oklab and ciede2000, whose nearest answers still follow CIEDE2000). The same pictures give
// the same palette. False with the reason when nothing is left to choose or no pixel counts.
bool completePalette(const std::array<uint8_t, 768>& source, const std::bitset<256>& keep,
                     const ColourCounts& counts, ColourMetric metric,
                     std::array<uint8_t, 768>& palette, CompletionReport& report,
                     std::string* why);

}  // namespace kiv
