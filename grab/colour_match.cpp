#include "grab/colour_match.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <numbers>
#include <thread>

namespace kiv {

bool parseColourMetric(const std::string& word, ColourMetric& metric) {
    if (word == "oklab") {
        metric = ColourMetric::OkLab;
    } else if (word == "rgb") {
        metric = ColourMetric::Rgb;
    } else if (word == "ciede2000") {
        metric = ColourMetric::Ciede2000;
    } else {
        return false;
    }
    return true;
}

const char* metricName(ColourMetric metric) {
    switch (metric) {
        case ColourMetric::OkLab:
            return "oklab";
        case ColourMetric::Rgb:
            return "rgb";
        case ColourMetric::Ciede2000:
            return "ciede2000";
    }
    return "?";
}

namespace {

// Lanes: entries in groups of eight, each group their red, green and blue values and their
// entry numbers as floats; padding lies at kLanePadding, far outside the cube, never nearest.
constexpr float kLanePadding = 1000.0f;

// Whether the processor has AVX2 and FMA, which the searches in lanes use.
bool wideProcessor() {
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}

// The cube root to about 1e-14: a first guess from the exponent within 4 %, then two steps of
// Halley's method. Twice as fast as the library's, and the same function wherever
// a colour is converted, so every search compares the same numbers.
double cubeRoot(double v) {
    if (v <= 0) return 0;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits = bits / 3 + 0x2A9F7893782DA1CEull;
    double r;
    std::memcpy(&r, &bits, sizeof r);
    for (int i = 0; i < 2; ++i) {
        const double r3 = r * r * r;
        r = r * (r3 + 2 * v) / (2 * r3 + v);
    }
    return r;
}

ColourPoint okLab(Rgb colour) {
    const auto& lin = linearLight();
    const double r = lin[colour.r], g = lin[colour.g], b = lin[colour.b];
    const double l = cubeRoot(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = cubeRoot(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = cubeRoot(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

// CIELAB under the D65 white.
ColourPoint cieLab(Rgb colour) {
    const auto& lin = linearLight();
    const double r = lin[colour.r], g = lin[colour.g], b = lin[colour.b];
    const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
    auto f = [](double t) {
        constexpr double d = 6.0 / 29.0;
        return t > d * d * d ? cubeRoot(t) : t / (3 * d * d) + 4.0 / 29.0;
    };
    return {116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
}

double degrees(double radians) {
    return radians * 180.0 / std::numbers::pi;
}
double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

// CIEDE2000 squared, with kL = kC = kH = 1.
double ciede2000Squared(const ColourPoint& one, const ColourPoint& two) {
    constexpr double pow25to7 = 6103515625.0;
    const double c1 = std::hypot(one.y, one.z), c2 = std::hypot(two.y, two.z);
    const double cMean7 = std::pow((c1 + c2) / 2, 7);
    const double g = 0.5 * (1 - std::sqrt(cMean7 / (cMean7 + pow25to7)));
    const double a1 = (1 + g) * one.y, a2 = (1 + g) * two.y;
    const double cp1 = std::hypot(a1, one.z), cp2 = std::hypot(a2, two.z);
    auto hue = [](double b, double a) {
        if (a == 0 && b == 0) return 0.0;
        const double h = degrees(std::atan2(b, a));
        return h < 0 ? h + 360 : h;
    };
    const double h1 = hue(one.z, a1), h2 = hue(two.z, a2);
    const double dL = two.x - one.x, dC = cp2 - cp1;
    double dh = 0;
    const bool grey = cp1 * cp2 == 0;
    if (!grey) {
        dh = h2 - h1;
        if (dh > 180) dh -= 360;
        if (dh < -180) dh += 360;
    }
    const double dH = 2 * std::sqrt(cp1 * cp2) * std::sin(radians(dh / 2));
    const double lMean = (one.x + two.x) / 2, cpMean = (cp1 + cp2) / 2;
    double hMean = h1 + h2;
    if (!grey) {
        if (std::fabs(h1 - h2) <= 180) {
            hMean = (h1 + h2) / 2;
        } else {
            hMean = h1 + h2 < 360 ? (h1 + h2 + 360) / 2 : (h1 + h2 - 360) / 2;
        }
    }
    const double t = 1 - 0.17 * std::cos(radians(hMean - 30)) +
                     0.24 * std::cos(radians(2 * hMean)) + 0.32 * std::cos(radians(3 * hMean + 6)) -
                     0.20 * std::cos(radians(4 * hMean - 63));
    const double dTheta = 30 * std::exp(-std::pow((hMean - 275) / 25, 2));
    const double cpMean7 = std::pow(cpMean, 7);
    const double rC = 2 * std::sqrt(cpMean7 / (cpMean7 + pow25to7));
    const double lShift = (lMean - 50) * (lMean - 50);
    const double sL = 1 + 0.015 * lShift / std::sqrt(20 + lShift);
    const double sC = 1 + 0.045 * cpMean;
    const double sH = 1 + 0.015 * cpMean * t;
    const double rT = -std::sin(radians(2 * dTheta)) * rC;
    const double l = dL / sL, c = dC / sC, h = dH / sH;
    return l * l + c * c + h * h + rT * c * h;
}

// CIEDE2000 squared as above, from terms of each colour worked out once (L*, a*, b* and the
// chroma), with the hue angles' roles played by the colours' directions: the hue difference
// from their cross and dot products, the mean hue's cosines from their bisector, one arctangent
// for the rotation term. Equal to the above but for rounding (well below 1e-9 of the
// difference); searches confirm their nearest answers with the above. Colours of opposite hue
// (where the mean hue is a choice of the formula) are measured by the above.
struct CieTerms {
    double l = 0, a = 0, b = 0, chroma = 0;
};

CieTerms cieTerms(const ColourPoint& p) {
    return {p.x, p.y, p.z, std::sqrt(p.y * p.y + p.z * p.z)};
}

// Past beat, a bound below the difference may be given instead (it too is past beat).
double ciede2000Quickly(const CieTerms& one, const CieTerms& two, double beat) {
    constexpr double pow25to7 = 6103515625.0;
    auto seventh = [](double v) {
        const double v2 = v * v, v3 = v2 * v;
        return v3 * v3 * v;
    };
    const double cMean7 = seventh((one.chroma + two.chroma) / 2);
    const double g = 0.5 * (1 - std::sqrt(cMean7 / (cMean7 + pow25to7)));
    const double a1 = (1 + g) * one.a, a2 = (1 + g) * two.a;
    const double cp1 = std::sqrt(a1 * a1 + one.b * one.b), cp2 = std::sqrt(a2 * a2 + two.b * two.b);
    double dH = 0, hueX = 1, hueY = 0;  // the mean hue's direction
    if (cp1 * cp2 != 0) {
        const double cross = a1 * two.b - one.b * a2, dot = a1 * a2 + one.b * two.b;
        if (dot < 0 && std::fabs(cross) <= 1e-9 * cp1 * cp2) {
            return ciede2000Squared({one.l, one.a, one.b}, {two.l, two.a, two.b});
        }
        dH = std::copysign(std::sqrt(std::max(0.0, 2 * (cp1 * cp2 - dot))), cross);
        hueX = a1 / cp1 + a2 / cp2, hueY = one.b / cp1 + two.b / cp2;
    } else if (cp1 + cp2 != 0) {
        hueX = cp1 != 0 ? a1 : a2, hueY = cp1 != 0 ? one.b : two.b;  // the coloured one's hue
    }
    const double length = std::sqrt(hueX * hueX + hueY * hueY);
    const double cx = hueX / length, sx = hueY / length;
    // cos(h - 30), cos 2h, cos(3h + 6), cos(4h - 63) from cos h and sin h.
    const double c2 = 2 * cx * cx - 1, s2 = 2 * sx * cx;
    const double c3 = cx * (4 * cx * cx - 3), s3 = sx * (3 - 4 * sx * sx);
    const double c4 = 2 * c2 * c2 - 1, s4 = 2 * s2 * c2;
    static const double cos30 = std::cos(radians(30)), sin30 = std::sin(radians(30)),
                        cos6 = std::cos(radians(6)), sin6 = std::sin(radians(6)),
                        cos63 = std::cos(radians(63)), sin63 = std::sin(radians(63));
    const double t = 1 - 0.17 * (cx * cos30 + sx * sin30) + 0.24 * c2 +
                     0.32 * (c3 * cos6 - s3 * sin6) - 0.20 * (c4 * cos63 + s4 * sin63);
    const double cpMean = (cp1 + cp2) / 2;
    const double lMean = (one.l + two.l) / 2, lShift = (lMean - 50) * (lMean - 50);
    const double sL = 1 + 0.015 * lShift / std::sqrt(20 + lShift);
    const double sC = 1 + 0.045 * cpMean;
    const double sH = 1 + 0.015 * cpMean * t;
    const double l = (two.l - one.l) / sL, c = (cp2 - cp1) / sC, h = dH / sH;
    const double plain = l * l + c * c + h * h;
    // The rotation term is at most 2 sin 60° |c h|: without it the pair may already lose.
    const double least = (plain - 1.7321 * std::fabs(c * h)) * (1 - 1e-12);
    if (least > beat) return least;
    double hMean = degrees(std::atan2(sx, cx));
    if (hMean < 0) hMean += 360;
    const double from275 = (hMean - 275) / 25;
    const double dTheta = 30 * std::exp(-from275 * from275);
    const double cpMean7 = seventh(cpMean);
    const double rC = 2 * std::sqrt(cpMean7 / (cpMean7 + pow25to7));
    const double rT = -std::sin(radians(2 * dTheta)) * rC;
    return l * l + c * c + h * h + rT * c * h;
}

// A bound below CIEDE2000 squared, cheap: the lightness term over S_L at most
// 1 + 0.015 |L - 50| (x / sqrt(20 + x) < sqrt x), and the rest at least 1 - sqrt(3) / 2 of the
// chroma and hue terms (|R_T| < 2 sin 60°), which are at least the a*b* distance over the
// largest S_C (a' at most 1.5 a*, so C' at most 1.5 C*; S_H is below S_C).
double lowerBound(const CieTerms& one, const std::array<double, 4>& two) {
    const double sL = 1 + 0.015 * std::fabs((one.l + two[0]) / 2 - 50);
    const double dL = two[0] - one.l;
    const double da = two[1] - one.a, db = two[2] - one.b;
    const double sC = 1 + 0.0675 * (one.chroma + two[3]) / 2;
    return (dL * dL / (sL * sL) + (1 - 0.8661) * (da * da + db * db) / (sC * sC)) * (1 - 1e-12);
}

// The largest S_L of CIEDE2000 for lightness 0 to 100 is 1.7470...: a lightness difference dL
// makes the difference at least dL / 1.75.
constexpr double kLightnessBound = 1.75;

}  // namespace

double srgbToLinear(double value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double linear) {
    const double l = std::clamp(linear, 0.0, 1.0);
    return 255.0 * (l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055);
}

const std::array<double, 256>& linearLight() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int v = 0; v < 256; ++v) t[static_cast<size_t>(v)] = srgbToLinear(v);
        return t;
    }();
    return table;
}

void okLabToLinear(const double lab[3], double lin[3]) {
    const double l = lab[0] + 0.3963377774 * lab[1] + 0.2158037573 * lab[2];
    const double m = lab[0] - 0.1055613458 * lab[1] - 0.0638541728 * lab[2];
    const double s = lab[0] - 0.0894841775 * lab[1] - 1.2914855480 * lab[2];
    const double l3 = l * l * l, m3 = m * m * m, s3 = s * s * s;
    lin[0] = 4.0767416621 * l3 - 3.3077115913 * m3 + 0.2309699292 * s3;
    lin[1] = -1.2684380046 * l3 + 2.6097574011 * m3 - 0.3413193965 * s3;
    lin[2] = -0.0041960863 * l3 - 0.7034186147 * m3 + 1.7076147010 * s3;
}

ColourPoint colourPoint(ColourMetric metric, Rgb colour) {
    switch (metric) {
        case ColourMetric::Rgb:
            return {double(colour.r), double(colour.g), double(colour.b)};
        case ColourMetric::OkLab:
            return okLab(colour);
        case ColourMetric::Ciede2000:
            return cieLab(colour);
    }
    return {};
}

double squaredDifference(ColourMetric metric, const ColourPoint& a, const ColourPoint& b) {
    if (metric == ColourMetric::Ciede2000) return ciede2000Squared(a, b);
    const double x = a.x - b.x, y = a.y - b.y, z = a.z - b.z;
    return x * x + y * y + z * z;
}

double shownDifference(ColourMetric metric, double squared) {
    const double d = std::sqrt(std::max(squared, 0.0));
    return metric == ColourMetric::OkLab ? d * 100 : d;
}

// The sRGB cube cut into cells of 64, 16 and 4 values a side. Each cell keeps the entries that
// can be nearest to some colour in it (no nearer than the best entry's farthest reach), taken
// from its parent's, and is made when first needed. The bounds come from the box that holds the
// cell's colours where the metric measures: the values themselves for rgb; for OKLab, whose
// cube roots grow with every sRGB value, the box from the corners through interval arithmetic.
// Both metrics are Euclidean there, so the bounds hold; a finest cell of one candidate needs no
// measuring at all.
// Zero-filled memory from calloc. (Pages straight from mmap would cost nothing when untouched,
// but giving them back while other threads run costs every core a flush of its address cache.)
template <typename T>
class ZeroedArray {
  public:
    void make(size_t n) {
        data_.reset(static_cast<T*>(std::calloc(n, sizeof(T))));
        if (!data_) throw std::bad_alloc();
    }
    bool made() const { return data_ != nullptr; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

  private:
    std::unique_ptr<T[], void (*)(void*)> data_{nullptr, std::free};
};

struct ColourMatcher::Lattice {
    static constexpr int kLevels = 3;
    ColourMetric metric;
    std::array<ZeroedArray<uint32_t>, kLevels - 1> start;  // offset into pool + 1, or 0
    std::array<ZeroedArray<uint16_t>, kLevels - 1> count;
    std::vector<uint8_t> pool;
    // A finest cell in one small record: its candidates, whether a kept (reserved) entry's
    // colour lies in it, and, for a cell of several candidates, where the answers of its 64
    // colours are remembered once known.
    struct Finest {
        uint64_t known = 0;  // bit per colour: its answer is in answers
        uint32_t start = 0;  // offset into pool + 1, or 0: not made
        uint16_t count = 0;
        uint8_t kept = 0;
        uint32_t block = 0;  // where the cell's 64 answers are in answers, + 1; 0: none yet
    };
    std::vector<uint8_t> answers;
    // The matcher's block numbers and one-answer table; the records of each block here.
    std::vector<uint32_t>& blockOf;
    std::vector<uint16_t>& single;
    std::vector<std::unique_ptr<std::array<Finest, 64>>> finest;  // blocks stay where they are
    Finest& finestRecord(size_t cell) {
        const size_t r = cell >> 12, g = cell >> 6 & 63, b = cell & 63;
        uint32_t& block = blockOf[(r >> 2) << 8 | (g >> 2) << 4 | (b >> 2)];
        if (block == 0) {
            finest.push_back(std::make_unique<std::array<Finest, 64>>());
            single.resize(single.size() + 64, 0);
            block = static_cast<uint32_t>(finest.size());
        }
        return (*finest[block - 1])[(r & 3) << 4 | (g & 3) << 2 | (b & 3)];
    }
    uint16_t& singleOf(size_t cell) {
        finestRecord(cell);  // the block exists
        const size_t r = cell >> 12, g = cell >> 6 & 63, b = cell & 63;
        const uint32_t block = blockOf[(r >> 2) << 8 | (g >> 2) << 4 | (b >> 2)];
        return single[(block - 1) * size_t{64} + ((r & 3) << 4 | (g & 3) << 2 | (b & 3))];
    }

    static int shift(int level) { return 6 - 2 * level; }  // 64, 16 and 4 values a side
    static int side(int level) { return 4 << (2 * level); }

    Lattice(ColourMetric m, std::vector<uint32_t>& blocks, std::vector<uint16_t>& singles)
        : metric(m), blockOf(blocks), single(singles) {
        for (int level = 0; level < kLevels - 1; ++level) {
            const size_t cells = size_t{1} << (6 * (level + 1));
            start[static_cast<size_t>(level)].make(cells);
            count[static_cast<size_t>(level)].make(cells);
        }
    }

    static size_t finestCell(Rgb c) {
        return (static_cast<size_t>(c.r >> 2) << 12) | (static_cast<size_t>(c.g >> 2) << 6) |
               (c.b >> 2);
    }

    // The box in the metric's space that holds every colour of the cell.
    void bounds(int level, const int cell[3], double low[3], double high[3]) const {
        const int width = 1 << shift(level);
        int lo[3], hi[3];
        for (int k = 0; k < 3; ++k) lo[k] = cell[k] * width, hi[k] = lo[k] + width - 1;
        if (metric == ColourMetric::Rgb) {
            for (int k = 0; k < 3; ++k) low[k] = lo[k], high[k] = hi[k];
            return;
        }
        const auto& lin = linearLight();
        static constexpr double toLms[3][3] = {{0.4122214708, 0.5363325363, 0.0514459929},
                                               {0.2119034982, 0.6806995451, 0.1073969566},
                                               {0.0883024619, 0.2817188376, 0.6299787005}};
        static constexpr double toLab[3][3] = {{0.2104542553, 0.7936177850, -0.0040720468},
                                               {1.9779984951, -2.4285922050, 0.4505937099},
                                               {0.0259040371, 0.7827717662, -0.8086757660}};
        double rootLow[3], rootHigh[3];
        for (int j = 0; j < 3; ++j) {
            double a = 0, b = 0;
            for (int k = 0; k < 3; ++k) {
                a += toLms[j][k] * lin[static_cast<size_t>(lo[k])];
                b += toLms[j][k] * lin[static_cast<size_t>(hi[k])];
            }
            rootLow[j] = cubeRoot(a), rootHigh[j] = cubeRoot(b);
        }
        for (int j = 0; j < 3; ++j) {
            double a = 0, b = 0;
            for (int k = 0; k < 3; ++k) {
                const double c = toLab[j][k];
                a += c * (c > 0 ? rootLow[k] : rootHigh[k]);
                b += c * (c > 0 ? rootHigh[k] : rootLow[k]);
            }
            // Widened a little so that rounding never leaves a colour outside.
            low[j] = a - 1e-9, high[j] = b + 1e-9;
        }
    }

    // The candidates of a cell: offset into pool and count.
    std::pair<uint32_t, uint16_t> candidates(int level, const int cell[3],
                                             const std::vector<uint8_t>& all,
                                             const std::array<ColourPoint, 256>& points) {
        const int n = side(level);
        const size_t at = (static_cast<size_t>(cell[0]) * n + cell[1]) * n + cell[2];
        const bool last = level == kLevels - 1;
        uint32_t& made = last ? finestRecord(at).start : start[static_cast<size_t>(level)][at];
        uint16_t& many = last ? finestRecord(at).count : count[static_cast<size_t>(level)][at];
        if (made != 0) return {made - 1, many};
        uint8_t parent[256];
        size_t parents = 0;
        if (level == 0) {
            parents = all.size();
            std::copy(all.begin(), all.end(), parent);
        } else {
            const int up[3] = {cell[0] / 4, cell[1] / 4, cell[2] / 4};
            const auto [from, above] = candidates(level - 1, up, all, points);
            parents = above;
            std::copy(pool.begin() + from, pool.begin() + from + above, parent);
        }
        double boxLow[3], boxHigh[3];
        bounds(level, cell, boxLow, boxHigh);
        double reach = std::numeric_limits<double>::infinity();
        double nearest[256];
        for (size_t i = 0; i < parents; ++i) {
            const ColourPoint& p = points[parent[i]];
            const double v[3] = {p.x, p.y, p.z};
            double far = 0, near = 0;
            for (int k = 0; k < 3; ++k) {
                const double a = v[k] - boxLow[k], b = v[k] - boxHigh[k];
                far += std::max(a * a, b * b);
                const double gap = a < 0 ? -a : (b > 0 ? b : 0);
                near += gap * gap;
            }
            reach = std::min(reach, far);
            nearest[i] = near;
        }
        const uint32_t first = static_cast<uint32_t>(pool.size());
        const double limit = reach * (1 + 1e-9) + 1e-12;
        for (size_t i = 0; i < parents; ++i) {
            if (nearest[i] <= limit) pool.push_back(parent[i]);
        }
        made = first + 1;
        many = static_cast<uint16_t>(pool.size() - first);
        return {first, many};
    }
};

ColourMatcher::ColourMatcher(const std::array<uint8_t, 768>& colours, const MatchRules& rules,
                             ColourMetric metric)
    : metric_(metric), known_(nullptr, std::free), kept_(rules.keptExact) {
    for (int i = 0; i < 256; ++i) {
        const size_t at = static_cast<size_t>(3 * i);
        entries_[static_cast<size_t>(i)] = {colours[at], colours[at + 1], colours[at + 2]};
        points_[static_cast<size_t>(i)] = colourPoint(metric, entries_[static_cast<size_t>(i)]);
        // A later entry of the same colour can never be the answer: ties go to the lowest.
        const bool repeat = std::any_of(searchable_.begin(), searchable_.end(), [&](uint8_t e) {
            return entries_[e] == entries_[static_cast<size_t>(i)];
        });
        if (rules.searchable.test(static_cast<size_t>(i)) && !repeat) {
            searchable_.push_back(static_cast<uint8_t>(i));
        }
    }
    // Exact colours: searchable entries first, kept ones only where no searchable entry has the
    // colour; the lowest index of each.
    for (const bool searchablePass : {true, false}) {
        for (int i = 0; i < 256; ++i) {
            const auto bit = static_cast<size_t>(i);
            if (searchablePass ? !rules.searchable.test(bit) : !rules.keptExact.test(bit)) continue;
            const uint32_t key = rgbKey(entries_[bit]);
            const bool known = std::any_of(exact_.begin(), exact_.end(),
                                           [&](const auto& e) { return e.first == key; });
            if (!known) exact_.emplace_back(key, static_cast<uint8_t>(i));
        }
    }
    std::sort(exact_.begin(), exact_.end());
    for (const auto& [key, e] : exact_) {
        size_t slot = exactSlot(key);
        while (exactKeys_[slot] != 0) slot = (slot + 1) % kExactSlots;
        exactKeys_[slot] = key + (1u << 24);
        exactEntries_[slot] = e;
    }
    // rgb: the searchable entries as lanes.
    const size_t groups = (searchable_.size() + 7) / 8;
    lanes_.assign(metric == ColourMetric::Rgb ? groups * 32 : 0, 0.0f);
    for (size_t i = 0; i < lanes_.size() / 4; ++i) {
        const bool real = i < searchable_.size();
        const Rgb c = real ? entries_[searchable_[i]] : Rgb{};
        float* group = lanes_.data() + (i / 8) * 32 + i % 8;
        group[0] = real ? c.r : kLanePadding;
        group[8] = real ? c.g : kLanePadding;
        group[16] = real ? c.b : kLanePadding;
        group[24] = real ? searchable_[i] : 255.0f;
    }
    quick_ = metric == ColourMetric::Rgb && !searchable_.empty() && wideProcessor();
    if (quick_) {
        recentKeys_.assign(kRecent, 0);
        recentAnswers_.assign(kRecent, 0);
    }
    if (metric == ColourMetric::Ciede2000) {
        byLightness_ = searchable_;
        std::stable_sort(byLightness_.begin(), byLightness_.end(),
                         [&](uint8_t a, uint8_t b) { return points_[a].x < points_[b].x; });
        for (const uint8_t e : byLightness_) {
            const CieTerms t = cieTerms(points_[e]);
            byLightnessTerms_.push_back({t.l, t.a, t.b, t.chroma});
        }
    } else {
        blockOf_.assign(4096, 0);
        lattice_ = std::make_unique<Lattice>(metric, blockOf_, single_);
        for (const auto& [key, e] : exact_) {
            if (!rules.searchable.test(e))
                lattice_->finestRecord(Lattice::finestCell(entries_[e])).kept = 1;
        }
    }
}

ColourMatcher::~ColourMatcher() = default;

double ColourMatcher::squaredDifferenceTo(Rgb colour, int entry) const {
    return squaredDifference(metric_, colourPoint(metric_, colour),
                             points_[static_cast<size_t>(entry)]);
}

uint8_t ColourMatcher::nearestByFullSearch(Rgb colour) const {
    const ColourPoint p = colourPoint(metric_, colour);
    double best = std::numeric_limits<double>::infinity();
    uint8_t answer = searchable_.empty() ? 0 : searchable_.front();
    for (uint8_t e : searchable_) {
        const double d = squaredDifference(metric_, p, points_[e]);
        if (d < best) best = d, answer = e;
    }
    return answer;
}

uint8_t ColourMatcher::nearestByLightness(const ColourPoint& p) const {
    // Outward from the colour's lightness, measured quickly, until the lightness difference
    // alone rules out the rest; then every entry within rounding of the least is measured
    // exactly, so the answer is the exact search's.
    const auto n = static_cast<ptrdiff_t>(byLightness_.size());
    ptrdiff_t up = std::lower_bound(byLightness_.begin(), byLightness_.end(), p.x,
                                    [&](uint8_t e, double l) { return points_[e].x < l; }) -
                   byLightness_.begin();
    ptrdiff_t down = up - 1;
    const CieTerms want = cieTerms(p);
    constexpr double kRelative = 1e-6, kAbsolute = 1e-9;  // far above the quick form's rounding
    double best = std::numeric_limits<double>::infinity();
    std::array<std::pair<double, uint8_t>, 256> measured;
    size_t many = 0;
    while (down >= 0 || up < n) {
        const double dDown = down >= 0 ? p.x - points_[byLightness_[static_cast<size_t>(down)]].x
                                       : std::numeric_limits<double>::infinity();
        const double dUp = up < n ? points_[byLightness_[static_cast<size_t>(up)]].x - p.x
                                  : std::numeric_limits<double>::infinity();
        const bool takeDown = dDown <= dUp;
        const double dL = (takeDown ? dDown : dUp) / kLightnessBound;
        // Every entry further on either side differs at least this much.
        if (dL * dL > best * (1 + kRelative) + kAbsolute) break;
        const auto at = static_cast<size_t>(takeDown ? down-- : up++);
        const std::array<double, 4>& t = byLightnessTerms_[at];
        if (lowerBound(want, t) > best * (1 + kRelative) + kAbsolute) continue;
        const double d =
            ciede2000Quickly(want, {t[0], t[1], t[2], t[3]}, best * (1 + kRelative) + kAbsolute);
        measured[many++] = {d, byLightness_[at]};
        best = std::min(best, d);
    }
    double exact = std::numeric_limits<double>::infinity();
    int answer = 256;
    for (size_t i = 0; i < many; ++i) {
        if (measured[i].first > best * (1 + 2 * kRelative) + 2 * kAbsolute) continue;
        const uint8_t e = measured[i].second;
        const double d = ciede2000Squared(p, points_[e]);
        if (d < exact || (d == exact && e < answer)) exact = d, answer = e;
    }
    return static_cast<uint8_t>(answer == 256 ? 0 : answer);
}

uint8_t ColourMatcher::nearest(Rgb colour) {
    if (searchable_.empty()) return 0;
    const ColourPoint p = colourPoint(metric_, colour);
    if (!lattice_) return nearestByLightness(p);
    const int cell[3] = {colour.r >> 2, colour.g >> 2, colour.b >> 2};
    const auto [from, many] =
        lattice_->candidates(Lattice::kLevels - 1, cell, searchable_, points_);
    return nearestOf(p, lattice_->pool.data() + from, many);
}

uint8_t ColourMatcher::nearestOnce(Rgb colour) {
    if (searchable_.empty()) return 0;
    const ColourPoint p = colourPoint(metric_, colour);
    if (!lattice_) return nearestByLightness(p);
    const int cell[3] = {colour.r >> 4, colour.g >> 4, colour.b >> 4};
    const auto [from, many] = lattice_->candidates(1, cell, searchable_, points_);
    return nearestOf(p, lattice_->pool.data() + from, many);
}

namespace {

// The key (difference << 8 | entry) of the nearest entry of the lanes, the lowest of the least
// difference: the same answer as a search in index order. A squared difference of 8-bit values (at
// most 195,075; padding's at most 3 x 1000²) is a whole number that floats hold exactly, so
// (difference << 8 | entry) is a key whose least is the answer.
__attribute__((target("avx2,fma"))) uint32_t leastKeyInLanesAvx2(const float* lanes, size_t groups,
                                                                 const __m256 want[3]) {
    __m256i best = _mm256_set1_epi32(INT32_MAX);
    for (size_t n = 0; n < groups; ++n, lanes += 32) {
        const __m256 dr = _mm256_sub_ps(_mm256_loadu_ps(lanes), want[0]);
        const __m256 dg = _mm256_sub_ps(_mm256_loadu_ps(lanes + 8), want[1]);
        const __m256 db = _mm256_sub_ps(_mm256_loadu_ps(lanes + 16), want[2]);
        const __m256 d = _mm256_fmadd_ps(dr, dr, _mm256_fmadd_ps(dg, dg, _mm256_mul_ps(db, db)));
        const __m256i key = _mm256_or_si256(_mm256_slli_epi32(_mm256_cvttps_epi32(d), 8),
                                            _mm256_cvttps_epi32(_mm256_loadu_ps(lanes + 24)));
        best = _mm256_min_epi32(best, key);
    }
    best = _mm256_min_epi32(best, _mm256_permute2x128_si256(best, best, 1));
    best = _mm256_min_epi32(best, _mm256_shuffle_epi32(best, 0x4E));
    best = _mm256_min_epi32(best, _mm256_shuffle_epi32(best, 0xB1));
    return static_cast<uint32_t>(_mm256_cvtsi256_si32(best));
}

// The entries of the lanes that may be nearest to some colour of the box low to high (each
// component, inclusive): those no farther from the box than the nearest entry's farthest
// corner. Written to out as lanes; the count of groups is returned.
__attribute__((target("avx2,fma"))) size_t boxCandidatesAvx2(const float* lanes, size_t groups,
                                                             const float low[3],
                                                             const float high[3], float* out) {
    __m256 lo[3], hi[3];
    for (int k = 0; k < 3; ++k) lo[k] = _mm256_set1_ps(low[k]), hi[k] = _mm256_set1_ps(high[k]);
    const __m256 zero = _mm256_setzero_ps();
    __m256 reach = _mm256_set1_ps(3e38f);
    __m256 nearBy[32];
    for (size_t n = 0; n < groups; ++n) {
        __m256 far = zero, near = zero;
        for (size_t k = 0; k < 3; ++k) {
            const __m256 v = _mm256_loadu_ps(lanes + n * 32 + k * 8);
            const __m256 a = _mm256_sub_ps(v, lo[k]), b = _mm256_sub_ps(v, hi[k]);
            far = _mm256_add_ps(far, _mm256_max_ps(_mm256_mul_ps(a, a), _mm256_mul_ps(b, b)));
            const __m256 gap = _mm256_max_ps(_mm256_max_ps(_mm256_sub_ps(zero, a), zero), b);
            near = _mm256_fmadd_ps(gap, gap, near);
        }
        reach = _mm256_min_ps(reach, far);
        nearBy[n] = near;
    }
    reach = _mm256_min_ps(reach, _mm256_permute2f128_ps(reach, reach, 1));
    reach = _mm256_min_ps(reach, _mm256_shuffle_ps(reach, reach, 0x4E));
    reach = _mm256_min_ps(reach, _mm256_shuffle_ps(reach, reach, 0xB1));
    size_t many = 0;
    for (size_t n = 0; n < groups; ++n) {
        auto mask =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(nearBy[n], reach, _CMP_LE_OQ)));
        for (; mask != 0; mask &= mask - 1, ++many) {
            const size_t from = n * 32 + static_cast<size_t>(__builtin_ctz(mask));
            float* to = out + (many / 8) * 32 + many % 8;
            to[0] = lanes[from], to[8] = lanes[from + 8], to[16] = lanes[from + 16],
            to[24] = lanes[from + 24];
        }
    }
    for (; many % 8 != 0; ++many) {
        float* to = out + (many / 8) * 32 + many % 8;
        to[0] = to[8] = to[16] = kLanePadding, to[24] = 255.0f;
    }
    return many / 8;
}

// The colours of cells fromCell to toCell (see cellOf), listed by order from first[cell]: each
// to its nearest entry, or with keptOnly (sorted colour keys of entries that only an exact
// colour takes), to that entry when the colour is exactly one.
__attribute__((target("avx2,fma"))) void nearestByCellsAvx2(
    std::span<const Rgb> colours, const std::vector<uint32_t>& order,
    const std::vector<uint32_t>& first, size_t fromCell, size_t toCell, const float* lanes,
    size_t groups, const std::vector<std::pair<uint32_t, uint8_t>>* keptOnly, uint8_t* out) {
    float parent[32 * 32], child[32 * 32];
    size_t parentGroups = 0, parentOf = SIZE_MAX;
    for (size_t cell = fromCell; cell < toCell; ++cell) {
        if (first[cell] == first[cell + 1]) continue;
        // cell: the cell of 64 a side (r, g, b: 2 bits each), then the cell of 16 inside it.
        const size_t up = cell >> 6;
        const int r16 = static_cast<int>((up >> 4 & 3) << 2 | (cell >> 4 & 3));
        const int g16 = static_cast<int>((up >> 2 & 3) << 2 | (cell >> 2 & 3));
        const int b16 = static_cast<int>((up & 3) << 2 | (cell & 3));
        if (up != parentOf) {
            const float low[3] = {float((r16 >> 2) * 64), float((g16 >> 2) * 64),
                                  float((b16 >> 2) * 64)};
            const float high[3] = {low[0] + 63, low[1] + 63, low[2] + 63};
            parentGroups = boxCandidatesAvx2(lanes, groups, low, high, parent);
            parentOf = up;
        }
        const float low[3] = {float(r16 * 16), float(g16 * 16), float(b16 * 16)};
        const float high[3] = {low[0] + 15, low[1] + 15, low[2] + 15};
        const size_t childGroups = boxCandidatesAvx2(parent, parentGroups, low, high, child);
        uint32_t lastKey = UINT32_MAX;
        uint8_t last = 0;
        for (uint32_t k = first[cell]; k < first[cell + 1]; ++k) {
            const Rgb c = colours[order[k]];
            if (rgbKey(c) != lastKey) {
                lastKey = rgbKey(c);
                const __m256 want[3] = {_mm256_set1_ps(c.r), _mm256_set1_ps(c.g),
                                        _mm256_set1_ps(c.b)};
                const uint32_t key = leastKeyInLanesAvx2(child, childGroups, want);
                last = static_cast<uint8_t>(key & 0xFF);
                if (keptOnly != nullptr && key > 0xFF) {
                    const auto found = std::lower_bound(keptOnly->begin(), keptOnly->end(),
                                                        std::pair<uint32_t, uint8_t>{lastKey, 0});
                    if (found != keptOnly->end() && found->first == lastKey) last = found->second;
                }
            }
            out[order[k]] = last;
        }
    }
}

__attribute__((target("avx2,fma"))) uint32_t leastKeyInLanes(const float* lanes, size_t groups,
                                                             Rgb c) {
    const __m256 want[3] = {_mm256_set1_ps(c.r), _mm256_set1_ps(c.g), _mm256_set1_ps(c.b)};
    return leastKeyInLanesAvx2(lanes, groups, want);
}

size_t cellOf(Rgb c) {
    return size_t(c.r >> 6) << 10 | size_t(c.g >> 6) << 8 | size_t(c.b >> 6) << 6 |
           size_t(c.r >> 4 & 3) << 4 | size_t(c.g >> 4 & 3) << 2 | size_t(c.b >> 4 & 3);
}

}  // namespace

uint8_t ColourMatcher::nearestSearchableSlowly(Rgb colour) {
    if (!quick_) {
        const uint8_t e = match(colour);
        return kept_.test(e) ? nearestByFullSearch(colour) : e;
    }
    // The candidates of the colour's cell of 16 a side, made once, as lanes: the count of
    // groups, then the groups. A cell of 4 a side with one candidate is known by it (see
    // nearestSearchable), others' answers are remembered by colour.
    if (cellLanes_.empty()) {
        cellLanes_.assign(4096, 0);
        finestSingle_.assign(size_t{1} << 18, 0);
    }
    const size_t cell = size_t(colour.r >> 4) << 8 | size_t(colour.g >> 4) << 4 | (colour.b >> 4);
    if (cellLanes_[cell] == 0) {
        float lanes[32 * 32];
        const float low[3] = {float(colour.r & 0xF0), float(colour.g & 0xF0),
                              float(colour.b & 0xF0)};
        const float high[3] = {low[0] + 15, low[1] + 15, low[2] + 15};
        const size_t groups =
            boxCandidatesAvx2(lanes_.data(), lanes_.size() / 32, low, high, lanes);
        cellLanes_[cell] = static_cast<uint32_t>(cellPool_.size() + 1);
        cellPool_.push_back(static_cast<float>(groups));
        cellPool_.insert(cellPool_.end(), lanes, lanes + groups * 32);
    }
    const float* at = cellPool_.data() + cellLanes_[cell] - 1;
    uint16_t& single = finestSingle_[finestOf(colour)];
    if (single == 0) {
        float lanes[32 * 32];
        const float low[3] = {float(colour.r & 0xFC), float(colour.g & 0xFC),
                              float(colour.b & 0xFC)};
        const float high[3] = {low[0] + 3, low[1] + 3, low[2] + 3};
        const size_t groups =
            boxCandidatesAvx2(at + 1, static_cast<size_t>(at[0]), low, high, lanes);
        // One candidate: the first lane of the first group, the rest padding.
        single = groups == 1 && lanes[1] == kLanePadding
                     ? static_cast<uint16_t>(static_cast<int>(lanes[24]) + 1)
                     : uint16_t{0xFFFF};
        if (single != 0xFFFF) return static_cast<uint8_t>(single - 1);
    }
    const auto answer =
        static_cast<uint8_t>(leastKeyInLanes(at + 1, static_cast<size_t>(at[0]), colour) & 0xFF);
    const size_t recent = recentSlot(rgbKey(colour));
    recentKeys_[recent] = rgbKey(colour) + 1;
    recentAnswers_[recent] = answer;
    return answer;
}

bool ColourMatcher::answersManyQuickly() const {
    return quick_;
}

void ColourMatcher::nearestOfEach(std::span<const Rgb> colours, uint8_t* out) {
    if (!answersManyQuickly()) {
        for (size_t i = 0; i < colours.size(); ++i) out[i] = nearestOnce(colours[i]);
        return;
    }
    byCells(colours, out, nullptr, true);
}

void ColourMatcher::matchEach(std::span<const Rgb> colours, uint8_t* out, bool twoAtOnce) const {
    std::vector<std::pair<uint32_t, uint8_t>> keptOnly;
    for (const auto& [key, e] : exact_) {
        if (std::find(searchable_.begin(), searchable_.end(), e) == searchable_.end())
            keptOnly.emplace_back(key, e);
    }
    byCells(colours, out, keptOnly.empty() ? nullptr : &keptOnly, twoAtOnce);
}

void ColourMatcher::byCells(std::span<const Rgb> colours, uint8_t* out,
                            const std::vector<std::pair<uint32_t, uint8_t>>* keptOnly,
                            bool twoAtOnce) const {
    // The colours by their cell of 16 a side, cells of one cell of 64 together: each cell's
    // candidates are found once, from its parent's, and serve all its colours at once. Many
    // colours are answered in two halves at once.
    std::vector<uint32_t> first(4097, 0), order(colours.size());
    for (const Rgb& c : colours) ++first[cellOf(c) + 1];
    for (size_t cell = 0; cell < 4096; ++cell) first[cell + 1] += first[cell];
    std::vector<uint32_t> next(first.begin(), first.end() - 1);
    for (size_t i = 0; i < colours.size(); ++i)
        order[next[cellOf(colours[i])]++] = static_cast<uint32_t>(i);
    const size_t groups = lanes_.size() / 32;
    if (!twoAtOnce || colours.size() < 8192 || std::thread::hardware_concurrency() < 2) {
        nearestByCellsAvx2(colours, order, first, 0, 4096, lanes_.data(), groups, keptOnly, out);
        return;
    }
    // Split at a cell of 64 near the middle of the colours.
    size_t half = 64;
    while (half < 4096 && first[half] < colours.size() / 2) half += 64;
    auto other = std::async(std::launch::async, [&] {
        nearestByCellsAvx2(colours, order, first, half, 4096, lanes_.data(), groups, keptOnly, out);
    });
    nearestByCellsAvx2(colours, order, first, 0, half, lanes_.data(), groups, keptOnly, out);
    other.get();
}

// The nearest of a cell's candidates (in index order, so ties go to the lowest), measured as
// squaredDifference measures rgb and OKLab.
uint8_t ColourMatcher::nearestOf(const ColourPoint& p, const uint8_t* candidate,
                                 size_t many) const {
    double best = std::numeric_limits<double>::infinity();
    uint8_t answer = candidate[0];
    for (size_t i = 0; i < many; ++i) {
        const ColourPoint& q = points_[candidate[i]];
        const double x = p.x - q.x, y = p.y - q.y, z = p.z - q.z;
        const double d = x * x + y * y + z * z;
        if (d < best) best = d, answer = candidate[i];
    }
    return answer;
}

uint8_t ColourMatcher::matchSlowly(Rgb colour) {
    if (lattice_) {
        // Searchable entries of exactly the colour are found by the search (difference 0, lowest
        // index); kept ones are looked up only in the few cells that hold one.
        const size_t cell = Lattice::finestCell(colour);
        Lattice::Finest& record = lattice_->finestRecord(cell);
        if (record.kept != 0) {
            const int exact = exactEntry(colour);
            if (exact >= 0) return static_cast<uint8_t>(exact);
        }
        if (record.start == 0) return nearest(colour);
        const uint32_t from = record.start - 1;
        const uint16_t many = record.count;
        if (many == 1) {
            if (record.kept == 0) {
                lattice_->singleOf(cell) = static_cast<uint16_t>(lattice_->pool[from] + 1);
            }
            return lattice_->pool[from];
        }
        const unsigned slot = (colour.r & 3u) << 4 | (colour.g & 3u) << 2 | (colour.b & 3u);
        if (record.block == 0) {
            lattice_->answers.resize(lattice_->answers.size() + 64);
            record.block = static_cast<uint32_t>(lattice_->answers.size() / 64);
        }
        uint8_t& remembered = lattice_->answers[(record.block - 1) * size_t{64} + slot];
        if ((record.known >> slot & 1) != 0) return remembered;
        const uint8_t answer =
            nearestOf(colourPoint(metric_, colour), lattice_->pool.data() + from, many);
        remembered = answer;
        record.known |= uint64_t{1} << slot;
        return answer;
    }
    if (!known_) {
        known_.reset(static_cast<uint16_t*>(std::calloc(size_t{1} << 24, sizeof(uint16_t))));
        if (!known_) throw std::bad_alloc();
    }
    uint16_t& slot = known_[rgbKey(colour)];
    if (slot == 0) {
        const int exact = exactEntry(colour);
        slot = static_cast<uint16_t>((exact >= 0 ? exact : nearest(colour)) + 1);
    }
    return static_cast<uint8_t>(slot - 1);
}

void linearToOkLab(const double lin[3], double lab[3]) {
    const double l =
        cubeRoot(0.4122214708 * lin[0] + 0.5363325363 * lin[1] + 0.0514459929 * lin[2]);
    const double m =
        cubeRoot(0.2119034982 * lin[0] + 0.6806995451 * lin[1] + 0.1073969566 * lin[2]);
    const double s =
        cubeRoot(0.0883024619 * lin[0] + 0.2817188376 * lin[1] + 0.6299787005 * lin[2]);
    lab[0] = 0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s;
    lab[1] = 1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s;
    lab[2] = 0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s;
}

}  // namespace kiv
