// kiv's benchmarks, with the ratios that matter printed side by side at the end:
//   TRANSPARENT 23 levels: the straightforward search against the fast one;
//   LOADPCX of a noisy and a run-heavy 1280 x 960 picture against Pillow on the same files;
//   PACKED over a full sheet of sprites;
//   a link job of 200 files of 2 MiB against copying the same bytes with cat.
#include <benchmark/benchmark.h>
#include <unistd.h>

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

// Pillow's Image.open().load() on the same file, in milliseconds; negative without Pillow.
double pillowMilliseconds(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 -c \"import time\nfrom PIL import Image\nbest=1e9\n"
        "for i in range(30):\n t=time.perf_counter(); im=Image.open('" +
        path +
        "'); im.load(); best=min(best,time.perf_counter()-t)\nprint(best*1000)\" 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    double ms = -1;
    if (std::fscanf(pipe, "%lf", &ms) != 1) ms = -1;
    pclose(pipe);
    return ms;
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
    for (auto _ : state) {
        settle(state);
        if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200 * 2 * 1024 * 1024);
}

void CatCopy(benchmark::State& state) {
    catCopy(state, false);
}
void CatCopyDurable(benchmark::State& state) {
    catCopy(state, true);
}

// Keeps each benchmark's real time per iteration for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            seconds[run.benchmark_name()] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
    std::map<std::string, double> seconds;
};

}  // namespace

BENCHMARK(TransparentStraightforward)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(TransparentFast)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(PcxNoisy)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(PcxRuns)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(PackedSheet)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(LinkJob)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(CatCopy)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(CatCopyDurable)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    if (!createTransferBuffer()) return 1;
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& s = reporter.seconds;
    auto ms = [](double seconds) { return seconds * 1000.0; };
    std::printf("\nSide by side\n");
    if (s.count("TransparentStraightforward/iterations:3") &&
        s.count("TransparentFast/min_time:0.500")) {
        double slow = s["TransparentStraightforward/iterations:3"];
        double fast = s["TransparentFast/min_time:0.500"];
        std::printf(
            "  TRANSPARENT 23 levels: straightforward %.1f ms, fast %.2f ms: %.0f times faster\n",
            ms(slow), ms(fast), slow / fast);
    }
    for (const auto& [name, label, path] :
         {std::tuple{"PcxNoisy/min_time:0.500", "noisy plasma", noisyPicture()},
          std::tuple{"PcxRuns/min_time:0.500", "long runs", runsPicture()}}) {
        if (!s.count(name)) continue;
        const double t = ms(s[name]);
        const double pillow = pillowMilliseconds(path);
        if (pillow > 0) {
            std::printf(
                "  LOADPCX 1280 x 960, %s: kiv %.2f ms, Pillow open+load %.2f ms: kiv takes "
                "%.2f of Pillow's time\n",
                label, t, pillow, t / pillow);
        } else {
            std::printf("  LOADPCX 1280 x 960, %s: kiv %.2f ms (no Pillow to compare)\n", label, t);
        }
    }
    if (s.count("PackedSheet/min_time:0.500")) {
        double t = s["PackedSheet/min_time:0.500"];
        std::printf(
            "  PACKED, 1200 sprites of 32 x 32 from a 1280 x 960 sheet: %.2f ms, %.2f us a "
            "sprite\n",
            ms(t), t / 1200 * 1e6);
    }
    if (s.count("LinkJob/iterations:5") && s.count("CatCopy/iterations:5")) {
        double link = s["LinkJob/iterations:5"], cat = s["CatCopy/iterations:5"];
        std::printf(
            "  link job of 200 files of 2 MiB: %.0f ms, cat of the same files: %.0f ms: %.2f times "
            "cat\n",
            ms(link), ms(cat), link / cat);
        if (s.count("CatCopyDurable/iterations:5")) {
            double durable = s["CatCopyDurable/iterations:5"];
            std::printf(
                "  the same link job against cat and a sync of its output: %.0f ms: %.2f times\n",
                ms(durable), link / durable);
        }
    }
    std::string cleanup = "rm -rf " + workFolder();
    if (std::system(cleanup.c_str()) != 0) return 1;
    return 0;
}
