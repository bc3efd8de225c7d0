// kiv-gui: the window of kiv.
#include <QApplication>
#include <QMessageBox>
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
    const int code = app.exec();
    kiv::releaseTransferBuffer();
    return code;
}
