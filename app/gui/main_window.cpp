#include "app/gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>

#include "app/gui/archive_browser.h"
#include "app/gui/job_console.h"
#include "app/gui/preview_widget.h"
#include "app/jobs.h"
#include "app/mapping_setup.h"
#include "common/console.h"

namespace kiv {

const char* const kMenuTitles[3] = {"文件(&F)", "帮助(&H)", "查看(&V)"};
const MenuCommand kMenuCommands[4] = {
    {0, "抓取图形(&G)", kMenuGrab, "Grab graphics: run a grab script (.SCP)"},
    {0, "链接 Kiv(&L)", kMenuLink, "Link: run a link script (.LNK)"},
    {0, "退出(&X)", kMenuExit, "Exit"},
    {1, "关于(&A)", kMenuAbout, "About"},
};
const MenuCommand kAddedCommands[7] = {
    {0, "打开 Kiv(&O)…", kMenuOpenArchive, "Open an archive (.kiv) in the archive browser"},
    {0, "Watch(&W)", kMenuWatch,
     "Run the last job again whenever its script or a file it read changes"},
    {2, "&1×", kMenuZoom1, "Show the picture at its size"},
    {2, "&2×", kMenuZoom1 + 1, "Show the picture twice as large"},
    {2, "&3×", kMenuZoom1 + 2, "Show the picture three times as large"},
    {2, "&4×", kMenuZoom1 + 3, "Show the picture four times as large"},
    {2, "Palette for true-colour pictures…", kMenuTrueColourPalette,
     "Choose the palette that true-colour, grey and alpha PNG pictures are mapped onto"},
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
    QMenu* menus[3];
    menus[0] = menuBar()->addMenu(QString::fromUtf8(kMenuTitles[0]));
    menus[2] = menuBar()->addMenu(QString::fromUtf8(kMenuTitles[2]));
    menus[1] = menuBar()->addMenu(QString::fromUtf8(kMenuTitles[1]));
    auto add = [&](const MenuCommand& command, QAction* before) {
        QAction* action = new QAction(QString::fromUtf8(command.text), menus[command.menu]);
        menus[command.menu]->insertAction(before, action);
        action->setData(command.id);
        action->setStatusTip(QString::fromUtf8(command.tip));
        const int id = command.id;
        connect(action, &QAction::triggered, this, [this, id] { runCommand(id); });
        return action;
    };
    QAction* exit = nullptr;
    for (const MenuCommand& command : kMenuCommands) {
        QAction* action = add(command, nullptr);
        if (command.id == kMenuExit) exit = action;
    }
    // The zoom items are exclusive check items: the current zoom is marked.
    auto* zooms = new QActionGroup(this);
    for (const MenuCommand& command : kAddedCommands) {
        const bool file = command.id == kMenuOpenArchive || command.id == kMenuWatch;
        QAction* action = add(command, file ? exit : nullptr);
        if (command.id == kMenuWatch) {
            action->setCheckable(true);
            watchAction_ = action;
        }
        if (command.id >= kMenuZoom1 && command.id < kMenuZoom1 + 4) {
            action->setCheckable(true);
            action->setChecked(command.id == kMenuZoom1);
            zooms->addAction(action);
            zoomActions_[command.id - kMenuZoom1] = action;
        }
    }
    setAcceptDrops(true);
    statusLabel_ = new QLabel(this);
    statusLabel_->setMinimumWidth(1);
    statusLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(statusLabel_, 1);
    setStatus("Ready");
    preview_ = new PreviewWidget(this);
    setCentralWidget(preview_);
    display_ = DisplayPreview(preview_);
    ctx_.previewSink = &display_;
    const QString remembered = QSettings("kiv", "kiv-gui").value("trueColourPalette").toString();
    if (!remembered.isEmpty()) setTrueColourPalette(remembered);
    // Saves come as bursts of events: the job runs again once they have been quiet a while.
    rerunTimer_ = new QTimer(this);
    rerunTimer_->setSingleShot(true);
    rerunTimer_->setInterval(30);
    connect(rerunTimer_, &QTimer::timeout, this, [this] { rerunIfChanged(); });
    // Not even by hand does the client area get narrower than the menu bar needs.
    preview_->setMinimumWidth(menuBar()->sizeHint().width());
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
        case kMenuOpenArchive:
            if (auto chosen = archiveChooser ? archiveChooser(this)
                                             : std::optional<QString>(QFileDialog::getOpenFileName(
                                                   this, "Open archive", QString(),
                                                   "Kiv archives (*.kiv *.KIV)"))) {
                if (!chosen->isEmpty()) openArchive(*chosen);
            }
            break;
        case kMenuZoom1:
        case kMenuZoom1 + 1:
        case kMenuZoom1 + 2:
        case kMenuZoom1 + 3:
            setZoom(id - kMenuZoom1 + 1);
            break;
        case kMenuWatch:
            setWatching(!watching());
            break;
        case kMenuTrueColourPalette:
            if (auto chosen = paletteChooser
                                  ? paletteChooser(this)
                                  : std::optional<QString>(QFileDialog::getOpenFileName(
                                        this, "Palette for true-colour pictures", QString(),
                                        "Palettes (*.pcx *.PCX *.png *.kiv *.KIV *.pal "
                                        "*.PAL *.gpl);;All files (*)"))) {
                if (!chosen->isEmpty()) setTrueColourPalette(*chosen);
            }
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

void MainWindow::openPath(const QString& path) {
    if (path.endsWith(".kiv", Qt::CaseInsensitive)) {
        openArchive(path);
    } else {
        move(0, 0);  // where the menu's jobs put the window
        runJob(!isLinkScriptName(path.toLocal8Bit().toStdString()), path);
    }
}

void MainWindow::showAtStart(const QString& path) {
    // Placed before it is shown, the window manager takes the place as the program's own.
    if (!path.isEmpty() && !path.endsWith(".kiv", Qt::CaseInsensitive)) move(0, 0);
    show();
    if (!path.isEmpty()) QTimer::singleShot(0, this, [this, path] { openPath(path); });
}

void MainWindow::openArchive(const QString& path) {
    if (!browser_) browser_ = std::make_unique<ArchiveBrowser>();
    if (!browser_->open(path)) {
        setStatus(QString("%1 is no archive: %2").arg(path, browser_->detail()));
    } else {
        setStatus(QString("Opened %1").arg(path));
    }
    browser_->show();
    browser_->raise();
}

void MainWindow::setZoom(int zoom) {
    preview_->setZoom(zoom);
    for (int z = 0; z < 4; ++z)
        zoomActions_[static_cast<size_t>(z)]->setChecked(z + 1 == preview_->zoom());
}

void MainWindow::setWatching(bool on) {
    watchAction_->setChecked(on);
    if (on == watching()) return;
    if (!on) {
        delete notifier_;
        notifier_ = nullptr;
        watcher_.reset();
        rerunTimer_->stop();
        reported_.clear();
        setStatus("Watch off");
        return;
    }
    watcher_ = std::make_unique<InputWatcher>();
    if (!watcher_->ready()) {
        setStatus(QString("Cannot watch: %1").arg(QString::fromStdString(watcher_->error())));
        watcher_.reset();
        watchAction_->setChecked(false);
        return;
    }
    notifier_ = new QSocketNotifier(watcher_->descriptor(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        const std::set<std::string> files = watcher_->take();
        reported_.insert(files.begin(), files.end());
        rerunTimer_->start();
    });
    watcher_->watch(lastInputs_.paths());
    setStatus(
        lastScript_.isEmpty()
            ? QString("Watching: the next job runs again whenever one of its files changes")
            : QString("Watching %1 and the files it read").arg(QFileInfo(lastScript_).fileName()));
    // Saves made before the watch began count too.
    rerunTimer_->start();
}

bool MainWindow::rerunIfChanged() {
    if (lastScript_.isEmpty() || !watching()) return false;
    if (busy_) {
        rerunTimer_->start();  // once the job that runs has ended
        return false;
    }
    const std::set<std::string> reported = std::move(reported_);
    reported_.clear();
    if (lastInputs_.changed(reported).empty()) return false;
    runJob(lastGrab_, lastScript_);
    return true;
}

bool MainWindow::setTrueColourPalette(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    MappingSetup setup;
    setup.palette = absolute.toLocal8Bit().toStdString();
    std::string why;
    if (!prepareMapper(setup, mapper_, &why)) {
        setStatus(QString("Palette for true-colour pictures not changed: %1")
                      .arg(QString::fromLocal8Bit(why.c_str())));
        return false;
    }
    palettePath_ = absolute;
    QSettings("kiv", "kiv-gui").setValue("trueColourPalette", absolute);
    setStatus(
        QString("True-colour pictures are mapped onto %1 (%2)")
            .arg(QFileInfo(absolute).fileName(), QString::fromStdString(mapper_.palette().form)));
    return true;
}

QString MainWindow::statusLine() const {
    return status_;
}

// The job's status stays in a label of its own: a menu's tip shows over it for a while and
// leaves it as it was, and a window too narrow for it shows it cut short with "…", the whole
// text in its tooltip.
void MainWindow::setStatus(const QString& text) {
    status_ = text;
    showStatus();
}

void MainWindow::showStatus() {
    const int room = std::max(0, statusLabel_->width());
    const QString shown = statusLabel_->fontMetrics().elidedText(status_, Qt::ElideRight, room);
    statusLabel_->setText(shown);
    statusLabel_->setToolTip(shown == status_ ? QString() : status_);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    showStatus();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The window stays while a job runs (the console lets the window system in meanwhile).
    if (busy_) {
        event->ignore();
        return;
    }
    if (browser_) browser_->close();
    QMainWindow::closeEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() &&
        !event->mimeData()->urls().first().toLocalFile().isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString path = event->mimeData()->urls().first().toLocalFile();
    event->acceptProposedAction();
    openPath(path);
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
    // Watching, a run with errors leaves the last good archive in place.
    hooks.keepLastGood = watching();
    JobResult result;
    // The palette file is read again for each job, so that a changed palette is seen.
    ctx_.trueColour = nullptr;
    if (grab && !palettePath_.isEmpty()) {
        MappingSetup setup;
        setup.palette = palettePath_.toLocal8Bit().toStdString();
        if (prepareMapper(setup, mapper_, nullptr)) ctx_.trueColour = &mapper_;
    }
    busy_ = true;
    setStatus(QString("Running %1…").arg(info.fileName()));
    // The files of the job as it reads them: those it read last time are taken before it runs,
    // so that a save while it runs is seen.
    JobInputs before;
    const QString script = info.absoluteFilePath();
    if (script == lastScript_) before.recordNow(lastInputs_.paths(), lastInputs_);
    lastStatus_ = grab ? runGrabJob(ctx_, name, hooks, &result) : runLinkJob(name, hooks, &result);
    busy_ = false;
    preview_->flush();  // the job's last changes
    ++jobsRun_;
    std::vector<std::string> files{watchedPath(name)};
    if (!result.script.empty()) files.push_back(watchedPath(result.script));
    for (const std::string& input : result.inputs) {
        if (watchedPath(input) != watchedPath(result.archive)) files.push_back(watchedPath(input));
    }
    if (ctx_.trueColour != nullptr) files.push_back(palettePath_.toLocal8Bit().toStdString());
    lastGrab_ = grab;
    lastScript_ = script;
    lastInputs_.record(files, before);
    if (watcher_) watcher_->watch(lastInputs_.paths());
    const int errors =
        static_cast<int>(jobErrors().size()) +
        static_cast<int>(std::count_if(
            jobDiagnostics().begin(), jobDiagnostics().end(),
            [](const std::string& line) { return line.find(": error: ") != std::string::npos; }));
    if (lastStatus_ == 0 && result.finished) {
        setStatus(
            QString("Wrote %1: %2 entries, %3 bytes%4%5")
                .arg(QString::fromLocal8Bit(result.archive.c_str()))
                .arg(result.entries)
                .arg(result.bytes)
                .arg(jobWarningCount() > 0 ? QString("; %1 warnings").arg(jobWarningCount())
                                           : QString())
                .arg(ctx_.trueColour != nullptr
                         ? QString("; true colour onto %1").arg(QFileInfo(palettePath_).fileName())
                         : QString()));
    } else if (result.finished) {
        setStatus(QString("Wrote %1 with %2 errors: see the message")
                      .arg(QString::fromLocal8Bit(result.archive.c_str()))
                      .arg(errors));
    } else {
        setStatus(QString("%1: %2 errors, no archive written: see the message")
                      .arg(info.fileName())
                      .arg(errors));
    }
    if (watching()) setStatus(status_ + " (watching)");
    if (lastStatus_ != 0) reportFailure(lastStatus_);
}

void MainWindow::openConsole() {
    console_ = std::make_unique<JobConsole>();
    console_->show();
    // Mapped and painted now: the job keeps the window's thread busy from here on.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
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
