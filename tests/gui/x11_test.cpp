// The window on a real X server (Xvfb, the xcb platform), as a user sees it: the job console
// shows its lines while a long job runs, and a narrow picture leaves the menu its words.
#include <QDir>
#include <QMenuBar>
#include <QScreen>
#include <QtTest>

#include "app/gui/job_console.h"
#include "app/gui/main_window.h"
#include "app/gui/preview_widget.h"
#include "common/console.h"
#include "common/transfer_buffer.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

// How many pixels of the picture are dark (text) and how many light (the console's page).
std::pair<int, int> darkAndLight(const QImage& image) {
    int dark = 0, light = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int grey = qGray(image.pixel(x, y));
            dark += grey < 80;
            light += grey > 200;
        }
    }
    return {dark, light};
}

}  // namespace

class X11Test : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
        QVERIFY(createTransferBuffer());
    }

    // While a link job of many files runs, the console on the screen holds its text.
    void consoleShowsItsLinesWhileTheJobRuns() {
        ScopedTempDir dir;
        std::string script;
        for (int i = 0; i < 60; ++i) {
            std::string name = "f";  // appended: GCC 12 at -O3 sees overlaps in "f" + number
            name += std::to_string(i);
            name += ".bin";
            writeFile(name, patternBytes(200000, static_cast<uint32_t>(i)));
            script += name + " ITEM" + std::to_string(i) + "\n";
        }
        writeText("big.lnk", script);
        MainWindow w([](QWidget*, const DialogSettings&) {
            return std::optional<QString>(QDir::current().absoluteFilePath("big.lnk"));
        });
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QImage seen;
        int lines = 0;
        w.onConsole = [&](bool open) {
            if (!open) return;
            // From here on the job runs; after its 40th line, look at the screen.
            JobConsole* console = w.jobConsole();
            setConsoleWrite([&, console](std::string_view text) {
                console->consoleWrite(text);
                if (++lines == 40) {
                    seen = console->screen()->grabWindow(console->winId()).toImage();
                }
            });
        };
        w.runCommand(kMenuLink);
        QCOMPARE(w.lastStatus(), 0);
        QVERIFY(!seen.isNull());
        const auto [dark, light] = darkAndLight(seen);
        QVERIFY2(light > seen.width() * seen.height() / 2, "the console's page is painted");
        QVERIFY2(dark > 200, "and its text is there");
    }

    // Every command's mark reaches the screen, however the window gathers its repaints; and
    // with File → Watch, a saved picture is on the screen without a hand on the window.
    void previewKeepsUpWithJobsAndSaves() {
        ScopedTempDir dir;
        auto save = [](uint8_t fill) {
            PcxPicture p = blankPicture(320, 200, fill);
            for (int y = 0; y < 200; y += 3) p.at((y * 7) % 320, y) = 0;
            writePcx(".pic.tmp", p);
            QCOMPARE(std::rename(".pic.tmp", "pic.pcx"), 0);
        };
        save(7);
        std::string script = "LOADPCX pic.pcx\n";
        for (int i = 0; i < 50; ++i)
            script += "PACKED s" + std::to_string(i) + " " + std::to_string(4 * (i % 10)) + " " +
                      std::to_string(5 * (i / 10)) + " 2 2\n";
        writeText("job.scp", script);
        MainWindow w([](QWidget*, const DialogSettings&) {
            return std::optional<QString>(QDir::current().absoluteFilePath("job.scp"));
        });
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.runCommand(kMenuGrab);
        QCOMPARE(w.lastStatus(), 0);
        const QPoint at = w.preview()->mapTo(&w, QPoint(0, 0));
        auto screen = [&] {
            return w.screen()->grabWindow(w.winId(), at.x(), at.y(), 320, 200).toImage();
        };
        // The last sprite's mark is there, and the screen shows what the window holds.
        QCOMPARE(w.preview()->shown().pixel(32 * 9 + 5, 40 * 4 + 5),
                 w.preview()->shown().pixel(1, 1));
        QTRY_COMPARE(screen().convertToFormat(QImage::Format_RGB32), w.preview()->shown());
        w.runCommand(kMenuWatch);
        save(9);
        QTRY_COMPARE(w.preview()->shown().pixel(20, 1), qRgb(9, 246, 4));
        QTRY_COMPARE(screen().convertToFormat(QImage::Format_RGB32), w.preview()->shown());
    }

    // After a 64 × 40 picture the menu bar keeps every menu's title in view.
    void narrowPictureKeepsTheMenuWhole() {
        ScopedTempDir dir;
        PcxPicture p = blankPicture(64, 40, 7);
        writePcx("pic.pcx", p);
        writeText("job.scp", "LOADPCX pic.pcx\n");
        MainWindow w([](QWidget*, const DialogSettings&) {
            return std::optional<QString>(QDir::current().absoluteFilePath("job.scp"));
        });
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.runCommand(kMenuGrab);
        QTRY_VERIFY(w.preview()->width() >= w.menuBar()->sizeHint().width());
        QTRY_VERIFY(w.width() >= w.menuBar()->sizeHint().width());
        for (QAction* menu : w.menuBar()->actions()) {
            const QRect at = w.menuBar()->actionGeometry(menu);
            QVERIFY2(!at.isEmpty() && at.right() < w.menuBar()->width(),
                     qPrintable(menu->text() + " is in view"));
        }
        QCOMPARE(w.preview()->height(), 40);
        // On the screen: the picture at the top-left, black beyond it.
        const QPoint at = w.preview()->mapTo(&w, QPoint(0, 0));
        auto onScreen = [&](int x, int y) {
            return w.screen()
                ->grabWindow(w.winId(), at.x() + x, at.y() + y, 1, 1)
                .toImage()
                .pixel(0, 0);
        };
        QTRY_COMPARE(onScreen(10, 10), w.preview()->shown().pixel(10, 10));
        QTRY_COMPARE(onScreen(w.preview()->width() - 2, 10), qRgb(0, 0, 0));
    }

    // Under a window manager, kiv-gui SCRIPT opens at the top-left like the menu's jobs.
    void startedWithAScriptTheWindowIsAtTheTopLeft() {
        ScopedTempDir dir;
        writePcx("pic.pcx", blankPicture(64, 40, 7));
        writeText("job.scp", "LOADPCX pic.pcx\n");
        QProcess manager;
        manager.start("openbox", {});
        QVERIFY2(manager.waitForStarted(), "openbox runs (make test installs it)");
        QTest::qWait(1000);  // until it manages the screen
        MainWindow w;
        w.showAtStart(QDir::current().absoluteFilePath("job.scp"));
        QTRY_COMPARE(w.jobsRun(), 1);
        // The window's own corner on the screen: inside the manager's frame at the top-left.
        auto nearTopLeft = [&] {
            return QRect(0, 0, 16, 64).contains(w.mapToGlobal(QPoint(0, 0)));
        };
        QTRY_VERIFY(nearTopLeft());
        QTest::qWait(300);  // and stays there once the manager has framed it
        QVERIFY(nearTopLeft());
        w.close();
        manager.terminate();
        manager.waitForFinished();
    }
};

QTEST_MAIN(X11Test)
#include "x11_test.moc"
