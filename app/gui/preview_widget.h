// The client area of the window: the display bitmap at 1:1 in its top-left corner, black beyond.
#pragma once

#include <QImage>
#include <QWidget>

#include "app/display.h"

namespace kiv {

class PreviewWidget : public QWidget, public DisplayOutput {
  public:
    explicit PreviewWidget(QWidget* parent);

    // DisplayOutput
    void fitWindowToPicture(int32_t width, int32_t height) override;
    void drawDisplay(const DisplayBitmap& bitmap, int32_t firstRow, int32_t endRow) override;

    // The picture as last drawn, upright; null before the first picture.
    const QImage& shown() const { return shown_; }
    QSize sizeHint() const override { return QSize(320, 200); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage shown_;
    const bool* valid_ = nullptr;  // the display bitmap's valid mark
    std::optional<std::array<uint8_t, kInfoBlockBytes>> shownInfo_;  // colours of shown_
};

}  // namespace kiv
