// The archive browser: the entries of an archive with their index, name, kind and size, and the
// selected item drawn in the archive's colours (sprites, fonts as glyph sheets, textures, the
// palette swatch, tables), enlarged by whole pixels, with Export PNG… and Extract….
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/archive_items.h"
#include "app/watch.h"

class QComboBox;
class QFileSystemWatcher;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

namespace kiv {

// Asks where to save; nothing when the user cancels. Replaceable, so that tests can answer.
// filter: the dialog's name filter, empty for any file.
using SaveChooser = std::function<std::optional<QString>(
    QWidget* owner, const QString& title, const QString& suggested, const QString& filter)>;

// An item's picture in its colours; index 0 see-through where the picture says so.
QImage imageOf(const IndexedImage& image, const std::array<uint8_t, 768>& colours);

class ArchiveBrowser : public QWidget {
  public:
    explicit ArchiveBrowser(SaveChooser chooser = {});
    ~ArchiveBrowser() override;

    // False, with the reason in the window, when the file is no archive. An open archive
    // that changes on disk is read again, with the same entry selected.
    bool open(const QString& path);
    void select(int entry);  // from 0
    void setZoom(int zoom);
    // The colours to draw with: a palette item of the archive (its entry, from 0), or a file
    // that holds a palette (PCX, PNG, JASC-PAL, GIMP, raw .pal, another archive). False, with
    // the reason in a warning, when it holds none.
    bool usePaletteItem(size_t entry);
    bool usePaletteFile(const QString& path);
    // Raw items drawn in rows of this many pixels; 0: only a table of 65,536 bytes, as 256 × 256.
    void setRawWidth(int width);
    // Reads the archive again when its bytes changed on disk; true when it did.
    bool reloadIfChanged();
    // Asks for a palette file; replaceable, so that tests can answer.
    std::function<std::optional<QString>(QWidget*)> paletteChooser;

    void exportPng();  // the selected item's first picture
    void extract();    // the selected item's bytes

    // What tests look at.
    const QImage& shownImage() const { return shown_; }  // at 1:1
    QTableWidget* table() const { return table_; }
    QLabel* pictureLabel() const { return picture_; }
    QComboBox* paletteBox() const { return paletteBox_; }
    QSpinBox* rawWidthBox() const { return widthBox_; }
    QString detail() const;
    const QString& lastWarning() const { return lastWarning_; }

  private:
    void showSelected();
    void warn(const QString& text);
    bool load(const QString& path, QString* why);
    void fillPaletteBox();
    void paletteChosen(int index);

    SaveChooser chooser_;
    std::unique_ptr<ArchiveView> archive_;
    std::array<uint8_t, 768> colours_{};
    QTableWidget* table_;
    QLabel* picture_;
    QLabel* info_;
    QComboBox* zoomBox_;
    QPushButton* exportButton_;
    QPushButton* extractButton_;
    QComboBox* paletteBox_;
    QSpinBox* widthBox_;
    QFileSystemWatcher* fileWatcher_;
    QTimer* reloadTimer_;
    QString path_;
    FileState seen_;       // the open archive as read
    QString paletteFile_;  // the palette file drawn with, if one was chosen
    int rawWidth_ = 0;
    QImage shown_;
    int zoom_ = 2;
    QString lastWarning_;
};

}  // namespace kiv
