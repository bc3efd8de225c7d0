// kiv's benchmarks, with the ratios that matter printed side by side at the end:
//   TRANSPARENT 23 levels: the straightforward search against the fast one;
//   LOADPCX of a noisy and a run-heavy 1280 x 960 picture against Pillow on the same files;
//   PACKED over a full sheet of sprites;
//   a link job of 200 files of 2 MiB against copying the same bytes with cat.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>

#include "app/jobs.h"
#include "common/console.h"
#include "common/transfer_buffer.h"
#include "grab/colour_tables.h"
#include "grab/commands.h"
#include "grab/pcx_loader.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"

using namespace kiv;
using namespace kivtest;

namespace {

std::array<uint8_t, 768> gamePalette() {
    std::array<uint8_t, 768> pal{};
    uint32_t x = 12345;
    for (auto& c : pal) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>((x >> 16) % 64);
    }
    return pal;
}

void TransparentStraightforward(benchmark::State& state) {
    auto pal = gamePalette();
    std::vector<uint8_t> out(23 * 65536);
    for (auto _ : state) {
        for (int level = 0; level < 23; ++level) {
            for (int a = 0; a < 256; ++a) {
                for (int b = 0; b < 256; ++b) {
                    out[level * 65536 + a * 256 + b] = blendToIndex(pal.data(), level, a, b, 23);
                }
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
}

void TransparentFast(benchmark::State& state) {
    auto pal = gamePalette();
    std::vector<uint8_t> out(23 * 65536);
    for (auto _ : state) {
        BlendSearch search(pal.data());
        for (int level = 0; level < 23; ++level)
            search.blendLevel(level, 23, out.data() + level * 65536);
        benchmark::DoNotOptimize(out.data());
    }
}

// A folder of its own for the files the benchmarks write.
const std::string& workFolder() {
    static std::string folder = [] {
        char tmpl[] = "/tmp/kiv-bench-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return folder;
}

// The two pictures of the PCX comparison: a noisy 256-colour plasma made by ImageMagick (few runs,
// the hard case) and a sheet of long runs. Returns the paths.
const std::string& noisyPicture() {
    static std::string path = [] {
        const std::string file = workFolder() + "/noisy.pcx";
        const std::string command =
            "/usr/bin/convert -size 1280x960 -seed 1 plasma:fractal "
            "-colors 256 -type Palette pcx:" +
            file + " 2>/dev/null";
        if (std::system(command.c_str()) != 0) {
            // Without ImageMagick: noise of our own, which no run can shorten.
            PcxPicture p = blankPicture(1280, 960);
            uint32_t x = 1;
            for (auto& v : p.pixels)
                v = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
            writePcx(file, p);
        }
        return file;
    }();
    return path;
}

const std::string& runsPicture() {
    static std::string path = [] {
        PcxPicture p = blankPicture(1280, 960);
        for (int y = 0; y < 960; ++y) {
            for (int x = 0; x < 1280; ++x)
                p.at(x, y) = static_cast<uint8_t>((x / 40 + y / 30) % 256);
        }
        const std::string file = workFolder() + "/runs.pcx";
        writePcx(file, p);
        return file;
    }();
    return path;
}

// A whole LOADPCX: the file read, checked, decoded into the picture and copied to the preview.
void loadPicture(benchmark::State& state, const std::string& path) {
    GrabHarness h;
    h.ctx.previewSink = nullptr;  // as on the command line
    setStandardOutput({});
    const std::string line = "LOADPCX " + path;
    for (auto _ : state) {
        h.run(line);
        if (h.ctx.width != 1280) state.SkipWithError("the picture did not load");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1228800);
}
void PcxNoisy(benchmark::State& state) {
    loadPicture(state, noisyPicture());
}
void PcxRuns(benchmark::State& state) {
    loadPicture(state, runsPicture());
}

// The same number of single runs on both sides of every ratio, summed up the same way.
constexpr int kRuns = 30;
struct Summary {
    double median = -1, minimum = -1;  // milliseconds
};

// Pillow's Image.open().load() on the same file, kRuns times; negative without Pillow.
Summary pillowMilliseconds(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 -c \"import time\nfrom PIL import Image\nt=[]\n"
        "for i in range(" +
        std::to_string(kRuns) + "):\n s=time.perf_counter(); im=Image.open('" + path +
        "'); im.load(); t.append(time.perf_counter()-s)\nt.sort()\n"
        "print(t[len(t)//2]*1000, t[0]*1000)\" 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    Summary out;
    if (pipe == nullptr) return out;
    if (std::fscanf(pipe, "%lf %lf", &out.median, &out.minimum) != 2) out = Summary{};
    pclose(pipe);
    return out;
}

void PackedSheet(benchmark::State& state) {
    GrabHarness h;
    Bytes sheet(1280 * 960, 0);
    for (int y = 0; y < 960; ++y) {
        for (int x = 0; x < 1280; ++x) {
            int cx = x % 32 - 16, cy = y % 32 - 16;
            if (cx * cx + cy * cy < 196)
                sheet[y * 1280 + x] = static_cast<uint8_t>(1 + (x + y) % 200);
        }
    }
    h.setPicture(1280, 960, sheet);
    h.ctx.previewSink = nullptr;  // as on the command line: nothing to draw in
    for (auto _ : state) {
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                h.ctx.cursor = 0;
                h.ctx.numArgs = {0, x * 32, y * 32, 32, 32};
                grabPacked(h.ctx);
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1200);
}

void prepareLinkFiles() {
    static bool done = false;
    if (done) return;
    const std::string& folder = workFolder();
    std::string script;
    for (int i = 0; i < 200; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.bin", i);
        writeFile(folder + "/" + name, patternBytes(2 * 1024 * 1024, static_cast<uint32_t>(i)));
        script += std::string(name) + " ITEM" + std::to_string(i) + "\n";
    }
    writeText(folder + "/pack.lnk", script);
    done = true;
}

// Each copy starts with the written data of the one before on disk, untimed, so that neither
// pays for the other's write-back.
void settle(benchmark::State& state) {
    state.PauseTiming();
    sync();
    state.ResumeTiming();
}

void LinkJob(benchmark::State& state) {
    prepareLinkFiles();
    if (chdir(workFolder().c_str()) != 0) std::abort();
    setConsoleWrite({});
    for (auto _ : state) {
        settle(state);
        if (runLinkJob("pack.lnk") != 0) state.SkipWithError("link job failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200 * 2 * 1024 * 1024);
}

// The link job's 400 MiB copied with cat, for comparison; durable: waiting for the output to
// reach the disk as the link job does for its archive.
void catCopy(benchmark::State& state, bool durable) {
    prepareLinkFiles();
    const std::string command =
        "cd " + workFolder() + " && cat f*.bin > cat.out" + (durable ? " && sync cat.out" : "");
    // The CPU column of a command is the parent's (waiting); cat's own is counted here.
    double childSeconds = 0;
    for (auto _ : state) {
        settle(state);
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
        getrusage(RUSAGE_CHILDREN, &after);
        auto seconds = [](const rusage& u) {
            return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                   double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        };
        childSeconds += seconds(after) - seconds(before);
    }
    state.counters["cat_cpu_s"] =
        benchmark::Counter(childSeconds, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200 * 2 * 1024 * 1024);
}

void CatCopy(benchmark::State& state) {
    catCopy(state, false);
}
void CatCopyDurable(benchmark::State& state) {
    catCopy(state, true);
}

// Keeps the median and the minimum real time of each benchmark's repetitions for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Aggregate) continue;
            const double ms =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
            Summary& summary = times[run.run_name.function_name];
            (run.aggregate_name == "median" ? summary.median : summary.minimum) = ms;
        }
    }
    std::map<std::string, Summary> times;
};

double smallest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

}  // namespace

// Every benchmark runs single iterations, repeated; the summary compares medians (and shows the
// minimum), the same statistic on both sides.
#define KIV_REPEATED(name, times)       \
    BENCHMARK(name)                     \
        ->Unit(benchmark::kMillisecond) \
        ->Iterations(1)                 \
        ->Repetitions(times)            \
        ->UseRealTime()                 \
        ->ReportAggregatesOnly(true)    \
        ->ComputeStatistics("min", smallest)
KIV_REPEATED(TransparentStraightforward, 3);
KIV_REPEATED(TransparentFast, 3);
KIV_REPEATED(PcxNoisy, kRuns);
KIV_REPEATED(PcxRuns, kRuns);
KIV_REPEATED(PackedSheet, 15);
KIV_REPEATED(LinkJob, 5);
KIV_REPEATED(CatCopy, 5);
KIV_REPEATED(CatCopyDurable, 5);

int main(int argc, char** argv) {
    if (!createTransferBuffer()) return 1;
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    auto have = [&](const char* name) { return t.count(name) > 0 && t[name].median > 0; };
    std::printf("\nSide by side (median, minimum in brackets, of the same number of runs)\n");
    if (have("TransparentStraightforward") && have("TransparentFast")) {
        const Summary slow = t["TransparentStraightforward"], fast = t["TransparentFast"];
        std::printf(
            "  TRANSPARENT 23 levels: straightforward %.1f ms (%.1f), fast %.2f ms (%.2f): "
            "%.0f times faster\n",
            slow.median, slow.minimum, fast.median, fast.minimum, slow.median / fast.median);
    }
    for (const auto& [name, label, path] : {std::tuple{"PcxNoisy", "noisy plasma", noisyPicture()},
                                            std::tuple{"PcxRuns", "long runs", runsPicture()}}) {
        if (!have(name)) continue;
        const Summary ours = t[name];
        const Summary pillow = pillowMilliseconds(path);
        if (pillow.median > 0) {
            std::printf(
                "  LOADPCX 1280 x 960, %s: kiv %.2f ms (%.2f), Pillow open+load %.2f ms "
                "(%.2f): kiv takes %.2f of Pillow's time\n",
                label, ours.median, ours.minimum, pillow.median, pillow.minimum,
                ours.median / pillow.median);
        } else {
            std::printf("  LOADPCX 1280 x 960, %s: kiv %.2f ms (no Pillow to compare)\n", label,
                        ours.median);
        }
    }
    if (have("PackedSheet")) {
        const Summary p = t["PackedSheet"];
        std::printf(
            "  PACKED, 1200 sprites of 32 x 32 from a 1280 x 960 sheet: %.2f ms (%.2f), "
            "%.2f us a sprite\n",
            p.median, p.minimum, p.median / 1200 * 1e3);
    }
    if (have("LinkJob") && have("CatCopy")) {
        const Summary link = t["LinkJob"], cat = t["CatCopy"];
        std::printf(
            "  link job of 200 files of 2 MiB: %.0f ms (%.0f), cat of the same files: %.0f "
            "ms (%.0f): %.2f times cat\n",
            link.median, link.minimum, cat.median, cat.minimum, link.median / cat.median);
        if (have("CatCopyDurable")) {
            const Summary durable = t["CatCopyDurable"];
            std::printf(
                "  the same link job against cat and a sync of its output: %.0f ms (%.0f): "
                "%.2f times\n",
                durable.median, durable.minimum, link.median / durable.median);
        }
    }
    std::string cleanup = "rm -rf " + workFolder();
    if (std::system(cleanup.c_str()) != 0) return 1;
    return 0;
}
