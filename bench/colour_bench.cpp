// True-colour pictures onto a 256-entry palette, against what users would use instead, on the
// same files in one run: a noisy 1280 x 960 picture (about 300,000 distinct colours) and a flat
// one. Each side runs the same number of times; the median and the minimum of both are printed.
//   the mapping alone (kiv in-process, each run from a fresh mapper) against Pillow's
//     quantize(palette=..., dither=NONE) alone, with rgb and OKLab and CIEDE2000;
//   the whole command (read PNG, map, write PNG): kivtool index --match rgb against ImageMagick
//     convert -dither None -remap;
//   a 256 x 256 blend table under each metric against the straightforward search.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
};

Times summarise(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    return {seconds[seconds.size() / 2], seconds.front()};
}

template <typename F>
Times timed(int runs, F work) {
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return summarise(seconds);
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
    writeRgbPng(work + "/noisy.png", noisy);
    writeRgbPng(work + "/flat.png", flat);
    const double pixels = 1280.0 * 960.0;
    std::printf(
        "True-colour 1280 x 960 onto the example's 256-entry palette (noisy: %zu distinct "
        "colours); median (minimum) of the same number of runs on each side\n",
        distinct);
    const char* pillow =
        "/usr/bin/python3 -c \"import time,sys\nfrom PIL import Image\n"
        "im=Image.open('%s').convert('RGB'); im.load()\npal=Image.open('%s').convert('RGB')\n"
        "p=Image.new('P',(1,1)); p.putpalette(list(pal.tobytes()))\n"
        "for i in range(%d):\n t=time.perf_counter(); q=im.quantize(palette=p, "
        "dither=Image.Dither.NONE); "
        "print(time.perf_counter()-t)\" 2>/dev/null";
    for (const auto& [name, picture] : {std::pair{"noisy", &noisy}, std::pair{"flat", &flat}}) {
        if (only == "--tables") break;
        const int runs = 7;
        char pillowLine[1024];
        std::snprintf(pillowLine, sizeof pillowLine, pillow, (work + "/" + name + ".png").c_str(),
                      (work + "/palette.png").c_str(), runs);
        const Times theirs = childTimes(pillowLine);
        for (const ColourMetric metric :
             {ColourMetric::Rgb, ColourMetric::OkLab, ColourMetric::Ciede2000}) {
            MappingOptions options;
            options.metric = metric;
            options.transparentIndex = 256;  // no entry is kept for transparency: as Pillow maps
            std::vector<uint8_t> out;
            const int ourRuns = metric == ColourMetric::Ciede2000 && picture == &noisy ? 3 : runs;
            const Times ours = timed(ourRuns, [&] {
                PictureMapper mapper;
                mapper.setUp(palette, options, nullptr);
                mapper.map(*picture, out, nullptr, nullptr);
            });
            std::printf("  %-5s %-9s kiv %8.2f ms (%7.2f) = %7.1f Mpx/s", name, metricName(metric),
                        ours.median * 1e3, ours.minimum * 1e3, pixels / ours.median / 1e6);
            if (theirs.median > 0) {
                std::printf("   Pillow quantize %7.2f ms (%7.2f): kiv %.2f x as fast\n",
                            theirs.median * 1e3, theirs.minimum * 1e3, theirs.median / ours.median);
            } else {
                std::printf("   (no Pillow)\n");
            }
        }
        // Whole commands, each started through the shell the same way, wall time to exit.
        auto command = [&](const std::string& line) {
            bool ok = true;
            const Times t =
                timed(5, [&] { ok = std::system((line + " >/dev/null 2>&1").c_str()) == 0 && ok; });
            return ok ? t : Times{};
        };
        const Times index =
            command(KIVTOOL_BINARY " index " + work + "/" + name + ".png -o " + work +
                    "/out.png --palette " KIV_SOURCE_DIR "/examples/project/sheet.pcx --match rgb");
        const Times magick =
            command("/usr/bin/convert " + work + "/" + name + ".png -dither None -remap " + work +
                    "/palette.png " + work + "/im.png");
        if (index.median > 0 && magick.median > 0) {
            std::printf(
                "  %-5s whole command: kivtool index %7.1f ms (%7.1f), ImageMagick convert "
                "-remap %7.1f ms (%7.1f): kivtool %.2f x as fast\n",
                name, index.median * 1e3, index.minimum * 1e3, magick.median * 1e3,
                magick.minimum * 1e3, magick.median / index.median);
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
