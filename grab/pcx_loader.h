// LOADPCX: makes a 256-colour PCX picture the picture of the following grab commands.
#pragma once

#include <cstdint>

#include "grab/grab_context.h"

namespace kiv {

// Loads a picture (loadPicture reads the file): checks it, makes its display (fitted window, file colours), decodes it
// into the context's picture and sets the 6-bit palette. True when it loaded; width and height
// receive the size of the last picture that loaded, or 0.
bool loadPcx(GrabContext& ctx, const char* path, int32_t& width, int32_t& height);

}  // namespace kiv
