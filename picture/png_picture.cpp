#include "picture/png_picture.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_output.h"

namespace kiv {

bool hasPngSignature(std::span<const uint8_t> bytes) {
    return bytes.size() >= 8 && std::memcmp(bytes.data(), kPngSignature, 8) == 0;
}

namespace {

// libpng reports an error through this, which returns to the setjmp of the call.
struct PngErrors {
    char text[256] = "";
    // While reading: no single allocation larger than this (what a file of this size can
    // rightly need), whatever lengths its chunks declare.
    size_t largestAllocation = 0;
};

[[noreturn]] void onError(png_structp png, png_const_charp message) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    if (errors != nullptr) std::snprintf(errors->text, sizeof errors->text, "%s", message);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// libpng's memory for reading: an allocation above the limit fails, which libpng reports as an
// error ("Out of memory"), instead of being attempted.
png_voidp allocateBounded(png_structp png, png_alloc_size_t size) {
    auto* errors = static_cast<PngErrors*>(png_get_mem_ptr(png));
    if (errors != nullptr && errors->largestAllocation > 0 && size > errors->largestAllocation) {
        return nullptr;
    }
    return std::malloc(size);
}

void freeBounded(png_structp, png_voidp data) {
    std::free(data);
}

png_structp createReader(PngErrors& errors, size_t fileBytes) {
    errors.largestAllocation = fileBytes + (size_t{16} << 20);
    return png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &errors, onError, onWarning, &errors,
                                    allocateBounded, freeBounded);
}

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t at;
    // Once the header is read: how far the compressed pixels may reach. libpng inflates the
    // whole of an overlong stream after the last row, so a tiny picture with hundreds of
    // megabytes of compressed tail would cost seconds; no honest file comes near this.
    size_t limit = SIZE_MAX;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
    auto* source = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (length > source->size - source->at) png_error(png, "the file ends early");
    if (source->at + length > source->limit) {
        png_error(png, "more compressed data than its pixels need");
    }
    std::memcpy(out, source->data + source->at, length);
    source->at += length;
}

// The setjmp of each call lives in a function that holds no object with a destructor, so that
// an error's return through it skips nothing.
void writeToMemory(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// An indexed PNG of the image with the colours, or (colours null) an RGB one of the image's size
// whose rows hold three bytes a pixel.
bool writePng(std::vector<uint8_t>& out, const IndexedImage& image,
              const std::array<uint8_t, 768>* colours, png_bytep* rows, PngErrors& errors) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, onError, onWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, writeToMemory, flushNothing);
    // The picture's own size decides, not libpng's default of a million pixels a side.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8,
                 colours != nullptr ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    if (colours != nullptr) {
        for (size_t i = 0; i < 256; ++i)
            palette[i] = {(*colours)[3 * i], (*colours)[3 * i + 1], (*colours)[3 * i + 2]};
        png_set_PLTE(png, info, palette, 256);
    }
    png_byte transparent = 0;
    if (image.transparentZero && colours != nullptr)
        png_set_tRNS(png, info, &transparent, 1, nullptr);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct ReadResult {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, entries = 0;
    bool tooLarge = false;
    int transparent = 0;
};

// The header of a PNG in memory, read within the caller's setjmp: nothing here has a destructor.
void readHeader(png_structp png, png_infop info, MemoryReader& source, ReadResult& result) {
    png_set_read_fn(png, &source, readFromMemory);
    // The callers' pixel limits decide, checked from this header before any row is decoded;
    // libpng's default of a million pixels a side would call a 1,228,800 x 1 picture damaged.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.bitDepth = png_get_bit_depth(png, info);
    result.colourType = png_get_color_type(png, info);
    // The filtered rows, a quarter more and 64 KiB: room for any encoder's blocks and chunks
    // (stored blocks add 5 bytes in 65,535, fixed codes on noise about 7 %).
    const uint64_t rows = (static_cast<uint64_t>(png_get_rowbytes(png, info)) + 1) * result.height;
    source.limit = static_cast<size_t>(
        std::min<uint64_t>(SIZE_MAX, source.at + rows + rows / 4 + (uint64_t{1} << 16)));
}

