// The window of kiv, driven on Qt's offscreen platform.
#include "app/gui/main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QtTest>
#include <functional>

#include "app/gui/archive_browser.h"
#include "app/gui/job_console.h"
#include "app/gui/preview_widget.h"
#include "common/console.h"
#include "common/transfer_buffer.h"
#include "grab/item_kinds.h"
#include "picture/png_picture.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

constexpr QRgb kMarkColour = 0xFFC86432;  // the file palette's entry 48: (200, 100, 50)

PcxPicture testPicture(int w, int h, uint8_t base) {
    PcxPicture p = blankPicture(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) p.at(x, y) = static_cast<uint8_t>(base + (x / 10 + y / 10) % 8);
    }
    p.palette[3 * 48] = 200;
    p.palette[3 * 48 + 1] = 100;
    p.palette[3 * 48 + 2] = 50;
    return p;
}

QRgb fileColour(const PcxPicture& p, uint8_t index) {
    return qRgb(p.palette[3 * index], p.palette[3 * index + 1], p.palette[3 * index + 2]);
}

// As a palette item draws it: the file's components shifted right by 2, shown as v × 4 + v / 16.
QRgb itemColour(const PcxPicture& p, uint8_t index) {
    auto c = [&](int k) {
        return (p.palette[3 * index + k] >> 2) * 4 + (p.palette[3 * index + k] >> 6);
    };
    return qRgb(c(0), c(1), c(2));
}

// A chooser that answers with a prepared path, or cancels; it counts how it was asked.
struct FakeChooser {
    std::optional<QString> answer;
    QStringList titles;
    ScriptChooser function() {
        return [this](QWidget*, const DialogSettings& settings) {
            titles << settings.title;
            return answer;
        };
    }
};

// A shown window whose dialogs answer with the script of this folder.
std::unique_ptr<MainWindow> shownWindow(FakeChooser& chooser, const char* script) {
    chooser.answer = QDir::current().absoluteFilePath(script);
    auto w = std::make_unique<MainWindow>(chooser.function());
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get())) return nullptr;
    return w;
}

