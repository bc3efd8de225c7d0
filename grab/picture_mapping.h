// True-colour pictures onto a palette: transparency first (alpha or a colour key), then every
// opaque pixel to its entry: exact colours keep theirs, others the nearest allowed entry,
// optionally dithered. Pixels of exactly a palette colour are never moved by dithering.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "grab/colour_match.h"
#include "grab/palette_source.h"
#include "picture/png_picture.h"

namespace kiv {

// Ordered: the colour moved by a Bayer threshold. Error diffusion: Floyd-Steinberg, Atkinson,
// Sierra Lite. Pattern and blue noise: each colour planned as a mix of entries that averages to
// it, one picked by a threshold (Bayer 8 x 8 or a blue-noise mask of 64 x 64) at the pixel's
// place, so a colour at a place always gives the same entry (animation frames stay still).
enum class Dither { None, Ordered, FloydSteinberg, Atkinson, SierraLite, Pattern, BlueNoise };

// Pictures of at least this many pixels are mapped in two halves at once.
inline constexpr size_t kTwoThreadPixels = 1 << 18;
bool parseDither(const std::string& word, Dither& dither);

struct MappingOptions {
    ColourMetric metric = ColourMetric::OkLab;
    std::bitset<256> reserved;          // never a nearest answer
    int transparentIndex = 0;           // reached by transparent pixels only
    std::optional<int> alphaThreshold;  // alpha below: transparent; unset: 128, and partly
                                        // transparent pixels are refused
    std::optional<Rgb> colourKey;       // opaque pixels of this colour are transparent
    Dither dither = Dither::None;
    // How the front end's user sets the threshold, for the refusal of partly transparent pixels.
    std::string setThreshold = "give --alpha-threshold N";
};

// "0,224-255": entries 0 to 255. False with the reason.
bool parseIndexList(const std::string& text, std::bitset<256>& indices, std::string* why);
// "R,G,B", each 0 to 255.
bool parseRgb(const std::string& text, Rgb& colour);

struct MappingReport {
    int64_t pixels = 0, exact = 0, mapped = 0, transparent = 0;
    int coloursUsed = 0;  // distinct entries in the result
    double worst = 0;     // largest difference of a mapped pixel, as shownDifference gives
    double mean = 0;      // over the opaque pixels
    int32_t worstX = -1, worstY = -1;
};

// The difference as an eye at a distance sees it: both pictures blurred 7 x 7 in linear light
// (opaque pixels only), then the mean OKLab distance x 100 over the opaque pixels; -1 when no
// pixel is opaque. indices hold the mapped picture, colours the palette it indexes.
double blurredDifference(const TrueColourPicture& picture, const std::vector<uint8_t>& indices,
                         const std::array<uint8_t, 768>& colours, int alphaThreshold);

// The blue-noise threshold mask: kBlueNoiseSide² ranks 0 to kBlueNoiseSide² - 1, each once,
// row by row, made by void and cluster (the same every time).
inline constexpr size_t kBlueNoiseSide = 64;
const std::vector<uint16_t>& blueNoiseMask();

// A number with its thousands grouped: 1,228,800.
std::string groupedDigits(int64_t number);
// "1,024 pixels, 1,000 exact, worst distance 4.1 at (12, 30)".
std::string mappingSummary(const MappingReport& report);

// A palette with its rules, kept for all the pictures of a run so that answers are reused.
class PictureMapper {
  public:
    // False with the reason when no entry is left for the nearest search.
    bool setUp(const PaletteSource& palette, const MappingOptions& options, std::string* why);
    // indices receives width × height entries. False with the reason (partly transparent pixels
    // without a threshold). A report, when asked for, costs one more look at every pixel.
    bool map(const TrueColourPicture& picture, std::vector<uint8_t>& indices, MappingReport* report,
             std::string* why);
    const PaletteSource& palette() const { return palette_; }
    const MappingOptions& options() const { return options_; }

  private:
    PaletteSource palette_;
    MappingOptions options_;
    std::unique_ptr<ColourMatcher> matcher_;
    std::unique_ptr<ColourMatcher> second_;  // the second half's, for large pictures
    MatchRules rules_;
    double ditherSpread_ = 0;
    // Pattern dithering: each colour's plan, entries sorted by lightness, made once a colour.
    static constexpr size_t kPlanEntries = 16;
    using Plan = std::array<uint8_t, kPlanEntries>;
    const Plan& planOf(Rgb colour);
    std::unordered_map<uint32_t, Plan> plans_;
};

}  // namespace kiv
