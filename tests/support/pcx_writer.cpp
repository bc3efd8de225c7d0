#include "support/pcx_writer.h"

#include <algorithm>

#include "support/test_support.h"

namespace kivtest {
namespace {
void put16(std::vector<uint8_t>& out, size_t at, int value) {
    out[at] = static_cast<uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}
int lineBytes(const PcxPicture& p) {
    return p.bytesPerLine >= 0 ? p.bytesPerLine : (p.width + 1) / 2 * 2;
}
}  // namespace

PcxPicture blankPicture(int width, int height, uint8_t fill) {
    PcxPicture p;
    p.width = width;
    p.height = height;
    p.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), fill);
    p.palette = rampPalette();
    return p;
}

std::array<uint8_t, 768> rampPalette() {
    std::array<uint8_t, 768> pal{};
    for (int i = 0; i < 256; ++i) {
        pal[3 * i] = static_cast<uint8_t>(i);
        pal[3 * i + 1] = static_cast<uint8_t>(255 - i);
        pal[3 * i + 2] = static_cast<uint8_t>(i / 2);
    }
    return pal;
}

std::vector<uint8_t> pcxHeader(const PcxPicture& p) {
    std::vector<uint8_t> h(128, 0);
    h[0] = p.manufacturer;
    h[1] = p.version;
    h[2] = 1;  // run-length encoding
    h[3] = 8;  // bits per pixel
    put16(h, 4, p.xMin);
    put16(h, 6, p.yMin);
    put16(h, 8, p.xMin + p.width - 1);
    put16(h, 10, p.yMin + p.height - 1);
    put16(h, 12, 72);
    put16(h, 14, 72);
    h[65] = 1;  // planes
    put16(h, 66, lineBytes(p));
    put16(h, 68, 1);
    return h;
}

std::vector<uint8_t> pcxWithData(const PcxPicture& p, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = pcxHeader(p);
    out.insert(out.end(), data.begin(), data.end());
    if (p.trailer) {
        out.push_back(p.marker);
        out.insert(out.end(), p.palette.begin(), p.palette.end());
    }
    if (out.size() > p.truncateAt) out.resize(p.truncateAt);
    return out;
}

std::vector<uint8_t> encodePcx(const PcxPicture& p) {
    std::vector<uint8_t> data;
    const int perLine = lineBytes(p);
    std::vector<uint8_t> line(static_cast<size_t>(std::max(perLine, 0)));
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < perLine; ++x) {
            line[x] = x < p.width ? p.pixels[static_cast<size_t>(y) * p.width + x] : p.padValue;
        }
        for (int x = 0; x < perLine;) {
            int run = 1;
            if (p.useRuns) {
                while (x + run < perLine && run < 63 && line[x + run] == line[x]) ++run;
            }
            if (run == 1 && line[x] < 192) {
                data.push_back(line[x]);
            } else {
                data.push_back(static_cast<uint8_t>(192 | run));
                data.push_back(line[x]);
            }
            x += run;
        }
    }
    return pcxWithData(p, data);
}

void writePcx(const std::string& path, const PcxPicture& picture) {
    writeFile(path, encodePcx(picture));
}

}  // namespace kivtest
