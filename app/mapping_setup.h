// The options that map true-colour pictures onto a palette, as kiv, kivtool index and the window
// take them: --palette SOURCE and the rules of the mapping.
#pragma once

#include <array>
#include <string>

#include "common/command_line.h"
#include "grab/picture_mapping.h"

namespace kiv {

struct MappingSetup {
    std::string palette;  // SOURCE; empty: true-colour pictures are refused
    MappingOptions options;
};

// The options, each with its value and help line (all of them take a value), named for the
// code that reads them.
inline constexpr OptionEntry kPaletteOption{
    "--palette", "SOURCE",
    "map true-colour, grey and alpha PNG pictures onto this palette:\na 256-colour PCX or indexed "
    "PNG, an archive (its first palette\nitem, or ARCHIVE:ITEM), a JASC-PAL or GIMP .gpl file, "
    "or a raw\n768-byte .pal (8-bit, or 6-bit when no value is above 63)"};
inline constexpr OptionEntry kMatchOption{
    "--match", "METRIC", "oklab (default), rgb or ciede2000: exact nearest colours"};
inline constexpr OptionEntry kReserveOption{
    "--reserve", "LIST",
    "entries the nearest search never picks, e.g. 0,224-255; a pixel\nof exactly such an "
    "entry's colour keeps it"};
inline constexpr OptionEntry kTransparentIndexOption{
    "--transparent-index", "N", "the entry of transparent pixels (0); no other pixel gets it"};
inline constexpr OptionEntry kAlphaThresholdOption{
    "--alpha-threshold", "N",
    "alpha below N is transparent (128); without it, partly\ntransparent pixels are refused"};
inline constexpr OptionEntry kColourKeyOption{"--colour-key", "R,G,B",
                                              "pixels of this colour are transparent"};
inline constexpr OptionEntry kDitherOption{
    "--dither", "KIND",
    "none (default), ordered, floyd-steinberg, atkinson, sierra-lite,\npattern or blue-noise; "
    "pixels of exactly a palette colour are never\nmoved"};
inline constexpr std::array<OptionEntry, 7> kMappingOptions = {
    kPaletteOption,        kMatchOption,     kReserveOption, kTransparentIndexOption,
    kAlphaThresholdOption, kColourKeyOption, kDitherOption};
bool isMappingOption(const std::string& name);
// Takes one option and its value; false with the reason when the value is wrong.
bool takeMappingOption(const std::string& name, const std::string& value, MappingSetup& setup,
                       std::string* why);

// Reads the palette and makes the mapper; false with a one-line reason naming the file.
bool prepareMapper(const MappingSetup& setup, PictureMapper& mapper, std::string* why);

}  // namespace kiv
