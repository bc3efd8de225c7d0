#include "app/display.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/archive_format.h"

namespace kiv {

int32_t DisplayBitmap::width() const {
    return info ? loadLE32(info->data() + 4) : 0;
}
int32_t DisplayBitmap::height() const {
    return info ? loadLE32(info->data() + 8) : 0;
}

void DisplayOutput::fitWindowToPicture(int32_t, int32_t) {}
bool DisplayOutput::acceptBitmap(const DisplayBitmap&) {
    return true;
}
void DisplayOutput::drawDisplay(const DisplayBitmap&, const PreviewArea&) {}

std::optional<DisplayPalette> makeDisplayPalette(const uint8_t* palette) {
    DisplayPalette colours{};
    for (int i = 0; i < 256; ++i) {
        colours[i] = 0xFF000000u | static_cast<uint32_t>(palette[3 * i]) << 16 |
                     static_cast<uint32_t>(palette[3 * i + 1]) << 8 | palette[3 * i + 2];
    }
    return colours;
}

uint8_t* createDisplayBitmap(DisplayBitmap& display, DisplayOutput* output, const uint8_t* palette,
                             int32_t width, int32_t height) {
    display.info.reset();
    display.colourCount = 256;
    display.pixelStore.clear();
    display.pixelStore.shrink_to_fit();
    display.valid = false;
    if (width <= 0 || height <= 0) return nullptr;
    display.info.emplace();
    display.logicalPalette = makeDisplayPalette(palette);

    uint8_t* info = display.info->data();
    std::memset(info, 0, kInfoBlockBytes);
    for (int i = 0; i < 256; ++i) {
        info[kInfoHeaderBytes + 4 * i] = palette[3 * i + 2];
        info[kInfoHeaderBytes + 4 * i + 1] = palette[3 * i + 1];
        info[kInfoHeaderBytes + 4 * i + 2] = palette[3 * i];
        info[kInfoHeaderBytes + 4 * i + 3] = 0;
    }
    storeLE32(info, static_cast<int32_t>(kInfoHeaderBytes));
    storeLE32(info + 4, width);
    storeLE32(info + 8, height);
    info[12] = 1;             // planes (16-bit)
    info[14] = 8;             // bits per pixel (16-bit)
    storeLE32(info + 16, 0);  // no compression
    storeLE32(info + 20, width * height);
    storeLE32(info + 24, 0);
    storeLE32(info + 28, 0);
    storeLE32(info + 32, 256);
    storeLE32(info + 36, 256);

    try {
        display.pixelStore.assign(
            static_cast<size_t>(display.pitch()) * static_cast<size_t>(height), 0);
    } catch (const std::bad_alloc&) {
        display.pixelStore.clear();
        return nullptr;
    }
    if (output != nullptr && !output->acceptBitmap(display)) {
        display.pixelStore.clear();
        display.pixelStore.shrink_to_fit();
        return nullptr;
    }
    display.valid = true;
    return display.pixelStore.data();
}

void releaseDisplayBitmap(DisplayBitmap& display) {
    display.valid = false;
    display.pixelStore.clear();
    display.pixelStore.shrink_to_fit();
    display.logicalPalette.reset();
}

void drawDisplay(const DisplayBitmap& display, DisplayOutput* output) {
    if (!display.valid || display.pixelStore.empty() || output == nullptr) return;
    output->drawDisplay(display, {0, display.height(), 0, display.width()});
}

void refreshPreview(DisplayBitmap& display, DisplayOutput* output, const uint8_t* preview,
                    int32_t width, int32_t height, const PreviewArea& changed) {
    // Without a platform display nothing ever shows the bitmap (the command line): the copy
    // would only cost time, a whole picture per grab command.
    if (display.pixelStore.empty() || preview == nullptr || output == nullptr) return;
    // The store was made for the last loaded picture, whose size the preview has.
    int32_t rows = std::min(height, display.height());
    int32_t columns = std::min(width, display.width());
    if (rows <= 0 || columns <= 0) return;
    const size_t pitch = static_cast<size_t>(display.pitch());
    const int32_t storeRows = display.height();
    PreviewArea area = changed;
    area.firstRow = std::max(area.firstRow, 0);
    area.endRow = std::max(area.firstRow, std::min(area.endRow, rows));
    area.firstColumn = std::max(area.firstColumn, 0);
    area.endColumn = std::max(area.firstColumn, std::min(area.endColumn, columns));
    if (!area.empty()) {
        for (int32_t r = area.firstRow; r < area.endRow; ++r) {
            std::memcpy(
                display.pixelStore.data() + static_cast<size_t>(storeRows - 1 - r) * pitch +
                    area.firstColumn,
                preview + static_cast<size_t>(r) * static_cast<size_t>(width) + area.firstColumn,
                static_cast<size_t>(area.endColumn - area.firstColumn));
        }
    }
    if (!display.valid || output == nullptr) return;
    output->drawDisplay(display, area);
}

void fitWindowToPicture(DisplayOutput* output, int32_t width, int32_t height) {
    if (output != nullptr) output->fitWindowToPicture(width, height);
}

}  // namespace kiv

namespace kiv {

void DisplayPreview::releasePicture() {
    releaseDisplayBitmap(display_);
}

bool DisplayPreview::beginPicture(int32_t width, int32_t height, const uint8_t* fileColours) {
    fitWindowToPicture(output_, width, height);
    return createDisplayBitmap(display_, output_, fileColours, width, height) != nullptr;
}

void DisplayPreview::previewChanged(const uint8_t* preview, int32_t width, int32_t height,
                                    const PreviewArea& changed) {
    refreshPreview(display_, output_, preview, width, height, changed);
}

}  // namespace kiv
