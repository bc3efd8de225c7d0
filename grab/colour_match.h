// The nearest palette entry to a colour, found exactly: every answer equals a search over all the
// entries allowed, under the chosen measure of difference, ties going to the lowest index.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kiv {

// How the difference of two colours is measured: Euclidean distance in OKLab (from sRGB), squared
// Euclidean distance of the 8-bit sRGB values, or CIEDE2000 (CIELAB under D65).
enum class ColourMetric { OkLab, Rgb, Ciede2000 };
bool parseColourMetric(const std::string& word, ColourMetric& metric);
const char* metricName(ColourMetric metric);

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};
inline uint32_t rgbKey(Rgb c) {
    return (static_cast<uint32_t>(c.r) << 16) | (static_cast<uint32_t>(c.g) << 8) | c.b;
}

// A colour where the metric measures it: the sRGB values, OKLab, or CIELAB.
struct ColourPoint {
    double x = 0, y = 0, z = 0;
};
ColourPoint colourPoint(ColourMetric metric, Rgb colour);
// The metric's difference of two points, squared (ΔE00² for CIEDE2000): it orders answers.
double squaredDifference(ColourMetric metric, const ColourPoint& a, const ColourPoint& b);
// The difference as reports show it: 8-bit units for rgb, OKLab × 100, ΔE00.
double shownDifference(ColourMetric metric, double squared);
// OKLab of a colour in linear light (components 0 to 1), and back.
void linearToOkLab(const double lin[3], double lab[3]);
void okLabToLinear(const double lab[3], double lin[3]);
// An sRGB value (0 to 255, fractions too) in linear light (0 to 1), and back (clamped to 0-1).
double srgbToLinear(double value);
double linearToSrgb(double linear);
// Each 8-bit sRGB value in linear light.
const std::array<double, 256>& linearLight();

// Which entries may be answers: the nearest search picks among `searchable`; a colour equal to a
// `keptExact` entry (reserved ones) takes that entry when no searchable one has the colour.
struct MatchRules {
    std::bitset<256> searchable;
    std::bitset<256> keptExact;
};

class ColourMatcher {
  public:
    // colours: 256 entries of three 8-bit components, red first.
    ColourMatcher(const std::array<uint8_t, 768>& colours, const MatchRules& rules,
                  ColourMetric metric);
    ~ColourMatcher();
    ColourMatcher(const ColourMatcher&) = delete;
    ColourMatcher& operator=(const ColourMatcher&) = delete;

    // The lowest searchable entry of exactly this colour, else the lowest kept one, else the
    // nearest searchable entry. Answers are remembered per colour; a colour whose cell of 4 x 4
    // x 4 has one answer is answered here at once.
    uint8_t match(Rgb colour) {
        if (!blockOf_.empty()) {
            const uint32_t block = blockOf_[(size_t(colour.r >> 4) << 8) |
                                            (size_t(colour.g >> 4) << 4) | size_t(colour.b >> 4)];
            if (block != 0) {
                const uint16_t known = single_[(block - 1) * size_t{64} +
                                               ((colour.r >> 2 & 3u) << 4 |
                                                (colour.g >> 2 & 3u) << 2 | (colour.b >> 2 & 3u))];
                if (known != 0) return static_cast<uint8_t>(known - 1);
            }
        }
        return matchSlowly(colour);
    }
    // The nearest searchable entry, for colours seldom asked twice (the cells of a table): a
    // search among the candidates of the colour's cell of 16 a side, which stays exact, without
    // making finer cells. Kept entries play no part.
    uint8_t nearestOnce(Rgb colour);
    // nearestOnce of each colour, for many at once: under rgb (on processors with AVX2) the
    // colours are taken cell by cell, each cell's candidates found once, and measured eight
    // at a time in exact whole-number distances.
    void nearestOfEach(std::span<const Rgb> colours, uint8_t* out);
    // match() of each colour, for many at once, where answersManyQuickly says it may
    // (optionally in two halves at once); calls from several threads may share the matcher.
    bool answersManyQuickly() const;
    // The nearest searchable entry (kept ones play no part), for colours seldom met twice
    // (dithered ones): under rgb with AVX2 among its cell's candidates, eight at a time, and
    // remembered in a small table by colour.
    uint8_t nearestSearchable(Rgb colour) {
        if (quick_ && !finestSingle_.empty()) {
            const uint16_t single = finestSingle_[finestOf(colour)];
            if (single != 0 && single != 0xFFFF) return static_cast<uint8_t>(single - 1);
            const uint32_t key = rgbKey(colour);
            const size_t slot = recentSlot(key);
            if (recentKeys_[slot] == key + 1) return recentAnswers_[slot];
        }
        return nearestSearchableSlowly(colour);
    }
    void matchEach(std::span<const Rgb> colours, uint8_t* out, bool twoAtOnce) const;
    // The lowest entry of exactly this colour that match() may give, or -1: open addressing
    // over kExactSlots slots for at most 256 colours, a probe or two.
    int exactEntry(Rgb colour) const {
        const uint32_t key = rgbKey(colour);
        for (size_t slot = exactSlot(key);; slot = (slot + 1) % kExactSlots) {
            const uint32_t held = exactKeys_[slot];  // colour key + 2^24, or 0: free
            if (held == 0) return -1;
            if (held == key + (1u << 24)) return exactEntries_[slot];
        }
    }
    // The nearest searchable entry, found without the structures that speed it up.
    uint8_t nearestByFullSearch(Rgb colour) const;
    double squaredDifferenceTo(Rgb colour, int entry) const;
    ColourMetric metric() const { return metric_; }
    Rgb entry(int index) const { return entries_[static_cast<size_t>(index)]; }

