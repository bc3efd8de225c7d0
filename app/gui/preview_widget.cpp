#include "app/gui/preview_widget.h"

#include <QMainWindow>
#include <QMenuBar>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace kiv {

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(1, 1);
}

QSize PreviewWidget::clientSize(int32_t width, int32_t height) const {
    int least = 1;
    if (auto* frame = qobject_cast<QMainWindow*>(window())) {
        least = frame->menuBar()->sizeHint().width();
    }
    return QSize(std::max(width * zoom_, least), height * zoom_);
}

void PreviewWidget::fitWindowToPicture(int32_t width, int32_t height) {
    picture_ = QSize(width, height);
    QWidget* frame = window();
    // The window grows by what lies around the client area: the menu bar, the status line and
    // any frame.
    const QSize around = frame->size() - size();
    const QSize client = clientSize(width, height);
    frame->move(0, 0);
    frame->resize(client + around);
    resize(client);
    frame->show();
    frame->raise();
}

void PreviewWidget::setZoom(int zoom) {
    zoom_ = std::clamp(zoom, 1, 4);
    pending_ = QRect();
    if (!picture_.isEmpty()) {
        QWidget* frame = window();
        const QSize around = frame->size() - size();
        const QSize client = clientSize(picture_.width(), picture_.height());
        frame->resize(client + around);
        resize(client);
    }
    update();
}

// How often a running job's changes reach the screen: each is seen, within this time.
constexpr int kFrameMs = 16;

void PreviewWidget::drawDisplay(const DisplayBitmap& bitmap, const PreviewArea& changed) {
    const int w = bitmap.width(), h = bitmap.height();
    QRect area(changed.firstColumn, changed.firstRow, changed.endColumn - changed.firstColumn,
               changed.endRow - changed.firstRow);
    // Only the part that changed is converted, unless the picture itself is new.
    if (shown_.width() != w || shown_.height() != h || bitmap.info != shownInfo_ ||
        valid_ != &bitmap.valid) {
        shown_ = QImage(w, h, QImage::Format_RGB32);
        shownInfo_ = bitmap.info;
        area = QRect(0, 0, w, h);
    }
    area = area.intersected(QRect(0, 0, w, h));
    // The colours of the bitmap's info block: blue, green, red, 0.
    QRgb colours[256];
    const uint8_t* entries = bitmap.info->data() + kInfoHeaderBytes;
    for (int i = 0; i < 256; ++i) {
        colours[i] = qRgb(entries[4 * i + 2], entries[4 * i + 1], entries[4 * i]);
    }
    const size_t pitch = static_cast<size_t>(bitmap.pitch());
    for (int r = area.top(); r <= area.bottom(); ++r) {
        const uint8_t* source = bitmap.pixelStore.data() + static_cast<size_t>(h - 1 - r) * pitch;
        QRgb* target = reinterpret_cast<QRgb*>(shown_.scanLine(r));
        for (int x = area.left(); x <= area.right(); ++x) target[x] = colours[source[x]];
    }
    valid_ = &bitmap.valid;
    if (area.isEmpty()) return;
    pending_ |= QRect(area.topLeft() * zoom_, area.size() * zoom_);
    // A running job keeps the window from handling paint requests: what changed is painted at
    // once when a frame's time has passed since the last, and otherwise asked for, so that the
    // window paints it when the job has ended or by the next change after a frame's time.
    if (!sinceShown_.isValid() || sinceShown_.elapsed() >= kFrameMs) {
        flush();
    } else {
        update(pending_);
    }
}

void PreviewWidget::flush() {
    if (pending_.isEmpty()) return;
    const QRect area = pending_;
    pending_ = QRect();
    sinceShown_.start();
    repaint(area);
}

void PreviewWidget::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.fillRect(event->rect(), Qt::black);
    if (event->region().contains(pending_)) pending_ = QRect();
    if (valid_ == nullptr || !*valid_ || shown_.isNull()) return;
    if (zoom_ == 1) {
        painter.drawImage(event->rect().topLeft(), shown_, event->rect());
    } else {
        // The rows and columns of the picture that the rectangle to paint covers.
        const QRect wanted = event->rect();
        const QRect source(wanted.left() / zoom_, wanted.top() / zoom_, wanted.width() / zoom_ + 2,
                           wanted.height() / zoom_ + 2);
        const QRect part = source.intersected(shown_.rect());
        painter.drawImage(QRect(part.topLeft() * zoom_, part.size() * zoom_), shown_, part);
    }
}

}  // namespace kiv
