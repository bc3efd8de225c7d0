// kivtool index IN.png -o OUT.png --palette SOURCE [--pcx] [--report-only] [OPTION...]
// The mapping that kiv --palette does at load, as a converter: an indexed PNG (or a 256-colour
// PCX) that LOADPCX reads exactly, and a report of how exact it came out.
#include <cstdio>
#include <iterator>
#include <vector>

#include "app/kivtool/kivtool.h"
#include "app/mapping_setup.h"
#include "common/file_access.h"
#include "common/file_output.h"
#include "grab/grab_context.h"
#include "picture/pcx_decoder.h"

namespace kiv {

namespace {

const char* const kIndexHelp =
    "usage: kivtool index IN.png -o OUT.png --palette SOURCE [--pcx] [--report-only] [OPTION...]\n"
    "Maps a true-colour, grey or alpha PNG onto a palette as kiv --palette does at load and\n"
    "writes an indexed PNG with that palette (--pcx: a 256-colour PCX), then reports pixels\n"
    "exact, mapped and transparent, colours used, the largest and mean difference with the\n"
    "worst pixel's position (rgb: 8-bit units; oklab: OKLab x 100; ciede2000: dE00), and the\n"
    "blurred difference (both pictures blurred 7 x 7 in linear light, the mean OKLab x 100).\n";

constexpr OptionEntry kReportOnlyOption{"--report-only", nullptr, "write nothing, only report"};

constexpr OptionEntry kIndexOutOption{"-o", "FILE", "the picture to write"};

constexpr OptionEntry kPcxOption{"--pcx", nullptr, "write a 256-colour PCX instead of a PNG"};

const OptionEntry kOwnOptions[] = {
    kIndexOutOption,
    kPcxOption,
    kReportOnlyOption,
    {"-h, --help", nullptr, "this text"},
};

}  // namespace

namespace {

// The report: pixels exact, mapped and transparent, colours used, the differences.
void printReport(const std::string& in, const MappingSetup& setup, const PictureMapper& mapper,
                 const TrueColourPicture& picture, const std::vector<uint8_t>& indices,
                 const MappingReport& report) {
    const ColourMetric metric = setup.options.metric;
    std::printf("%s onto %s (%s), %s\n", in.c_str(), setup.palette.c_str(),
                mapper.palette().form.c_str(), metricName(metric));
    std::printf("pixels        %s (%d x %d)\n", groupedDigits(report.pixels).c_str(), picture.width,
                picture.height);
    std::printf("exact         %s\n", groupedDigits(report.exact).c_str());
    std::printf("mapped        %s\n", groupedDigits(report.mapped).c_str());
    std::printf("transparent   %s\n", groupedDigits(report.transparent).c_str());
    std::printf("colours used  %d\n", report.coloursUsed);
    if (report.mapped > 0) {
        std::printf("difference    worst %.2f at (%d, %d), mean %.2f\n", report.worst,
                    report.worstX, report.worstY, report.mean);
    } else {
        std::printf("difference    none\n");
    }
    // As an eye at a distance sees it: what dithering is for.
    const double blurred = blurredDifference(picture, indices, mapper.palette().colours,
                                             setup.options.alphaThreshold.value_or(128));
    if (blurred >= 0) {
        std::printf("blurred       %.2f (OKLab x 100 after a 7 x 7 blur in linear light)\n",
                    blurred);
    }
}

// The mapped picture as an indexed PNG or a PCX: the exit status.
int writeMapped(const std::string& out, bool pcx, const MappingSetup& setup,
                const PictureMapper& mapper, const TrueColourPicture& picture,
                const std::vector<uint8_t>& indices, bool transparent) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (pcx) {
        if (picture.width > 65535 || picture.height > 65535) {
            std::fprintf(stderr, "kivtool: %s: a PCX picture is at most 65,535 pixels a side\n",
                         out.c_str());
            return kToolProblem;
        }
        bytes = encodePcx(picture.width, picture.height, indices.data(), mapper.palette().colours);
    } else {
        // Transparent pixels show as such in viewers when they have entry 0.
        IndexedImage image{picture.width, picture.height, indices,
                           setup.options.transparentIndex == 0 && transparent};
        if (!encodeIndexedPng(image, mapper.palette().colours, bytes, &why)) {
            std::fprintf(stderr, "kivtool: %s: %s\n", out.c_str(), why.c_str());
            return kToolProblem;
        }
    }
    if (!writeWholeFile(out, bytes, &why)) {
        std::fprintf(stderr, "kivtool: cannot write %s: %s\n", out.c_str(), why.c_str());
        return kToolProblem;
    }
    return kToolOk;
}

}  // namespace

static int indexPicture(int argc, char** argv) {
    std::vector<OptionEntry> table(std::begin(kOwnOptions), std::end(kOwnOptions));
    table.insert(table.end(), kMappingOptions.begin(), kMappingOptions.end());
    const SubcommandLine w = parseSubcommandLine(argc, argv, table);
    if (w.help) return subcommandHelp(kIndexHelp, table);
    if (!w.error.empty()) return usageError(w.error);
    if (w.operands.size() != 1) return usageError("index takes one picture");
    const bool reportOnly = w.has(kReportOnlyOption);
    if (!reportOnly && !w.has(kIndexOutOption)) return usageError("index needs -o OUT");
    MappingSetup setup;
    for (const auto& [name, value] : w.line.given) {
        std::string why;
        if (isMappingOption(name) && !takeMappingOption(name, value, setup, &why)) {
            return usageError(why);
        }
    }
    if (setup.palette.empty()) return usageError("index needs --palette SOURCE");
    PictureMapper mapper;
    std::string why;
    if (!prepareMapper(setup, mapper, &why)) {
        std::fprintf(stderr, "kivtool: --palette %s\n", why.c_str());
        return kToolProblem;
    }
    const std::string& in = w.operands[0];
    ReadableFile file;
    if (!file.open(in)) {
        std::fprintf(stderr, "kivtool: %s: %s\n", in.c_str(), file.reason().c_str());
        return kToolProblem;
    }
    TrueColourPicture picture;
    std::vector<uint8_t> indices;
    MappingReport report;
    if (!readTrueColourPng(file.readAll(int64_t{256} << 20), static_cast<int64_t>(kPictureBytes),
                           picture, &why) ||
        !mapper.map(picture, indices, &report, &why)) {
        std::fprintf(stderr, "kivtool: %s: %s\n", in.c_str(), why.c_str());
        return kToolProblem;
    }
    printReport(in, setup, mapper, picture, indices, report);
    if (reportOnly) return kToolOk;
    return writeMapped(w.value(kIndexOutOption), w.has(kPcxOption), setup, mapper, picture, indices,
                       report.transparent > 0);
}

const Subcommand kIndexCommand = {
    "index", kOwnOptions,
    "  index IN.png -o OUT.png --palette SOURCE [--pcx] [--report-only] [OPTION...]\n              "
    "                   maps a true-colour picture onto a palette\n",
    indexPicture};

}  // namespace kiv
