#include "grab/picture_mapping.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

namespace kiv {

bool parseDither(const std::string& word, Dither& dither) {
    if (word == "none") {
        dither = Dither::None;
    } else if (word == "ordered") {
        dither = Dither::Ordered;
    } else if (word == "floyd-steinberg") {
        dither = Dither::FloydSteinberg;
    } else if (word == "atkinson") {
        dither = Dither::Atkinson;
    } else if (word == "sierra-lite") {
        dither = Dither::SierraLite;
    } else if (word == "pattern") {
        dither = Dither::Pattern;
    } else if (word == "blue-noise") {
        dither = Dither::BlueNoise;
    } else {
        return false;
    }
    return true;
}

namespace {

// A whole number 0 to 255, all digits.
bool entryNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::atoi(text.c_str());
    return value <= 255;
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (true) {
        const size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

}  // namespace

bool parseIndexList(const std::string& text, std::bitset<256>& indices, std::string* why) {
    indices.reset();
    for (const std::string& part : splitAt(text, ',')) {
        const size_t dash = part.find('-');
        int first = 0, last = 0;
        const bool ok = dash == std::string::npos
                            ? entryNumber(part, first) && entryNumber(part, last)
                            : entryNumber(part.substr(0, dash), first) &&
                                  entryNumber(part.substr(dash + 1), last) && first <= last;
        if (!ok) {
            if (why != nullptr) {
                *why = "'" + part + "' is not an entry 0 to 255 or a range FIRST-LAST of them";
            }
            return false;
        }
        for (int i = first; i <= last; ++i) indices.set(static_cast<size_t>(i));
    }
    return true;
}

bool parseRgb(const std::string& text, Rgb& colour) {
    const std::vector<std::string> parts = splitAt(text, ',');
    int v[3];
    if (parts.size() != 3) return false;
    for (size_t k = 0; k < 3; ++k) {
        if (!entryNumber(parts[k], v[k])) return false;
    }
    colour = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2])};
    return true;
}

namespace {

// Sums over a (2r + 1)-wide window along rows, then along columns: each pixel the sum of its
// window, clipped at the edges. Columns are summed a row at a time (a running sum per column),
// so memory is read in order.
void windowSums(std::vector<float>& plane, int32_t w, int32_t h, int r, int channels) {
    const size_t rowSize = static_cast<size_t>(w) * static_cast<size_t>(channels);
    std::vector<double> line(rowSize);
    for (int32_t y = 0; y < h; ++y) {
        float* px = plane.data() + static_cast<size_t>(y) * rowSize;
        std::copy(px, px + rowSize, line.begin());
        std::vector<double> run(static_cast<size_t>(channels), 0.0);
        for (int32_t i = 0; i < std::min(r, w); ++i) {
            for (int k = 0; k < channels; ++k)
                run[static_cast<size_t>(k)] += line[static_cast<size_t>(i) * channels + k];
        }
        for (int32_t i = 0; i < w; ++i) {
            for (int k = 0; k < channels; ++k) {
                double& sum = run[static_cast<size_t>(k)];
                if (i + r < w) sum += line[static_cast<size_t>(i + r) * channels + k];
                if (i - r - 1 >= 0) sum -= line[static_cast<size_t>(i - r - 1) * channels + k];
                px[static_cast<size_t>(i) * channels + k] = static_cast<float>(sum);
            }
        }
    }
    const std::vector<float> rows(plane);
    std::vector<double> run(rowSize, 0.0);
    auto rowOf = [&](int32_t y) { return rows.data() + static_cast<size_t>(y) * rowSize; };
    for (int32_t y = 0; y < std::min(r, h); ++y) {
        const float* from = rowOf(y);
        for (size_t j = 0; j < rowSize; ++j) run[j] += from[j];
    }
    for (int32_t y = 0; y < h; ++y) {
        if (y + r < h) {
            const float* from = rowOf(y + r);
            for (size_t j = 0; j < rowSize; ++j) run[j] += from[j];
        }
        if (y - r - 1 >= 0) {
            const float* from = rowOf(y - r - 1);
            for (size_t j = 0; j < rowSize; ++j) run[j] -= from[j];
        }
        float* to = plane.data() + static_cast<size_t>(y) * rowSize;
        for (size_t j = 0; j < rowSize; ++j) to[j] = static_cast<float>(run[j]);
    }
}

}  // namespace