bool readPng(MemoryReader& source, int64_t maxPixels, bool paletteOnly, PngPicture& picture,
             ReadResult& result, PngErrors& errors) {
    png_structp png = createReader(errors, source.size);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    readHeader(png, info, source, result);
    picture.colourType = result.colourType;
    if (result.colourType != PNG_COLOR_TYPE_PALETTE ||
        (!paletteOnly && static_cast<int64_t>(result.width) * result.height > maxPixels)) {
        result.tooLarge = result.colourType == PNG_COLOR_TYPE_PALETTE;
        png_destroy_read_struct(&png, &info, nullptr);
        return true;
    }
    png_colorp palette = nullptr;
    int entries = 0;
    if (png_get_PLTE(png, info, &palette, &entries) == 0) entries = 0;
    result.entries = entries;
    png_bytep alpha = nullptr;
    int alphaEntries = 0;
    picture.alphas.fill(255);
    if (png_get_tRNS(png, info, &alpha, &alphaEntries, nullptr) != 0) {
        result.transparent = alphaEntries;
        for (int i = 0; i < alphaEntries && i < 256; ++i) {
            picture.alphas[static_cast<size_t>(i)] = alpha[i];
        }
    }
    for (int i = 0; i < entries && i < 256; ++i) {
        picture.colours[static_cast<size_t>(3 * i)] = palette[i].red;
        picture.colours[static_cast<size_t>(3 * i + 1)] = palette[i].green;
        picture.colours[static_cast<size_t>(3 * i + 2)] = palette[i].blue;
    }
    picture.width = static_cast<int32_t>(result.width);
    picture.height = static_cast<int32_t>(result.height);
    if (paletteOnly) {
        png_destroy_read_struct(&png, &info, nullptr);
        return true;
    }
    // Indices as they stand: 1, 2 and 4 bits widened to a byte each, never matched by colour.
    if (result.bitDepth < 8) png_set_packing(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    picture.pixels.assign(static_cast<size_t>(result.width) * result.height, 0);
    // Row by row, so that no row list needs to be made here.
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < result.height; ++y) {
            png_read_row(png, picture.pixels.data() + static_cast<size_t>(y) * result.width,
                         nullptr);
        }
    }
    // The rows are all there: what follows them (chunks, or more compressed data than the
    // rows need) is not read, so a small picture with a huge tail costs no more than its rows.
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// Any PNG as 8-bit RGBA, or only its header when it is too large.
bool readRgba(MemoryReader& source, int64_t maxPixels, TrueColourPicture& picture,
              ReadResult& result, PngErrors& errors) {
    png_structp png = createReader(errors, source.size);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    readHeader(png, info, source, result);
    if (static_cast<int64_t>(result.width) * result.height > maxPixels) {
        result.tooLarge = true;
        png_destroy_read_struct(&png, &info, nullptr);
        return true;
    }
    picture.alpha = (result.colourType & PNG_COLOR_MASK_ALPHA) != 0 ||
                    png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_set_expand(png);  // palette to colours, grey below 8 bits to 8, tRNS to alpha
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    picture.width = static_cast<int32_t>(result.width);
    picture.height = static_cast<int32_t>(result.height);
    const size_t stride = static_cast<size_t>(result.width) * 4;
    picture.rgba.assign(stride * result.height, 0);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < result.height; ++y) {
            png_read_row(png, picture.rgba.data() + static_cast<size_t>(y) * stride, nullptr);
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool failWith(std::string* why, std::string text) {
    if (why != nullptr) *why = std::move(text);
    return false;
}

std::string tooLargeText(const ReadResult& result, int64_t maxPixels) {
    return "a picture of " + std::to_string(result.width) + " x " + std::to_string(result.height) +
           " pixels is larger than " + std::to_string(maxPixels) + " pixels";
}

// A PNG in memory read by one of the readers above into a fresh picture; false with the reason
// for bytes that are no PNG or a damaged one.
template <typename Picture, typename Read>
bool readWith(std::span<const uint8_t> bytes, Picture& picture, std::string* why, Read read) {
    if (!hasPngSignature(bytes)) return failWith(why, "not a PNG file");
    MemoryReader source{bytes.data(), bytes.size(), 0};
    PngErrors errors;
    picture = Picture{};
    if (!read(source, errors)) {
        return failWith(why, std::string("a damaged PNG file (") + errors.text + ")");
    }
    return true;
}

}  // namespace

