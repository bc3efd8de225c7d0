// kiv-gui: the window of kiv.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/gui/main_window.h"
#include "common/console.h"
#include "common/transfer_buffer.h"

namespace {

const char* const kHelp =
    "usage: kiv-gui [SCRIPT | ARCHIVE.kiv]\n"
    "The window of kiv: runs grab scripts (.SCP) and link scripts (names ending in LNK) with a\n"
    "live preview, and shows archives in the archive browser. With a script it runs that job\n"
    "once the window is open; with an archive it opens the browser.\n"
    "\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "  --             the next word is the file, even when it begins with '-'\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are taken as Qt takes them.\n";

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a reported write failure
    // Answered before any window system is needed.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kHelp);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kiv-gui %s\n", KIV_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // What Qt left: at most one file, after an optional "--".
    QStringList words = app.arguments().mid(1);
    const bool optionsEnd = !words.isEmpty() && words.first() == "--";
    if (optionsEnd) words.removeFirst();
    if (words.size() > 1 || (!optionsEnd && !words.isEmpty() && words.first().startsWith('-'))) {
        std::fprintf(stderr, "kiv-gui: %s\ntry 'kiv-gui --help'\n",
                     words.size() > 1 ? "one script or archive at most"
                                      : qPrintable("unknown option " + words.first()));
        return 2;
    }
    if (!kiv::createTransferBuffer()) {
        QMessageBox::critical(nullptr, kiv::kWindowTitle,
                              QStringLiteral("Not enough memory for the transfer buffer."));
        return kiv::kStartupFailure;
    }
    kiv::MainWindow window;
    window.show();
    // kiv-gui SCRIPT runs that job once the window is open, as a file manager's "Open with"
    // does; kiv-gui ARCHIVE.kiv opens the archive in the browser.
    if (!words.isEmpty()) {
        const QString path = words.first();
        QTimer::singleShot(0, &window, [&window, path] { window.openPath(path); });
    }
    const int code = app.exec();
    kiv::releaseTransferBuffer();
    return code;
}
