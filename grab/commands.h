// The grab commands and the checks they share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grab/grab_context.h"

namespace kiv {

using GrabHandler = void (*)(GrabContext&);

struct GrabCommand {
    const char* keyword;
    GrabHandler handler;
    int32_t scaleByEight;
};

void grabLoadPcx(GrabContext& ctx);
void grabRaw(GrabContext& ctx);
void grabPackedCropped(GrabContext& ctx);
void grabPacked(GrabContext& ctx);
void grabTexture(GrabContext& ctx);
void grabFont(GrabContext& ctx);
void grabPalette(GrabContext& ctx);
void grabColormap(GrabContext& ctx);
void grabTransparent(GrabContext& ctx);

// The command words in matching order, ended by a row without keyword.
extern const GrabCommand CommandTable[10];

// The item name of the running command, for messages.
const char* itemLabel(const GrabContext& ctx);

// Refuses the running command: a diagnostic naming the command and the item, then the reason;
// the job's exit status becomes 1. The command then writes
// nothing more (so it makes no item, or FONT only its header).
void refuseCommand(const GrabContext& ctx, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// True when every palette component is 0 (no picture has set it yet).
bool paletteIsBlank(const GrabContext& ctx);

// Warns that a command which reads the palette comes before any picture of its script.
void warnWithoutPicture(const GrabContext& ctx);

// True when a picture was loaded by this run; refuses the command otherwise.
bool requirePicture(const GrabContext& ctx);

// True when the rectangle's bytes all lie inside the width × height picture (row r of it
// starting at (y + r) × width + x, so a rectangle may run on into the next row, with a warning).
// Refuses negative values and rectangles that touch a byte outside. w or h of 0 touches nothing.
bool rectangleInPicture(const GrabContext& ctx, int32_t x, int32_t y, int32_t w, int32_t h);

// True when bytes more bytes fit the item buffer behind the cursor; refuses otherwise.
bool fitsItemBuffer(const GrabContext& ctx, uint64_t bytes);

}  // namespace kiv