  private:
    struct Lattice;
    uint8_t matchSlowly(Rgb colour);
    uint8_t nearestSearchableSlowly(Rgb colour);
    static size_t recentSlot(uint32_t key) { return (key * 2654435761u) >> (32 - kRecentBits); }
    void byCells(std::span<const Rgb> colours, uint8_t* out,
                 const std::vector<std::pair<uint32_t, uint8_t>>* keptOnly, bool twoAtOnce) const;
    uint8_t nearest(Rgb colour);
    uint8_t nearestByLightness(const ColourPoint& p) const;
    uint8_t nearestOf(const ColourPoint& p, const uint8_t* candidates, size_t many) const;

    ColourMetric metric_;
    std::array<Rgb, 256> entries_{};
    std::array<ColourPoint, 256> points_{};
    std::vector<uint8_t> searchable_;                      // in index order
    std::vector<uint8_t> byLightness_;                     // CIEDE2000: searchable entries by L*
    std::vector<std::array<double, 4>> byLightnessTerms_;  // their L*, a*, b* and chroma
    std::vector<std::pair<uint32_t, uint8_t>> exact_;      // colour key → entry, sorted by key
    // The same as a hash table (see exactEntry).
    static constexpr size_t kExactSlots = 1024;
    static size_t exactSlot(uint32_t key) { return (key * 2654435761u) >> 22; }
    std::array<uint32_t, kExactSlots> exactKeys_{};
    std::array<uint8_t, kExactSlots> exactEntries_{};
    std::unique_ptr<Lattice> lattice_;                    // rgb and OKLab
    std::unique_ptr<uint16_t[], void (*)(void*)> known_;  // per colour: 0, or entry + 1
    // The finest cells of the lattice come in blocks of 64, one block per cell of 16 a side
    // that a colour fell in (memory grows with the colours met): blockOf_ numbers them from 1
    // (0: none yet), and single_ holds, per finest cell, its one answer + 1, or 0 (not made,
    // several, or a kept entry's colour inside).
    std::vector<uint32_t> blockOf_;
    std::vector<uint16_t> single_;
    // rgb: the searchable entries as lanes of eight for searches at full width; the candidates
    // of cells of 16 a side as lanes (cellLanes_: offset into cellPool_ + 1, or 0).
    std::vector<float> lanes_;
    std::vector<uint32_t> cellLanes_;
    std::vector<float> cellPool_;
    static constexpr int kRecentBits = 14;
    static constexpr size_t kRecent = size_t{1} << kRecentBits;
    std::vector<uint32_t> recentKeys_;  // colour key + 1, or 0
    // Per cell of 4 a side: its one candidate + 1, 0xFFFF for several, 0 not yet known.
    std::vector<uint16_t> finestSingle_;
    static size_t finestOf(Rgb c) {
        return size_t(c.r >> 2) << 12 | size_t(c.g >> 2) << 6 | size_t(c.b >> 2);
    }
    std::vector<uint8_t> recentAnswers_;
    std::bitset<256> kept_;
    bool quick_ = false;  // rgb on a processor with AVX2: the searches in lanes
};

}  // namespace kiv
