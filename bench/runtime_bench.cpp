// libkiv's drawing, side by side with what a game would otherwise do for the same pixels:
// 1,200 sprites of 32 x 32 at random positions in a 320 x 200 surface (about half of them
// clipped), in visible pixels per second, against memcpy of the same visible pixels row by
// row; translucent and lit draws against plain ones. Median and minimum of the same runs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "grab/item_formats.h"
#include "kiv/kiv.h"
#include "timing.h"

namespace {

constexpr int kSprites = 1200, kSize = 32, kWidth = 320, kHeight = 200, kRuns = 41;

struct Placed {
    int x, y;
};

// A sprite of a ball: a disc of colours with a transparent corner area, as game sprites are.
std::vector<uint8_t> ballSprite() {
    std::vector<uint8_t> pixels(kSize * kSize, 0);
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const int dx = 2 * x - kSize + 1, dy = 2 * y - kSize + 1;
            if (dx * dx + dy * dy < kSize * kSize)
                pixels[y * kSize + x] = static_cast<uint8_t>(16 + (x + y) % 64);
        }
    }
    return kiv::encodePackedSprite({pixels.data(), kSize * kSize, kSize, 0, 0, kSize, kSize},
                                   false);
}

// The pixels of the placed sprites that fall inside the surface.
long long visiblePixels(const std::vector<uint8_t>& mask, const std::vector<Placed>& placed) {
    long long n = 0;
    for (const Placed& p : placed) {
        for (int y = 0; y < kSize; ++y) {
            for (int x = 0; x < kSize; ++x) {
                const int sx = p.x + x, sy = p.y + y;
                n += mask[y * kSize + x] != 0 && sx >= 0 && sx < kWidth && sy >= 0 && sy < kHeight;
            }
        }
    }
    return n;
}

template <typename Draw>
std::pair<double, double> timeOf(Draw draw) {
    std::vector<double> runs;
    for (int r = 0; r < kRuns; ++r) {
        const auto start = kivbench::Clock::now();
        draw();
        runs.push_back(kivbench::msSince(start));
    }
    return {kivbench::median(runs), *std::min_element(runs.begin(), runs.end())};
}

}  // namespace

int main() {
    const std::vector<uint8_t> bytes = ballSprite();
    kiv_sprite sprite;
    if (kiv_sprite_from_bytes(bytes.data(), bytes.size(), &sprite, nullptr) != KIV_OK) return 1;
    std::vector<uint8_t> mask(kSize * kSize), table(65536), shade(32 * 256);
    {
        const kiv_surface m = kiv_surface_of(mask.data(), kSize, kSize, kSize);
        kiv_draw_sprite(&m, &sprite, 0, 0);
    }
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<uint8_t>((i >> 8) / 2 + (i & 255) / 2);
    for (size_t i = 0; i < shade.size(); ++i)
        shade[i] = static_cast<uint8_t>((i & 255) * (32 - i / 256) / 32);
    std::mt19937 random(5);
    // Half inside, half across an edge.
    std::vector<Placed> inside, clipped;
    while (static_cast<int>(inside.size() + clipped.size()) < kSprites) {
        const Placed p{static_cast<int>(random() % (kWidth + kSize)) - kSize,
                       static_cast<int>(random() % (kHeight + kSize)) - kSize};
        const bool whole = p.x >= 0 && p.y >= 0 && p.x + kSize <= kWidth && p.y + kSize <= kHeight;
        auto& list = whole ? inside : clipped;
        if (static_cast<int>(list.size()) < kSprites / 2) list.push_back(p);
    }
    std::vector<Placed> all = inside;
    all.insert(all.end(), clipped.begin(), clipped.end());
    std::vector<uint8_t> screen(kWidth * kHeight), source(kSize * kSize);
    const kiv_surface s = kiv_surface_of(screen.data(), kWidth, kHeight, kWidth);
    // memcpy of exactly the visible pixels: the ball's run of each row, found beforehand, cut
    // to the surface.
    std::vector<std::pair<int, int>> runs(kSize);
    for (int y = 0; y < kSize; ++y) {
        int from = 0, to = kSize;
        while (from < kSize && mask[y * kSize + from] == 0) ++from;
        while (to > from && mask[y * kSize + to - 1] == 0) --to;
        runs[y] = {from, to};
    }
    auto copyVisible = [&](const std::vector<Placed>& placed) {
        for (const Placed& p : placed) {
            for (int y = 0; y < kSize; ++y) {
                const int sy = p.y + y;
                if (sy < 0 || sy >= kHeight) continue;
                int from = std::max(runs[y].first, -p.x), to = runs[y].second;
                to = std::min(to, kWidth - p.x);
                if (from < to)
                    std::memcpy(&screen[sy * kWidth + p.x + from], &source[y * kSize + from],
                                to - from);
            }
        }
    };
    struct Row {
        const char* what;
        const std::vector<Placed>* placed;
        std::function<void(const Placed&)> draw;
    };
    const Row rows[] = {
        {"plain, all", &all, [&](const Placed& p) { kiv_draw_sprite(&s, &sprite, p.x, p.y); }},
        {"plain, inside", &inside,
         [&](const Placed& p) { kiv_draw_sprite(&s, &sprite, p.x, p.y); }},
        {"plain, clipped", &clipped,
         [&](const Placed& p) { kiv_draw_sprite(&s, &sprite, p.x, p.y); }},
        {"translucent, all", &all,
         [&](const Placed& p) { kiv_draw_sprite_blended(&s, &sprite, p.x, p.y, table.data()); }},
        {"lit, all", &all,
         [&](const Placed& p) { kiv_draw_sprite_lit(&s, &sprite, p.x, p.y, shade.data(), 12); }},
    };
    std::printf("libkiv: %d sprites of %d x %d into %d x %d, median (minimum) of %d runs\n",
                kSprites, kSize, kSize, kWidth, kHeight, kRuns);
    std::printf("%-18s %12s %14s %14s %8s\n", "draw", "visible px", "kiv Mpx/s", "memcpy Mpx/s",
                "ratio");
    double plainRate = 0;
    for (const Row& row : rows) {
        const long long pixels = visiblePixels(mask, *row.placed);
        const auto [kivMs, kivMin] = timeOf([&] {
            for (const Placed& p : *row.placed) row.draw(p);
        });
        const auto [copyMs, copyMin] = timeOf([&] { copyVisible(*row.placed); });
        const double n = static_cast<double>(pixels);
        const double kivRate = n / kivMs / 1000, copyRate = n / copyMs / 1000;
        if (std::strcmp(row.what, "plain, all") == 0) plainRate = kivRate;
        std::printf("%-18s %12lld %8.0f (%4.0f) %8.0f (%4.0f) %7.2fx\n", row.what, pixels, kivRate,
                    n / kivMin / 1000, copyRate, n / copyMin / 1000, copyRate / kivRate);
    }
    (void)plainRate;
    std::printf(
        "(ratio: memcpy's pixels per second over kiv's; goals: plain within 2x, clipped no\n"
        "slower per visible pixel than inside, translucent within 4x)\n");
    return 0;
}
