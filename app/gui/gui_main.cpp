// kiv-gui: the window of kiv.
#include <QApplication>
#include <QMessageBox>

#include "app/gui/main_window.h"
#include "archive/console.h"
#include "archive/transfer_buffer.h"

int main(int argc, char** argv) {
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