QStringList folderNames() {
    return QDir::current().entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot |
                                     QDir::Hidden);
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QVERIFY(createTransferBuffer()); }

    void titleClientAreaAndBlackFill() {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QString("Kiv ver 1.1"));
        QCOMPARE(w.preview()->size(), QSize(320, 200));
        QCOMPARE(w.preview()->geometry().top(), w.menuBar()->geometry().bottom() + 1);
        QImage shown = w.preview()->grab().toImage();
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x) QCOMPARE(shown.pixel(x, y), qRgb(0, 0, 0));
        }
    }

    void menuTextsAndIds() {
        MainWindow w;
        const QList<QAction*> menus = w.menuBar()->actions();
        QCOMPARE(menus.size(), 3);
        QCOMPARE(menus[0]->text(), QString("文件(&F)"));
        QCOMPARE(menus[1]->text(), QString("查看(&V)"));
        QCOMPARE(menus[2]->text(), QString("帮助(&H)"));
        QStringList texts, tips;
        QList<int> ids;
        for (QAction* menu : menus) {
            for (QAction* item : menu->menu()->actions()) {
                texts << item->text();
                ids << item->data().toInt();
                tips << item->statusTip();
            }
        }
        // The original items with their ids, and the window's additions: open an archive,
        // watch, zoom, the palette of true-colour pictures.
        QCOMPARE(texts, QStringList({"抓取图形(&G)", "链接 Kiv(&L)", "打开 Kiv(&O)…", "Watch(&W)",
                                     "退出(&X)", "&1×", "&2×", "&3×", "&4×",
                                     "Palette for true-colour pictures…", "True-colour mapping…",
                                     "关于(&A)"}));
        QCOMPARE(ids, QList<int>({202, 203, 205, 216, 201, 211, 212, 213, 214, 215, 217, 204}));
        QCOMPARE(tips[0], QString("Grab graphics: run a grab script (.SCP)"));
        QVERIFY(
            std::none_of(tips.begin(), tips.end(), [](const QString& t) { return t.isEmpty(); }));
        QCOMPARE(grabDialogSettings().title, QString("打开脚本文件"));
        QCOMPARE(grabDialogSettings().filterDescription, QString("Grab 文件(*.SCP)"));
        QCOMPARE(linkDialogSettings().title, QString("打开链接文件"));
        QCOMPARE(linkDialogSettings().filterDescription, QString("链接文件(*.LNK)"));
    }

    void aboutKeysAndMouseDoNothing() {
        FakeChooser chooser;
        MainWindow w(chooser.function());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.runCommand(kMenuAbout);
        QTest::keyClick(w.preview(), Qt::Key_A);
        QTest::mouseClick(w.preview(), Qt::LeftButton);
        QTest::mouseClick(w.preview(), Qt::RightButton);
        QVERIFY(w.isVisible());
        QVERIFY(chooser.titles.isEmpty());
        w.runCommand(kMenuExit);
        QVERIFY(!w.isVisible());
    }

    void grabJobThroughTheMenu() {
        ScopedTempDir dir;
        PcxPicture p = testPicture(400, 300, 1);
        for (int x = 3; x < 6; ++x) p.at(x, 2) = 0;  // transparent pixels inside the sprite
        writePcx("pic.pcx", p);
        writeText("job.scp", "LOADPCX pic.pcx\nPACKED spr 0 0 1 1\n");
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        MainWindow w(chooser.function());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        QStringList events;
        QString consoleAtClose;
        w.onConsole = [&](bool open) {
            events << (open ? "open" : "close");
            QVERIFY(w.jobConsole() != nullptr);
            if (open) {
                // Opened only after the script has run: the picture is already shown.
                QVERIFY(!w.preview()->shown().isNull());
                QCOMPARE(w.jobConsole()->text(), QString());
                QVERIFY(w.jobConsole()->isVisible());
            } else {
                consoleAtClose = w.jobConsole()->text();
            }
        };
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);  // mnemonics go to the default handling
        w.runCommand(kMenuGrab);
        QCOMPARE(chooser.titles, QStringList({"打开脚本文件"}));
        QCOMPARE(events, QStringList({"open", "close"}));
        QCOMPARE(consoleAtClose, QString("\n\nUpdating keyfile \nAdding Data..\n"));
        QVERIFY(w.jobConsole() == nullptr);
        QCOMPARE(w.lastStatus(), 0);
        QVERIFY(QFile::exists("job.kiv"));
        QVERIFY(!QFile::exists("datatemp.dat"));

        // The window was fitted to the picture and moved to the screen's corner.
        QTRY_COMPARE(w.preview()->size(), QSize(400, 300));
        QCOMPARE(w.pos(), QPoint(0, 0));
        // Grabbed pixels show in index 48's colour, the rest in their own.
        QImage shown = w.preview()->grab().toImage();
        for (int y = 0; y < 12; ++y) {
            for (int x = 0; x < 12; ++x) {
                const uint8_t v = p.at(x, y);
                const QRgb want = (x < 8 && y < 8 && v != 0) ? kMarkColour : fileColour(p, v);
                QCOMPARE(shown.pixel(x, y), want);
            }
        }
        // Enlarged by hand: the picture at 1:1 in the corner, black beyond.
        w.resize(w.width() + 50, w.height() + 40);
        QTRY_COMPARE(w.preview()->width(), 450);
        shown = w.preview()->grab().toImage();
        QCOMPARE(shown.pixel(399, 299), fileColour(p, p.at(399, 299)));
        QCOMPARE(shown.pixel(420, 100), qRgb(0, 0, 0));
        QCOMPARE(shown.pixel(100, 320), qRgb(0, 0, 0));
    }

    void secondJobKeepsThePreviewUntilItLoadsAPicture() {
        ScopedTempDir dir;
        PcxPicture first = testPicture(400, 300, 1), second = testPicture(480, 320, 100);
        writePcx("first.pcx", first);
        writePcx("second.pcx", second);
        writeText("one.scp", "LOADPCX first.pcx\n");
        writeText("two.scp", "PALETTE pal\n");
        writeText("three.scp", "LOADPCX second.pcx\n");
        FakeChooser chooser;
        MainWindow w(chooser.function());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        int consoles = 0;
        w.onConsole = [&](bool open) { consoles += open; };
        chooser.answer = QDir::current().absoluteFilePath("one.scp");
        w.runCommand(kMenuGrab);
        const QImage afterFirst = w.preview()->grab().toImage();
        chooser.answer = QDir::current().absoluteFilePath("two.scp");
        w.runCommand(kMenuGrab);
        // (The window may widen for the status line: the picture is what stays.)
        QCOMPARE(w.preview()->grab().toImage().copy(afterFirst.rect()), afterFirst);
        chooser.answer = QDir::current().absoluteFilePath("three.scp");
        w.runCommand(kMenuGrab);
        QTRY_COMPARE(w.preview()->size(), QSize(480, 320));
        QCOMPARE(w.preview()->grab().toImage().pixel(0, 0), fileColour(second, second.at(0, 0)));
        QCOMPARE(consoles, 3);  // each job opens a console of its own
        // The palette outlived the first job: the second job's item holds it.
        ParsedArchive two = parseArchive("two.kiv");
        QCOMPARE(two.data(0)[3 * 48], uint8_t(200 >> 2));
    }

    void cancelledDialogsLeaveNoFile() {
        ScopedTempDir dir;
        FakeChooser chooser;
        MainWindow w(chooser.function());
        int consoles = 0;
        w.onConsole = [&](bool) { ++consoles; };
        w.runCommand(kMenuGrab);
        w.runCommand(kMenuLink);
        QCOMPARE(chooser.titles, QStringList({"打开脚本文件", "打开链接文件"}));
        QCOMPARE(folderNames(), QStringList());
        QCOMPARE(consoles, 0);
    }

    void missingGrabScriptKeepsTheWindowOpen() {
        ScopedTempDir dir;
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("nothere.scp");
        MainWindow w(chooser.function());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        int consoles = 0;
        w.onConsole = [&](bool) { ++consoles; };
        w.runCommand(kMenuGrab);
        QCOMPARE(w.lastStatus(), 1);
        QVERIFY(w.isVisible());
        QVERIFY(w.messagesPanel()->isVisible());
        QVERIFY(w.messagesPanel()->isVisible());
        QVERIFY(w.messagesText().contains("文件未发现!!! (nothere.scp)"));
        QCOMPARE(consoles, 0);
        QCOMPARE(folderNames(), QStringList());
    }

    void archiveThatCannotBeBegunKeepsTheWindowOpen() {
        ScopedTempDir dir;
        writeText("job.scp", "PALETTE pal\n");
        QDir::current().mkdir("datatemp.dat");  // the temporary data file cannot be created
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        MainWindow w(chooser.function());
        w.show();
        int consoles = 0;
        w.onConsole = [&](bool) { ++consoles; };
        w.runCommand(kMenuGrab);
        QCOMPARE(w.lastStatus(), 255);
        QVERIFY(w.isVisible());
        QVERIFY(w.messagesText().startsWith("The job could not start:"));
        QVERIFY(w.messagesText().contains("Error File Not Found"));
        QCOMPARE(consoles, 0);
        QCOMPARE(folderNames(), QStringList({"datatemp.dat", "job.scp"}));
    }

    void linkJobShowsEveryLineInItsConsole() {
        ScopedTempDir dir;
        writeFile("a.bin", patternBytes(10, 1));
        writeText("pack.lnk", "GROUP:\na.bin ALPHA\nmissing.bin M\n");
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("pack.lnk");
        MainWindow w(chooser.function());
        w.show();
        QString atClose;
        QStringList events;
        w.onConsole = [&](bool open) {
            events << (open ? "open" : "close");
            if (!open) atClose = w.jobConsole()->text();
        };
        w.runCommand(kMenuLink);
        QCOMPARE(events, QStringList({"open", "close"}));
        QVERIFY(atClose.startsWith("\n\nKiv ver 1.1 Link\n\n\nScript      = (pack.lnk)\n"));
        QVERIFY(atClose.contains("001           GROUP:    LABEL ===============*\n"));
        QVERIFY(atClose.endsWith("Done\n\n"));
        QCOMPARE(w.lastStatus(), 1);
        QVERIFY(w.messagesText().contains("File not found error !!! (missing.bin)11"));
        QCOMPARE(parseArchive("pack.kiv").header.count, 2);
    }

    void typedNamesFindTheirFileWhateverTheCase() {
        ScopedTempDir dir;
        writeText("art.scp", "PALETTE pal\n");
        writeText("Two.Scp", "");
        writeText("two.scp", "");
        const QString here = QDir::currentPath() + "/";
        QCOMPARE(resolveNameCase(here + "art.SCP"), here + "art.scp");
        QCOMPARE(resolveNameCase(here + "ART.SCP"), here + "art.scp");
        QCOMPARE(resolveNameCase(here + "TWO.SCP"), here + "TWO.SCP");  // two alike: neither
        QCOMPARE(resolveNameCase(here + "none.SCP"), here + "none.SCP");
        FakeChooser chooser;
        chooser.answer = here + "art.SCP";
        MainWindow w(chooser.function());
        w.runCommand(kMenuGrab);
        QCOMPARE(w.lastStatus(), 0);
        QVERIFY(QFile::exists("art.kiv"));
    }

    void dialogFiltersIgnoreCaseAndAddTheSuffix() {
        ScopedTempDir dir;
        for (const char* name : {"demo.scp", "DEMO2.SCP", "Mixed.Scp", "other.txt", "game.lnk"}) {
            writeText(name, "");
        }
        QDir::current().mkdir("sub");
        std::unique_ptr<QFileDialog> dialog = makeScriptDialog(nullptr, grabDialogSettings());
        dialog->setDirectory(QDir::current());
        QCOMPARE(dialog->windowTitle(), QString("打开脚本文件"));
        QCOMPARE(dialog->defaultSuffix(), QString("SCP"));
        QCOMPARE(dialog->fileMode(), QFileDialog::AnyFile);
        QCOMPARE(dialog->nameFilters(), QStringList({"Grab 文件(*.SCP)"}));
        dialog->show();
        auto* model = dialog->findChild<QFileSystemModel*>();
        QVERIFY(model != nullptr);
        const QModelIndex folder = model->index(QDir::currentPath());
        QTRY_VERIFY(model->rowCount(folder) > 0);
        QStringList shown;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                shown.clear();
                for (int r = 0; r < model->rowCount(folder); ++r) {
                    const QModelIndex i = model->index(r, 0, folder);
                    if (model->flags(i) & Qt::ItemIsEnabled) shown << model->fileName(i);
                }
                shown.sort();
                return shown.size() >= 4;
            }(),
            5000);
        QCOMPARE(shown, QStringList({"DEMO2.SCP", "Mixed.Scp", "demo.scp", "sub"}));
        // A name typed without extension gets the default one.
        auto* nameEdit = dialog->findChild<QLineEdit*>("fileNameEdit");
        QVERIFY(nameEdit != nullptr);
        QTest::keyClicks(nameEdit, "newjob");
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QString("newjob.SCP"));
        // A name that does not exist is accepted; one in a folder that does not exist is not.
        static_cast<QDialog*>(dialog.get())->accept();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        dialog->show();
        dialog->setResult(QDialog::Rejected);
        nameEdit->clear();
        QTest::keyClicks(nameEdit, "nofolder/job.scp");
        static_cast<QDialog*>(dialog.get())->accept();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QVERIFY(dialog->isVisible());
        auto* warning = dialog->findChild<QMessageBox*>();
        QVERIFY(warning != nullptr);
        QVERIFY(warning->text().contains("does not exist"));
    }

    // Zoom: whole pixels, no smoothing, for the live preview too; the window follows.
    void zoomEnlargesByWholePixels() {
        ScopedTempDir dir;
        writePcx("pic.pcx", testPicture(200, 120, 1));
        writeText("job.scp", "LOADPCX pic.pcx\nPACKED spr 0 0 1 1\n");
        FakeChooser chooser;
        auto window = shownWindow(chooser, "job.scp");
        QVERIFY(window != nullptr);
        MainWindow& w = *window;
        w.runCommand(kMenuZoom1 + 1);
        w.runCommand(kMenuGrab);
        QTRY_COMPARE(w.preview()->size(), QSize(400, 240));
        QImage shown = w.preview()->grab().toImage();
        for (auto [x, y] :
             {std::pair{0, 0}, std::pair{9, 3}, std::pair{150, 100}, std::pair{199, 119}}) {
            const QRgb want = w.preview()->shown().pixel(x, y);
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) QCOMPARE(shown.pixel(2 * x + dx, 2 * y + dy), want);
            }
        }
        QCOMPARE(shown.pixel(2, 2), kMarkColour);  // the grabbed pixels, enlarged
        w.runCommand(kMenuZoom1 + 3);
        QTRY_COMPARE(w.preview()->size(), QSize(800, 480));
        // The View menu marks the zoom shown, and only that one.
        for (int z = 1; z <= 4; ++z) QCOMPARE(w.zoomAction(z)->isChecked(), z == 4);
        w.runCommand(kMenuZoom1);
        QTRY_COMPARE(w.preview()->size(), QSize(std::max(200, w.preview()->minimumWidth()), 120));
        for (int z = 1; z <= 4; ++z) QCOMPARE(w.zoomAction(z)->isChecked(), z == 1);
    }

    // A narrow picture leaves the menu bar its width; the picture stays at the top-left.
    void narrowPictureKeepsTheMenuWhole() {
        ScopedTempDir dir;
        writePcx("pic.pcx", testPicture(64, 40, 1));
        writeText("job.scp", "LOADPCX pic.pcx\n");
        FakeChooser chooser;
        auto window = shownWindow(chooser, "job.scp");
        QVERIFY(window != nullptr);
        MainWindow& w = *window;
        w.runCommand(kMenuGrab);
        // The menu bar and the status line both fit.
        const int least = w.preview()->minimumWidth();
        QVERIFY(least >= w.menuBar()->sizeHint().width());
        QVERIFY(least >= w.statusLabel()->fontMetrics().horizontalAdvance(w.statusLine()));
        QTRY_COMPARE(w.preview()->size(), QSize(least, 40));
        const QImage shown = w.preview()->grab().toImage();
        QCOMPARE(shown.pixel(63, 39), w.preview()->shown().pixel(63, 39));
        QCOMPARE(shown.pixel(64, 10), qRgb(0, 0, 0));
        // Nor by hand.
        w.resize(40, w.height());
        QTest::qWait(20);
        QVERIFY(w.preview()->width() >= least);
    }

    void statusLineSaysWhatTheJobDid() {
        ScopedTempDir dir;
        writePcx("pic.pcx", testPicture(64, 40, 1));
        writeText("good.scp", "LOADPCX pic.pcx\nPALETTE pal\nPALETTE\n");
        writeText("bad.scp", "LOADPCX gone.pcx\nPALETTE pal\n");
        FakeChooser chooser;
        MainWindow w(chooser.function());
        chooser.answer = QDir::current().absoluteFilePath("good.scp");
        w.runCommand(kMenuGrab);
        const QString wrote("Wrote good.kiv: 2 entries, 1604 bytes; 1 warnings: see the messages");
        QCOMPARE(w.statusLine(), wrote);
        // Warnings alone are listed too.
        QVERIFY(w.messagesText().startsWith("The job wrote its archive with warnings:\n"));
        QVERIFY(w.messagesText().contains("[-Wunnamed-item]"));
        // A menu's tip shows for a while; the job's status comes back after it.
        w.show();
        w.resize(900, w.height());
        w.statusBar()->showMessage("Grab graphics: run a grab script (.SCP)");
        w.statusBar()->clearMessage();
        QVERIFY(!w.statusLabel()->isHidden());
        QTRY_COMPARE(w.statusLabel()->text(), wrote);
        QCOMPARE(w.statusLabel()->toolTip(), QString());
        // Not even by hand does the window get too narrow for the whole text.
        w.setMinimumWidth(0);
        w.resize(150, w.height());
        QTest::qWait(20);
        QCOMPARE(w.statusLabel()->text(), wrote);
        QCOMPARE(w.statusLabel()->toolTip(), QString());
        chooser.answer = QDir::current().absoluteFilePath("bad.scp");
        w.runCommand(kMenuGrab);
        QCOMPARE(w.statusLine(), QString("Wrote bad.kiv with 2 errors: see the message"));
        // The message box lists the errors with their script lines.
        QVERIFY(w.messagesPanel()->isVisible());
        QVERIFY(w.messagesText().contains("bad.scp:1: error: LOADPCX gone.pcx"));
    }

    // The browser draws each kind in the archive's colours, and exports and extracts.
    void archiveBrowserShowsEveryKind() {
        ScopedTempDir dir;
        PcxPicture p = testPicture(64, 40, 1);
        p.at(0, 0) = 255;
        p.at(0, 4) = 255;
        p.at(8, 8) = 0;  // index 0 in the sprites: drawn transparent
        writePcx("pic.pcx", p);
        writeText("all.scp",
                  "LOADPCX pic.pcx\nPALETTE pal\nPACKED spr 1 1 2 2\nPACKEDC crop 1 1 2 2\n"
                  "TEXTURE tex 2 1 1 2\nFONT font 65 67\nCOLORMAP shades\nTRANSPARENT glass 2\n"
                  "RAW raw 0 0 1 1\n");
        QCOMPARE(runKiv({"all.scp"}).status, 0);
        QStringList saved;
        ArchiveBrowser browser(
            [&](QWidget*, const QString&, const QString& suggested, const QString&) {
                saved << suggested;
                return std::optional<QString>(QDir::current().absoluteFilePath("out-" + suggested));
            });
        QVERIFY(browser.open(QDir::current().absoluteFilePath("all.kiv")));
        QCOMPARE(browser.table()->rowCount(), 8);
        const ParsedArchive archive = parseArchive("all.kiv");
        // The colours and indices expected, from the picture and the items' bytes alone.
        auto shown = [&](uint8_t index) { return itemColour(p, index); };
        const Bytes shades = archive.data(5), glass = archive.data(6);
        struct Case {
            int row;
            const char* kind;
            QSize size;
            std::function<uint8_t(int, int)> index;  // none: the picture is not compared
        } cases[] = {
            {0, "palette", {16, 16}, [](int x, int y) { return uint8_t(y * 16 + x); }},
            {1, "sprite", {16, 16}, [&](int x, int y) { return p.at(8 + x, 8 + y); }},
            {2, "sprite", {16, 16}, [&](int x, int y) { return p.at(8 + x, 8 + y); }},
            {3, "texture", {8, 16}, [&](int x, int y) { return p.at(16 + x, 8 + y); }},
            {4, "font", {}, {}},
            {5, "shade-table", {256, 32}, [&](int x, int y) { return shades.at(y * 256 + x); }},
            {6, "blend-table", {256, 512}, [&](int x, int y) { return glass.at(y * 256 + x); }},
            {7, "raw", {0, 0}, {}}};
        browser.setZoom(1);
        for (const Case& c : cases) {
            browser.select(c.row);
            QCOMPARE(browser.table()->item(c.row, 2)->text(), QString(c.kind));
            if (c.size == QSize(0, 0)) {
                QVERIFY(browser.shownImage().isNull());
                continue;
            }
            QVERIFY(!browser.shownImage().isNull());
            if (!c.index) continue;
            QCOMPARE(browser.shownImage().size(), c.size);
            const bool sprite = QString(c.kind) == "sprite";
            for (int y = 0; y < c.size.height(); y += 3) {
                for (int x = 0; x < c.size.width(); x += 3) {
                    const uint8_t index = c.index(x, y);
                    QCOMPARE(browser.shownImage().pixel(x, y),
                             sprite && index == 0 ? qRgba(0, 0, 0, 0) : shown(index));
                }
            }
        }
        // Enlarged by whole pixels.
        browser.select(1);
        browser.setZoom(4);
        QCOMPARE(browser.pictureLabel()->pixmap().size(), QSize(64, 64));
        // Export and extract the selected sprite.
        browser.exportPng();
        browser.extract();
        QCOMPARE(saved, QStringList({"spr.png", "spr"}));
        QCOMPARE(readFile("out-spr"), archive.data(1));
        PngPicture png;
        QVERIFY(readIndexedPng(readFile("out-spr.png"), 1 << 20, png, nullptr));
        QCOMPARE(png.width, 16);
        // An entry whose data lies outside the file: a word why, no file, no question asked.
        Bytes cut = buildArchive({{"whole", Bytes(8, 1)}, {"gone", Bytes(40, 2)}});
        cut.resize(cut.size() - 10);
        writeFile("cut.kiv", cut);
        QVERIFY(browser.open(QDir::current().absoluteFilePath("cut.kiv")));
        browser.select(1);
        saved.clear();
        browser.extract();
        QVERIFY(saved.isEmpty());
        QVERIFY(!QFile::exists("out-gone"));
        QVERIFY(browser.lastWarning().contains("Entry 2 (gone)"));
        QVERIFY(browser.lastWarning().contains("outside the file"));
    }

    // File → Watch runs the last job again when a file it read is saved; the browser reads the
    // archive again and keeps the entry selected.
    void watchRerunsTheLastJobAndTheBrowserFollows() {
        ScopedTempDir dir;
        auto save = [](uint8_t fill) {
            writePcx(".pic.tmp", testPicture(32, 16, fill));
            QCOMPARE(std::rename(".pic.tmp", "pic.pcx"), 0);
        };
        save(3);
        writeText("job.scp", "LOADPCX pic.pcx\nPALETTE pal\nRAW r 0 0 1 1\n");
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        MainWindow w(chooser.function());
        w.runCommand(kMenuGrab);
        QCOMPARE(w.jobsRun(), 1);
        w.openArchive(QDir::current().absoluteFilePath("job.kiv"));
        w.browser()->select(1);
        w.browser()->setRawWidth(8);
        const QImage before = w.browser()->shownImage();
        QVERIFY(!before.isNull());
        w.runCommand(kMenuWatch);
        QVERIFY(w.watching() && w.watchAction()->isChecked());
        QCOMPARE(w.statusLine(), QString("Watching job.scp and the files it read"));
        save(5);
        QTRY_COMPARE(w.jobsRun(), 2);
        QVERIFY2(w.statusLine().startsWith("Wrote job.kiv: 2 entries, ") &&
                     w.statusLine().endsWith(" bytes (watching)"),
                 qPrintable(w.statusLine()));
        PcxPicture saved = testPicture(32, 16, 5);
        QCOMPARE(w.preview()->shown().pixel(20, 0), fileColour(saved, saved.at(20, 0)));
        QTRY_VERIFY(w.browser()->shownImage() != before);
        QCOMPARE(w.browser()->table()->currentRow(), 1);
        // The script is a file of the job too.
        writeText("job.scp", "LOADPCX pic.pcx\nRAW r 0 0 1 1\n");
        QTRY_COMPARE(w.jobsRun(), 3);
        QTRY_COMPARE(w.browser()->table()->rowCount(), 1);
        QCOMPARE(w.browser()->table()->currentRow(), 0);
        w.runCommand(kMenuWatch);
        QVERIFY(!w.watching() && !w.watchAction()->isChecked());
        QCOMPARE(w.statusLine(), QString("Watch off"));
        save(7);
        QTest::qWait(300);
        QCOMPARE(w.jobsRun(), 3);
    }

    // The browser draws with the palette chosen (an item or a file), raw items in rows of the
    // width given, and exports PNG only.
    void browserPaletteRawWidthAndExport() {
        ScopedTempDir dir;
        PcxPicture first = testPicture(32, 16, 1), second = first;
        for (auto& c : second.palette) c = static_cast<uint8_t>(255 - c);
        writePcx("a.pcx", first);
        writePcx("b.pcx", second);
        writeText("two.scp",
                  "LOADPCX a.pcx\nPALETTE one\nRAW raw 0 0 2 1\nLOADPCX b.pcx\n"
                  "PALETTE two\n");
        QCOMPARE(runKiv({"two.scp"}).status, 0);
        QStringList filters;
        ArchiveBrowser browser(
            [&](QWidget*, const QString&, const QString&, const QString& filter) {
                filters << filter;
                return std::optional<QString>(QDir::current().absoluteFilePath("out"));
            });
        QVERIFY(browser.open(QDir::current().absoluteFilePath("two.kiv")));
        QCOMPARE(browser.paletteBox()->count(), 3);  // one, two, From a file…
        browser.select(1);
        QVERIFY(browser.shownImage().isNull());  // raw: no width yet
        browser.setRawWidth(16);
        QCOMPARE(browser.shownImage().size(), QSize(16, 8));
        const uint8_t index = first.at(0, 0);
        QCOMPARE(browser.shownImage().pixel(0, 0), itemColour(first, index));
        QVERIFY(browser.usePaletteItem(2));
        QCOMPARE(browser.shownImage().pixel(0, 0), itemColour(second, index));
        QVERIFY(!browser.usePaletteItem(1));  // the raw item is no palette
        QVERIFY(browser.usePaletteFile("b.pcx"));
        QCOMPARE(browser.shownImage().pixel(0, 0), fileColour(second, index));
        QCOMPARE(browser.paletteBox()->currentText(), QString("b.pcx"));
        writeText("junk.txt", "no palette");
        QVERIFY(!browser.usePaletteFile("junk.txt"));
        QVERIFY(browser.lastWarning().startsWith("No palette to draw with: "));
        browser.exportPng();
        QCOMPARE(filters, QStringList({"PNG pictures (*.png)"}));
        PngPicture png;
        QVERIFY(readIndexedPng(readFile("out.png"), 1 << 20, png, nullptr));
        QCOMPARE(png.width, 16);
        // Without a width, a raw item of 65,536 bytes is drawn as a 256 × 256 table.
        writeFile("big.kiv", buildArchive({{"big", Bytes(65536, 3)}, {"odd", Bytes(65535, 3)}}));
        QVERIFY(browser.open(QDir::current().absoluteFilePath("big.kiv")));
        browser.setRawWidth(0);
        QCOMPARE(browser.shownImage().size(), QSize(256, 256));
        browser.select(1);
        QVERIFY(browser.shownImage().isNull());
    }

    // A link job's warnings are in the message box with its errors.
    void linkJobWarningsAreInTheMessage() {
        ScopedTempDir dir;
        writeFile("data.bin", Bytes(10, 1));
        writeText("pack.lnk", "data.bin\ngone.bin GONE\n");
        MainWindow w;
        w.openPath(QDir::current().absoluteFilePath("pack.lnk"));
        QCOMPARE(w.lastStatus(), 1);
        QVERIFY(w.messagesPanel()->isVisible());
        const QString text = w.messagesText();
        QVERIFY2(text.contains("pack.lnk:1: warning: ") && text.contains("[-Wunstored-file]"),
                 qPrintable(text));
        QVERIFY2(text.contains("pack.lnk:2: error: "), qPrintable(text));
    }

    // kiv-gui SCRIPT runs it, kiv-gui ARCHIVE opens it, and so do drops.
    void startUpArgumentsAndDrops() {
        ScopedTempDir dir;
        writePcx("pic.pcx", testPicture(64, 40, 1));
        writeText("job.scp", "LOADPCX pic.pcx\nPALETTE pal\n");
        writeText("pack.lnk", "job.kiv\n");
        MainWindow w;
        w.openPath(QDir::current().absoluteFilePath("job.scp"));
        QCOMPARE(w.lastStatus(), 0);
        QVERIFY(QFile::exists("job.kiv"));
        w.openPath(QDir::current().absoluteFilePath("pack.lnk"));
        QVERIFY(QFile::exists("pack.kiv"));
        w.openPath(QDir::current().absoluteFilePath("pack.kiv"));
        QVERIFY(w.browser() != nullptr);
        QCOMPARE(w.browser()->table()->rowCount(), 1);
        // A drop of a script onto the window runs it.
        QFile::remove("job.kiv");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QDir::current().absoluteFilePath("job.scp"))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &drop);
        QVERIFY(QFile::exists("job.kiv"));
    }

    // Without the transfer buffer no job runs, and the message box says why.
    void jobWithoutTransferBufferSaysWhy() {
        ScopedTempDir dir;
        writeText("job.scp", "PALETTE pal\n");
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        MainWindow w(chooser.function());
        releaseTransferBuffer();
        w.runCommand(kMenuGrab);
        QVERIFY(createTransferBuffer());
        QCOMPARE(w.lastStatus(), kStartupFailure);
        QVERIFY(w.messagesPanel()->isVisible());
        QVERIFY(w.messagesText().contains("transfer buffer could not be had"));
        QVERIFY(!QFile::exists("job.kiv"));
    }

    // The palette of true-colour pictures: chosen from the View menu, used by grab jobs, shown in
    // the status line and remembered by the next window; a file that is no palette changes nothing.
    void trueColourPaletteIsChosenUsedAndRemembered() {
        ScopedTempDir dir;
        writePcx("pal.pcx", testPicture(2, 2, 0));
        writeText("bad.pal", "no palette");
        writeText("job.scp", "LOADPCX art.png\nRAW r 0 0 1 1\n");
        TestPng art;
        art.width = art.height = 8, art.kind = TestPng::Rgb, art.rgba.assign(8 * 8 * 4, 77);
        writeFile("art.png", encodePng(art));
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        {
            MainWindow w(chooser.function());
            w.paletteChooser = [](QWidget*) { return std::optional<QString>("bad.pal"); };
            w.runCommand(kMenuTrueColourPalette);
            QVERIFY(w.statusLine().startsWith("Palette for true-colour pictures not changed: "));
            QCOMPARE(w.trueColourPalette(), QString());
            w.paletteChooser = [](QWidget*) { return std::optional<QString>("pal.pcx"); };
            w.runCommand(kMenuTrueColourPalette);
            QCOMPARE(w.statusLine(),
                     QString("True-colour pictures are mapped onto pal.pcx (a 256-colour PCX)"));
        }
        {
            MainWindow again(chooser.function());
            QCOMPARE(again.trueColourPalette(), QDir::current().absoluteFilePath("pal.pcx"));
            again.runCommand(kMenuGrab);
            QCOMPARE(again.lastStatus(), 0);
            QVERIFY(again.statusLine().endsWith("; true colour onto pal.pcx"));
        }
        QSettings("kiv", "kiv-gui").remove("trueColourPalette");
        MainWindow without(chooser.function());
        without.runCommand(kMenuGrab);
        QCOMPARE(without.lastStatus(), 1);
        QVERIFY2(without.messagesText().contains("choose View → Palette for true-colour pictures…"),
                 qPrintable(without.messagesText()));
    }

    // View → True-colour mapping…: the command line's settings, checked, remembered, named in
    // the status line and used: a picture with soft edges grabs once a threshold is set.
    void trueColourMappingSettings() {
        ScopedTempDir dir;
        writePcx("pal.pcx", testPicture(2, 2, 0));
        writeText("job.scp", "LOADPCX soft.png\nRAW r 0 0 1 1\n");
        TestPng soft;
        soft.width = soft.height = 8, soft.kind = TestPng::Rgba, soft.rgba.assign(8 * 8 * 4, 200);
        soft.rgba[3] = 60;  // one pixel partly transparent, below 128
        writeFile("soft.png", encodePng(soft));
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        {
            MainWindow w(chooser.function());
            QVERIFY(w.setTrueColourPalette("pal.pcx"));
            w.runCommand(kMenuGrab);
            QCOMPARE(w.lastStatus(), 1);
            QVERIFY2(w.messagesText().contains(
                         "set an alpha threshold in View → True-colour mapping… to make"),
                     qPrintable(w.messagesText()));
            QString why;
            QVERIFY(!w.setMappingOption("--alpha-threshold", "300", &why));
            QVERIFY(why.contains("a number 0 to 256"));
            QVERIFY(!w.setMappingOption("--palette", "x", &why));
            QVERIFY(w.setMappingOption("--alpha-threshold", "128"));
            QVERIFY(w.setMappingOption("--dither", "ordered"));
        }
        MainWindow again(chooser.function());
        QCOMPARE(again.mappingOption("--dither"), QString("ordered"));
        again.runCommand(kMenuGrab);
        QCOMPARE(again.lastStatus(), 0);
        QVERIFY2(again.statusLine().endsWith(
                     "; true colour onto pal.pcx; alpha-threshold 128, dither ordered"),
                 qPrintable(again.statusLine()));
        QVERIFY(!again.messagesPanel()->isVisible());
        QVERIFY(again.setMappingOption("--dither", ""));
        QVERIFY(again.setMappingOption("--alpha-threshold", ""));
        QCOMPARE(again.mappingOption("--dither"), QString());
        QSettings("kiv", "kiv-gui").remove("trueColourPalette");
    }

    // Watching, a failed run keeps the last good archive and lists its errors; the next run
    // that succeeds clears them. The browser calls an entry whose data is gone damaged.
    void watchKeepsTheLastGoodArchiveAndClearsItsMessages() {
        ScopedTempDir dir;
        writePcx("pic.pcx", testPicture(32, 16, 3));
        writeText("job.scp", "LOADPCX pic.pcx\nRAW r 0 0 1 1\n");
        FakeChooser chooser;
        chooser.answer = QDir::current().absoluteFilePath("job.scp");
        MainWindow w(chooser.function());
        w.show();
        w.runCommand(kMenuGrab);
        const Bytes good = readFile("job.kiv");
        w.runCommand(kMenuWatch);
        writeText("job.scp", "LOADPCX gone.pcx\nRAW r 0 0 1 1\n");
        QTRY_COMPARE(w.jobsRun(), 2);
        QVERIFY(w.messagesPanel()->isVisible());
        QVERIFY(w.messagesText().contains("LOADPCX gone.pcx"));
        QVERIFY2(w.statusLine().startsWith("job.kiv kept as it was"), qPrintable(w.statusLine()));
        QCOMPARE(readFile("job.kiv"), good);
        writeText("job.scp", "LOADPCX pic.pcx\nRAW r 0 0 1 1\nRAW s 0 0 1 1\n");
        QTRY_COMPARE(w.jobsRun(), 3);
        QVERIFY(!w.messagesPanel()->isVisible());
        QCOMPARE(w.messagesText(), QString());
        w.runCommand(kMenuWatch);
        writeFile("cut.kiv", buildArchive({{"gone", Bytes(100, 1)}}));
        QVERIFY(QFile::resize("cut.kiv", 60));
        w.openArchive(QDir::current().absoluteFilePath("cut.kiv"));
        QCOMPARE(w.browser()->table()->item(0, 2)->text(), QString("damaged"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
