#include "app/gui/archive_browser.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "common/file_output.h"
#include "grab/item_formats.h"
#include "grab/palette_source.h"
#include "picture/png_picture.h"

namespace kiv {

QImage imageOf(const IndexedImage& image, const std::array<uint8_t, 768>& colours) {
    QImage out(image.width, image.height, QImage::Format_Indexed8);
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i) {
        table[i] =
            qRgb(colours[static_cast<size_t>(3 * i)], colours[static_cast<size_t>(3 * i + 1)],
                 colours[static_cast<size_t>(3 * i + 2)]);
    }
    if (image.transparentZero) table[0] = qRgba(0, 0, 0, 0);
    out.setColorTable(table);
    for (int y = 0; y < image.height; ++y) {
        std::copy_n(image.pixels.begin() + static_cast<ptrdiff_t>(y) * image.width, image.width,
                    out.scanLine(y));
    }
    return out;
}

namespace {

std::optional<QString> saveWithDialog(QWidget* owner, const QString& title,
                                      const QString& suggested, const QString& filter) {
    const QString chosen = QFileDialog::getSaveFileName(owner, title, suggested, filter);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

// What the palette box's items stand for, besides the entries of palette items.
constexpr int kGrey = -1;        // no palette item: grey
constexpr int kChosenFile = -2;  // the palette file chosen
constexpr int kChooseFile = -3;  // "From a file…"

// An item's pictures: raw items in rows of rawWidth pixels, or a 65,536-byte raw item as a
// 256 × 256 table.
std::vector<IndexedImage> picturesOf(const ItemInfo& info, const std::vector<uint8_t>& bytes,
                                     int rawWidth) {
    std::vector<IndexedImage> pictures = renderItem(info, bytes, rawWidth);
    if (pictures.empty() && info.kind == ItemKind::Raw && rawWidth == 0 && bytes.size() == 65536)
        pictures.push_back({256, 256, bytes, false});
    return pictures;
}

}  // namespace

ArchiveBrowser::ArchiveBrowser(SaveChooser chooser)
    : chooser_(chooser ? std::move(chooser) : SaveChooser(saveWithDialog)) {
    setWindowTitle(QStringLiteral("Kiv ver " KIV_VERSION " - Archive"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    table_ = new QTableWidget(0, 4);
    table_->setHorizontalHeaderLabels({"#", "Name", "Kind", "Size"});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    picture_ = new QLabel;
    picture_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture_->setStyleSheet("background: #404040;");
    auto* scroll = new QScrollArea;
    scroll->setWidget(picture_);
    scroll->setWidgetResizable(true);
    info_ = new QLabel;
    zoomBox_ = new QComboBox;
    for (int z = 1; z <= 8; z *= 2) zoomBox_->addItem(QString("%1×").arg(z), z);
    zoomBox_->setCurrentIndex(1);
    zoomBox_->setStatusTip("Enlarge the picture by whole pixels");
    exportButton_ = new QPushButton("Export PNG…");
    exportButton_->setStatusTip("Save the selected item as an indexed PNG");
    extractButton_ = new QPushButton("Extract…");
    extractButton_->setStatusTip("Save the selected item's exact bytes");
    paletteBox_ = new QComboBox;
    paletteBox_->setStatusTip("The colours to draw with: a palette item of the archive or a file");
    widthBox_ = new QSpinBox;
    widthBox_->setRange(0, 4096);
    widthBox_->setSpecialValueText("auto");
    widthBox_->setPrefix("raw width ");
    widthBox_->setStatusTip("Draw raw items in rows of this many pixels");
    auto* drawing = new QHBoxLayout;
    drawing->addWidget(new QLabel("Palette:"));
    drawing->addWidget(paletteBox_, 1);
    drawing->addWidget(widthBox_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(info_, 1);
    buttons->addWidget(zoomBox_);
    buttons->addWidget(exportButton_);
    buttons->addWidget(extractButton_);
    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->addLayout(drawing);
    rightLayout->addWidget(scroll, 1);
    rightLayout->addLayout(buttons);
    // The list can be widened by dragging the bar between the two.
    auto* split = new QSplitter;
    split->setChildrenCollapsible(false);
    split->addWidget(table_);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
    resize(900, 520);
    connect(table_, &QTableWidget::currentCellChanged, this, [this] { showSelected(); });
    connect(zoomBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { setZoom(zoomBox_->itemData(index).toInt()); });
    connect(exportButton_, &QPushButton::clicked, this, [this] { exportPng(); });
    connect(extractButton_, &QPushButton::clicked, this, [this] { extract(); });
    connect(paletteBox_, &QComboBox::activated, this, [this](int index) { paletteChosen(index); });
    connect(widthBox_, &QSpinBox::valueChanged, this, [this](int width) { setRawWidth(width); });
    // A save comes as several events (a temporary file, a rename): one read after they end.
    fileWatcher_ = new QFileSystemWatcher(this);
    reloadTimer_ = new QTimer(this);
    reloadTimer_->setSingleShot(true);
    reloadTimer_->setInterval(100);
    connect(reloadTimer_, &QTimer::timeout, this, [this] { reloadIfChanged(); });
    connect(fileWatcher_, &QFileSystemWatcher::fileChanged, reloadTimer_,
            qOverload<>(&QTimer::start));
    connect(fileWatcher_, &QFileSystemWatcher::directoryChanged, reloadTimer_,
            qOverload<>(&QTimer::start));
}

ArchiveBrowser::~ArchiveBrowser() = default;

bool ArchiveBrowser::open(const QString& path) {
    QString why;
    if (!load(path, &why)) {
        info_->setText(QString("%1: %2").arg(path, why));
        return false;
    }
    paletteFile_.clear();
    fillPaletteBox();
    if (archive_->size() > 0) select(0);
    return true;
}

bool ArchiveBrowser::load(const QString& path, QString* why) {
    auto archive = std::make_unique<ArchiveView>();
    std::string reason;
    const FileState state = fileStateOf(path.toLocal8Bit().toStdString());
    if (!archive->open(path.toLocal8Bit().toStdString(), &reason)) {
        *why = QString::fromLocal8Bit(reason.c_str());
        return false;
    }
    archive_ = std::move(archive);
    path_ = path;
    seen_ = state;
    if (!fileWatcher_->files().isEmpty()) fileWatcher_->removePaths(fileWatcher_->files());
    if (!fileWatcher_->directories().isEmpty())
        fileWatcher_->removePaths(fileWatcher_->directories());
    fileWatcher_->addPath(path);
    fileWatcher_->addPath(QFileInfo(path).absolutePath());
    setWindowTitle(QStringLiteral("Kiv ver " KIV_VERSION " - ") + QFileInfo(path).fileName());
    displayPalette(*archive_, colours_);
    table_->blockSignals(true);
    table_->setRowCount(static_cast<int>(archive_->size()));
    for (size_t i = 0; i < archive_->size(); ++i) {
        const ItemInfo info = itemInfo(*archive_, i);
        const int row = static_cast<int>(i);
        table_->setItem(row, 0, new QTableWidgetItem(QString::number(i + 1)));
        table_->setItem(row, 1,
                        new QTableWidgetItem(QString::fromLocal8Bit(archive_->name(i).c_str())));
        table_->setItem(
            row, 2, new QTableWidgetItem(archive_->readable(i) ? kindName(info.kind) : "damaged"));
        table_->setItem(row, 3, new QTableWidgetItem(QString::number(archive_->entry(i).length)));
    }
    table_->blockSignals(false);
    table_->resizeColumnsToContents();
    return true;
}

bool ArchiveBrowser::reloadIfChanged() {
    if (path_.isEmpty()) return false;
    const FileState now = fileStateOf(path_.toLocal8Bit().toStdString());
    // A file replaced by a rename is watched anew.
    if (!fileWatcher_->files().contains(path_)) fileWatcher_->addPath(path_);
    if (now.exists == seen_.exists && now.hash == seen_.hash) return false;
    if (!now.exists) {
        info_->setText(QString("%1 is gone from the disk; shown as it was").arg(path_));
        seen_ = now;
        return false;
    }
    // The same entry stays selected: by its name, else by its place.
    const int row = table_->currentRow();
    const std::string name =
        row >= 0 && static_cast<size_t>(row) < archive_->size() ? archive_->name(size_t(row)) : "";
    const int paletteData = paletteBox_->currentData().toInt();
    const std::string paletteName = paletteData >= 0 && size_t(paletteData) < archive_->size()
                                        ? archive_->name(size_t(paletteData))
                                        : "";
    QString why;
    if (!load(path_, &why)) {
        info_->setText(QString("%1 changed on disk and is no archive now: %2").arg(path_, why));
        seen_ = now;
        return false;
    }
    fillPaletteBox();
    if (paletteData == kChosenFile) {
        usePaletteFile(paletteFile_);
    } else {
        for (int k = 0; k < paletteBox_->count(); ++k) {
            const int entry = paletteBox_->itemData(k).toInt();
            if (entry >= 0 && archive_->name(size_t(entry)) == paletteName) {
                usePaletteItem(size_t(entry));
                break;
            }
        }
    }
    int again = std::min(row, static_cast<int>(archive_->size()) - 1);
    for (size_t i = 0; i < archive_->size() && !name.empty(); ++i) {
        if (archive_->name(i) == name) {
            again = static_cast<int>(i);
            break;
        }
    }
    if (again >= 0) select(again);
    return true;
}

void ArchiveBrowser::fillPaletteBox() {
    paletteBox_->blockSignals(true);
    paletteBox_->clear();
    for (size_t i = 0; i < archive_->size(); ++i) {
        if (archive_->readable(i) && isPaletteItem(archive_->item(i))) {
            paletteBox_->addItem(QString("%1 (#%2)")
                                     .arg(QString::fromLocal8Bit(archive_->name(i).c_str()))
                                     .arg(i + 1),
                                 static_cast<int>(i));
        }
    }
    if (paletteBox_->count() == 0) paletteBox_->addItem("Grey (no palette item)", kGrey);
    if (!paletteFile_.isEmpty())
        paletteBox_->addItem(QFileInfo(paletteFile_).fileName(), kChosenFile);
    paletteBox_->addItem("From a file…", kChooseFile);
    paletteBox_->setCurrentIndex(0);
    paletteBox_->blockSignals(false);
}

void ArchiveBrowser::paletteChosen(int index) {
    const int meaning = paletteBox_->itemData(index).toInt();
    if (meaning >= 0) {
        usePaletteItem(static_cast<size_t>(meaning));
    } else if (meaning == kChosenFile) {
        usePaletteFile(paletteFile_);
    } else if (meaning == kGrey) {
        displayPalette(*archive_, colours_);
        showSelected();
    } else {
        const std::optional<QString> chosen =
            paletteChooser ? paletteChooser(this)
                           : std::optional<QString>(QFileDialog::getOpenFileName(
                                 this, "Palette to draw with", QString(),
                                 "Palettes (*.pcx *.PCX *.png *.PNG *.kiv *.KIV *.pal *.PAL *.gpl "
                                 "*.GPL *.lmp *.LMP);;All "
                                 "files (*)"));
        if (!chosen || chosen->isEmpty() || !usePaletteFile(*chosen)) {
            paletteBox_->setCurrentIndex(0);
            paletteChosen(0);
        }
    }
}

bool ArchiveBrowser::usePaletteItem(size_t entry) {
    if (!archive_ || entry >= archive_->size() || !archive_->readable(entry) ||
        !isPaletteItem(archive_->item(entry))) {
        warn(QString("Entry %1 is no palette item").arg(entry + 1));
        return false;
    }
    colours_ = displayColours(archive_->item(entry));
    const int index = paletteBox_->findData(static_cast<int>(entry));
    if (index >= 0) paletteBox_->setCurrentIndex(index);
    showSelected();
    return true;
}

bool ArchiveBrowser::usePaletteFile(const QString& path) {
    PaletteSource source;
    std::string why;
    if (!loadPaletteSource(path.toLocal8Bit().toStdString(), source, &why)) {
        warn(QString("No palette to draw with: %1").arg(QString::fromLocal8Bit(why.c_str())));
        return false;
    }
    colours_ = source.colours;
    if (paletteFile_ != path) {
        paletteFile_ = path;
        if (archive_) fillPaletteBox();
    }
    const int index = paletteBox_->findData(kChosenFile);
    if (index >= 0) paletteBox_->setCurrentIndex(index);
    showSelected();
    return true;
}

void ArchiveBrowser::setRawWidth(int width) {
    rawWidth_ = std::clamp(width, 0, 4096);
    if (widthBox_->value() != rawWidth_) widthBox_->setValue(rawWidth_);
    showSelected();
}

void ArchiveBrowser::select(int entry) {
    table_->setCurrentCell(entry, 0);
    showSelected();
}

void ArchiveBrowser::setZoom(int zoom) {
    zoom_ = std::clamp(zoom, 1, 8);
    const int index = zoomBox_->findData(zoom_);
    if (index >= 0 && index != zoomBox_->currentIndex()) zoomBox_->setCurrentIndex(index);
    showSelected();
}

QString ArchiveBrowser::detail() const {
    return info_->text();
}

void ArchiveBrowser::showSelected() {
    shown_ = QImage();
    picture_->clear();
    const int row = table_->currentRow();
    if (!archive_ || row < 0 || static_cast<size_t>(row) >= archive_->size()) return;
    const size_t i = static_cast<size_t>(row);
    if (!archive_->readable(i)) {
        // No bytes can be had: the entry is damaged, not empty.
        info_->setText(QString("damaged: its data lies outside the file"));
        exportButton_->setEnabled(false);
        extractButton_->setEnabled(false);
        return;
    }
    const std::vector<uint8_t> bytes = archive_->item(i);
    const ItemInfo info = recogniseItem(archive_->name(i), bytes);
    info_->setText(QString("%1 %2").arg(kindName(info.kind), QString::fromStdString(info.detail)));
    const std::vector<IndexedImage> pictures = picturesOf(info, bytes, rawWidth_);
    exportButton_->setEnabled(!pictures.empty());
    extractButton_->setEnabled(info.kind != ItemKind::Label);
    if (pictures.empty()) return;
    // Blend levels one under another.
    IndexedImage all = pictures[0];
    for (size_t k = 1; k < pictures.size(); ++k) {
        all.pixels.insert(all.pixels.end(), pictures[k].pixels.begin(), pictures[k].pixels.end());
        all.height += pictures[k].height;
    }
    shown_ = imageOf(all, colours_);
    picture_->setPixmap(QPixmap::fromImage(
        shown_.scaled(shown_.size() * zoom_, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
}

void ArchiveBrowser::exportPng() {
    const int row = table_->currentRow();
    if (!archive_ || row < 0) return;
    const size_t i = static_cast<size_t>(row);
    const std::vector<uint8_t> bytes = archive_->item(i);
    const std::vector<IndexedImage> pictures =
        picturesOf(recogniseItem(archive_->name(i), bytes), bytes, rawWidth_);
    if (pictures.empty()) return;
    std::optional<QString> path =
        chooser_(this, "Export PNG", QString::fromLocal8Bit(archive_->name(i).c_str()) + ".png",
                 "PNG pictures (*.png)");
    if (!path) return;
    if (QFileInfo(*path).suffix().isEmpty()) *path += ".png";
    std::string why;
    if (!writeIndexedPng(path->toLocal8Bit().toStdString(), pictures[0], colours_, &why)) {
        warn(QString::fromLocal8Bit(why.c_str()));
    }
}

// Said in a box that does not hold up the event loop; the text stays for tests to read.
void ArchiveBrowser::warn(const QString& text) {
    lastWarning_ = text;
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void ArchiveBrowser::extract() {
    const int row = table_->currentRow();
    if (!archive_ || row < 0) return;
    const size_t i = static_cast<size_t>(row);
    if (!archive_->readable(i)) {
        // Nothing is written: an empty file would pass for the item.
        warn(QString("Entry %1 (%2) cannot be extracted: its data lies outside the file.")
                 .arg(i + 1)
                 .arg(QString::fromStdString(printableName(archive_->name(i)))));
        return;
    }
    const std::optional<QString> path =
        chooser_(this, "Extract", QString::fromLocal8Bit(archive_->name(i).c_str()), QString());
    if (!path) return;
    std::string why;
    if (!writeWholeFile(path->toLocal8Bit().toStdString(), archive_->item(i), &why)) {
        warn(QString::fromLocal8Bit(why.c_str()));
    }
}

}  // namespace kiv
