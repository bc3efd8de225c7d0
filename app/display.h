// The preview display: an 8-bit bitmap of the picture's size in the picture file's colours,
// rows bottom-up at a pitch of the width rounded up to 4, and the calls that show it. A
// platform plugs in a DisplayOutput; without one (the command line) the bitmap is still made
// and the picture decoded into it, and nothing is drawn.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "grab/preview_sink.h"

namespace kiv {

inline constexpr size_t kInfoHeaderBytes = 40;
inline constexpr size_t kInfoBlockBytes = kInfoHeaderBytes + 256 * 4;

// A logical palette: the 256 colours as 0xFFRRGGBB.
using DisplayPalette = std::array<uint32_t, 256>;

struct DisplayBitmap {
    // The 40-byte bitmap-info header and 256 colour entries (blue, green, red, 0); kept from one
    // createDisplayBitmap to the next.
    std::optional<std::array<uint8_t, kInfoBlockBytes>> info;
    std::vector<uint8_t> pixelStore;  // empty: none
    int32_t colourCount = 256;
    std::optional<DisplayPalette> logicalPalette;
    bool valid = false;

    int32_t width() const;  // from the info block; 0 without one
    int32_t height() const;
    int32_t pitch() const { return (width() + 3) / 4 * 4; }
};

// What a platform does with the display. The default draws nothing.
class DisplayOutput {
  public:
    virtual ~DisplayOutput() = default;
    // Size the main window so that its client area is width × height, at the screen's top-left.
    virtual void fitWindowToPicture(int32_t width, int32_t height);
    // The platform's own surface for a new bitmap; false when it cannot be made.
    virtual bool acceptBitmap(const DisplayBitmap& bitmap);
    // Copy the bitmap into the window at 1:1. Only the area given (counted from the top of the
    // picture) changed since the last call; a platform may convert only that, and may put
    // several calls' changes on the screen at once.
    virtual void drawDisplay(const DisplayBitmap& bitmap, const PreviewArea& changed);
};

// Creates the display bitmap; returns its pixelStore (at least width × height bytes), or
// nullptr when it cannot be created.
uint8_t* createDisplayBitmap(DisplayBitmap& display, DisplayOutput* output, const uint8_t* palette,
                             int32_t width, int32_t height);
std::optional<DisplayPalette> makeDisplayPalette(const uint8_t* palette);
void releaseDisplayBitmap(DisplayBitmap& display);
void drawDisplay(const DisplayBitmap& display, DisplayOutput* output);
// Copies the area of the upright preview into the bottom-up pixel store and draws it; without
// an output (nothing to draw in) it does nothing.
void refreshPreview(DisplayBitmap& display, DisplayOutput* output, const uint8_t* preview,
                    int32_t width, int32_t height, const PreviewArea& changed);
void fitWindowToPicture(DisplayOutput* output, int32_t width, int32_t height);

// The live preview of a grab job on a platform's display: the grab side's preview sink, made of
// the display bitmap and the calls above.
class DisplayPreview : public PreviewSink {
  public:
    explicit DisplayPreview(DisplayOutput* output = nullptr) : output_(output) {}
    void releasePicture() override;
    bool beginPicture(int32_t width, int32_t height, const uint8_t* fileColours) override;
    void previewChanged(const uint8_t* preview, int32_t width, int32_t height,
                        const PreviewArea& changed) override;

    DisplayBitmap& bitmap() { return display_; }
    const DisplayBitmap& bitmap() const { return display_; }
    DisplayOutput* output() const { return output_; }

  private:
    DisplayBitmap display_;
    DisplayOutput* output_;
};

}  // namespace kiv
