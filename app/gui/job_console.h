// The job console: a text window that shows the console lines of a job as they come. It exists
// only while a job runs.
#pragma once

#include <QPlainTextEdit>
#include <string_view>

namespace kiv {

class JobConsole : public QPlainTextEdit {
  public:
    JobConsole();
    // The output step of the console channel: the text, shown at once.
    void consoleWrite(std::string_view text);
    const QString& text() const { return text_; }

  private:
    QString text_;
};

}  // namespace kiv
