#include "grab/colour_match.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>

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
        case ColourMetric::OkLab: return "oklab";
        case ColourMetric::Rgb: return "rgb";
        case ColourMetric::Ciede2000: return "ciede2000";
    }
    return "?";
}

namespace {

// sRGB values 0 to 255 in linear light, 0 to 1.
const std::array<double, 256>& linearLight() {
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int v = 0; v < 256; ++v) {
            const double c = v / 255.0;
            t[static_cast<size_t>(v)] =
                c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
        return t;
    }();
    return table;
}

ColourPoint okLab(Rgb colour) {
    const auto& lin = linearLight();
    const double r = lin[colour.r], g = lin[colour.g], b = lin[colour.b];
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
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
        return t > d * d * d ? std::cbrt(t) : t / (3 * d * d) + 4.0 / 29.0;
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
    const double t = 1 - 0.17 * std::cos(radians(hMean - 30)) + 0.24 * std::cos(radians(2 * hMean)) +
                     0.32 * std::cos(radians(3 * hMean + 6)) - 0.20 * std::cos(radians(4 * hMean - 63));
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

// The largest S_L of CIEDE2000 for lightness 0 to 100 is 1.7470...: a lightness difference dL
// makes the difference at least dL / 1.75.
constexpr double kLightnessBound = 1.75;

}  // namespace

