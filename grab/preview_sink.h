// What a grab job tells whoever shows its picture: the window's live preview implements it,
// the command line passes none and nothing is shown.
#pragma once

#include <cstdint>

namespace kiv {

// A part of the preview: rows firstRow to endRow - 1, columns firstColumn to endColumn - 1.
struct PreviewArea {
    int32_t firstRow = 0, endRow = 0;
    int32_t firstColumn = 0, endColumn = 0;
    bool empty() const { return endRow <= firstRow || endColumn <= firstColumn; }
};

class PreviewSink {
  public:
    virtual ~PreviewSink() = default;
    // A picture load begins: the display of the previous picture goes, even if this load fails.
    virtual void releasePicture() = 0;
    // A picture of this size, with these file colours (256 triples of 8-bit components, red
    // first), is being loaded: fit the window to it and make its display. False when the
    // display cannot be made; the load then fails.
    virtual bool beginPicture(int32_t width, int32_t height, const uint8_t* fileColours) = 0;
    // The preview (width × height, top row first) changed inside this area since the last
    // call: show it.
    virtual void previewChanged(const uint8_t* preview, int32_t width, int32_t height,
                                const PreviewArea& changed) = 0;
};

}  // namespace kiv
