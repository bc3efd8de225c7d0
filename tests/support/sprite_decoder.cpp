#include "support/sprite_decoder.h"

#include <stdexcept>

#include "archive/archive_format.h"

namespace kivtest {

DecodedSprite decodeSprite(const Bytes& bytes, size_t start, bool cropped) {
    DecodedSprite out;
    auto word = [&](size_t at) -> int32_t {
        if (start + at + 4 > bytes.size()) throw std::out_of_range("sprite ends early");
        return kiv::loadLE32(bytes.data() + start + at);
    };
    try {
        out.width = word(0);
        out.height = word(4);
        if (word(8) != 0) out.error = "kind is not 0";
        if (out.height == 0) {
            // No runs: the final record is {0, 0, 0} (PACKED, after the row index of the
            // rectangle's height, whose entries are all 0) or {0, 0x8000, 0} (PACKEDC, one entry).
            return out;
        }
        out.pixels.assign(static_cast<size_t>(out.width) * out.height, 0);
        const size_t records = 12 + 4 * static_cast<size_t>(out.height);
        std::vector<int32_t> firstOfRow(static_cast<size_t>(out.height), 0);
        size_t at = records;
        int32_t previousRow = -1, previousEnd = -1;
        for (;;) {
            int32_t x = word(at), y = word(at + 4), length = word(at + 8);
            if (y == 0x8000) {
                if (x != 0 || length != (cropped ? 0 : -1)) out.error = "bad terminator";
                out.size = at + 12;
                break;
            }
            if (length < 1) return out.error = "empty run", out;
            if (y < previousRow || y >= out.height) return out.error = "row out of order", out;
            if (y == previousRow && x <= previousEnd) return out.error = "runs touch", out;
            if (x < 0 || x + length > out.width) return out.error = "run outside the sprite", out;
            if (y != previousRow) firstOfRow[y] = static_cast<int32_t>(at);
            for (int32_t i = 0; i < length; ++i) {
                uint8_t v = bytes.at(start + at + 12 + i);
                if (v == 0) return out.error = "stored 0 pixel", out;
                out.pixels[static_cast<size_t>(y) * out.width + x + i] = v;
            }
            previousRow = y;
            previousEnd = x + length;
            at += 12 + static_cast<size_t>(length);
        }
        for (int32_t r = 0; r < out.height; ++r) {
            if (word(12 + 4 * static_cast<size_t>(r)) != firstOfRow[r]) out.error = "row index";
        }
    } catch (const std::out_of_range&) {
        out.error = "sprite ends early";
    }
    return out;
}

}  // namespace kivtest
