#include "grab/palette_completion.h"

#include <algorithm>
#include <cmath>

namespace kiv {

void countColours(const TrueColourPicture& picture, ColourCounts& counts) {
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    const uint8_t* px = picture.rgba.data();
    for (size_t i = 0; i < count && 4 * i + 3 < picture.rgba.size(); ++i, px += 4) {
        if (px[3] >= 128) ++counts[uint32_t{px[0]} << 16 | uint32_t{px[1]} << 8 | px[2]];
    }
}

namespace {

struct Weighted {
    Rgb colour;
    uint64_t count = 0;
    ColourPoint point;  // where means are taken
};

Rgb entryOf(const std::array<uint8_t, 768>& p, size_t i) {
    return {p[3 * i], p[3 * i + 1], p[3 * i + 2]};
}

uint8_t toByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// The 8-bit sRGB colour of a mean: sRGB values as they are, OKLab turned back.
Rgb colourOfMean(bool inOkLab, const ColourPoint& p) {
    if (!inOkLab) return {toByte(p.x), toByte(p.y), toByte(p.z)};
    const double lab[3] = {p.x, p.y, p.z};
    double lin[3];
    okLabToLinear(lab, lin);
    return {toByte(linearToSrgb(lin[0])), toByte(linearToSrgb(lin[1])),
            toByte(linearToSrgb(lin[2]))};
}

struct Served {
    double mean = 0, worst = 0;
};

// Each colour to its nearest entry of the whole palette under the metric; assigned receives
// the entry of each colour.
Served serve(const std::array<uint8_t, 768>& palette, ColourMetric metric,
             const std::vector<Weighted>& colours, std::vector<uint8_t>* assigned) {
    MatchRules rules;
    rules.searchable.set();
    ColourMatcher matcher(palette, rules, metric);
    Served s;
    double sum = 0, weight = 0;
    if (assigned != nullptr) assigned->resize(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) {
        const uint8_t e = matcher.match(colours[i].colour);
        if (assigned != nullptr) (*assigned)[i] = e;
        const double shown =
            shownDifference(metric, matcher.squaredDifferenceTo(colours[i].colour, e));
        sum += shown * static_cast<double>(colours[i].count);
        weight += static_cast<double>(colours[i].count);
        s.worst = std::max(s.worst, shown);
    }
    s.mean = weight > 0 ? sum / weight : 0;
    return s;
}

double distanceSquared(const ColourPoint& a, const ColourPoint& b) {
    return (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z);
}

}  // namespace

bool completePalette(const std::array<uint8_t, 768>& source, const std::bitset<256>& keep,
                     const ColourCounts& counts, ColourMetric metric,
                     std::array<uint8_t, 768>& palette, CompletionReport& report,
                     std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    if (keep.all()) return fail("--keep lists every entry: none is left to choose");
    if (counts.empty()) return fail("the pictures have no opaque pixel");
    const bool inOkLab = metric != ColourMetric::Rgb;
    const ColourMetric space = inOkLab ? ColourMetric::OkLab : ColourMetric::Rgb;
    std::vector<Weighted> colours;
    colours.reserve(counts.size());
    for (const auto& [key, count] : counts) {
        const Rgb c{static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
                    static_cast<uint8_t>(key)};
        colours.push_back({c, count, colourPoint(space, c)});
    }
    // The same answer whatever order the counts came in.
    std::sort(colours.begin(), colours.end(), [](const Weighted& a, const Weighted& b) {
        return rgbKey(a.colour) < rgbKey(b.colour);
    });
    report = CompletionReport{};
    report.colours = colours.size();
    for (const Weighted& w : colours) report.pixels += w.count;
    const Served before = serve(source, metric, colours, nullptr);
    report.meanBefore = before.mean, report.worstBefore = before.worst;

    palette = source;
    std::vector<size_t> chosen;
    for (size_t e = 0; e < 256; ++e) {
        if (!keep.test(e)) chosen.push_back(e);
    }
    report.chosen = static_cast<int>(chosen.size());
    // Seeding: each chosen entry where the weighted squared distance to the nearest entry so
    // far is largest; a colour that already has an entry of its own gives nothing.
    std::vector<double> nearest(colours.size(), 1e300);
    auto nearer = [&](const ColourPoint& p) {
        for (size_t i = 0; i < colours.size(); ++i)
            nearest[i] = std::min(nearest[i], distanceSquared(colours[i].point, p));
    };
    for (size_t e = 0; e < 256; ++e) {
        if (keep.test(e)) nearer(colourPoint(space, entryOf(source, e)));
    }
    for (const size_t e : chosen) {
        size_t best = 0;
        double most = -1;
        for (size_t i = 0; i < colours.size(); ++i) {
            const double worth = nearest[i] * static_cast<double>(colours[i].count);
            if (worth > most) most = worth, best = i;
        }
        const Rgb c = most > 0 ? colours[best].colour : entryOf(source, e);
        palette[3 * e] = c.r, palette[3 * e + 1] = c.g, palette[3 * e + 2] = c.b;
        nearer(colourPoint(space, c));
    }
    // Refinement: every chosen entry moves to the mean of its colours, until none moves.
    std::vector<uint8_t> assigned;
    for (int round = 0; round < 40; ++round) {
        serve(palette, metric, colours, &assigned);
        std::array<ColourPoint, 256> sum{};
        std::array<double, 256> weight{};
        for (size_t i = 0; i < colours.size(); ++i) {
            const auto w = static_cast<double>(colours[i].count);
            ColourPoint& s = sum[assigned[i]];
            s.x += colours[i].point.x * w, s.y += colours[i].point.y * w,
                s.z += colours[i].point.z * w;
            weight[assigned[i]] += w;
        }
        bool moved = false;
        for (const size_t e : chosen) {
            if (weight[e] == 0) continue;  // serves nothing: stays where it is
            const Rgb c = colourOfMean(
                inOkLab, {sum[e].x / weight[e], sum[e].y / weight[e], sum[e].z / weight[e]});
            if (c == entryOf(palette, e)) continue;
            palette[3 * e] = c.r, palette[3 * e + 1] = c.g, palette[3 * e + 2] = c.b;
            moved = true;
        }
        report.rounds = round + 1;
        if (!moved) break;
    }
    const Served after = serve(palette, metric, colours, nullptr);
    report.meanAfter = after.mean, report.worstAfter = after.worst;
    return true;
}

}  // namespace kiv
