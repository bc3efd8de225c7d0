// Runs grab commands on a GrabContext as the interpreter does, without an archive.
#pragma once

#include <string>
#include <vector>

#include "app/display.h"
#include "grab/grab_context.h"
#include "support/test_support.h"

namespace kivtest {

// A display that records what the platform would be asked to do.
class RecordingDisplay : public kiv::DisplayOutput {
  public:
    void fitWindowToPicture(int32_t width, int32_t height) override {
        fits.emplace_back(width, height);
    }
    bool acceptBitmap(const kiv::DisplayBitmap&) override { return accept; }
    void drawDisplay(const kiv::DisplayBitmap& bitmap, const kiv::PreviewArea& area) override {
        ++draws;
        areas.push_back(area);
        lastDrawn = bitmap.pixelStore;
        if (keepFrames) frames.push_back(bitmap.pixelStore);
    }
    std::vector<std::pair<int32_t, int32_t>> fits;
    int draws = 0;
    std::vector<kiv::PreviewArea> areas;  // of each draw
    std::vector<uint8_t> lastDrawn;
    bool keepFrames = false;  // keep every drawn pixel store in frames
    std::vector<std::vector<uint8_t>> frames;
    bool accept = true;
};

class GrabHarness {
  public:
    GrabHarness();  // the working buffers of a run, zero-filled, and a recording display
    ~GrabHarness();
    // Runs one script line through the interpreter's dispatch; returns the bytes the command wrote
    // (the item, when not empty).
    Bytes run(const std::string& line);
    // Calls a handler with arguments already in pixels, as the font grabber calls PACKED.
    Bytes call(void (*handler)(kiv::GrabContext&), const char* keyword, const char* name,
               std::array<int32_t, 5> numbers);
    // Makes a picture current without a file: as after a successful LOADPCX.
    void setPicture(int32_t width, int32_t height, const Bytes& pixels);
    // The display's pixels turned upright: width × height, as shown.
    Bytes shownPixels() const;
    uint8_t previewAt(int x, int y) const;
    uint8_t pictureAt(int x, int y) const;

    kiv::GrabContext ctx;
    RecordingDisplay display;
    kiv::DisplayPreview preview{&display};
    CapturedChannels channels;
};

}  // namespace kivtest
