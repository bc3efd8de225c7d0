#include "support/grab_harness.h"

#include <algorithm>
#include <cstring>

#include "common/console.h"
#include "common/script_text.h"
#include "grab/commands.h"
#include "grab/interpreter.h"

namespace kivtest {

GrabHarness::GrabHarness() {
    ctx.picture.assign(kiv::kPictureBytes, 0);
    ctx.preview.assign(kiv::kPictureBytes, 0);
    ctx.itemBuffer.assign(kiv::kItemBufferBytes, 0);
    ctx.previewSink = &preview;
    kiv::beginJobLog();
}

GrabHarness::~GrabHarness() = default;

Bytes GrabHarness::run(const std::string& line) {
    char buffer[kiv::kScriptLineBytes] = {};
    std::strncpy(buffer, line.c_str(), kiv::kScriptLineChars);
    if (kiv::runGrabLine(ctx, buffer) == nullptr) return {};
    ctx.textArgs = {};
    return Bytes(ctx.itemBuffer.begin(), ctx.itemBuffer.begin() + static_cast<long>(ctx.cursor));
}

Bytes GrabHarness::call(void (*handler)(kiv::GrabContext&), const char* keyword, const char* name,
                        std::array<int32_t, 5> numbers) {
    ctx.textArgs = {name, nullptr, nullptr, nullptr, nullptr};
    ctx.numArgs = numbers;
    ctx.cursor = 0;
    ctx.command = keyword;
    handler(ctx);
    ctx.textArgs = {};
    return Bytes(ctx.itemBuffer.begin(), ctx.itemBuffer.begin() + static_cast<long>(ctx.cursor));
}

void GrabHarness::setPicture(int32_t width, int32_t height, const Bytes& pixels) {
    ctx.width = width;
    ctx.height = height;
    std::fill(ctx.picture.begin(), ctx.picture.end(), 0);
    std::copy(pixels.begin(), pixels.end(), ctx.picture.begin());
    ctx.preview = ctx.picture;
    ctx.pictureLoaded = true;
}

Bytes GrabHarness::shownPixels() const {
    const auto& d = preview.bitmap();
    Bytes out;
    for (int32_t r = 0; r < d.height(); ++r) {
        const uint8_t* row =
            d.pixelStore.data() + static_cast<size_t>(d.height() - 1 - r) * d.pitch();
        out.insert(out.end(), row, row + d.width());
    }
    return out;
}

uint8_t GrabHarness::previewAt(int x, int y) const {
    return ctx.preview.at(static_cast<size_t>(y) * ctx.width + x);
}

uint8_t GrabHarness::pictureAt(int x, int y) const {
    return ctx.picture.at(static_cast<size_t>(y) * ctx.width + x);
}

}  // namespace kivtest
