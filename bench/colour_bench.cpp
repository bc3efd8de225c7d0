// True-colour pictures onto 256-entry palettes, against what users would use instead, on the
// same files in one run. Each side runs the same number of times; medians (and minimums).
//   real art (a Debian game's sky textures onto Freedoom's PLAYPAL): the blurred difference of
//     kiv undithered and with each dithering, beside ImageMagick's -remap undithered and
//     Floyd-Steinberg;
//   mapping (a photo from a Debian package, uniform noise, a noisy gradient, a flat picture onto
//     the example's palette): kiv in process under each metric, a plain scalar search and the
//     same in 16-bit lanes, Pillow's quantize with its palette warm and cold, each one's count
//     of pixels farther than the nearest entry; kivtool index and kiv's Floyd-Steinberg against
//     ImageMagick's whole command;
//   tables: a 256 x 256 blend table under each metric against the straightforward search.
//   kiv_colour_bench [--real-art | --mapping | --tables]   one part (mapping: and tables)
#include <sys/wait.h>
#include <immintrin.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/file_access.h"
#include "grab/palette_source.h"
#include "grab/palette_tables.h"
#include "grab/picture_mapping.h"
#include "support/png_writer.h"
#include "support/test_support.h"

using namespace kiv;

namespace {

struct Times {
    double median = 0, minimum = 0;
    double cpu = 0;  // CPU seconds of the median run (all threads), where measured
};

Times summarise(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    return {seconds[seconds.size() / 2], seconds.front(), 0};
}

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <typename F>
Times timed(int runs, F work) {
    std::vector<std::pair<double, double>> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = cpuSeconds();
        work();
        seconds.emplace_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            cpuSeconds() - cpu);
    }
    std::sort(seconds.begin(), seconds.end());
    return {seconds[seconds.size() / 2].first, seconds.front().first,
            seconds[seconds.size() / 2].second};
}

// A child's own seconds for each of runs runs, printed by the command as one number a line.
Times childTimes(const std::string& command) {
    std::vector<double> seconds;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    double s = 0;
    while (std::fscanf(pipe, "%lf", &s) == 1) seconds.push_back(s);
    if (pclose(pipe) != 0 || seconds.empty()) return {};
    return summarise(seconds);
}

TrueColourPicture noisyPicture(size_t& distinct) {
    TrueColourPicture p{1280, 960, {}, false};
    uint32_t seed = 1;
    std::set<uint32_t> colours;
    for (int y = 0; y < 960; ++y) {
        for (int x = 0; x < 1280; ++x) {
            seed = seed * 1664525u + 1013904223u;
            // Noise of up to 2 either way: about 300,000 distinct colours in all.
            const int noise[3] = {int((seed >> 26) % 5) - 2, int((seed >> 20) % 5) - 2,
                                  int((seed >> 14) % 5) - 2};
            const int base[3] = {x * 255 / 1279, y * 255 / 959, (x + y) * 255 / 2238};
            for (int k = 0; k < 3; ++k)
                p.rgba.push_back(static_cast<uint8_t>(std::clamp(base[k] + noise[k], 0, 255)));
            p.rgba.push_back(255);
            const uint8_t* c = &p.rgba[p.rgba.size() - 4];
            colours.insert(static_cast<uint32_t>(c[0] << 16 | c[1] << 8 | c[2]));
        }
    }
    distinct = colours.size();
    return p;
}

// Uniform noise: every pixel a colour of its own, nearly.
TrueColourPicture uniformNoise() {
    TrueColourPicture p{1280, 960, {}, false};
    uint32_t seed = 7;
    for (int i = 0; i < 1280 * 960; ++i) {
        seed = seed * 1664525u + 1013904223u;
        p.rgba.insert(p.rgba.end(), {uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8), 255});
    }
    return p;
}

// The plain search: every pixel against every entry, squared differences of the sRGB values,
// the lowest entry of the least.
void plainSearch(const TrueColourPicture& p, const std::array<uint8_t, 768>& colours,
                 std::vector<uint8_t>& out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t* px = &p.rgba[4 * i];
        int best = INT32_MAX, answer = 0;
        for (int e = 0; e < 256; ++e) {
            const int dr = px[0] - colours[3 * e], dg = px[1] - colours[3 * e + 1],
                      db = px[2] - colours[3 * e + 2];
            const int d = dr * dr + dg * dg + db * db;
            if (d < best) best = d, answer = e;
        }
        out[i] = static_cast<uint8_t>(answer);
    }
}

