#include "app/gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
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
const MenuCommand kAddedCommands[8] = {
    {0, "打开 Kiv(&O)…", kMenuOpenArchive, "Open an archive (.kiv) in the archive browser"},
    {0, "Watch(&W)", kMenuWatch,
     "Run the last job again whenever its script or a file it read changes"},
    {2, "&1×", kMenuZoom1, "Show the picture at its size"},
    {2, "&2×", kMenuZoom1 + 1, "Show the picture twice as large"},
    {2, "&3×", kMenuZoom1 + 2, "Show the picture three times as large"},
    {2, "&4×", kMenuZoom1 + 3, "Show the picture four times as large"},
    {2, "Palette for true-colour pictures…", kMenuTrueColourPalette,
     "Choose the palette that true-colour, grey and alpha PNG pictures are mapped onto"},
    {2, "True-colour mapping…", kMenuTrueColourMapping,
     "How pictures are mapped onto that palette: match, dithering, reserved entries, "
     "transparency"},
};

// The files View → Palette for true-colour pictures… offers, in either letter case.
const char* const kPaletteFileFilter =
    "Palettes (*.pcx *.PCX *.png *.PNG *.kiv *.KIV *.pal *.PAL *.gpl *.GPL *.lmp *.LMP *.txt "
    "*.TXT);;All files (*)";

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
    status_ = "Ready";
    preview_ = new PreviewWidget(this);
    setCentralWidget(preview_);
    display_ = DisplayPreview(preview_);
    ctx_.previewSink = &display_;
    // The mapping's settings first, so that the palette's status names them.
    QSettings settings("kiv", "kiv-gui");
    for (const QString& option : settings.value("mappingOptions").toStringList()) {
        setMappingOption(option, settings.value("mapping" + option).toString());
    }
    const QString remembered = settings.value("trueColourPalette").toString();
    if (!remembered.isEmpty()) setTrueColourPalette(remembered);
    // A window of its own beside the picture, never in its way and never waited on.
    messages_ = new QDialog(this);
    messages_->setWindowTitle(QString(kWindowTitle) + " - Messages");
    messages_->setModal(false);
    messages_->setAttribute(Qt::WA_ShowWithoutActivating);
    messageList_ = new QListWidget(messages_);
    auto* layout = new QVBoxLayout(messages_);
    layout->addWidget(messageList_);
    messages_->resize(640, 200);
    // Saves come as bursts of events: the job runs again once they have been quiet a while.
    rerunTimer_ = new QTimer(this);
    rerunTimer_->setSingleShot(true);
    rerunTimer_->setInterval(30);
    connect(rerunTimer_, &QTimer::timeout, this, [this] { rerunIfChanged(); });
    // Not even by hand does the client area get narrower than the menu bar and status need.
    setStatus(status_);
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
            if (auto chosen = paletteChooser ? paletteChooser(this)
                                             : std::optional<QString>(QFileDialog::getOpenFileName(
                                                   this, "Palette for true-colour pictures",
                                                   QString(), kPaletteFileFilter))) {
                if (!chosen->isEmpty()) setTrueColourPalette(*chosen);
            }
            break;
        case kMenuTrueColourMapping:
            chooseMapping();
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
    setStatus(QString("True-colour pictures are mapped onto %1 (%2)%3")
                  .arg(QFileInfo(absolute).fileName(),
                       QString::fromStdString(mapper_.palette().form), mappingShown()));
    return true;
}

bool MainWindow::setMappingOption(const QString& option, const QString& value, QString* why) {
    MappingSetup setup;
    setup.options = mapping_;
    std::string reason;
    const std::string name = option.toStdString();
    if (isOption(name, kPaletteOption) || !isMappingOption(name)) {
        if (why != nullptr) *why = option + " is not a setting of the mapping";
        return false;
    }
    if (value.isEmpty()) {
        // Back to the default of this one setting.
        const MappingOptions defaults;
        if (isOption(name, kMatchOption)) setup.options.metric = defaults.metric;
        if (isOption(name, kDitherOption)) setup.options.dither = defaults.dither;
        if (isOption(name, kReserveOption)) setup.options.reserved = defaults.reserved;
        if (isOption(name, kTransparentIndexOption)) setup.options.transparentIndex = 0;
        if (isOption(name, kAlphaThresholdOption)) setup.options.alphaThreshold.reset();
        if (isOption(name, kColourKeyOption)) setup.options.colourKey.reset();
        mappingValues_.remove(option);
    } else if (!takeMappingOption(name, value.toStdString(), setup, &reason)) {
        if (why != nullptr) *why = QString::fromStdString(reason);
        return false;
    } else {
        mappingValues_[option] = value;
    }
    mapping_ = setup.options;
    QSettings settings("kiv", "kiv-gui");
    settings.setValue("mappingOptions", QStringList(mappingValues_.keys()));
    settings.setValue("mapping" + option, value);
    return true;
}

