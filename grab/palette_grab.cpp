#include <cstring>

#include "grab/commands.h"

namespace kiv {

// PALETTE name
// The 768 bytes of the palette, 6-bit components after a picture load.
void grabPalette(GrabContext& ctx) {
    warnWithoutPicture(ctx);
    if (!fitsItemBuffer(ctx, kPaletteBytes)) return;
    std::memcpy(ctx.itemBuffer.data() + ctx.cursor, ctx.palette.data(), kPaletteBytes);
    ctx.cursor += kPaletteBytes;
}

}  // namespace kiv