namespace {

// OKLab of eight colours in linear light (red, green, blue: eight each), in floats: the cube
// root from a guess by the exponent and two steps of Halley's method, to float precision.
using Floats8 = float __attribute__((vector_size(32)));
using Ints8 = int32_t __attribute__((vector_size(32)));

__attribute__((target_clones("avx2", "default"))) void okLabOfEight(
    const std::array<float, 8> rgb[3], std::array<float, 8> lab[3]) {
    Floats8 c[3];
    for (size_t k = 0; k < 3; ++k) std::memcpy(&c[k], rgb[k].data(), sizeof(Floats8));
    Floats8 lms[3] = {0.4122214708f * c[0] + 0.5363325363f * c[1] + 0.0514459929f * c[2],
                      0.2119034982f * c[0] + 0.6806995451f * c[1] + 0.1073969566f * c[2],
                      0.0883024619f * c[0] + 0.2817188376f * c[1] + 0.6299787005f * c[2]};
    for (Floats8& v : lms) {
        Ints8 bits;
        std::memcpy(&bits, &v, sizeof bits);
        const Floats8 third = __builtin_convertvector(bits, Floats8) * (1.0f / 3);
        const Ints8 guess = __builtin_convertvector(third, Ints8) + 709921077;
        Floats8 r;
        std::memcpy(&r, &guess, sizeof r);
        for (int step = 0; step < 2; ++step) {
            const Floats8 r3 = r * r * r;
            r = r * (r3 + 2 * v) / (2 * r3 + v + 1e-30f);
        }
        v = r;
    }
    const Floats8 &l = lms[0], &m = lms[1], &s = lms[2];
    const Floats8 out[3] = {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
                            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
                            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
    for (size_t k = 0; k < 3; ++k) std::memcpy(lab[k].data(), &out[k], sizeof(Floats8));
}

}  // namespace

double blurredDifference(const TrueColourPicture& picture, const std::vector<uint8_t>& indices,
                         const std::array<uint8_t, 768>& colours, int alphaThreshold) {
    const int32_t w = picture.width, h = picture.height;
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    if (count == 0 || indices.size() != count) return -1;
    const std::array<double, 256>& linear = linearLight();
    // Per pixel: the original's and the mapped picture's colour in linear light, weighted by
    // opacity, and the weight.
    constexpr int kChannels = 7;
    std::vector<float> plane(count * kChannels, 0.0f);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* px = picture.rgba.data() + 4 * i;
        if (px[3] < alphaThreshold) continue;
        const uint8_t* e = colours.data() + 3 * static_cast<size_t>(indices[i]);
        float* p = plane.data() + i * kChannels;
        for (int k = 0; k < 3; ++k) {
            p[k] = static_cast<float>(linear[px[k]]);
            p[3 + k] = static_cast<float>(linear[e[k]]);
        }
        p[6] = 1.0f;
    }
    windowSums(plane, w, h, 3, kChannels);
    // Both halves at once; each its own sum, added in order. Eight pixels at a time.
    auto part = [&](size_t from, size_t to, double& sum, int64_t& opaque) {
        std::array<float, 8> in[6], out[2][3];
        size_t held = 0;
        auto measure = [&] {
            okLabOfEight(in, out[0]);
            okLabOfEight(in + 3, out[1]);
            for (size_t j = 0; j < held; ++j) {
                const double dl = out[0][0][j] - out[1][0][j], da = out[0][1][j] - out[1][1][j],
                             db = out[0][2][j] - out[1][2][j];
                sum += 100 * std::sqrt(dl * dl + da * da + db * db);
            }
            held = 0;
        };
        for (size_t i = from; i < to; ++i) {
            if (picture.rgba[4 * i + 3] < alphaThreshold) continue;
            const float* p = plane.data() + i * kChannels;
            for (size_t k = 0; k < 6; ++k) in[k][held] = p[k] / p[6];
            ++opaque;
            if (++held == 8) measure();
        }
        if (held > 0) {
            for (size_t j = held; j < 8; ++j) {
                for (size_t k = 0; k < 6; ++k) in[k][j] = 0;
            }
            measure();
        }
    };
    double sums[2] = {0, 0};
    int64_t opaque[2] = {0, 0};
    auto other =
        std::async(std::launch::async, [&] { part(count / 2, count, sums[1], opaque[1]); });
    part(0, count / 2, sums[0], opaque[0]);
    other.get();
    const int64_t all = opaque[0] + opaque[1];
    return all > 0 ? (sums[0] + sums[1]) / static_cast<double>(all) : -1;
}

