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

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace kiv {

// Asks where to save; nothing when the user cancels. Replaceable, so that tests can answer.
using SaveChooser = std::function<std::optional<QString>(QWidget* owner, const QString& title,
                                                         const QString& suggested)>;

// An item's picture in its colours; index 0 see-through where the picture says so.
QImage imageOf(const IndexedImage& image, const std::array<uint8_t, 768>& colours);

class ArchiveBrowser : public QWidget {
  public:
    explicit ArchiveBrowser(SaveChooser chooser = {});
    ~ArchiveBrowser() override;

    // False, with the reason in the window, when the file is no archive.
    bool open(const QString& path);
    void select(int entry);  // from 0
    void setZoom(int zoom);

    void exportPng();  // the selected item's first picture
    void extract();    // the selected item's bytes

    // What tests look at.
    const QImage& shownImage() const { return shown_; }  // at 1:1
    QTableWidget* table() const { return table_; }
    QLabel* pictureLabel() const { return picture_; }
    QString detail() const;
    const QString& lastWarning() const { return lastWarning_; }

  private:
    void showSelected();
    void warn(const QString& text);

    SaveChooser chooser_;
    std::unique_ptr<ArchiveView> archive_;
    std::array<uint8_t, 768> colours_{};
    QTableWidget* table_;
    QLabel* picture_;
    QLabel* info_;
    QComboBox* zoomBox_;
    QPushButton* exportButton_;
    QPushButton* extractButton_;
    QImage shown_;
    int zoom_ = 2;
    QString lastWarning_;
};

}  // namespace kiv