bool isIndexedPngType(int colourType) {
    return colourType == PNG_COLOR_TYPE_PALETTE;
}

bool readTrueColourPng(std::span<const uint8_t> bytes, int64_t maxPixels,
                       TrueColourPicture& picture, std::string* why) {
    ReadResult result;
    if (!readWith(bytes, picture, why, [&](MemoryReader& source, PngErrors& errors) {
            return readRgba(source, maxPixels, picture, result, errors);
        })) {
        return false;
    }
    if (result.tooLarge) return failWith(why, tooLargeText(result, maxPixels));
    return true;
}

bool encodeIndexedPng(const IndexedImage& image, const std::array<uint8_t, 768>& colours,
                      std::vector<uint8_t>& bytes, std::string* why) {
    bytes.clear();
    if (image.width <= 0 || image.height <= 0) {
        if (why != nullptr) *why = "an empty picture";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(image.height));
    for (int32_t y = 0; y < image.height; ++y) {
        rows[static_cast<size_t>(y)] =
            const_cast<png_bytep>(image.pixels.data() + static_cast<size_t>(y) * image.width);
    }
    PngErrors errors;
    if (!writePng(bytes, image, &colours, rows.data(), errors)) {
        if (why != nullptr) *why = errors.text[0] != '\0' ? errors.text : "cannot be encoded";
        return false;
    }
    return true;
}

bool writeRgbPng(const std::string& path, int32_t width, int32_t height,
                 const std::vector<uint8_t>& rgb, std::string* why) {
    if (width <= 0 || height <= 0 || rgb.size() != size_t(width) * size_t(height) * 3) {
        if (why != nullptr) *why = "an empty picture";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (size_t y = 0; y < rows.size(); ++y)
        rows[y] = const_cast<png_bytep>(rgb.data() + y * size_t(width) * 3);
    const IndexedImage size{width, height, {}, false};
    std::vector<uint8_t> bytes;
    PngErrors errors;
    if (!writePng(bytes, size, nullptr, rows.data(), errors)) {
        if (why != nullptr) *why = errors.text[0] != '\0' ? errors.text : "cannot be encoded";
        return false;
    }
    return writeWholeFile(path, bytes, why);
}

bool writeIndexedPng(const std::string& path, const IndexedImage& image,
                     const std::array<uint8_t, 768>& colours, std::string* why) {
    std::vector<uint8_t> bytes;
    std::string reason;
    if (!encodeIndexedPng(image, colours, bytes, &reason)) {
        if (why != nullptr) *why = reason;
        return false;
    }
    return writeWholeFile(path, bytes, why);
}

namespace {

bool readIndexed(std::span<const uint8_t> bytes, int64_t maxPixels, bool paletteOnly,
                 PngPicture& picture, std::string* why) {
    ReadResult result;
    if (!readWith(bytes, picture, why, [&](MemoryReader& source, PngErrors& errors) {
            return readPng(source, maxPixels, paletteOnly, picture, result, errors);
        })) {
        return false;
    }
    if (result.colourType != PNG_COLOR_TYPE_PALETTE) {
        const char* kind = (result.colourType & PNG_COLOR_MASK_COLOR) != 0 ? "true-colour" : "grey";
        return failWith(why, std::string("a ") + kind +
                                 " PNG; save it as an indexed (palette, 8-bit or fewer bits) PNG");
    }
    if (result.tooLarge) return failWith(why, tooLargeText(result, maxPixels));
    picture.paletteEntries = result.entries;
    picture.transparentEntries = result.transparent;
    return true;
}

}  // namespace

bool readIndexedPng(std::span<const uint8_t> bytes, int64_t maxPixels, PngPicture& picture,
                    std::string* why) {
    return readIndexed(bytes, maxPixels, false, picture, why);
}

bool readPngPalette(std::span<const uint8_t> bytes, PngPicture& palette, std::string* why) {
    return readIndexed(bytes, 0, true, palette, why);
}

}  // namespace kiv
