// Colour tables computed from the palette: the 32-level shading table and the blending tables.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "grab/grab_context.h"
#include "grab/item_formats.h"

namespace kiv {

inline constexpr size_t kShadeTableBytes = ShadeTable::kBytes;
inline constexpr size_t kBlendLevelBytes = BlendTable::kLevelBytes;
inline constexpr int32_t kMostBlendLevels =
    static_cast<int32_t>(kItemBufferBytes / kBlendLevelBytes);

struct PaletteColour {
    int red, green, blue;
};

PaletteColour paletteEntry(const uint8_t* palette, int index);
int brightness(const uint8_t* palette, int index);

// Looks for the shade ramp around index; each bound is written only when its own search finds
// it. True when index lies on a ramp (rampEnd ≥ rampStart).
bool findShadeRamp(const uint8_t* palette, int index, int32_t& rampStart, int32_t& rampEnd);

// The 8,192-byte shading table of a palette.
void buildShadeTable(const uint8_t* palette, uint8_t* table);

// The palette index nearest to the mix of colour a (weight d = (level + 0.1) / levels) and
// colour b (weight 1 - d): the straightforward search over indexes 10 to 245.
uint8_t blendToIndex(const uint8_t* palette, int32_t level, int a, int b, int32_t levels);
// The nearest-colour search alone, for a mix of components 0 to 63.
uint8_t nearestColour(const uint8_t* palette, int red, int green, int blue);

// The same answers, computed once per palette: the nearest index of every mix a blend can make
// (at most 64 × 64 × 64), then one table lookup per pair.
class BlendSearch {
  public:
    explicit BlendSearch(const uint8_t* palette);
    uint8_t nearest(int red, int green, int blue);
    // One level's 65,536 entries, row a, column b.
    void blendLevel(int32_t level, int32_t levels, uint8_t* out);

  private:
    const uint8_t* palette_;
    std::vector<uint8_t> best_;   // the nearest index of every mix
    std::vector<uint8_t> known_;  // per mix, where best_ is filled one mix at a time
    bool complete_ = false;       // best_ holds every mix
};

}  // namespace kiv
