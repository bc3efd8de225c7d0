// The window of kiv: a menu to grab or link a script, and the live preview of the picture that
// a grab job works on.
#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "app/display.h"
#include "app/watch.h"
#include "grab/grab_context.h"
#include "grab/picture_mapping.h"

class QFileDialog;
class QMessageBox;
class QDialog;
class QListWidget;

class QLabel;
class QAction;
class QSocketNotifier;
class QTimer;

namespace kiv {

class PreviewWidget;
class JobConsole;
class ArchiveBrowser;

// The open-file dialog of one job kind.
struct DialogSettings {
    QString filterDescription;  // "Grab 文件(*.SCP)"
    QString pattern;            // "*.SCP"
    QString title;
    QString defaultSuffix;  // added to a name typed without one
};

const DialogSettings& grabDialogSettings();
const DialogSettings& linkDialogSettings();

// Asks for a script; nothing when the user cancels. Replaceable, so that tests can answer.
using ScriptChooser = std::function<std::optional<QString>(QWidget* owner, const DialogSettings&)>;
std::optional<QString> chooseWithFileDialog(QWidget* owner, const DialogSettings& settings);
// A chosen script name that does not exist as typed, but whose folder holds exactly one name
// that differs only in letter case (art.scp for a typed "art", made art.SCP by the default
// suffix), is taken as that name.
QString resolveNameCase(const QString& path);
// The dialog that chooseWithFileDialog shows.
std::unique_ptr<QFileDialog> makeScriptDialog(QWidget* owner, const DialogSettings& settings);

// The menu's command ids; the window's own additions from 205 on.
enum MenuCommandId {
    kMenuExit = 201,
    kMenuGrab = 202,
    kMenuLink = 203,
    kMenuAbout = 204,
    kMenuOpenArchive = 205,
    kMenuZoom1 = 211,  // to kMenuZoom1 + 3: 1× to 4×
    kMenuTrueColourPalette = 215,
    kMenuWatch = 216,
    kMenuTrueColourMapping = 217,
};

struct MenuCommand {
    int menu;  // 0: File, 1: Help, 2: View
    const char* text;
    int id;
    const char* tip;  // the status tip, in English
};
extern const char* const kMenuTitles[3];
// The original menu; the window's additions (Open archive, View) come in kAddedCommands.
extern const MenuCommand kMenuCommands[4];
extern const MenuCommand kAddedCommands[8];

inline constexpr const char* kWindowTitle = "Kiv ver " KIV_VERSION;
// The widest the window grows for its status line, in pixels.
inline constexpr int kWidestStatus = 1200;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(ScriptChooser chooser = chooseWithFileDialog);
    ~MainWindow() override;

    // Runs the menu command with this id, as choosing it does.
    void runCommand(int id);
    void menuGrab();
    void menuLink();
    // A script from the command line or a drop: a link job when its name ends in LNK, else a
    // grab job; an archive (.kiv) opens in the browser.
    void openPath(const QString& path);
    void openArchive(const QString& path);
    // Shows the window as kiv-gui starts with this file (none: empty): a script runs once the
    // window is open, with the window at the top-left where the menu's jobs put it; an archive
    // opens in the browser.
    void showAtStart(const QString& path);
    void setZoom(int zoom);
    // File → Watch: the last job runs again whenever one of its files (its script, pictures,
    // linked files, merged archives, the true-colour palette) changes.
    void setWatching(bool on);
    bool watching() const { return watcher_ != nullptr; }
    // Runs the last job again when its files changed since it ran; true when it did.
    bool rerunIfChanged();

    // What tests look at.
    PreviewWidget* preview() const { return preview_; }
    JobConsole* jobConsole() const { return console_.get(); }
    // The messages of the last run (its errors, or its warnings), in a list beside the picture
    // that stays open without stopping the window and that the next run clears; hidden when
    // the last run said nothing.
    QDialog* messagesPanel() const { return messages_; }
    QString messagesText() const;
    int lastStatus() const { return lastStatus_; }
    QString statusLine() const;
    ArchiveBrowser* browser() const { return browser_.get(); }
    // Asks for an archive to open; replaceable, so that tests can answer.
    std::function<std::optional<QString>(QWidget*)> archiveChooser;
    GrabContext& grabContext() { return ctx_; }
    // The palette that true-colour pictures are mapped onto, remembered between runs; empty:
    // none, they are refused. False with the reason in the status line when it cannot be used.
    bool setTrueColourPalette(const QString& path);
    const QString& trueColourPalette() const { return palettePath_; }
    // One setting of View → True-colour mapping…, by the name of the command line's option
    // (--match, --dither, --reserve, --transparent-index, --alpha-threshold, --colour-key) and
    // with its values; an empty value goes back to the default. Remembered between runs. False
    // with the reason when the value is wrong (nothing changes then).
    bool setMappingOption(const QString& option, const QString& value, QString* why = nullptr);
    QString mappingOption(const QString& option) const { return mappingValues_.value(option); }
    // Asks for a palette file; replaceable, so that tests can answer.
    std::function<std::optional<QString>(QWidget*)> paletteChooser;
    const DisplayBitmap& displayBitmap() const { return display_.bitmap(); }
    // Called with true when the job console opens and false when it closes.
    std::function<void(bool)> onConsole;

    QLabel* statusLabel() const { return statusLabel_; }
    QAction* zoomAction(int zoom) const { return zoomActions_[static_cast<size_t>(zoom - 1)]; }
    QAction* watchAction() const { return watchAction_; }
    int jobsRun() const { return jobsRun_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void runJob(bool grab, const QString& fileName);
    void openConsole();
    void closeConsole();
    void reportFailure(int status);
    void showMessages(const QString& heading, bool errors);
    void chooseMapping();
    QString mappingShown() const;
    void setStatus(const QString& text);
    void showStatus();

    ScriptChooser chooser_;
    PreviewWidget* preview_ = nullptr;
    std::unique_ptr<JobConsole> console_;
    std::unique_ptr<ArchiveBrowser> browser_;
    bool busy_ = false;  // a job runs
    QDialog* messages_ = nullptr;
    QListWidget* messageList_ = nullptr;
    GrabContext ctx_;
    PictureMapper mapper_;
    QString palettePath_;                   // absolute: jobs change the current folder
    MappingOptions mapping_;                // the other settings of the mapping
    QMap<QString, QString> mappingValues_;  // as given, by option name
    QLabel* statusLabel_ = nullptr;
    QString status_;  // the whole status text
    std::array<QAction*, 4> zoomActions_{};
    DisplayPreview display_;
    int lastStatus_ = 0;
    int jobsRun_ = 0;
    // The last job, and its files as it read them.
    bool lastGrab_ = true;
    QString lastScript_;  // absolute
    JobInputs lastInputs_;
    QAction* watchAction_ = nullptr;
    std::unique_ptr<InputWatcher> watcher_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* rerunTimer_ = nullptr;
    std::set<std::string> reported_;  // files the watcher named since the last look
};

}  // namespace kiv
