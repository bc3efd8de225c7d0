#include "app/mapping_setup.h"

#include <algorithm>
#include <array>

namespace kiv {

const std::array<OptionEntry, 7> kMappingOptions = {{
    {"--palette", "SOURCE",
     "map true-colour, grey and alpha PNG pictures onto this palette:\na 256-colour PCX or indexed "
     "PNG, an archive (its first palette\nitem, or ARCHIVE:ITEM), a JASC-PAL or GIMP .gpl file, "
     "or a raw\n768-byte .pal (8-bit, or 6-bit when no value is above 63)"},
    {"--match", "METRIC", "oklab (default), rgb or ciede2000: exact nearest colours"},
    {"--reserve", "LIST",
     "entries the nearest search never picks, e.g. 0,224-255; a pixel\nof exactly such an "
     "entry's colour keeps it"},
    {"--transparent-index", "N", "the entry of transparent pixels (0); no other pixel gets it"},
    {"--alpha-threshold", "N",
     "alpha below N is transparent (128); without it, partly\ntransparent pixels are refused"},
    {"--colour-key", "R,G,B", "pixels of this colour are transparent"},
    {"--dither", "KIND",
     "none (default), ordered, floyd-steinberg, atkinson, sierra-lite,\npattern or blue-noise; "
     "pixels of exactly a palette colour are never\nmoved"},
}};

namespace {

bool smallNumber(const std::string& text, int high, int& value) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::stoi(text);
    return value <= high;
}

}  // namespace

bool isMappingOption(const std::string& name) {
    return std::any_of(kMappingOptions.begin(), kMappingOptions.end(),
                       [&](const OptionEntry& option) { return name == option.names; });
}

bool takeMappingOption(const std::string& name, const std::string& value, MappingSetup& setup,
                       std::string* why) {
    auto wrong = [&](const std::string& text) {
        if (why != nullptr) *why = name + " " + value + ": " + text;
        return false;
    };
    MappingOptions& o = setup.options;
    int number = 0;
    if (name == "--palette") {
        if (value.empty()) return wrong("a palette source is needed");
        setup.palette = value;
    } else if (name == "--match") {
        if (!parseColourMetric(value, o.metric))
            return wrong("the metrics are oklab, rgb and ciede2000");
    } else if (name == "--reserve") {
        std::string reason;
        if (!parseIndexList(value, o.reserved, &reason)) return wrong(reason);
    } else if (name == "--transparent-index") {
        if (!smallNumber(value, 255, number)) return wrong("an entry 0 to 255 is needed");
        o.transparentIndex = number;
    } else if (name == "--alpha-threshold") {
        if (!smallNumber(value, 256, number)) return wrong("a number 0 to 256 is needed");
        o.alphaThreshold = number;
    } else if (name == "--colour-key") {
        Rgb key;
        if (!parseRgb(value, key)) return wrong("three numbers 0 to 255, as R,G,B, are needed");
        o.colourKey = key;
    } else if (name == "--dither") {
        if (!parseDither(value, o.dither))
            return wrong(
                "the kinds are none, ordered, floyd-steinberg, atkinson, sierra-lite, pattern and "
                "blue-noise");
    } else {
        return wrong("not an option of the mapping");
    }
    return true;
}

bool prepareMapper(const MappingSetup& setup, PictureMapper& mapper, std::string* why) {
    PaletteSource source;
    if (!loadPaletteSource(setup.palette, source, why)) return false;
    return mapper.setUp(source, setup.options, why);
}

}  // namespace kiv
