// The PCX loader: 8-bit, one plane, run-length encoded pictures with a 256-colour trailer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "grab/grab_context.h"

namespace kiv {

inline constexpr size_t kPcxHeaderBytes = 128;
inline constexpr long kPcxTrailerBytes = 769;

// A PCX file read through a buffer; past the end of the file every byte reads 255.
class PcxReader {
  public:
    explicit PcxReader(std::FILE* file) : file_(file) {}
    int next() {
        if (pos_ == len_ && !fill()) return 255;
        return buffer_[pos_++];
    }
    bool atEnd() const { return pos_ == len_ && ended_; }
    size_t read(uint8_t* out, size_t n);
    bool seekFromEnd(long offset);
    bool seekTo(long offset);

  private:
    bool fill();
    std::FILE* file_;
    uint8_t buffer_[65536];
    size_t pos_ = 0;
    size_t len_ = 0;
    bool ended_ = false;
};

// Loads a picture into a new display bitmap and sets the 6-bit palette. Returns the decoded
// picture (width × height bytes, row stride width) or nullptr; width and height receive the
// size of the last picture that loaded, or 0.
uint8_t* loadPcx(GrabContext& ctx, const char* path, int32_t& width, int32_t& height);

// Turns the palette's 8-bit components into 6-bit ones, then decodes every scanline.
void decodePcxRows(uint8_t* destination, PcxReader& file, const PcxLoaderState& state,
                   uint8_t* palette);
// Decodes one scanline into a picture row; returns the scanline bytes it covered.
int32_t decodePcxLine(uint8_t* row, PcxReader& file, const PcxLoaderState& state);

}  // namespace kiv