std::string groupedDigits(int64_t number) {
    std::string digits = std::to_string(number < 0 ? -number : number), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return number < 0 ? "-" + out : out;
}

std::string mappingSummary(const MappingReport& report) {
    char worst[96] = "";
    if (report.mapped > 0) {
        std::snprintf(worst, sizeof worst, ", worst distance %.1f at (%d, %d)", report.worst,
                      report.worstX, report.worstY);
    }
    return groupedDigits(report.pixels) + " pixels, " + groupedDigits(report.exact) + " exact" +
           worst;
}

bool PictureMapper::setUp(const PaletteSource& palette, const MappingOptions& options,
                          std::string* why) {
    palette_ = palette;
    options_ = options;
    MatchRules rules;
    for (int i = 0; i < palette.entries && i < 256; ++i) {
        if (i == options.transparentIndex) continue;
        (options.reserved.test(static_cast<size_t>(i)) ? rules.keptExact : rules.searchable)
            .set(static_cast<size_t>(i));
    }
    if (rules.searchable.none()) {
        if (why != nullptr) {
            *why = "no entry of " + palette.name +
                   " is left for the nearest search (reserved, transparent or past its " +
                   std::to_string(palette.entries) + " colours)";
        }
        return false;
    }
    matcher_ = std::make_unique<ColourMatcher>(palette.colours, rules, options.metric);
    second_.reset();
    plans_.clear();
    rules_ = rules;
    // Ordered dithering spreads a pixel over about the distance between neighbouring entries.
    std::vector<double> gaps;
    for (int i = 0; i < 256 && options.dither == Dither::Ordered; ++i) {
        if (!rules.searchable.test(static_cast<size_t>(i))) continue;
        double gap = 1e9;
        for (int j = 0; j < 256; ++j) {
            if (j == i || !rules.searchable.test(static_cast<size_t>(j))) continue;
            const Rgb a = matcher_->entry(i), b = matcher_->entry(j);
            if (a == b) continue;
            const double dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
            gap = std::min(gap, dr * dr + dg * dg + db * db);
        }
        if (gap < 1e9) gaps.push_back(std::sqrt(gap));
    }
    std::sort(gaps.begin(), gaps.end());
    ditherSpread_ = gaps.empty() ? 32 : std::clamp(gaps[gaps.size() / 2], 4.0, 48.0);
    return true;
}