// " with ordered dithering, alpha below 128 transparent": what differs from the defaults.
QString MainWindow::mappingShown() const {
    QStringList parts;
    for (auto it = mappingValues_.begin(); it != mappingValues_.end(); ++it) {
        parts << QString("%1 %2").arg(it.key().mid(2), it.value());
    }
    return parts.isEmpty() ? QString() : QString("; ") + parts.join(", ");
}

namespace {

// View → True-colour mapping…: each setting of the command line's mapping, with its values.
class MappingDialog : public QDialog {
  public:
    MappingDialog(QWidget* owner, MainWindow& window) : QDialog(owner), window_(window) {
        setWindowTitle("True-colour mapping");
        auto* form = new QFormLayout(this);
        auto combo = [&](const char* option, QStringList values) {
            auto* box = new QComboBox(this);
            box->addItems(values);
            const QString now = window.mappingOption(option);
            if (!now.isEmpty()) box->setCurrentText(now);
            fields_.push_back({option, [box] { return box->currentText(); }});
            return box;
        };
        auto line = [&](const char* option, const char* placeholder) {
            auto* edit = new QLineEdit(window.mappingOption(option), this);
            edit->setPlaceholderText(placeholder);
            edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(placeholder) + 16);
            fields_.push_back({option, [edit] { return edit->text().trimmed(); }});
            return edit;
        };
        form->addRow("Match colours by", combo("--match", {"oklab", "rgb", "ciede2000"}));
        form->addRow("Dithering",
                     combo("--dither", {"none", "ordered", "floyd-steinberg", "atkinson",
                                        "sierra-lite", "pattern", "blue-noise"}));
        form->addRow("Reserved entries", line("--reserve", "none, e.g. 0,224-255"));
        form->addRow("Transparent entry", line("--transparent-index", "0"));
        form->addRow("Alpha threshold",
                     line("--alpha-threshold", "none: partly transparent pixels are refused"));
        form->addRow("Colour key", line("--colour-key", "none, e.g. 255,0,255"));
        error_ = new QLabel(this);
        form->addRow(error_);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        form->addRow(buttons);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(buttons, &QDialogButtonBox::accepted, this, [this] { apply(); });
    }

  private:
    void apply() {
        // Every value is checked before any is taken.
        MappingSetup trial;
        for (const auto& [option, value] : fields_) {
            std::string why;
            const QString text = value();
            if (!text.isEmpty() && !takeMappingOption(option, text.toStdString(), trial, &why)) {
                error_->setText(QString::fromStdString(why));
                return;
            }
        }
        // A default chosen is no setting: the status line names only what differs.
        for (const auto& [option, value] : fields_) {
            const QString text = value();
            const bool byDefault = (isOption(option, kMatchOption) && text == "oklab") ||
                                   (isOption(option, kDitherOption) && text == "none");
            window_.setMappingOption(option, byDefault ? QString() : text);
        }
        accept();
    }
    MainWindow& window_;
    std::vector<std::pair<const char*, std::function<QString()>>> fields_;
    QLabel* error_ = nullptr;
};

}  // namespace

void MainWindow::chooseMapping() {
    MappingDialog dialog(this, *this);
    if (dialog.exec() == QDialog::Accepted && !palettePath_.isEmpty()) {
        setTrueColourPalette(palettePath_);  // says what the mapping is now
    }
}

QString MainWindow::messagesText() const {
    QStringList lines;
    for (int i = 0; i < messageList_->count(); ++i) lines << messageList_->item(i)->text();
    return lines.join("\n");
}

void MainWindow::showMessages(const QString& heading, bool errors) {
    messageList_->clear();
    messageList_->addItem(heading);
    if (errors) {
        for (const std::string& line : jobErrors())
            messageList_->addItem(QString::fromLocal8Bit(line.c_str()));
    }
    for (const std::string& line : jobDiagnostics())
        messageList_->addItem(QString::fromLocal8Bit(line.c_str()));
    // Below the window, never over the picture, and without taking the keyboard from it.
    if (!messages_->isVisible()) messages_->move(frameGeometry().bottomLeft() + QPoint(0, 4));
    messages_->show();
}

QString MainWindow::statusLine() const {
    return status_;
}

