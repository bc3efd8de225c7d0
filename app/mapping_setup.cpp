#include "app/mapping_setup.h"

#include <algorithm>
#include <array>

namespace kiv {

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
    if (isOption(name, kPaletteOption)) {
        if (value.empty()) return wrong("a palette source is needed");
        setup.palette = value;
    } else if (isOption(name, kMatchOption)) {
        if (!parseColourMetric(value, o.metric))
            return wrong("the metrics are oklab, rgb and ciede2000");
    } else if (isOption(name, kReserveOption)) {
        std::string reason;
        if (!parseIndexList(value, o.reserved, &reason)) return wrong(reason);
    } else if (isOption(name, kTransparentIndexOption)) {
        if (!smallNumber(value, 255, number)) return wrong("an entry 0 to 255 is needed");
        o.transparentIndex = number;
    } else if (isOption(name, kAlphaThresholdOption)) {
        if (!smallNumber(value, 256, number)) return wrong("a number 0 to 256 is needed");
        o.alphaThreshold = number;
    } else if (isOption(name, kColourKeyOption)) {
        Rgb key;
        if (!parseRgb(value, key)) return wrong("three numbers 0 to 255, as R,G,B, are needed");
        o.colourKey = key;
    } else if (isOption(name, kDitherOption)) {
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
