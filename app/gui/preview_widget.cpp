#include "app/gui/preview_widget.h"

#include <QPainter>
#include <algorithm>

namespace kiv {

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(1, 1);
}

void PreviewWidget::fitWindowToPicture(int32_t width, int32_t height) {
    QWidget* frame = window();
    // The window grows by what lies around the client area: the menu bar and any frame.
    const QSize around = frame->size() - size();
    frame->move(0, 0);
    frame->resize(QSize(width, height) + around);
    resize(width, height);
    frame->show();
    frame->raise();
}

void PreviewWidget::drawDisplay(const DisplayBitmap& bitmap, int32_t firstRow, int32_t endRow) {
    const int w = bitmap.width(), h = bitmap.height();
    // Only the rows that changed are converted, unless the picture itself is new.
    if (shown_.width() != w || shown_.height() != h || bitmap.info != shownInfo_ ||
        valid_ != &bitmap.valid) {
        shown_ = QImage(w, h, QImage::Format_RGB32);
        shownInfo_ = bitmap.info;
        firstRow = 0;
        endRow = h;
    }
    firstRow = std::max(firstRow, 0);
    endRow = std::min(endRow, h);
    // The colours of the bitmap's info block: blue, green, red, 0.
    QRgb colours[256];
    const uint8_t* entries = bitmap.info->data() + kInfoHeaderBytes;
    for (int i = 0; i < 256; ++i) {
        colours[i] = qRgb(entries[4 * i + 2], entries[4 * i + 1], entries[4 * i]);
    }
    const size_t pitch = static_cast<size_t>(bitmap.pitch());
    for (int r = firstRow; r < endRow; ++r) {
        const uint8_t* source = bitmap.pixelStore.data() + static_cast<size_t>(h - 1 - r) * pitch;
        QRgb* target = reinterpret_cast<QRgb*>(shown_.scanLine(r));
        for (int x = 0; x < w; ++x) target[x] = colours[source[x]];
    }
    valid_ = &bitmap.valid;
    // At once: a running job keeps the window from handling paint requests.
    if (endRow > firstRow) repaint(0, firstRow, w, endRow - firstRow);
}

void PreviewWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (valid_ != nullptr && *valid_ && !shown_.isNull()) painter.drawImage(0, 0, shown_);
}

}  // namespace kiv