// The same search eight entries at a time in 16-bit lanes: (dr, dg) and (db, 0) pairs multiplied
// and added into 32-bit sums, and a key (difference << 8 | entry) kept least.
struct Lanes16 {
    __m256i redGreen[32], blue[32], entry[32];
};
Lanes16 lanes16Of(const std::array<uint8_t, 768>& colours) {
    Lanes16 l{};
    for (size_t g = 0; g < 32; ++g) {
        alignas(32) int16_t rg[16], b[16];
        alignas(32) int32_t e[8];
        for (size_t k = 0; k < 8; ++k) {
            const size_t at = g * 8 + k;
            rg[2 * k] = colours[3 * at], rg[2 * k + 1] = colours[3 * at + 1];
            b[2 * k] = colours[3 * at + 2], b[2 * k + 1] = 0;
            e[k] = static_cast<int32_t>(at);
        }
        std::memcpy(&l.redGreen[g], rg, sizeof rg);
        std::memcpy(&l.blue[g], b, sizeof b);
        std::memcpy(&l.entry[g], e, sizeof e);
    }
    return l;
}
__attribute__((target("avx2"))) void laneSearch(const TrueColourPicture& p, const Lanes16& l,
                                                std::vector<uint8_t>& out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t* px = &p.rgba[4 * i];
        const __m256i rg = _mm256_set1_epi32(px[0] | px[1] << 16), b = _mm256_set1_epi32(px[2]);
        __m256i best = _mm256_set1_epi32(INT32_MAX);
        for (size_t g = 0; g < 32; ++g) {
            const __m256i d1 = _mm256_sub_epi16(rg, l.redGreen[g]);
            const __m256i d2 = _mm256_sub_epi16(b, l.blue[g]);
            const __m256i d = _mm256_add_epi32(_mm256_madd_epi16(d1, d1), _mm256_madd_epi16(d2, d2));
            best = _mm256_min_epi32(best, _mm256_or_si256(_mm256_slli_epi32(d, 8), l.entry[g]));
        }
        best = _mm256_min_epi32(best, _mm256_permute2x128_si256(best, best, 1));
        best = _mm256_min_epi32(best, _mm256_shuffle_epi32(best, 0x4E));
        best = _mm256_min_epi32(best, _mm256_shuffle_epi32(best, 0xB1));
        out[i] = static_cast<uint8_t>(_mm256_cvtsi256_si32(best) & 0xFF);
    }
}

// How many opaque pixels got an entry farther (rgb) than the nearest one.
int64_t fartherThanNearest(const TrueColourPicture& p, const std::vector<uint8_t>& out,
                           const std::array<uint8_t, 768>& colours, const ColourMatcher& all) {
    int64_t farther = 0;
    for (size_t i = 0; i < out.size() && 4 * i < p.rgba.size(); ++i) {
        const Rgb c{p.rgba[4 * i], p.rgba[4 * i + 1], p.rgba[4 * i + 2]};
        auto d = [&](size_t e) {
            const int dr = c.r - colours[3 * e], dg = c.g - colours[3 * e + 1],
                      db = c.b - colours[3 * e + 2];
            return dr * dr + dg * dg + db * db;
        };
        if (d(out[i]) > d(all.nearestByFullSearch(c))) ++farther;
    }
    return farther;
}

// Pillow: the picture quantized onto the palette seven times, the seconds of each printed, the
// result saved in RGB. %s: picture, palette, cold (a fresh palette each run), result.
const char* const kPillow =
    "/usr/bin/python3 -c \"import time\nfrom PIL import Image\n"
    "im=Image.open('%s').convert('RGB'); im.load()\npal=list(Image.open('%s').convert('RGB')"
    ".tobytes())\ncold=%s\np=Image.new('P',(1,1)); p.putpalette(pal)\n"
    "for i in range(7):\n if cold: p=Image.new('P',(1,1)); p.putpalette(pal)\n"
    " t=time.perf_counter(); q=im.quantize(palette=p, dither=Image.Dither.NONE); "
    "print(time.perf_counter()-t)\nq.convert('RGB').save('%s')\" 2>/dev/null";