// The job's status stays in a label of its own: a menu's tip shows over it for a while and
// leaves it as it was.
void MainWindow::setStatus(const QString& text) {
    status_ = text;
    // The window is never narrower than the menu bar and the status need, however narrow the
    // picture (a status longer than a screen is cut, with the whole text in its tooltip).
    if (preview_ != nullptr) {
        const int needed =
            std::min(statusLabel_->fontMetrics().horizontalAdvance(status_) + 48, kWidestStatus);
        preview_->setMinimumWidth(std::max(menuBar()->sizeHint().width(), needed));
        if (width() < preview_->minimumWidth()) resize(preview_->minimumWidth(), height());
    }
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
    // The job runs in the script's folder (its session's, never the process's): names inside
    // the script, the archive and "datatemp.dat" are taken from there. The job gets the bare
    // name, so that only the script's own name decides the archive's.
    const QFileInfo info(resolveNameCase(chosen));
    const std::string folder = info.absolutePath().toLocal8Bit().toStdString();
    const std::string name = info.fileName().toLocal8Bit().toStdString();
    auto inFolder = [&folder](const std::string& path) {
        return path.empty() || path[0] == '/' ? path : folder + "/" + path;
    };
    setConsoleWrite({});    // lines written while no job console is open go nowhere
    setDiagnosticSink({});  // the message box lists them
    JobHooks hooks;
    hooks.openConsole = [this] { openConsole(); };
    hooks.closeConsole = [this] { closeConsole(); };
    // Watching, a run with errors leaves the last good archive in place.
    hooks.keepLastGood = watching();
    // The palette file is read again for each job, so that a changed palette is seen.
    ctx_.trueColour = nullptr;
    PictureMapper* trueColour = nullptr;
    ctx_.choosePalette = "choose View → Palette for true-colour pictures…";
    if (grab && !palettePath_.isEmpty()) {
        MappingSetup setup;
        setup.palette = palettePath_.toLocal8Bit().toStdString();
        setup.options = mapping_;
        setup.options.setThreshold = "set an alpha threshold in View → True-colour mapping…";
        if (prepareMapper(setup, mapper_, nullptr)) trueColour = &mapper_;
    }
    // The messages of the run before go: these are of this run.
    messageList_->clear();
    messages_->hide();
    busy_ = true;
    setStatus(QString("Running %1…").arg(info.fileName()));
    // The files of the job as it reads them: those it read last time are taken before it runs,
    // so that a save while it runs is seen.
    JobInputs before;
    const QString script = info.absoluteFilePath();
    if (script == lastScript_) before.recordNow(lastInputs_.paths(), lastInputs_);
    JobRequest request;
    request.script = name;
    request.folder = folder;
    request.hooks = hooks;
    request.context = grab ? &ctx_ : nullptr;
    request.trueColour = trueColour;
    const JobReport result = kiv::runJob(request);
    lastStatus_ = result.status;
    busy_ = false;
    preview_->flush();  // the job's last changes
    ++jobsRun_;
    // Every file the job read (the palette among them), as the report names them.
    std::vector<std::string> files{watchedPath(inFolder(name))};
    if (!result.script.empty()) files.push_back(watchedPath(inFolder(result.script)));
    const std::string archive = watchedPath(inFolder(result.archive));
    for (const std::string& input : result.inputs) {
        if (watchedPath(inFolder(input)) != archive) files.push_back(watchedPath(inFolder(input)));
    }
    lastGrab_ = grab;
    lastScript_ = script;
    lastInputs_.record(files, before);
    if (watcher_) watcher_->watch(lastInputs_.paths());
    const int errors = result.errorCount();
    if (lastStatus_ == 0 && result.finished) {
        setStatus(QString("Wrote %1: %2 entries, %3 bytes%4%5")
                      .arg(QString::fromLocal8Bit(result.archive.c_str()))
                      .arg(result.entries)
                      .arg(result.bytes)
                      .arg(result.warnings > 0
                               ? QString("; %1 warnings: see the messages").arg(result.warnings)
                               : QString())
                      .arg(trueColour != nullptr
                               ? QString("; true colour onto %1%2")
                                     .arg(QFileInfo(palettePath_).fileName(), mappingShown())
                               : QString()));
        if (result.warnings > 0) showMessages("The job wrote its archive with warnings:", false);
    } else if (result.withheld) {
        setStatus(QString("%1 kept as it was: the run reported %2 errors; see the messages")
                      .arg(QString::fromLocal8Bit(result.archive.c_str()))
                      .arg(errors));
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
    showMessages(status == kStartupFailure ? QStringLiteral("The job could not start:")
                                           : QStringLiteral("The job reported errors:"),
                 true);
}

}  // namespace kiv
