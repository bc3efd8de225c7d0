// kiv-gui: the window of kiv.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <csignal>

#include "app/gui/main_window.h"
#include "common/console.h"
#include "common/transfer_buffer.h"

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a reported write failure
    QApplication app(argc, argv);
    if (!kiv::createTransferBuffer()) {
        QMessageBox::critical(nullptr, kiv::kWindowTitle,
                              QStringLiteral("Not enough memory for the transfer buffer."));
        return kiv::kStartupFailure;
    }
    kiv::MainWindow window;
    window.show();
    // kiv-gui SCRIPT runs that job once the window is open, as a file manager's "Open with"
    // does; kiv-gui ARCHIVE.kiv opens the archive in the browser.
    if (argc > 1) {
        const QString path = QString::fromLocal8Bit(argv[1]);
        QTimer::singleShot(0, &window, [&window, path] { window.openPath(path); });
    }
    const int code = app.exec();
    kiv::releaseTransferBuffer();
    return code;
}
