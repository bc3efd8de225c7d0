// The live preview's cost: a grab job of 1,200 PACKED sprites on a 1280 × 960 sheet, run
// headless as kiv runs it and in the window with its live preview (on whatever display Qt is
// given: Xvfb through xvfb-run in make bench), side by side.
#include <QApplication>
#include <QDir>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/gui/main_window.h"
#include "app/jobs.h"
#include "common/console.h"
#include "common/transfer_buffer.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"
#include "timing.h"

using namespace kiv;
using namespace kivtest;
using kivbench::Clock;
using kivbench::median;
using kivbench::msSince;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (!createTransferBuffer()) return 1;
    ScopedTempDir dir;
    PcxPicture sheet = blankPicture(1280, 960);
    uint32_t seed = 7;
    for (uint8_t& p : sheet.pixels) {
        seed = seed * 1103515245u + 12345u;
        p = (seed >> 24) % 4 == 0 ? 0 : static_cast<uint8_t>(1 + (seed >> 16) % 200);
    }
    writePcx("sheet.pcx", sheet);
    std::string script = "LOADPCX sheet.pcx\n";
    for (int j = 0; j < 30; ++j) {
        for (int i = 0; i < 40; ++i) {
            script += "PACKED s" + std::to_string(j * 40 + i) + " " + std::to_string(4 * i) + " " +
                      std::to_string(4 * j) + " 4 4\n";
        }
    }
    writeText("sprites.scp", script);
    setStandardOutput([](std::string_view) {});
    setConsoleWrite([](std::string_view) {});
    setDiagnosticSink([](std::string_view) {});

    constexpr int kRuns = 7;
    std::vector<double> headless, window;
    for (int i = 0; i < kRuns; ++i) {
        GrabContext ctx;
        const auto start = Clock::now();
        if (runGrabJob(ctx, "sprites.scp") != 0) return 1;
        headless.push_back(msSince(start));
    }
    const QString path = QDir::current().absoluteFilePath("sprites.scp");
    MainWindow w([&](QWidget*, const DialogSettings&) { return std::optional<QString>(path); });
    w.show();
    if (!QTest::qWaitForWindowExposed(&w)) return 1;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = Clock::now();
        w.runCommand(kMenuGrab);
        // What the job left to paint is painted before the clock stops.
        QApplication::processEvents();
        QApplication::sync();
        window.push_back(msSince(start));
        if (w.lastStatus() != 0) return 1;
    }
    const double h = median(headless), v = median(window);
    std::printf("The live preview (1,200 PACKED on a 1280 x 960 sheet, %s display)\n",
                qPrintable(QGuiApplication::platformName()));
    std::printf(
        "  headless job median %.1f ms (min %.1f); in the window median %.1f ms (min "
        "%.1f): the preview costs %.2f times the headless job (goal at most 2)\n",
        h, *std::min_element(headless.begin(), headless.end()), v,
        *std::min_element(window.begin(), window.end()), v / h);
    return 0;
}
