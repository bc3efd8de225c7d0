// kiv-gui: the window of kiv.
#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/gui/main_window.h"
#include "common/command_line.h"
#include "common/console.h"
#include "common/transfer_buffer.h"

namespace {

const char* const kHelp =
    "usage: kiv-gui [--watch] [SCRIPT | ARCHIVE.kiv]\n"
    "The window of kiv: runs grab scripts (.SCP) and link scripts (names ending in LNK) with a\n"
    "live preview, and shows archives in the archive browser. With a script it runs that job\n"
    "once the window is open; with an archive it opens the browser.\n"
    "\n";

constexpr kiv::OptionEntry kWatchOption{
    "--watch", nullptr,
    "File → Watch on from the start: the job runs again whenever its\nscript or a file it read "
    "changes"};
constexpr kiv::OptionEntry kVersionOption{"--version", nullptr, "the version"};
const kiv::OptionEntry kOptions[] = {
    kWatchOption,
    {"-h, --help", nullptr, "this text"},
    kVersionOption,
};

const char* const kHelpEnd =
    "  --                    the next word is the file, even when it begins with '-'\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are taken as Qt takes them.\n";

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a reported write failure
    // Answered before any window system is needed (Qt's own options are not known here).
    const kiv::CommandLine early = kiv::parseCommandLine(argc, argv, 1, kOptions);
    if (early.help) {
        std::printf("%s%s%s", kHelp, kiv::optionsHelp(kOptions).c_str(), kHelpEnd);
        return 0;
    }
    if (early.has(kVersionOption)) {
        std::printf("kiv-gui %s\n", KIV_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    // What Qt left: at most one file.
    std::vector<std::string> left;
    for (const QString& word : app.arguments()) left.push_back(word.toLocal8Bit().toStdString());
    std::vector<char*> words;
    for (std::string& word : left) words.push_back(word.data());
    const kiv::CommandLine line =
        kiv::parseCommandLine(static_cast<int>(words.size()), words.data(), 1, kOptions);
    if (!line.error.empty() || line.operands.size() > 1) {
        std::fprintf(stderr, "kiv-gui: %s\ntry 'kiv-gui --help'\n",
                     line.error.empty() ? "one script or archive at most" : line.error.c_str());
        return 2;
    }
    QStringList files;
    for (const std::string& file : line.operands) files << QString::fromLocal8Bit(file.c_str());
    if (!kiv::createTransferBuffer()) {
        QMessageBox::critical(nullptr, kiv::kWindowTitle,
                              QStringLiteral("Not enough memory for the transfer buffer."));
        return kiv::kStartupFailure;
    }
    kiv::MainWindow window;
    if (line.has(kWatchOption)) window.setWatching(true);
    window.showAtStart(files.isEmpty() ? QString() : files.first());
    const int code = app.exec();
    kiv::releaseTransferBuffer();
    return code;
}
