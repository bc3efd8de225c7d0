#include "grab/palette_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <thread>

namespace kiv {

bool parseTableKind(const std::string& word, TableKind& kind) {
    static const std::pair<const char*, TableKind> kKinds[] = {
        {"blend", TableKind::Blend},       {"additive", TableKind::Additive},
        {"multiply", TableKind::Multiply}, {"tint", TableKind::Tint},
        {"light", TableKind::Light},       {"remap", TableKind::Remap},
        {"grey", TableKind::Grey},         {"inverse", TableKind::Inverse},
        {"palettes", TableKind::Palettes}};
    for (const auto& [name, k] : kKinds) {
        if (word == name) {
            kind = k;
            return true;
        }
    }
    return false;
}

size_t tableBytes(const TableOptions& options) {
    switch (options.kind) {
        case TableKind::Blend:
        case TableKind::Additive:
        case TableKind::Multiply:
            return 65536;
        case TableKind::Light:
            return 256 * static_cast<size_t>(options.levels);
        case TableKind::Inverse:
            return size_t{1} << (3 * options.bits);
        case TableKind::Palettes:
            return 768 * (1 + options.biases.size());
        default:
            return 256;
    }
}

bool parseEntryRange(const std::string& text, int& first, int& last) {
    auto number = [](const std::string& t, int& v) {
        if (t.empty() || t.size() > 3 ||
            !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        v = std::atoi(t.c_str());
        return v <= 255;
    };
    const size_t dash = text.find('-');
    if (dash == std::string::npos) return number(text, first) && number(text, last);
    return number(text.substr(0, dash), first) && number(text.substr(dash + 1), last);
}

namespace {

uint8_t rounded(double v) {
    return static_cast<uint8_t>(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
}

struct Colour {
    double c[3];
};

// Colours are mixed in linear light from 0 to 1, or as sRGB values from 0 to 255 themselves: a
// half of 100 and of 227 is 163.5 exactly and rounds up, where going through v / 255 and back
// lands a hair below and rounds down.
constexpr double unitOf(bool linear) {
    return linear ? 1.0 : 255.0;
}

Colour entryColour(const std::array<uint8_t, 768>& colours, int i, bool linear) {
    Colour out{};
    for (int k = 0; k < 3; ++k) {
        const double v = colours[static_cast<size_t>(3 * i + k)];
        out.c[k] = linear ? srgbToLinear(v) : v;
    }
    return out;
}

Rgb finish(const Colour& mixed, bool linear) {
    uint8_t v[3];
    for (int k = 0; k < 3; ++k) {
        v[k] = rounded(linear ? linearToSrgb(mixed.c[k]) : std::clamp(mixed.c[k], 0.0, 255.0));
    }
    return {v[0], v[1], v[2]};
}

}  // namespace

Rgb tableTarget(const std::array<uint8_t, 768>& colours, const TableOptions& o, int a, int b) {
    if (o.kind == TableKind::Inverse) {
        // Cell a × 256 + b: its components from its bits, each c × 255 / (2^bits − 1), rounded.
        const size_t cell = static_cast<size_t>(a) * 256 + static_cast<size_t>(b);
        const int side = 1 << o.bits;
        auto component = [&](int shift) {
            const int c = static_cast<int>(cell >> shift) & (side - 1);
            return static_cast<uint8_t>((c * 255 * 2 + (side - 1)) / (2 * (side - 1)));
        };
        return {component(2 * o.bits), component(o.bits), component(0)};
    }
    const bool linear = o.linear;
    Colour target{};
    for (int k = 0; k < 3; ++k) {
        const double v = k == 0 ? o.colour.r : k == 1 ? o.colour.g : o.colour.b;
        target.c[k] = linear ? srgbToLinear(v) : v;
    }
    Colour out{};
    switch (o.kind) {
        case TableKind::Blend:
        case TableKind::Additive:
        case TableKind::Multiply: {
            const Colour x = entryColour(colours, a, linear), y = entryColour(colours, b, linear);
            for (int k = 0; k < 3; ++k) {
                out.c[k] = o.kind == TableKind::Blend ? o.alpha * x.c[k] + (1 - o.alpha) * y.c[k]
                           : o.kind == TableKind::Additive
                               ? std::min(unitOf(linear), x.c[k] + y.c[k])
                               : x.c[k] * y.c[k] / unitOf(linear);
            }
            return finish(out, linear);
        }
        case TableKind::Tint:
        case TableKind::Light: {
            // Tint: entry b moved by the amount; light: entry b at level a of levels.
            const double f = o.kind == TableKind::Tint ? o.amount : double(a) / (o.levels - 1);
            const Colour x = entryColour(colours, b, linear);
            if (o.kind == TableKind::Light && o.keepSaturation) {
                double lin[3], lab[3], targetLin[3], targetLab[3];
                for (int k = 0; k < 3; ++k) {
                    lin[k] = srgbToLinear(colours[static_cast<size_t>(3 * b + k)]);
                    targetLin[k] = srgbToLinear(k == 0   ? o.colour.r
                                                : k == 1 ? o.colour.g
                                                         : o.colour.b);
                }
                linearToOkLab(lin, lab);
                linearToOkLab(targetLin, targetLab);
                lab[0] += f * (targetLab[0] - lab[0]);
                okLabToLinear(lab, lin);
                for (int k = 0; k < 3; ++k) out.c[k] = lin[k];
                return finish(out, true);
            }
            for (int k = 0; k < 3; ++k) out.c[k] = x.c[k] + f * (target.c[k] - x.c[k]);
            return finish(out, linear);
        }
        case TableKind::Grey: {
            // The entry's luminance, as a grey of the same brightness.
            double lin[3];
            for (int k = 0; k < 3; ++k)
                lin[k] = srgbToLinear(colours[static_cast<size_t>(3 * b + k)]);
            const uint8_t v =
                rounded(linearToSrgb(0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]));
            return {v, v, v};
        }
        case TableKind::Remap:
        case TableKind::Inverse:  // answered above
        case TableKind::Palettes:
            break;
    }
    return {};
}

bool makeTable(const PaletteSource& palette, const TableOptions& o, std::vector<uint8_t>& table,
               std::string* why) {
    table.assign(tableBytes(o), 0);
    if (o.kind == TableKind::Palettes) {
        // The base palette, then each bias: every entry moved toward its colour as tint moves it.
        for (size_t p = 0; p <= o.biases.size(); ++p) {
            TableOptions tint = o;
            tint.kind = TableKind::Tint;
            if (p > 0) tint.colour = o.biases[p - 1].first, tint.amount = o.biases[p - 1].second;
            for (int i = 0; i < 256; ++i) {
                const Rgb c = p == 0 ? Rgb{palette.colours[3 * static_cast<size_t>(i)],
                                           palette.colours[3 * static_cast<size_t>(i) + 1],
                                           palette.colours[3 * static_cast<size_t>(i) + 2]}
                                     : tableTarget(palette.colours, tint, 0, i);
                uint8_t* at = table.data() + 768 * p + 3 * static_cast<size_t>(i);
                const int shift = o.bits == 6 ? 2 : 0;
                at[0] = static_cast<uint8_t>(c.r >> shift);
                at[1] = static_cast<uint8_t>(c.g >> shift);
                at[2] = static_cast<uint8_t>(c.b >> shift);
            }
        }
        return true;
    }
    if (o.kind == TableKind::Remap) {
        for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        for (const RemapRange& r : o.ranges) {
            const int span = r.fromLast - r.from;
            const int step = span >= 0 ? 1 : -1;
            for (int i = r.from;; i += step) {
                // Stretched as map editors do: ends to ends, the rest rounded in between.
                const int at = span == 0
                                   ? r.to
                                   : r.to + static_cast<int>(std::lround(double(i - r.from) *
                                                                         (r.toLast - r.to) / span));
                table[static_cast<size_t>(i)] = static_cast<uint8_t>(at);
                if (i == r.fromLast) break;
            }
        }
        return true;
    }
    MatchRules rules;
    for (int i = 0; i < palette.entries && i < 256; ++i) {
        if (!o.reserved.test(static_cast<size_t>(i))) rules.searchable.set(static_cast<size_t>(i));
    }
    if (rules.searchable.none()) {
        if (why != nullptr) *why = "no entry of " + palette.name + " is left to be an output";
        return false;
    }
    ColourMatcher matcher(palette.colours, rules, o.metric);
    if (o.kind == TableKind::Inverse) {
        std::vector<Rgb> colours(table.size());
        for (size_t cell = 0; cell < table.size(); ++cell) {
            colours[cell] = tableTarget(palette.colours, o, static_cast<int>(cell / 256),
                                        static_cast<int>(cell % 256));
        }
        if (matcher.answersManyQuickly()) {
            matcher.nearestOfEach(colours, table.data());
        } else {
            for (size_t cell = 0; cell < table.size(); ++cell)
                table[cell] = matcher.match(colours[cell]);
        }
        return true;
    }
    const int rows = o.kind == TableKind::Light ? o.levels : (tableBytes(o) == 65536 ? 256 : 1);
    // Tables whose colour does not depend on the order of the pair are filled once per pair.
    const bool symmetric = o.kind == TableKind::Additive || o.kind == TableKind::Multiply ||
                           (o.kind == TableKind::Blend && o.alpha == 0.5);
    const bool pairs = o.kind == TableKind::Blend || o.kind == TableKind::Additive ||
                       o.kind == TableKind::Multiply;
    // The pair tables in sRGB values from each entry's terms, worked out once: the same
    // arithmetic as tableTarget, so the same colours.
    std::array<std::array<double, 3>, 256> first{}, second{};
    for (size_t e = 0; e < 256; ++e) {
        for (size_t k = 0; k < 3; ++k) {
            const double v = palette.colours[3 * e + k];
            first[e][k] = o.kind == TableKind::Blend ? o.alpha * v : v;
            second[e][k] = o.kind == TableKind::Blend ? (1 - o.alpha) * v : v;
        }
    }
    auto target = [&](int a, int b) -> Rgb {
        if (!pairs || o.linear) return tableTarget(palette.colours, o, a, b);
        const auto& x = first[static_cast<size_t>(a)];
        const auto& y = second[static_cast<size_t>(b)];
        uint8_t v[3];
        for (size_t k = 0; k < 3; ++k) {
            const double mixed = o.kind == TableKind::Blend      ? x[k] + y[k]
                                 : o.kind == TableKind::Additive ? std::min(255.0, x[k] + y[k])
                                                                 : x[k] * y[k] / 255.0;
            v[k] = rounded(std::clamp(mixed, 0.0, 255.0));
        }
        return {v[0], v[1], v[2]};
    };
    std::vector<Rgb> wanted;
    std::vector<uint32_t> cells;
    if (pairs && !symmetric) {
        // Every cell, in order (cells stays empty: the i-th colour is cell i), in two halves
        // at once.
        wanted.resize(table.size());
        auto fill = [&](int from, int to) {
            for (int a = from; a < to; ++a) {
                Rgb* out = wanted.data() + static_cast<size_t>(a) * 256;
                if (o.linear || o.kind != TableKind::Blend) {
                    for (int b = 0; b < 256; ++b) out[b] = target(a, b);
                    continue;
                }
                // A blend's colours in sRGB values, as target() works them out.
                const auto& x = first[static_cast<size_t>(a)];
                for (size_t b = 0; b < 256; ++b) {
                    const auto& y = second[b];
                    out[b] = {rounded(x[0] + y[0]), rounded(x[1] + y[1]), rounded(x[2] + y[2])};
                }
            }
        };
        auto otherRows = std::async(std::launch::async, [&] { fill(128, 256); });
        fill(0, 128);
        otherRows.get();
    } else {
        wanted.reserve(table.size());
        cells.reserve(table.size());
        for (int a = 0; a < rows; ++a) {
            for (int b = symmetric ? a : 0; b < 256; ++b) {
                const size_t cell = static_cast<size_t>(a) * 256 + static_cast<size_t>(b);
                if (o.kind == TableKind::Light && o.fullbright.test(static_cast<size_t>(b))) {
                    table[cell] = static_cast<uint8_t>(b);
                } else {
                    wanted.push_back(target(a, b));
                    cells.push_back(static_cast<uint32_t>(cell));
                }
            }
        }
    }
    std::vector<uint8_t> listed(cells.empty() ? 0 : wanted.size());
    uint8_t* answers = cells.empty() ? table.data() : listed.data();
    if (o.metric != ColourMetric::Rgb && wanted.size() >= 8192 &&
        std::thread::hardware_concurrency() > 1) {
        // Two halves at once, each with a matcher of its own.
        ColourMatcher other(palette.colours, rules, o.metric);
        const size_t half = wanted.size() / 2;
        auto otherHalf = std::async(std::launch::async, [&] {
            other.nearestOfEach({wanted.data() + half, wanted.size() - half}, answers + half);
        });
        matcher.nearestOfEach({wanted.data(), half}, answers);
        otherHalf.get();
    } else {
        matcher.nearestOfEach(wanted, answers);
    }
    for (size_t i = 0; i < cells.size(); ++i) {
        table[cells[i]] = answers[i];
        if (symmetric) table[(cells[i] % 256) * 256 + cells[i] / 256] = answers[i];
    }
    return true;
}

}  // namespace kiv
