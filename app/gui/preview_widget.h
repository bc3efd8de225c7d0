// The client area of the window: the display bitmap in its top-left corner, black beyond, at
// 1:1 or enlarged by a whole factor (no smoothing).
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QRect>
#include <QWidget>

#include "app/display.h"

namespace kiv {

class PreviewWidget : public QWidget, public DisplayOutput {
  public:
    explicit PreviewWidget(QWidget* parent);

    // DisplayOutput
    void fitWindowToPicture(int32_t width, int32_t height) override;
    void drawDisplay(const DisplayBitmap& bitmap, const PreviewArea& changed) override;
    // Puts what changed since the last time on the screen now.
    void flush();

    // The picture as last drawn, upright at 1:1; null before the first picture.
    const QImage& shown() const { return shown_; }
    QSize sizeHint() const override { return QSize(320, 200); }

    // Whole-pixel enlargement, 1 to 4; the window is fitted to the picture again.
    void setZoom(int zoom);
    int zoom() const { return zoom_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // The client area for a picture of this size: enlarged, and never narrower than the menu
    // bar needs, so that the menu keeps its words.
    QSize clientSize(int32_t width, int32_t height) const;

    QImage shown_;
    const bool* valid_ = nullptr;  // the display bitmap's valid mark
    std::optional<std::array<uint8_t, kInfoBlockBytes>> shownInfo_;  // colours of shown_
    int zoom_ = 1;
    QSize picture_;  // the size of the last picture fitted, 0 × 0 before any
    QRect pending_;  // in the widget, changed and not yet on the screen
    QElapsedTimer sinceShown_;
};

}  // namespace kiv
