#include "app/gui/archive_browser.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/file_output.h"
#include "grab/item_formats.h"
#include "grab/png_picture.h"

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
                                      const QString& suggested) {
    const QString chosen = QFileDialog::getSaveFileName(owner, title, suggested);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
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
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(info_, 1);
    buttons->addWidget(zoomBox_);
    buttons->addWidget(exportButton_);
    buttons->addWidget(extractButton_);
    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->addWidget(scroll, 1);
    rightLayout->addLayout(buttons);
    auto* split = new QSplitter;
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
}

ArchiveBrowser::~ArchiveBrowser() = default;

bool ArchiveBrowser::open(const QString& path) {
    auto archive = std::make_unique<ArchiveView>();
    std::string why;
    if (!archive->open(path.toLocal8Bit().toStdString(), &why)) {
        info_->setText(QString("%1: %2").arg(path, QString::fromLocal8Bit(why.c_str())));
        return false;
    }
    archive_ = std::move(archive);
    setWindowTitle(QStringLiteral("Kiv ver " KIV_VERSION " - ") + QFileInfo(path).fileName());
    displayPalette(*archive_, colours_);
    table_->setRowCount(static_cast<int>(archive_->size()));
    for (size_t i = 0; i < archive_->size(); ++i) {
        const ItemInfo info = itemInfo(*archive_, i);
        const int row = static_cast<int>(i);
        table_->setItem(row, 0, new QTableWidgetItem(QString::number(i + 1)));
        table_->setItem(row, 1,
                        new QTableWidgetItem(QString::fromLocal8Bit(archive_->name(i).c_str())));
        table_->setItem(row, 2, new QTableWidgetItem(kindName(info.kind)));
        table_->setItem(row, 3, new QTableWidgetItem(QString::number(archive_->entry(i).length)));
    }
    table_->resizeColumnsToContents();
    if (archive_->size() > 0) select(0);
    return true;
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
    const std::vector<uint8_t> bytes = archive_->item(i);
    const ItemInfo info = recogniseItem(archive_->name(i), bytes);
    info_->setText(QString("%1 %2").arg(kindName(info.kind), QString::fromStdString(info.detail)));
    const std::vector<IndexedImage> pictures = renderItem(info, bytes);
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
        renderItem(recogniseItem(archive_->name(i), bytes), bytes);
    if (pictures.empty()) return;
    const std::optional<QString> path =
        chooser_(this, "Export PNG", QString::fromLocal8Bit(archive_->name(i).c_str()) + ".png");
    if (!path) return;
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
        chooser_(this, "Extract", QString::fromLocal8Bit(archive_->name(i).c_str()));
    if (!path) return;
    std::string why;
    if (!writeWholeFile(path->toLocal8Bit().toStdString(), archive_->item(i), &why)) {
        warn(QString::fromLocal8Bit(why.c_str()));
    }
}

}  // namespace kiv
