// kivtool palette --palette SOURCE --keep LIST --from PICTURE... -o FILE [--format F]
// A palette completed from the art: the game's entries kept, the free ones chosen for the
// pictures, and how much nearer the pictures' colours come.
#include <cstdio>

#include "app/kivtool/kivtool.h"
#include "common/file_access.h"
#include "common/file_output.h"
#include "grab/grab_context.h"
#include "grab/palette_completion.h"
#include "grab/palette_source.h"
#include "grab/picture_mapping.h"

namespace kiv {

namespace {

const char* const kPaletteHelp =
    "usage: kivtool palette --palette SOURCE --keep LIST --from PICTURE... -o FILE\n"
    "                       [--format raw|jasc|gimp] [--match METRIC]\n"
    "Keeps the listed entries of SOURCE and chooses the colours of all the others so that\n"
    "the pictures' colours (true-colour, grey or indexed PNGs; opaque pixels) lie as near as\n"
    "can be to some entry: the same pictures give the same palette. Reports the mean and\n"
    "the worst difference of the pixels to their nearest entry before and after\n"
    "(rgb: 8-bit units; oklab: OKLab x 100; ciede2000: dE00). Writes a raw palette of\n"
    "768 bytes (8-bit values) unless --format says jasc or gimp.\n"
    "Exit status: 0 written, 1 a picture or the palette cannot be used, 2 wrong words.\n";

constexpr OptionEntry kSourceOption{"--palette", "SOURCE",
                                    "the palette to complete, as for kiv --palette"};

constexpr OptionEntry kKeepOption{"--keep", "LIST",
                                  "the entries kept as they are, e.g. 0-199,224-255"};

constexpr OptionEntry kFromOption{"--from", "PICTURE",
                                  "a picture to serve (repeat it, or list more pictures after it)"};

constexpr OptionEntry kPaletteOutOption{"-o", "FILE", "the palette to write"};

constexpr OptionEntry kFormatOption{"--format", "FORMAT",
                                    "raw (768 bytes, the default), jasc or gimp"};

const OptionEntry kPaletteOptions[] = {
    kSourceOption,
    kKeepOption,
    kFromOption,
    kPaletteOutOption,
    kFormatOption,
    kMetricOption,
    {"-h, --help", nullptr, "this text"},
};

std::string paletteText(const std::array<uint8_t, 768>& p, const std::string& format) {
    std::string text = format == "jasc" ? "JASC-PAL\r\n0100\r\n256\r\n"
                                        : "GIMP Palette\nName: kiv\nColumns: 16\n#\n";
    for (size_t i = 0; i < 256; ++i) {
        char line[48];
        if (format == "jasc") {
            std::snprintf(line, sizeof line, "%d %d %d\r\n", p[3 * i], p[3 * i + 1], p[3 * i + 2]);
        } else {
            std::snprintf(line, sizeof line, "%3d %3d %3d\tIndex %zu\n", p[3 * i], p[3 * i + 1],
                          p[3 * i + 2], i);
        }
        text += line;
    }
    return text;
}

}  // namespace

static int completePaletteCommand(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv, 2, kPaletteOptions);
    if (line.help) return subcommandHelp(kPaletteHelp, kPaletteOptions);
    if (!line.error.empty()) return usageError(line.error);
    std::vector<std::string> pictures;
    for (const auto& [word, value] : line.given) {
        if (isOption(word, kFromOption)) pictures.push_back(value);
    }
    if (!pictures.empty())
        pictures.insert(pictures.end(), line.operands.begin(), line.operands.end());
    else if (!line.operands.empty())
        return usageError("pictures are given with --from");
    if (!line.has(kSourceOption)) return usageError("palette needs --palette SOURCE");
    if (!line.has(kKeepOption)) return usageError("palette needs --keep LIST");
    if (pictures.empty()) return usageError("palette needs --from PICTURE");
    if (!line.has(kPaletteOutOption)) return usageError("palette needs -o FILE");
    const std::string format = line.has(kFormatOption) ? line.value(kFormatOption) : "raw";
    if (format != "raw" && format != "jasc" && format != "gimp")
        return usageError("--format " + format + ": the formats are raw, jasc and gimp");
    ColourMetric metric = ColourMetric::OkLab;
    if (line.has(kMetricOption) && !parseColourMetric(line.value(kMetricOption), metric))
        return usageError("--match " + line.value(kMetricOption) +
                          ": the metrics are oklab, rgb and ciede2000");
    std::bitset<256> keep;
    std::string why;
    if (!parseIndexList(line.value(kKeepOption), keep, &why))
        return usageError("--keep " + line.value(kKeepOption) + ": " + why);
    PaletteSource source;
    if (!loadPaletteSource(line.value(kSourceOption), source, &why)) {
        std::fprintf(stderr, "kivtool: --palette %s\n", why.c_str());
        return kToolProblem;
    }
    ColourCounts counts;
    for (const std::string& path : pictures) {
        ReadableFile file;
        TrueColourPicture picture;
        if (!file.open(path)) {
            why = file.reason();
        } else if (readTrueColourPng(file.readAll(int64_t{256} << 20),
                                     static_cast<int64_t>(kPictureBytes), picture, &why)) {
            countColours(picture, counts);
            continue;
        }
        std::fprintf(stderr, "kivtool: %s: %s\n", path.c_str(), why.c_str());
        return kToolProblem;
    }
    std::array<uint8_t, 768> palette{};
    CompletionReport report;
    if (!completePalette(source.colours, keep, counts, metric, palette, report, &why)) {
        std::fprintf(stderr, "kivtool: %s\n", why.c_str());
        return kToolProblem;
    }
    const bool written =
        format == "raw"
            ? writeWholeFile(line.value(kPaletteOutOption), palette, &why)
            : writeWholeFile(line.value(kPaletteOutOption), paletteText(palette, format), &why);
    if (!written) {
        std::fprintf(stderr, "kivtool: cannot write %s: %s\n",
                     line.value(kPaletteOutOption).c_str(), why.c_str());
        return kToolProblem;
    }
    std::printf("%s: %d entries chosen, %d kept from %s (%s)\n",
                line.value(kPaletteOutOption).c_str(), report.chosen, 256 - report.chosen,
                line.value(kSourceOption).c_str(), metricName(metric));
    std::printf("pictures      %zu: %s pixels, %s colours\n", pictures.size(),
                groupedDigits(static_cast<int64_t>(report.pixels)).c_str(),
                groupedDigits(static_cast<int64_t>(report.colours)).c_str());
    std::printf("before        mean %.2f, worst %.2f\n", report.meanBefore, report.worstBefore);
    std::printf("after         mean %.2f, worst %.2f (%d rounds of refinement)\n", report.meanAfter,
                report.worstAfter, report.rounds);
    return kToolOk;
}

const Subcommand kPaletteCommand = {
    "palette", kPaletteOptions,
    "  palette --palette SOURCE --keep LIST --from PICTURE... -o FILE [--format F]\n               "
    "                  completes a palette: the free entries chosen for the art\n",
    completePaletteCommand};

}  // namespace kiv
