#include "picture/picture_file.h"

#include <algorithm>

#include "common/file_access.h"

namespace kiv {

namespace {

// The file's first bytes and its PCX trailer.
bool readPictureFile(const std::string& path, PictureFile& file, std::string& reason) {
    ReadableFile source;
    if (!source.open(path)) {
        reason = source.reason();
        return false;
    }
    source.readAllInto(file.bytes, kPictureFileReadLimit);
    file.size = source.size();
    file.trailer.assign(kPcxTrailerBytes, 0);
    if (file.size < static_cast<int64_t>(kPcxTrailerBytes) ||
        !source.readAt(file.size - static_cast<int64_t>(kPcxTrailerBytes), file.trailer.data(),
                       file.trailer.size())) {
        file.trailer.clear();
    }
    return true;
}

}  // namespace

bool loadPicture(const std::string& path, bool trueColour, int64_t pixelLimit, Picture& picture,
                 std::string& reason) {
    if (!readPictureFile(path, picture.file, reason)) return false;
    const std::vector<uint8_t>& bytes = picture.file.bytes;
    picture.png = hasPngSignature(bytes);
    picture.holds = PictureHolds::NotAPicture;
    picture.why.clear();
    picture.pngColourType = -1;
    picture.pcxProblem = readPcxInfo(picture.file.pcx(), picture.pcxInfo);
    picture.indexedPng = PngPicture{};
    if (picture.png) {
        PngPicture& png = picture.indexedPng;
        const bool indexed = readIndexedPng(bytes, pixelLimit, png, &picture.why);
        picture.pngColourType = png.colourType;
        if (indexed) {
            picture.holds = PictureHolds::Indexed;
            picture.width = picture.lineBytes = png.width;
            picture.height = png.height;
            picture.colours = png.colours;
            picture.alphas = png.alphas;
        } else if (png.colourType >= 0 && !isIndexedPngType(png.colourType) && trueColour) {
            picture.why.clear();
            picture.holds = readTrueColourPng(bytes, pixelLimit, picture.rgba, &picture.why)
                                ? PictureHolds::TrueColour
                                : PictureHolds::BadTrueColour;
        }
        return true;
    }
    if (picture.pcxProblem == PcxProblem::None) {
        picture.holds = PictureHolds::Indexed;
        picture.width = picture.pcxInfo.width;
        picture.height = picture.pcxInfo.height;
        picture.lineBytes = picture.pcxInfo.bytesPerLine;
        picture.colours = picture.pcxInfo.fileColours;
        picture.alphas.fill(255);
    }
    return true;
}

void Picture::pixels(uint8_t* out) const {
    if (png) {
        std::copy(indexedPng.pixels.begin(), indexedPng.pixels.end(), out);
    } else {
        decodePcxPixels(file.pcx(), pcxInfo, out);
    }
}

}  // namespace kiv
