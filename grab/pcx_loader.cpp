#include "grab/pcx_loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <vector>

#include "common/console.h"
#include "common/file_access.h"
#include "common/script_text.h"
#include "grab/commands.h"
#include "grab/picture_mapping.h"
#include "picture/pcx_decoder.h"
#include "picture/png_picture.h"

namespace kiv {
namespace {

// Under --palette, an indexed picture (PCX or PNG) is taken on the chosen palette's terms: when
// every entry it uses has that palette's colour (as the game sees it, in 6 bits) its indices
// stand, and pixels of a fully transparent entry take the transparent index; otherwise it is
// mapped by colour like a true-colour picture. False with the reason when the mapping refuses.
bool indexedOntoPalette(GrabContext& ctx, const char* path, int32_t w, int32_t h,
                        std::vector<uint8_t>& pixels, const std::array<uint8_t, 768>& colours,
                        const std::array<uint8_t, 256>& alphas, std::string& why) {
    PictureMapper& mapper = *ctx.trueColour;
    const PaletteSource& target = mapper.palette();
    std::bitset<256> used;
    for (uint8_t p : pixels) used.set(p);
    int differing = 0;
    bool partlyTransparent = false;
    for (size_t i = 0; i < 256; ++i) {
        if (!used.test(i)) continue;
        bool same = static_cast<int>(i) < target.entries;
        for (size_t k = 0; k < 3 && same; ++k) {
            same = (colours[3 * i + k] >> 2) == (target.colours[3 * i + k] >> 2);
        }
        differing += same ? 0 : 1;
        partlyTransparent = partlyTransparent || (alphas[i] != 0 && alphas[i] != 255);
    }
    if (differing == 0 && !partlyTransparent) {
        const auto transparent = static_cast<uint8_t>(mapper.options().transparentIndex);
        for (uint8_t& p : pixels) {
            if (alphas[p] == 0) p = transparent;
        }
        if (ctx.noteMappings) {
            diagnose(Severity::Note,
                     "%s keeps its indices: the %zu entries it uses have the colours of %s", path,
                     used.count(), target.name.c_str());
        }
        return true;
    }
    TrueColourPicture rgba{w, h, std::vector<uint8_t>(pixels.size() * 4), true};
    for (size_t i = 0; i < pixels.size(); ++i) {
        const size_t e = pixels[i];
        std::copy(colours.begin() + static_cast<ptrdiff_t>(3 * e),
                  colours.begin() + static_cast<ptrdiff_t>(3 * e + 3), rgba.rgba.begin() + 4 * i);
        rgba.rgba[4 * i + 3] = alphas[e];
    }
    MappingReport report;
    if (!mapper.map(rgba, pixels, ctx.noteMappings ? &report : nullptr, &why)) return false;
    if (ctx.noteMappings) {
        diagnose(Severity::Note,
                 "%s is indexed, but %d of the %zu entries it uses differ from %s: mapped by "
                 "colour: %s",
                 path, differing, used.count(), target.name.c_str(),
                 mappingSummary(report).c_str());
    }
    return true;
}

// Without --palette, index 0 is what sprites and fonts leave out: a PNG that marks another
// entry transparent would come out as a solid box.
void warnOtherTransparentEntry(const GrabContext& ctx, const char* path, const PngPicture& png) {
    std::bitset<256> used;
    for (uint8_t p : png.pixels) used.set(p);
    for (size_t i = 1; i < 256; ++i) {
        if (used.test(i) && png.alphas[i] == 0) {
            warn(Warning::TransparentEntry,
                 "LOADPCX %s: palette entry %zu is transparent in the file, but only index 0 is "
                 "left out of sprites and fonts, so its pixels are drawn; save the picture with "
                 "entry 0 as its transparent colour, or %s to map it",
                 path, i, ctx.choosePalette);
            return;
        }
    }
}

// What is said of a file that holds no picture LOADPCX takes.
void refused(const GrabContext& ctx, const char* path, const Picture& picture) {
    const std::vector<uint8_t>& bytes = picture.file.bytes;
    if (picture.png) {
        // Refused as the original refused every PNG; the diagnostic says what to do.
        outputError(picture.pcxProblem == PcxProblem::ShortHeader ? "Error Reading\n"
                                                                  : "Not a 256 Color PCX File\n");
        diagnose(Severity::Error, "LOADPCX %s: %s", path, picture.why.c_str());
        if (picture.pngColourType >= 0 && !isIndexedPngType(picture.pngColourType))
            diagnose(Severity::Note, "or %s to map it onto a palette at load", ctx.choosePalette);
        return;
    }
    const auto size = static_cast<long long>(picture.file.size);
    switch (picture.pcxProblem) {
        case PcxProblem::ShortHeader:
            outputError("Error Reading\n");
            diagnose(Severity::Error, "LOADPCX %s: %lld bytes, shorter than a PCX header", path,
                     size);
            break;
        case PcxProblem::NotPcx256:
            outputError("Not a 256 Color PCX File\n");
            diagnose(Severity::Error,
                     "LOADPCX %s: not a 256-colour PCX picture (it begins %u %u, not 10 5)", path,
                     bytes[0], bytes[1]);
            break;
        case PcxProblem::NoTrailer:
            outputErrorLine("Error Seeking to Palette");
            diagnose(Severity::Error,
                     "LOADPCX %s: %lld bytes, shorter than the 769-byte palette at a PCX "
                     "picture's end",
                     path, size);
            break;
        case PcxProblem::BadPalette:
            outputErrorLine("Error Reading Palette");
            diagnose(Severity::Error,
                     "LOADPCX %s: no 256-colour palette at its end (the byte before it is %u, "
                     "not 12)",
                     path, picture.file.trailer[0]);
            break;
        case PcxProblem::None:
            break;
    }
}

}  // namespace

bool loadPcx(GrabContext& ctx, const char* path, int32_t& width, int32_t& height) {
    PcxLoaderState& state = ctx.loader;
    bool loaded = false;
    // The old display goes first, so even a failed load leaves none behind.
    if (state.hasDisplayBitmap) {
        if (ctx.previewSink != nullptr) ctx.previewSink->releasePicture();
        state.hasDisplayBitmap = false;
    }
    // Named as an input even when it cannot be read: a build tool reruns the job once it can.
    if (path != nullptr) ctx.inputs.push_back(resolveScriptPath(path));
    Picture& picture = state.picture;
    std::string reason;
    if (path == nullptr || !loadPicture(resolveScriptPath(path), ctx.trueColour != nullptr,
                                        static_cast<int64_t>(kPictureBytes), picture, reason)) {
        outputError("Error Opening %s\n", path != nullptr ? path : "(no file name)");
        diagnose(Severity::Error, "LOADPCX %s: %s", path != nullptr ? path : "(no file name)",
                 path != nullptr ? reason.c_str() : "no file name given");
        // A name ends at the first blank: say so when the whole of the line's words name a file.
        std::string joined = path != nullptr ? path : "";
        for (size_t j = 1; path != nullptr && path == ctx.textArgs[0] && j < ctx.textArgs.size() &&
                           ctx.textArgs[j] != nullptr;
             ++j) {
            joined += std::string(" ") + ctx.textArgs[j];
            struct stat info {};
            if (stat(inJobFolder(resolveScriptPath(joined)).c_str(), &info) == 0 &&
                S_ISREG(info.st_mode)) {
                diagnose(Severity::Note,
                         "names in scripts end at the first blank or comma; '%s' is there: "
                         "rename it without blanks",
                         joined.c_str());
                break;
            }
        }
        // Pictures are read from the current folder, not the script's: say so when the
        // picture is beside the script.
        const size_t slash = ctx.scriptPath.rfind('/');
        if (path != nullptr && path[0] != '/' && slash != std::string::npos && slash > 0) {
            const std::string folder = ctx.scriptPath.substr(0, slash);
            struct stat info {};
            if (stat(inJobFolder(folder + "/" + path).c_str(), &info) == 0 &&
                S_ISREG(info.st_mode)) {
                diagnose(Severity::Note,
                         "pictures are read from the current folder, not the script's; %s/%s "
                         "is there: run kiv -C %s",
                         folder.c_str(), path, folder.c_str());
            }
        }
    } else {
        // A picture that passed its checks: its display, its pixels and its palette.
        auto accept = [&](int32_t w, int32_t h, int32_t lineBytes,
                          const std::array<uint8_t, 768>& colours, auto decode) {
            const int64_t pixels = static_cast<int64_t>(w) * h;
            if (w <= 0 || h <= 0 || lineBytes <= 0 ||
                pixels > static_cast<int64_t>(kPictureBytes)) {
                diagnose(Severity::Error,
                         "LOADPCX %s: a picture of %d x %d pixels with %d bytes per line is "
                         "not loaded: each must be at least 1 and the picture at most %zu "
                         "pixels",
                         path, w, h, lineBytes, kPictureBytes);
                return;
            }
            if (ctx.previewSink != nullptr &&
                !ctx.previewSink->beginPicture(w, h, colours.data())) {
                diagnose(Severity::Error,
                         "LOADPCX %s: the %d x %d display bitmap cannot be created", path, w, h);
                return;
            }
            state.hasDisplayBitmap = ctx.previewSink != nullptr;
            state.pictureWidth = w;
            state.pictureHeight = h;
            state.bytesPerLine = lineBytes;
            if (ctx.picture.size() >= static_cast<size_t>(pixels)) decode(ctx.picture.data());
            // The palette in the 6-bit form every grab command reads.
            for (size_t i = 0; i < kPaletteBytes; ++i) {
                ctx.palette[i] = static_cast<uint8_t>(colours[i] >> 2);
            }
            loaded = true;
        };
        // Under --palette an indexed picture keeps its indices or is mapped by colour; the
        // palette is then the chosen one, as for true-colour pictures.
        auto ontoPalette = [&](int32_t w, int32_t h, int32_t lineBytes,
                               const std::array<uint8_t, 768>& colours,
                               const std::array<uint8_t, 256>& alphas, auto decode) {
            const int64_t pixels = static_cast<int64_t>(w) * h;
            if (w <= 0 || h <= 0 || lineBytes <= 0 ||
                pixels > static_cast<int64_t>(kPictureBytes)) {
                accept(w, h, lineBytes, colours, decode);  // refused there, with the reason
                return;
            }
            std::vector<uint8_t> indices(static_cast<size_t>(pixels));
            decode(indices.data());
            std::string why;
            if (!indexedOntoPalette(ctx, path, w, h, indices, colours, alphas, why)) {
                outputError("Not a 256 Color PCX File\n");
                diagnose(Severity::Error, "LOADPCX %s: %s", path, why.c_str());
                return;
            }
            accept(w, h, lineBytes, ctx.trueColour->palette().colours,
                   [&](uint8_t* out) { std::copy(indices.begin(), indices.end(), out); });
        };
        auto decode = [&](uint8_t* out) { picture.pixels(out); };
        switch (picture.holds) {
            case PictureHolds::Indexed:
                // An indexed PNG's palette plays the part of the PCX trailer, its pixel values
                // are the palette indices.
                if (ctx.trueColour != nullptr) {
                    ontoPalette(picture.width, picture.height, picture.lineBytes, picture.colours,
                                picture.alphas, decode);
                } else {
                    if (picture.png) warnOtherTransparentEntry(ctx, path, picture.indexedPng);
                    accept(picture.width, picture.height, picture.lineBytes, picture.colours,
                           decode);
                }
                break;
            case PictureHolds::TrueColour: {
                // A true-colour picture mapped onto the chosen palette, which becomes its palette.
                PictureMapper& mapper = *ctx.trueColour;
                std::vector<uint8_t> indices;
                MappingReport report;
                std::string why;
                if (!mapper.map(picture.rgba, indices, ctx.noteMappings ? &report : nullptr,
                                &why)) {
                    outputError("Not a 256 Color PCX File\n");
                    diagnose(Severity::Error, "LOADPCX %s: %s", path, why.c_str());
                    break;
                }
                accept(picture.rgba.width, picture.rgba.height, picture.rgba.width,
                       mapper.palette().colours,
                       [&](uint8_t* out) { std::copy(indices.begin(), indices.end(), out); });
                if (loaded && ctx.noteMappings) {
                    diagnose(Severity::Note, "%s mapped onto %s: %s", path,
                             mapper.palette().name.c_str(), mappingSummary(report).c_str());
                }
                break;
            }
            case PictureHolds::BadTrueColour:
                outputError("Not a 256 Color PCX File\n");
                diagnose(Severity::Error, "LOADPCX %s: %s", path, picture.why.c_str());
                break;
            case PictureHolds::NotAPicture:
                refused(ctx, path, picture);
                break;
        }
    }
    width = state.pictureWidth;
    height = state.pictureHeight;
    return loaded;
}

// LOADPCX filename
// Makes the file the picture of the following commands. Writes nothing, so makes no item.
void grabLoadPcx(GrabContext& ctx) {
    int32_t width = 0, height = 0;
    const bool loaded = loadPcx(ctx, ctx.textArgs[0], width, height);
    ctx.width = width;
    ctx.height = height;
    if (!loaded && ctx.pictureLoaded) {
        warn(Warning::EarlierPicture,
             "the commands after this line use the earlier picture (%d x %d)", width, height);
    } else if (!loaded) {
        diagnose(Severity::Note,
                 "the commands up to the next LOADPCX that need a picture are skipped");
    }
    ctx.skippingToPicture = !loaded && !ctx.pictureLoaded;
    if (loaded && !ctx.picture.empty()) {
        const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::memcpy(ctx.preview.data(), ctx.picture.data(), n);
        ctx.pictureLoaded = true;
        markPreviewBytes(ctx, 0, static_cast<int64_t>(n));
    }
    refreshPreview(ctx);
}

}  // namespace kiv
