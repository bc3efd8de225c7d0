#include "app/gui/job_console.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QScrollBar>

namespace kiv {

JobConsole::JobConsole() {
    setWindowTitle(QStringLiteral("Kiv ver " KIV_VERSION " - Console"));
    setReadOnly(true);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    resize(640, 400);
}

void JobConsole::consoleWrite(std::string_view text) {
    const QString piece = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    text_ += piece;
    moveCursor(QTextCursor::End);
    insertPlainText(piece);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    // The job keeps the window's thread busy: let the window system map, expose and paint the
    // console now, so that each line shows as it comes. Input waits for the job's end.
    viewport()->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace kiv
