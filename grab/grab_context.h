// The state shared by the grab interpreter, the grab commands and the preview.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "grab/preview_sink.h"
#include "picture/picture_file.h"

namespace kiv {

inline constexpr size_t kPictureBytes = 1228800;     // picture and preview, each
inline constexpr size_t kItemBufferBytes = 1536000;  // output of one command
inline constexpr size_t kPaletteBytes = 768;

// What the PCX loader keeps for the life of the process.
struct PcxLoaderState {
    int32_t pictureWidth = 0;
    int32_t pictureHeight = 0;
    int32_t bytesPerLine = 0;
    bool hasDisplayBitmap = false;
    Picture picture;  // the last file read, kept so that loads reuse the memory
};

class PictureMapper;

struct GrabContext {
    // The current command's arguments: tokens of the script line (nullptr where the line has
    // fewer) and their decimal values, times 8 for a command with the scale flag.
    std::array<const char*, 5> textArgs{};
    std::array<int32_t, 5> numArgs{};

    // Working buffers of one run; empty outside a run. Zero-filled when obtained.
    std::vector<uint8_t> picture;
    std::vector<uint8_t> preview;
    std::vector<uint8_t> itemBuffer;
    size_t cursor = 0;  // next free byte of itemBuffer

    // Kept for the life of the process.
    int32_t width = 0;
    int32_t height = 0;
    std::array<uint8_t, kPaletteBytes> palette{};
    int32_t lastPackedSize = 0;

    // The running command's keyword, for messages.
    const char* command = "";
    // A picture was loaded by this run, so picture and preview hold it.
    bool pictureLoaded = false;
    // The run's last LOADPCX failed with no picture before it: the commands that need one are
    // skipped quietly until the next load, the load's error having said so once.
    bool skippingToPicture = false;

    // The files the current run read (pictures), in the order read.
    std::vector<std::string> inputs;
    // The script of the current run, for notes about where its files are looked for.
    std::string scriptPath;

    PcxLoaderState loader;
    // Maps true-colour pictures onto a palette when set; they are refused otherwise.
    PictureMapper* trueColour = nullptr;
    // How the front end's user chooses a palette for true-colour pictures, for hints.
    const char* choosePalette = "give kiv --palette SOURCE";
    bool noteMappings = false;           // a note for each picture mapped: how exact it came out
    PreviewSink* previewSink = nullptr;  // who shows the preview; nullptr: nobody
    // The part of the preview changed since the last refresh.
    PreviewArea dirty;
};

// Notes that the preview bytes from firstByte to endByte - 1 (row stride width) changed: whole
// rows, or the columns of the one row they lie in.
void markPreviewBytes(GrabContext& ctx, int64_t firstByte, int64_t endByte);
// Notes that a rectangle of the preview changed (what lies outside the picture is left out);
// a rectangle that runs past the right edge goes on in the next rows, so whole rows changed.
void markPreviewRectangle(GrabContext& ctx, int64_t x, int64_t y, int64_t width, int64_t height);
// Shows the preview: the rows changed since the last refresh go to the preview sink.
void refreshPreview(GrabContext& ctx);

}  // namespace kiv