TrueColourPicture flatPicture() {
    TrueColourPicture p{1280, 960, {}, false};
    for (int y = 0; y < 960; ++y) {
        for (int x = 0; x < 1280; ++x) {
            const int block = (x / 160 + y / 120 * 8) % 16;
            p.rgba.insert(p.rgba.end(), {uint8_t(block * 16), uint8_t(255 - block * 12),
                                         uint8_t(block * 5), 255});
        }
    }
    return p;
}

void writeRgbPng(const std::string& path, const TrueColourPicture& p) {
    kivtest::TestPng png;
    png.width = p.width, png.height = p.height, png.kind = kivtest::TestPng::Rgb, png.rgba = p.rgba;
    kivtest::writeFile(path, kivtest::encodePng(png));
}

// The first palette of a WAD's PLAYPAL lump (14 palettes of 768 bytes), written as a raw
// palette set; empty when the WAD is not there.
std::string extractPlaypal(const std::string& wad, const std::string& out) {
    if (!kivtest::fileExists(wad)) return {};
    const std::vector<uint8_t> bytes = kivtest::readFile(wad);
    if (bytes.size() < 12) return {};
    auto word = [&](size_t at) {
        return at + 4 <= bytes.size() ? uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 |
                                            uint32_t(bytes[at + 2]) << 16 |
                                            uint32_t(bytes[at + 3]) << 24
                                      : 0u;
    };
    const uint32_t count = word(4), directory = word(8);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = size_t(directory) + 16 * size_t(i);
        if (at + 16 > bytes.size()) break;
        if (std::string(reinterpret_cast<const char*>(&bytes[at + 8]), 7) != "PLAYPAL") continue;
        const uint32_t from = word(at), size = word(at + 4);
        if (size_t(from) + size > bytes.size() || size % 768 != 0) return {};
        kivtest::writeFile(out, std::vector<uint8_t>(bytes.begin() + from,
                                                     bytes.begin() + from + size));
        return out;
    }
    return {};
}

// Each pixel of a picture that ImageMagick wrote with the palette's colours, as the palette's
// entry of that colour (the lowest), for the blurred difference.
bool entriesOf(const std::string& path, const ColourMatcher& exact, std::vector<uint8_t>& out) {
    TrueColourPicture p;
    std::string why;
    if (!readTrueColourPng(kivtest::readFile(path), 1 << 26, p, &why)) return false;
    out.resize(size_t(p.width) * size_t(p.height));
    for (size_t i = 0; i < out.size(); ++i) {
        const int e = exact.exactEntry({p.rgba[4 * i], p.rgba[4 * i + 1], p.rgba[4 * i + 2]});
        if (e < 0) return false;
        out[i] = static_cast<uint8_t>(e);
    }
    return true;
}