ColourPoint colourPoint(ColourMetric metric, Rgb colour) {
    switch (metric) {
        case ColourMetric::Rgb: return {double(colour.r), double(colour.g), double(colour.b)};
        case ColourMetric::OkLab: return okLab(colour);
        case ColourMetric::Ciede2000: return cieLab(colour);
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

// The space of points cut into 4, 16 and 64 cells a side. Each cell keeps the entries that can
// be nearest to some point in it (none nearer than the best entry's farthest reach), taken from
// its parent's, and is made when first needed. Rgb and OKLab are Euclidean, so the bounds hold.
struct ColourMatcher::Lattice {
    static constexpr int kLevels = 3;
    double low[3]{}, span[3]{};
    std::array<std::vector<uint32_t>, kLevels> start;  // into pool, or kUnmade
    std::array<std::vector<uint16_t>, kLevels> count;
    std::vector<uint8_t> pool;
    static constexpr uint32_t kUnmade = std::numeric_limits<uint32_t>::max();

    static int side(int level) { return 4 << (2 * level); }

    Lattice(ColourPoint low3, ColourPoint high3) {
        low[0] = low3.x, low[1] = low3.y, low[2] = low3.z;
        span[0] = high3.x - low3.x, span[1] = high3.y - low3.y, span[2] = high3.z - low3.z;
        for (int level = 0; level < kLevels; ++level) {
            const size_t cells = static_cast<size_t>(side(level)) * side(level) * side(level);
            start[static_cast<size_t>(level)].assign(cells, kUnmade);
            count[static_cast<size_t>(level)].assign(cells, 0);
        }
    }

    // The finest cell of a point, false outside the space.
    bool cellOf(const ColourPoint& p, int cell[3]) const {
        const double v[3] = {p.x, p.y, p.z};
        const int n = side(kLevels - 1);
        for (int k = 0; k < 3; ++k) {
            const double at = std::floor((v[k] - low[k]) / span[k] * n);
            if (!(at >= 0 && at < n)) return false;
            cell[k] = static_cast<int>(at);
        }
        return true;
    }

    // The candidates of a cell: offset into pool and count.
    std::pair<uint32_t, uint16_t> candidates(int level, const int cell[3],
                                             const std::vector<uint8_t>& all,
                                             const std::array<ColourPoint, 256>& points) {
        const int n = side(level);
        const size_t at = (static_cast<size_t>(cell[0]) * n + cell[1]) * n + cell[2];
        auto& starts = start[static_cast<size_t>(level)];
        auto& counts = count[static_cast<size_t>(level)];
        if (starts[at] != kUnmade) return {starts[at], counts[at]};
        uint8_t parent[256];
        size_t parents = 0;
        if (level == 0) {
            parents = all.size();
            std::copy(all.begin(), all.end(), parent);
        } else {
            const int up[3] = {cell[0] / 4, cell[1] / 4, cell[2] / 4};
            const auto [from, many] = candidates(level - 1, up, all, points);
            parents = many;
            std::copy(pool.begin() + from, pool.begin() + from + many, parent);
        }
        // The cell's box, widened a little so that rounding never leaves a point outside it.
        double boxLow[3], boxHigh[3];
        for (int k = 0; k < 3; ++k) {
            const double margin = span[k] * 1e-9;
            boxLow[k] = low[k] + span[k] * cell[k] / n - margin;
            boxHigh[k] = low[k] + span[k] * (cell[k] + 1) / n + margin;
        }
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
        starts[at] = first;
        counts[at] = static_cast<uint16_t>(pool.size() - first);
        return {first, counts[at]};
    }
};

ColourMatcher::ColourMatcher(const std::array<uint8_t, 768>& colours, const MatchRules& rules,
                             ColourMetric metric)
    : metric_(metric), known_(nullptr, std::free) {
    for (int i = 0; i < 256; ++i) {
        const size_t at = static_cast<size_t>(3 * i);
        entries_[static_cast<size_t>(i)] = {colours[at], colours[at + 1], colours[at + 2]};
        points_[static_cast<size_t>(i)] = colourPoint(metric, entries_[static_cast<size_t>(i)]);
        if (rules.searchable.test(static_cast<size_t>(i))) {
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
    if (metric == ColourMetric::Ciede2000) {
        byLightness_ = searchable_;
        std::stable_sort(byLightness_.begin(), byLightness_.end(),
                         [&](uint8_t a, uint8_t b) { return points_[a].x < points_[b].x; });
    } else if (metric == ColourMetric::Rgb) {
        lattice_ = std::make_unique<Lattice>(ColourPoint{0, 0, 0}, ColourPoint{256, 256, 256});
    } else {
        // OKLab of every sRGB colour lies well inside this box.
        lattice_ = std::make_unique<Lattice>(ColourPoint{-0.01, -0.25, -0.33},
                                             ColourPoint{1.01, 0.29, 0.22});
    }
}

ColourMatcher::~ColourMatcher() = default;

int ColourMatcher::exactEntry(Rgb colour) const {
    const uint32_t key = rgbKey(colour);
    const auto found = std::lower_bound(exact_.begin(), exact_.end(),
                                        std::pair<uint32_t, uint8_t>{key, 0});
    return found != exact_.end() && found->first == key ? found->second : -1;
}

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
    const auto n = static_cast<ptrdiff_t>(byLightness_.size());
    ptrdiff_t up = std::lower_bound(byLightness_.begin(), byLightness_.end(), p.x,
                                    [&](uint8_t e, double l) { return points_[e].x < l; }) -
                   byLightness_.begin();
    ptrdiff_t down = up - 1;
    double best = std::numeric_limits<double>::infinity();
    int answer = 256;
    while (down >= 0 || up < n) {
        const double dDown = down >= 0 ? p.x - points_[byLightness_[static_cast<size_t>(down)]].x
                                       : std::numeric_limits<double>::infinity();
        const double dUp = up < n ? points_[byLightness_[static_cast<size_t>(up)]].x - p.x
                                  : std::numeric_limits<double>::infinity();
        const bool takeDown = dDown <= dUp;
        const double dL = (takeDown ? dDown : dUp) / kLightnessBound;
        // Every entry further on either side differs at least this much.
        if (dL * dL > best * (1 + 1e-9) + 1e-12) break;
        const uint8_t e = byLightness_[static_cast<size_t>(takeDown ? down-- : up++)];
        const double d = squaredDifference(metric_, p, points_[e]);
        if (d < best || (d == best && e < answer)) best = d, answer = e;
    }
    return static_cast<uint8_t>(answer == 256 ? 0 : answer);
}

uint8_t ColourMatcher::nearest(Rgb colour) {
    if (searchable_.empty()) return 0;
    const ColourPoint p = colourPoint(metric_, colour);
    if (!lattice_) return nearestByLightness(p);
    int cell[3];
    if (!lattice_->cellOf(p, cell)) return nearestByFullSearch(colour);
    const auto [from, many] = lattice_->candidates(Lattice::kLevels - 1, cell, searchable_, points_);
    const uint8_t* candidate = lattice_->pool.data() + from;
    double best = std::numeric_limits<double>::infinity();
    uint8_t answer = candidate[0];
    for (uint16_t i = 0; i < many; ++i) {
        const double d = squaredDifference(metric_, p, points_[candidate[i]]);
        if (d < best) best = d, answer = candidate[i];
    }
    return answer;
}

uint8_t ColourMatcher::match(Rgb colour) {
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

}  // namespace kiv
