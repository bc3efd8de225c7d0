#include "app/gui/job_console.h"

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
    viewport()->repaint();  // at once, while the job keeps the window busy
}

}  // namespace kiv