// Real art (a Debian game's sky textures) onto a real game palette (Freedoom's PLAYPAL), as an
// eye at a distance sees it: kiv with each dithering against ImageMagick's -remap.
void realArt(const std::string& work) {
    const std::string playpal =
        extractPlaypal("/usr/share/games/doom/freedoom2.wad", work + "/playpal.lmp");
    std::vector<std::string> pictures;
    for (const char* set : {"etr", "tuxracer"}) {
        for (const char* sky : {"sunny", "cloudy", "evening", "night"}) {
            pictures.push_back(std::string("/usr/share/games/etr/env/") + set + "/" + sky +
                               "/front.png");
        }
    }
    pictures.push_back("/usr/share/games/etr/textures/splash_1.png");
    PaletteSource palette;
    std::string why;
    if (playpal.empty() || !loadPaletteSource(playpal, palette, &why) ||
        !kivtest::fileExists(pictures.front())) {
        std::printf("real art: skipped (needs the Debian packages freedoom and "
                    "extremetuxracer-data)\n");
        return;
    }
    TrueColourPicture swatch{256, 1, {}, false};
    for (int i = 0; i < 256; ++i) {
        swatch.rgba.insert(swatch.rgba.end(), {palette.colours[3 * i], palette.colours[3 * i + 1],
                                               palette.colours[3 * i + 2], 255});
    }
    writeRgbPng(work + "/playpal.png", swatch);
    MatchRules all;
    all.searchable.set();
    const ColourMatcher exact(palette.colours, all, ColourMetric::Rgb);
    std::printf(
        "Real art onto Freedoom's PLAYPAL (oklab): blurred difference (7 x 7 in linear light, "
        "OKLab x 100), lower is better\n  %-28s %6s %6s %6s %6s %6s %6s | %6s %6s\n",
        "picture", "none", "f-s", "atkin", "sierra", "patt", "blue", "IM none", "IM f-s");
    const Dither dithers[] = {Dither::None,       Dither::FloydSteinberg, Dither::Atkinson,
                              Dither::SierraLite, Dither::Pattern,        Dither::BlueNoise};
    for (const std::string& path : pictures) {
        TrueColourPicture picture;
        if (!kivtest::fileExists(path) ||
            !readTrueColourPng(kivtest::readFile(path), 1 << 26, picture, &why)) {
            continue;
        }
        const std::string name = path.substr(path.find("env/") != std::string::npos
                                                 ? path.find("env/") + 4
                                                 : path.rfind('/') + 1);
        std::printf("  %-28s", name.c_str());
        for (const Dither dither : dithers) {
            MappingOptions options;
            options.transparentIndex = 256;
            options.alphaThreshold = 128;
            options.dither = dither;
            PictureMapper mapper;
            std::vector<uint8_t> out;
            mapper.setUp(palette, options, nullptr);
            mapper.map(picture, out, nullptr, nullptr);
            std::printf(" %6.2f", blurredDifference(picture, out, palette.colours, 128));
        }
        std::printf(" |");
        for (const char* imDither : {"None", "FloydSteinberg"}) {
            std::vector<uint8_t> out;
            const std::string im = work + "/im-real.png";
            const bool ok = std::system(("/usr/bin/convert " + path + " -dither " + imDither +
                                         " -remap " + work + "/playpal.png " + im)
                                            .c_str()) == 0 &&
                            entriesOf(im, exact, out);
            if (ok)
                std::printf(" %7.2f", blurredDifference(picture, out, palette.colours, 128));
            else
                std::printf(" %7s", "-");
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string work = "/tmp/kiv-colour-bench";
    std::system(("mkdir -p " + work).c_str());
    PaletteSource palette;
    std::string why;
    if (!loadPaletteSource(KIV_SOURCE_DIR "/examples/project/sheet.pcx", palette, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    // The palette as a picture for ImageMagick's -remap and Pillow's putpalette.
    TrueColourPicture swatch{256, 1, {}, false};
    for (int i = 0; i < 256; ++i) {
        swatch.rgba.insert(swatch.rgba.end(), {palette.colours[3 * i], palette.colours[3 * i + 1],
                                               palette.colours[3 * i + 2], 255});
    }
    writeRgbPng(work + "/palette.png", swatch);
    const std::string only = argc > 1 ? argv[1] : "";
    if (only.empty() || only == "--real-art") realArt(work);
    if (only == "--real-art") return 0;
    size_t distinct = 0;
    const TrueColourPicture noisy = noisyPicture(distinct);
    const TrueColourPicture flat = flatPicture();
    const TrueColourPicture noise = uniformNoise();
    TrueColourPicture loaded;
    // A real photo from a Debian package, made 1280 x 800 (within the picture limit).
    const std::string dune = "/usr/share/backgrounds/mate/nature/Dune.jpg";
    if (kivtest::fileExists(dune) &&
        std::system(("/usr/bin/convert " + dune + " -resize 1280x960 " + work + "/photo.png")
                        .c_str()) == 0) {
        readTrueColourPng(kivtest::readFile(work + "/photo.png"), 1 << 24, loaded, &why);
    }
    const TrueColourPicture& photo = loaded;
    writeRgbPng(work + "/noisy.png", noisy);
    writeRgbPng(work + "/flat.png", flat);
    writeRgbPng(work + "/noise.png", noise);
    std::printf(
        "True-colour pictures onto the example's 256-entry palette: median (minimum) of the same "
        "number of runs on each side; Mpx/s of wall time, and per CPU-second\n");
    MatchRules all;
    all.searchable.set();
    const ColourMatcher exact(palette.colours, all, ColourMetric::Rgb);
    const Lanes16 lanes = lanes16Of(palette.colours);
    for (const auto& [name, picture] :
         {std::pair{"photo", &photo}, std::pair{"noise", &noise}, std::pair{"noisy", &noisy},
          std::pair{"flat", &flat}}) {
        if (only == "--tables") break;
        if (picture->width == 0) {
            std::printf("  %s: skipped (needs the Debian package mate-backgrounds)\n", name);
            continue;
        }
        const double pixels = double(picture->width) * picture->height;
        std::set<uint32_t> colours;
        for (size_t i = 0; i < picture->rgba.size(); i += 4)
            colours.insert(uint32_t{picture->rgba[i]} << 16 | uint32_t{picture->rgba[i + 1]} << 8 |
                           picture->rgba[i + 2]);
        std::printf("  %s: %d x %d, %s distinct colours\n", name, picture->width, picture->height,
                    groupedDigits(static_cast<int64_t>(colours.size())).c_str());
        const std::string file = work + "/" + name + ".png";
        // Mapping alone, in process, each run from a fresh mapper.
        for (const ColourMetric metric :
             {ColourMetric::Rgb, ColourMetric::OkLab, ColourMetric::Ciede2000}) {
            MappingOptions options;
            options.metric = metric;
            options.transparentIndex = 256;  // no entry is kept for transparency: as Pillow maps
            std::vector<uint8_t> out;
            const int runs = metric == ColourMetric::Ciede2000 ? 1 : 7;
            const Times ours = timed(runs, [&] {
                PictureMapper mapper;
                mapper.setUp(palette, options, nullptr);
                mapper.map(*picture, out, nullptr, nullptr);
            });
            std::printf("    kiv %-9s %8.2f ms (%7.2f) = %6.1f Mpx/s, %6.1f per CPU-s", metricName(metric),
                        ours.median * 1e3, ours.minimum * 1e3, pixels / ours.median / 1e6,
                        pixels / ours.cpu / 1e6);
            std::printf(metric == ColourMetric::Rgb ? ", %s farther than the nearest\n" : "\n",
                        groupedDigits(fartherThanNearest(*picture, out, palette.colours, exact)).c_str());
        }
        // The same search written plainly, one thread: over every entry in scalar code, and
        // sixteen entries at a time in 16-bit lanes.
        std::vector<uint8_t> plainOut(static_cast<size_t>(pixels)), wideOut(plainOut.size());
        const Times scalar = timed(1, [&] { plainSearch(*picture, palette.colours, plainOut); });
        const Times wide = timed(3, [&] { laneSearch(*picture, lanes, wideOut); });
        std::printf("    plain rgb search: scalar %7.1f ms = %6.1f Mpx/s; 16-bit lanes %7.1f ms = "
                    "%6.1f Mpx/s%s\n",
                    scalar.median * 1e3, pixels / scalar.median / 1e6, wide.median * 1e3,
                    pixels / wide.median / 1e6, plainOut == wideOut ? "" : " (they differ!)");
        // Pillow's quantize onto the same palette: warm (one palette for every run) and cold
        // (a fresh palette each run, its colour cache empty).
        for (const bool cold : {false, true}) {
            char line[1400];
            std::snprintf(line, sizeof line, kPillow, file.c_str(), (work + "/palette.png").c_str(),
                          cold ? "True" : "False", (work + "/pillow.png").c_str());
            const Times theirs = childTimes(line);
            std::vector<uint8_t> out;
            if (theirs.median > 0 && entriesOf(work + "/pillow.png", exact, out)) {
                std::printf("    Pillow quantize (%s) %8.2f ms (%7.2f) = %6.1f Mpx/s, %s farther "
                            "than the nearest\n",
                            cold ? "cold" : "warm", theirs.median * 1e3, theirs.minimum * 1e3,
                            pixels / theirs.median / 1e6,
                            groupedDigits(fartherThanNearest(*picture, out, palette.colours, exact)).c_str());
            }
        }
        // Whole commands, each started through the shell the same way, wall time to exit.
        auto command = [&](const std::string& line, int runs) {
            bool ok = true;
            const Times t = timed(runs, [&] {
                ok = std::system((line + " >/dev/null 2>&1").c_str()) == 0 && ok;
            });
            return ok ? t : Times{};
        };
        const std::string index = KIVTOOL_BINARY " index " + file + " -o " + work +
                                  "/out.png --palette " KIV_SOURCE_DIR
                                  "/examples/project/sheet.pcx --match rgb";
        auto magick = [&](const char* dither) {
            return "/usr/bin/convert " + file + " -dither " + dither + " -remap " + work +
                   "/palette.png " + work + "/im.png";
        };
        for (const bool fs : {false, true}) {
            const Times ours = command(index + (fs ? " --dither floyd-steinberg" : ""), 3);
            const Times theirs = command(magick(fs ? "FloydSteinberg" : "None"), 3);
            std::vector<uint8_t> out;
            std::string farther;
            if (!fs && entriesOf(work + "/im.png", exact, out))
                farther = ", " + groupedDigits(fartherThanNearest(*picture, out, palette.colours,
                                                                  exact)) +
                          " farther than the nearest";
            // Floyd-Steinberg: kiv's mapping alone, in process, beside ImageMagick's command.
            MappingOptions options;
            options.metric = ColourMetric::Rgb;
            options.transparentIndex = 256;
            options.dither = Dither::FloydSteinberg;
            std::vector<uint8_t> mapped;
            const Times inProcess = timed(3, [&] {
                PictureMapper mapper;
                mapper.setUp(palette, options, nullptr);
                mapper.map(*picture, mapped, nullptr, nullptr);
            });
            if (ours.median > 0 && theirs.median > 0) {
                std::printf("    %s: kivtool index %7.1f ms (%7.1f), ImageMagick -remap %7.1f ms "
                            "(%7.1f): kivtool %.1f x as fast%s\n",
                            fs ? "Floyd-Steinberg" : "undithered", ours.median * 1e3,
                            ours.minimum * 1e3, theirs.median * 1e3, theirs.minimum * 1e3,
                            theirs.median / ours.median, farther.c_str());
                if (fs) {
                    std::printf("    Floyd-Steinberg mapping alone %7.1f ms: %.1f x as fast as "
                                "ImageMagick's whole command\n",
                                inProcess.median * 1e3, theirs.median / inProcess.median);
                }
            }
        }
    }
    // Colour tables: a 256 x 256 blend table, against the straightforward search over the 256
    // entries for every cell.
    std::printf(
        "kivtool table blend --alpha 0.5 (256 x 256) on the same palette; median (minimum)\n");
    for (const ColourMetric metric :
         {ColourMetric::Rgb, ColourMetric::OkLab, ColourMetric::Ciede2000}) {
        TableOptions options;
        options.kind = TableKind::Blend;
        options.alpha = 0.5;
        options.metric = metric;
        std::vector<uint8_t> table;
        const Times ours = timed(metric == ColourMetric::Ciede2000 ? 3 : 21,
                                 [&] { makeTable(palette, options, table, nullptr); });
        MatchRules rules;
        rules.searchable.set();
        const ColourMatcher plain(palette.colours, rules, metric);
        std::vector<uint8_t> straight(65536);
        const Times theirs = timed(3, [&] {
            for (int a = 0; a < 256; ++a) {
                for (int b = 0; b < 256; ++b) {
                    straight[size_t(a) * 256 + size_t(b)] =
                        plain.nearestByFullSearch(tableTarget(palette.colours, options, a, b));
                }
            }
        });
        std::printf(
            "  %-9s kiv %8.2f ms (%8.2f), straightforward search %8.2f ms (%8.2f): %.1f x as "
            "fast%s\n",
            metricName(metric), ours.median * 1e3, ours.minimum * 1e3, theirs.median * 1e3,
            theirs.minimum * 1e3, theirs.median / ours.median,
            table == straight ? "" : " (tables differ!)");
    }
    return 0;
}
