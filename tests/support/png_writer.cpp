#include "support/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <stdexcept>

namespace kivtest {
namespace {

void append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flush(png_structp) {}

}  // namespace

std::vector<uint8_t> encodePng(const TestPng& picture) {
    std::vector<uint8_t> out;
    // Rows packed as libpng wants them: bit depths below 8 several pixels to a byte, the other
    // kinds a sample (one or two bytes) per channel.
    static constexpr int kChannels[] = {1, 1, 3, 2, 4};
    const int channels = kChannels[picture.kind];
    const bool oldRgb = picture.kind == TestPng::Rgb && picture.rgba.empty();
    const int bits = oldRgb ? 8 : picture.bitDepth;
    const size_t rowBytes = (static_cast<size_t>(picture.width) * channels * bits + 7) / 8;
    std::vector<uint8_t> packed(rowBytes * picture.height, 0);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const size_t i = static_cast<size_t>(y) * picture.width + x;
            uint8_t* row = packed.data() + y * rowBytes;
            if (!picture.rgba.empty()) {
                const uint8_t* c = &picture.rgba.at(4 * i);
                const uint8_t grey[2] = {c[0], c[3]};
                const uint8_t* from = channels <= 2 ? grey : c;
                for (int k = 0; k < channels; ++k) {
                    const uint8_t v = from[k == 1 && channels == 2 ? 1 : k];
                    if (bits == 16) {
                        row[2 * (x * channels + k)] = v;
                        row[2 * (x * channels + k) + 1] = static_cast<uint8_t>(v + picture.wide16);
                    } else {
                        row[x * channels + k] = v;
                    }
                }
                continue;
            }
            const uint8_t v = picture.pixels.at(i);
            if (channels == 3) {
                row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
            } else {
                const int perByte = 8 / bits;
                const int shift = 8 - bits * (x % perByte + 1);
                row[x / perByte] |= static_cast<uint8_t>((v & ((1 << bits) - 1)) << shift);
            }
        }
    }
    std::vector<png_bytep> rows(picture.height);
    for (int y = 0; y < picture.height; ++y) rows[y] = packed.data() + y * rowBytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng failed");
    }
    png_set_write_fn(png, &out, append, flush);
    static constexpr int kTypes[] = {PNG_COLOR_TYPE_PALETTE, PNG_COLOR_TYPE_GRAY,
                                     PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_GRAY_ALPHA,
                                     PNG_COLOR_TYPE_RGB_ALPHA};
    const int type = kTypes[picture.kind];
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_IHDR(png, info, picture.width, picture.height, bits, type,
                 picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color colours[256];
    if (picture.kind == TestPng::Indexed) {
        for (int i = 0; i < picture.paletteEntries; ++i) {
            colours[i] = {picture.palette[3 * i], picture.palette[3 * i + 1],
                          picture.palette[3 * i + 2]};
        }
        png_set_PLTE(png, info, colours, picture.paletteEntries);
        if (!picture.alphas.empty()) {
            png_set_tRNS(png, info, picture.alphas.data(), static_cast<int>(picture.alphas.size()),
                         nullptr);
        }
    }
    if (!picture.transparentColour.empty()) {
        png_color_16 colour{};
        colour.gray = colour.red = picture.transparentColour[0];
        if (picture.transparentColour.size() == 3) {
            colour.green = picture.transparentColour[1];
            colour.blue = picture.transparentColour[2];
        }
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

namespace {

void appendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(n >> shift));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size())));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(crc >> shift));
}

}  // namespace

std::vector<uint8_t> declaredPng(uint32_t width, uint32_t height, int entries,
                                 const std::vector<uint8_t>& inflated) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    for (uint32_t v : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            header.push_back(static_cast<uint8_t>(v >> shift));
    }
    header.insert(header.end(), {8, 3, 0, 0, 0});
    appendChunk(out, "IHDR", header);
    std::vector<uint8_t> palette;
    for (int i = 0; i < entries; ++i) palette.insert(palette.end(), 3, static_cast<uint8_t>(i));
    appendChunk(out, "PLTE", palette);
    uLongf size = compressBound(static_cast<uLong>(inflated.size()));
    std::vector<uint8_t> compressed(size);
    compress2(compressed.data(), &size, inflated.data(), static_cast<uLong>(inflated.size()), 9);
    compressed.resize(size);
    appendChunk(out, "IDAT", compressed);
    appendChunk(out, "IEND", {});
    return out;
}

}  // namespace kivtest
