// Indexed PNG pictures through libpng: written by kivtool (pixel values are palette indices,
// the palette holds the colours in index order), and read as grab pictures.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "picture/indexed_image.h"

namespace kiv {

inline constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
bool hasPngSignature(std::span<const uint8_t> bytes);

// Writes an 8-bit indexed PNG with a 256-entry palette (8-bit components, red first); index 0
// is transparent (tRNS) when the image says so. False with the reason on failure.
// The same PNG in memory.
bool encodeIndexedPng(const IndexedImage& image, const std::array<uint8_t, 768>& colours,
                      std::vector<uint8_t>& bytes, std::string* why);
bool writeIndexedPng(const std::string& path, const IndexedImage& image,
                     const std::array<uint8_t, 768>& colours, std::string* why);

// Writes an 8-bit RGB PNG: rgb holds width x height pixels of three bytes, top row first.
bool writeRgbPng(const std::string& path, int32_t width, int32_t height,
                 const std::vector<uint8_t>& rgb, std::string* why);

// An indexed PNG read from memory: its size, its palette (entries past the file's are 0) and
// its pixels as palette indices.
struct PngPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::array<uint8_t, 768> colours{};
    int paletteEntries = 0;
    int transparentEntries = 0;         // entries of the tRNS chunk, 0 without one
    std::array<uint8_t, 256> alphas{};  // each entry's alpha: 255 unless the tRNS chunk says
    std::vector<uint8_t> pixels;        // width × height, top row first
    int colourType = -1;                // the file's PNG colour type, also when it is refused
};
// Reads a PNG of colour type 3 (palette) at bit depth 1, 2, 4 or 8, interlaced or not. Other
// kinds and damaged files give false with the reason. Pictures of more than maxPixels pixels
// are refused before their pixels are decoded.
bool readIndexedPng(std::span<const uint8_t> bytes, int64_t maxPixels, PngPicture& picture,
                    std::string* why);
// Only the size, palette and tRNS of an indexed PNG: no pixel is decoded, whatever size the
// header declares (pixels stays empty).
bool readPngPalette(std::span<const uint8_t> bytes, PngPicture& palette, std::string* why);

// A PNG of any other colour type (grey, true colour, with or without alpha, 8 or 16 bits a
// sample; 16 rounded to 8) as 8-bit red, green, blue and alpha. A tRNS colour becomes alpha 0.
struct TrueColourPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgba;  // width × height × 4, top row first
    bool alpha = true;          // some pixel may be less than opaque
};
bool isIndexedPngType(int colourType);
// The size is checked against maxPixels from the header, before any pixel is decoded.
bool readTrueColourPng(std::span<const uint8_t> bytes, int64_t maxPixels,
                       TrueColourPicture& picture, std::string* why);

}  // namespace kiv
