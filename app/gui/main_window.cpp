#include "app/gui/main_window.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>

#include "app/gui/job_console.h"
#include "app/gui/preview_widget.h"
#include "app/jobs.h"
#include "common/console.h"

namespace kiv {

const char* const kMenuTitles[2] = {"文件(&F)", "帮助(&H)"};
const MenuCommand kMenuCommands[4] = {
    {0, "抓取图形(&G)", kMenuGrab},
    {0, "链接 Kiv(&L)", kMenuLink},
    {0, "退出(&X)", kMenuExit},
    {1, "关于(&A)", kMenuAbout},
};

const DialogSettings& grabDialogSettings() {
    static const DialogSettings settings{"Grab 文件(*.SCP)", "*.SCP", "打开脚本文件", "SCP"};
    return settings;
}

const DialogSettings& linkDialogSettings() {
    static const DialogSettings settings{"链接文件(*.LNK)", "*.LNK", "打开链接文件", "LNK"};
    return settings;
}

namespace {

// The open-file dialog: a name that does not exist is accepted; its folder must exist.
class ScriptDialog : public QFileDialog {
  public:
    ScriptDialog(QWidget* owner, const DialogSettings& settings)
        : QFileDialog(owner, settings.title) {
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::AnyFile);
        setAcceptMode(QFileDialog::AcceptOpen);
        setNameFilter(settings.filterDescription);
        setDefaultSuffix(settings.defaultSuffix);
        // Filters match whatever the case of the names: demo.scp as well as DEMO.SCP.
        setFilter(filter() & ~QDir::CaseSensitive);
    }

  protected:
    void accept() override {
        const QStringList files = selectedFiles();
        if (files.isEmpty()) return;
        if (!QFileInfo(files.first()).absoluteDir().exists()) {
            auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                        QStringLiteral("The folder of %1 does not exist.")
                                            .arg(QDir::toNativeSeparators(files.first())),
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
            return;
        }
        QFileDialog::accept();
    }
};

}  // namespace

QString resolveNameCase(const QString& path) {
    const QFileInfo info(path);
    if (info.exists()) return path;
    const QStringList alike =
        info.absoluteDir().entryList({info.fileName()}, QDir::Files | QDir::Hidden);
    QStringList exact;
    for (const QString& name : alike) {
        if (name.compare(info.fileName(), Qt::CaseInsensitive) == 0) exact << name;
    }
    return exact.size() == 1 ? info.absoluteDir().filePath(exact.first()) : path;
}

std::unique_ptr<QFileDialog> makeScriptDialog(QWidget* owner, const DialogSettings& settings) {
    return std::make_unique<ScriptDialog>(owner, settings);
}

std::optional<QString> chooseWithFileDialog(QWidget* owner, const DialogSettings& settings) {
    std::unique_ptr<QFileDialog> dialog = makeScriptDialog(owner, settings);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::nullopt;
    return dialog->selectedFiles().first();
}

MainWindow::MainWindow(ScriptChooser chooser) : chooser_(std::move(chooser)) {
    setWindowTitle(kWindowTitle);
    QMenu* menus[2];
    for (int m = 0; m < 2; ++m) menus[m] = menuBar()->addMenu(QString::fromUtf8(kMenuTitles[m]));
    for (const MenuCommand& command : kMenuCommands) {
        QAction* action = menus[command.menu]->addAction(QString::fromUtf8(command.text));
        action->setData(command.id);
        const int id = command.id;
        connect(action, &QAction::triggered, this, [this, id] { runCommand(id); });
    }
    preview_ = new PreviewWidget(this);
    setCentralWidget(preview_);
    display_ = DisplayPreview(preview_);
    ctx_.previewSink = &display_;
    adjustSize();  // a client area of 320 × 200 under the menu bar
}

MainWindow::~MainWindow() {
    // The job console, if a job is cut short by the window's end, goes first.
    setConsoleWrite({});
    console_.reset();
}

void MainWindow::runCommand(int id) {
    switch (id) {
        case kMenuExit:
            close();
            break;
        case kMenuGrab:
            menuGrab();
            break;
        case kMenuLink:
            menuLink();
            break;
        default:  // About, and any other id: nothing
            break;
    }
}

void MainWindow::menuGrab() {
    const std::optional<QString> chosen = chooser_(this, grabDialogSettings());
    if (!chosen) return;
    runJob(true, *chosen);
}

void MainWindow::menuLink() {
    const std::optional<QString> chosen = chooser_(this, linkDialogSettings());
    if (!chosen) return;
    runJob(false, *chosen);
}

void MainWindow::runJob(bool grab, const QString& chosen) {
    // The script's folder becomes the current folder: names inside the script, the archive and
    // "datatemp.dat" are taken from there. The job gets the bare name, so that only the
    // script's own name decides the archive's.
    const QFileInfo info(resolveNameCase(chosen));
    QDir::setCurrent(info.absolutePath());
    const std::string name = info.fileName().toLocal8Bit().toStdString();
    setConsoleWrite({});    // lines written while no job console is open go nowhere
    setDiagnosticSink({});  // the message box lists them
    JobHooks hooks;
    hooks.openConsole = [this] { openConsole(); };
    hooks.closeConsole = [this] { closeConsole(); };
    lastStatus_ = grab ? runGrabJob(ctx_, name, hooks) : runLinkJob(name, hooks);
    if (lastStatus_ != 0) reportFailure(lastStatus_);
}

void MainWindow::openConsole() {
    console_ = std::make_unique<JobConsole>();
    console_->show();
    JobConsole* console = console_.get();
    setConsoleWrite([console](std::string_view text) { console->consoleWrite(text); });
    if (onConsole) onConsole(true);
}

void MainWindow::closeConsole() {
    setConsoleWrite({});
    if (onConsole) onConsole(false);
    console_.reset();
}

void MainWindow::reportFailure(int status) {
    QString text = status == kStartupFailure ? QStringLiteral("The job could not start:")
                                             : QStringLiteral("The job reported errors:");
    for (const std::string& line : jobErrors()) text += "\n" + QString::fromLocal8Bit(line.c_str());
    for (const std::string& line : jobDiagnostics()) {
        text += "\n" + QString::fromLocal8Bit(line.c_str());
    }
    delete message_;
    message_ = new QMessageBox(QMessageBox::Warning, kWindowTitle, text, QMessageBox::Ok, this);
    message_->setModal(false);
    message_->show();
}

}  // namespace kiv