namespace {

constexpr int kBayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                              {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                              {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                              {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

// Error diffusion kernels: to the pixel dx ahead (in the row's direction) and dy rows below.
struct KernelTap {
    int dx = 0, dy = 0;
    double share = 0;
};
using Kernel = std::array<KernelTap, 6>;
constexpr Kernel kFloydSteinberg = {
    {{1, 0, 7.0 / 16}, {-1, 1, 3.0 / 16}, {0, 1, 5.0 / 16}, {1, 1, 1.0 / 16}}};
// Atkinson hands on three quarters of the error: flat areas stay calmer, contrast grows.
constexpr Kernel kAtkinson = {{{1, 0, 1.0 / 8},
                               {2, 0, 1.0 / 8},
                               {-1, 1, 1.0 / 8},
                               {0, 1, 1.0 / 8},
                               {1, 1, 1.0 / 8},
                               {0, 2, 1.0 / 8}}};
constexpr Kernel kSierraLite = {{{1, 0, 2.0 / 4}, {-1, 1, 1.0 / 4}, {0, 1, 1.0 / 4}}};

const Kernel& kernelOf(Dither dither) {
    return dither == Dither::Atkinson     ? kAtkinson
           : dither == Dither::SierraLite ? kSierraLite
                                          : kFloydSteinberg;
}

// How far past the cube (linear light, 0 to 1) a carried colour may go, per component: the
// error of a colour the palette cannot reach stops growing there.
constexpr double kSlack = 0.5;

uint8_t clampByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

const std::vector<uint16_t>& blueNoiseMask() {
    static const std::vector<uint16_t> mask = [] {
        // Void and cluster on a torus: the energy of a place is the sum of a Gaussian of its
        // distance to every set place. Start from a few scattered places, move the tightest
        // cluster's into the largest void until they are one, then rank: the prototype's places
        // by removing the tightest cluster, the rest by filling the largest void.
        constexpr int kSide = static_cast<int>(kBlueNoiseSide);
        constexpr int kCount = kSide * kSide;
        std::vector<double> kernel(kCount);
        for (int dy = 0; dy < kSide; ++dy) {
            for (int dx = 0; dx < kSide; ++dx) {
                const int ty = std::min(dy, kSide - dy), tx = std::min(dx, kSide - dx);
                kernel[static_cast<size_t>(dy * kSide + dx)] =
                    std::exp(-(tx * tx + ty * ty) / (2 * 1.9 * 1.9));
            }
        }
        std::vector<char> set(kCount, 0);
        std::vector<double> energy(kCount, 0.0);
        auto toggle = [&](int at, bool on) {
            set[static_cast<size_t>(at)] = on;
            const int ay = at / kSide, ax = at % kSide;
            const double sign = on ? 1.0 : -1.0;
            for (int y = 0; y < kSide; ++y) {
                const int dy = (y - ay + kSide) % kSide;
                for (int x = 0; x < kSide; ++x) {
                    energy[static_cast<size_t>(y * kSide + x)] +=
                        sign * kernel[static_cast<size_t>(dy * kSide + (x - ax + kSide) % kSide)];
                }
            }
        };
        // The set place of most energy (tightest cluster) or the free place of least (void).
        auto extreme = [&](bool ofSet) {
            int best = -1;
            for (int i = 0; i < kCount; ++i) {
                if ((set[static_cast<size_t>(i)] != 0) != ofSet) continue;
                if (best < 0 ||
                    (ofSet ? energy[static_cast<size_t>(i)] > energy[static_cast<size_t>(best)]
                           : energy[static_cast<size_t>(i)] < energy[static_cast<size_t>(best)])) {
                    best = i;
                }
            }
            return best;
        };
        uint32_t seed = 12345;
        const int initial = kCount / 10;
        for (int placed = 0; placed < initial;) {
            seed = seed * 1664525u + 1013904223u;
            const int at = static_cast<int>((seed >> 8) % kCount);
            if (set[static_cast<size_t>(at)] == 0) toggle(at, true), ++placed;
        }
        for (int round = 0; round < kCount; ++round) {
            const int cluster = extreme(true);
            toggle(cluster, false);
            const int gap = extreme(false);
            toggle(gap, true);
            if (gap == cluster) break;
        }
        const std::vector<char> prototype = set;
        const std::vector<double> prototypeEnergy = energy;
        std::vector<uint16_t> rank(kCount, 0);
        for (int r = initial - 1; r >= 0; --r) {
            const int cluster = extreme(true);
            toggle(cluster, false);
            rank[static_cast<size_t>(cluster)] = static_cast<uint16_t>(r);
        }
        set = prototype;
        energy = prototypeEnergy;
        for (int r = initial; r < kCount; ++r) {
            const int gap = extreme(false);
            toggle(gap, true);
            rank[static_cast<size_t>(gap)] = static_cast<uint16_t>(r);
        }
        return rank;
    }();
    return mask;
}

const PictureMapper::Plan& PictureMapper::planOf(Rgb colour) {
    const uint32_t key = rgbKey(colour);
    if (const auto found = plans_.find(key); found != plans_.end()) return found->second;
    if (plans_.size() >= (size_t{1} << 20)) plans_.clear();  // memory stays bounded
    // Knoll's plan in linear light: each entry the nearest to the colour plus the error of
    // those before, so the plan's average comes to the colour; then ordered dark to light, so
    // neighbouring thresholds pick neighbouring shades.
    const std::array<double, 256>& linear = linearLight();
    const double goal[3] = {linear[colour.r], linear[colour.g], linear[colour.b]};
    double error[3] = {0, 0, 0};
    Plan plan{};
    for (size_t n = 0; n < kPlanEntries; ++n) {
        Rgb attempt;
        uint8_t* parts[3] = {&attempt.r, &attempt.g, &attempt.b};
        for (int k = 0; k < 3; ++k)
            *parts[k] = clampByte(linearToSrgb(std::clamp(goal[k] + error[k], 0.0, 1.0)));
        const uint8_t chosen = matcher_->nearestSearchable(attempt);
        plan[n] = chosen;
        const Rgb got = matcher_->entry(chosen);
        error[0] += goal[0] - linear[got.r];
        error[1] += goal[1] - linear[got.g];
        error[2] += goal[2] - linear[got.b];
    }
    auto luminance = [&](uint8_t e) {
        const Rgb c = matcher_->entry(e);
        return 0.2126 * linear[c.r] + 0.7152 * linear[c.g] + 0.0722 * linear[c.b];
    };
    std::stable_sort(plan.begin(), plan.end(),
                     [&](uint8_t a, uint8_t b) { return luminance(a) < luminance(b); });
    return plans_.emplace(key, plan).first->second;
}

bool PictureMapper::map(const TrueColourPicture& picture, std::vector<uint8_t>& indices,
                        MappingReport* report, std::string* why) {
    const int32_t width = picture.width, height = picture.height;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    const uint8_t* rgba = picture.rgba.data();
    if (!options_.alphaThreshold && picture.alpha) {
        int64_t partly = 0;
        size_t first = 0;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t a = rgba[4 * i + 3];
            if (a != 0 && a != 255 && partly++ == 0) first = i;
        }
        if (partly > 0) {
            if (why != nullptr) {
                *why = std::to_string(partly) +
                       " partly transparent pixels (alpha 1 to 254), the "
                       "first at (" +
                       std::to_string(first % static_cast<size_t>(width)) + ", " +
                       std::to_string(first / static_cast<size_t>(width)) +
                       "): " + options_.setThreshold + " to make those below N transparent";
            }
            return false;
        }
    }
    const int threshold = options_.alphaThreshold.value_or(128);
    const auto transparentIndex = static_cast<uint8_t>(options_.transparentIndex);
    auto colourAt = [&](size_t i) { return Rgb{rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2]}; };
    auto isTransparent = [&](size_t i) {
        return rgba[4 * i + 3] < threshold ||
               (options_.colourKey && colourAt(i) == *options_.colourKey);
    };
    // A dithered colour is no colour of the picture, so it never takes a reserved entry:
    // dithering asks for the nearest searchable entry.
    ColourMatcher& matcher = *matcher_;
    indices.assign(count, transparentIndex);
    // Dithering never moves a pixel of exactly a palette colour: it keeps that entry.
    auto keptExact = [&](size_t i) {
        const int exact = matcher.exactEntry(colourAt(i));
        if (exact >= 0) indices[i] = static_cast<uint8_t>(exact);
        return exact >= 0;
    };
    if (options_.dither == Dither::None) {
        // The hot loop: a run of one colour is matched once. Large pictures are mapped in two
        // halves at once, each with a matcher of its own (every answer is exact either way).
        const uint32_t key = options_.colourKey ? rgbKey(*options_.colourKey) : 0xFFFFFFFF;
        auto mapRange = [&, key](ColourMatcher& m, size_t from, size_t to) {
            uint32_t lastKey = 0xFFFFFFFF;
            uint8_t last = 0;
            const uint8_t* px = rgba + 4 * from;
            uint8_t* out = indices.data();
            for (size_t i = from; i < to; ++i, px += 4) {
                const uint32_t colour = uint32_t{px[0]} << 16 | uint32_t{px[1]} << 8 | px[2];
                if (px[3] < threshold || colour == key) continue;
                if (colour != lastKey) lastKey = colour, last = m.match({px[0], px[1], px[2]});
                out[i] = last;
            }
        };
        if (matcher.answersManyQuickly()) {
            // Every opaque pixel of a part at once, cell by cell (see matchEach); large
            // pictures in two halves at once.
            auto mapPart = [&, key](size_t from, size_t to) {
                std::vector<Rgb> colours;
                std::vector<uint32_t> where;
                colours.reserve(to - from);
                where.reserve(to - from);
                const uint8_t* px = rgba + 4 * from;
                for (size_t i = from; i < to; ++i, px += 4) {
                    const uint32_t colour = uint32_t{px[0]} << 16 | uint32_t{px[1]} << 8 | px[2];
                    if (px[3] < threshold || colour == key) continue;
                    colours.push_back({px[0], px[1], px[2]});
                    where.push_back(static_cast<uint32_t>(i));
                }
                std::vector<uint8_t> answers(colours.size());
                matcher.matchEach(colours, answers.data(), false);
                for (size_t k = 0; k < where.size(); ++k) indices[where[k]] = answers[k];
            };
            if (count >= kTwoThreadPixels && std::thread::hardware_concurrency() > 1) {
                auto other = std::async(std::launch::async, [&] { mapPart(count / 2, count); });
                mapPart(0, count / 2);
                other.get();
            } else {
                mapPart(0, count);
            }
        } else if (count >= kTwoThreadPixels && std::thread::hardware_concurrency() > 1) {
            if (!second_)
                second_ =
                    std::make_unique<ColourMatcher>(palette_.colours, rules_, options_.metric);
            const size_t half = count / 2;
            auto other = std::async(std::launch::async, [&] { mapRange(*second_, half, count); });
            mapRange(matcher, 0, half);
            other.get();
        } else {
            mapRange(matcher, 0, count);
        }
    } else if (options_.dither == Dither::Ordered) {
        for (size_t i = 0; i < count; ++i) {
            if (isTransparent(i) || keptExact(i)) continue;
            const Rgb c = colourAt(i);
            const size_t x = i % static_cast<size_t>(width), y = i / static_cast<size_t>(width);
            const double offset = (kBayer[y & 7][x & 7] - 31.5) / 64.0 * ditherSpread_;
            indices[i] = matcher.nearestSearchable(
                {clampByte(c.r + offset), clampByte(c.g + offset), clampByte(c.b + offset)});
        }
    } else if (options_.dither == Dither::Pattern || options_.dither == Dither::BlueNoise) {
        // Each colour's plan, a mix of entries whose average in linear light is the colour;
        // the threshold at the pixel's place picks one of them.
        const uint16_t* mask =
            options_.dither == Dither::BlueNoise ? blueNoiseMask().data() : nullptr;
        for (size_t i = 0; i < count; ++i) {
            if (isTransparent(i) || keptExact(i)) continue;
            const size_t x = i % static_cast<size_t>(width), y = i / static_cast<size_t>(width);
            const size_t rank =
                mask != nullptr ? mask[(y % kBlueNoiseSide) * kBlueNoiseSide + x % kBlueNoiseSide] *
                                      kPlanEntries / (kBlueNoiseSide * kBlueNoiseSide)
                                : static_cast<size_t>(kBayer[y & 7][x & 7]) * kPlanEntries / 64;
            indices[i] = planOf(colourAt(i))[rank];
        }
    } else {
        // Error diffusion in linear light, serpentine: the error is what the eye averages, so a
        // dithered area keeps the brightness and hue of the colour it stands for (in sRGB codes
        // a mid grey between black and white came out far too light). Error moves only between
        // pixels that are opaque and not exact. What a pixel carries is bounded: a carried
        // colour stays within kSlack of the cube (the entry is chosen for the nearest colour
        // inside it), so error cannot pile up along an edge the palette cannot follow, while
        // the error of an extreme entry is kept whole and the average stays right.
        const Kernel& kernel = kernelOf(options_.dither);
        const std::array<double, 256>& linear = linearLight();
        // Transparent pixels and exact ones (which keep their entry) neither give nor take
        // error.
        uint32_t lastKey = 0xFFFFFFFF;
        int lastExact = -1;
        // The sRGB value nearest to a linear one: how many of the values' midpoints it reaches,
        // counted from the first value of its 16,384th of the range, which holds at most one
        // midpoint (the steepest part, near black, moves 0.2 of a value in one).
        constexpr size_t kSteps = 16384;
        std::array<double, 256> midpoints{};
        for (size_t k = 0; k < 255; ++k) midpoints[k] = srgbToLinear(static_cast<double>(k) + 0.5);
        midpoints[255] = 2.0;
        std::vector<uint8_t> startOf(kSteps + 1);
        for (size_t j = 0, k = 0; j <= kSteps; ++j) {
            while (midpoints[k] <= static_cast<double>(j) / kSteps) ++k;
            startOf[j] = static_cast<uint8_t>(k);
        }
        auto toSrgb = [&](double v) {
            const size_t k = startOf[static_cast<size_t>(v * kSteps)];
            return static_cast<uint8_t>(k + (midpoints[k] <= v ? 1 : 0));
        };
        const size_t stride = static_cast<size_t>(width + 4) * 3;
        std::vector<double> error(stride * 3, 0.0);
        auto row = [&](int32_t y) { return error.data() + static_cast<size_t>(y % 3) * stride; };
        // The share for the next pixel of the row is carried in hand, the rest through rows.
        const double ahead = kernel[0].share;  // every kernel's first tap: (1, 0)
        for (int32_t y = 0; y < height; ++y) {
            double* here = row(y);
            std::fill(row(y + 2), row(y + 2) + stride, 0.0);
            const int32_t step = y % 2 == 0 ? 1 : -1;  // odd rows right to left
            // Where each further tap's error goes, as seen from pixel 0.
            std::array<double*, 6> tapAt{};
            for (size_t t = 1; t < kernel.size(); ++t) {
                tapAt[t] = row(y + kernel[t].dy) + (kernel[t].dx * step + 2) * 3;
            }
            double carried[3] = {0, 0, 0};
            for (int32_t n = 0; n < width; ++n) {
                const int32_t x = step > 0 ? n : width - 1 - n;
                const size_t i = static_cast<size_t>(y) * width + x;
                const double* e = here + (x + 2) * 3;
                const double held[3] = {carried[0], carried[1], carried[2]};
                carried[0] = carried[1] = carried[2] = 0;
                if (isTransparent(i)) continue;
                const Rgb c = colourAt(i);
                if (rgbKey(c) != lastKey) lastKey = rgbKey(c), lastExact = matcher.exactEntry(c);
                if (lastExact >= 0) {
                    indices[i] = static_cast<uint8_t>(lastExact);
                    continue;
                }
                const double v[3] = {
                    std::clamp(linear[c.r] + (e[0] + held[0]), -kSlack, 1 + kSlack),
                    std::clamp(linear[c.g] + (e[1] + held[1]), -kSlack, 1 + kSlack),
                    std::clamp(linear[c.b] + (e[2] + held[2]), -kSlack, 1 + kSlack)};
                const uint8_t chosen = matcher.nearestSearchable(
                    {toSrgb(std::clamp(v[0], 0.0, 1.0)), toSrgb(std::clamp(v[1], 0.0, 1.0)),
                     toSrgb(std::clamp(v[2], 0.0, 1.0))});
                indices[i] = chosen;
                const Rgb got = matcher.entry(chosen);
                const double left[3] = {v[0] - linear[got.r], v[1] - linear[got.g],
                                        v[2] - linear[got.b]};
                for (int k = 0; k < 3; ++k) carried[k] = left[k] * ahead;
                // Error for a pixel past an edge lands in the rows' margins or in rows never
                // read, and error for a transparent or exact pixel is never read: either way it
                // is dropped.
                for (size_t t = 1; t < kernel.size() && kernel[t].share != 0; ++t) {
                    double* to = tapAt[t] + x * 3;
                    for (int k = 0; k < 3; ++k) to[k] += left[k] * kernel[t].share;
                }
            }
        }
    }
    if (report != nullptr) {
        *report = MappingReport{};
        report->pixels = static_cast<int64_t>(count);
        std::bitset<256> used;
        double sum = 0, worstSquared = -1;
        uint32_t lastKey = 0xFFFFFFFF;
        int lastEntry = -1;
        double lastSquared = 0;
        for (size_t i = 0; i < count; ++i) {
            used.set(indices[i]);
            if (isTransparent(i)) {
                ++report->transparent;
                continue;
            }
            const Rgb c = colourAt(i);
            if (rgbKey(c) != lastKey || indices[i] != lastEntry) {
                lastKey = rgbKey(c), lastEntry = indices[i];
                lastSquared =
                    c == matcher.entry(indices[i]) ? 0 : matcher.squaredDifferenceTo(c, indices[i]);
            }
            (lastSquared == 0 ? report->exact : report->mapped) += 1;
            const double shown = shownDifference(options_.metric, lastSquared);
            sum += shown;
            if (lastSquared > worstSquared) {
                worstSquared = lastSquared;
                report->worst = shown;
                report->worstX = static_cast<int32_t>(i % static_cast<size_t>(width));
                report->worstY = static_cast<int32_t>(i / static_cast<size_t>(width));
            }
        }
        report->coloursUsed = static_cast<int>(used.count());
        const int64_t opaque = report->exact + report->mapped;
        report->mean = opaque > 0 ? sum / static_cast<double>(opaque) : 0;
    }
    return true;
}

}  // namespace kiv
