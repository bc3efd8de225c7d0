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

// The options, each with its value and help line (all of them take a value).
extern const std::array<OptionEntry, 7> kMappingOptions;
bool isMappingOption(const std::string& name);
// Takes one option and its value; false with the reason when the value is wrong.
bool takeMappingOption(const std::string& name, const std::string& value, MappingSetup& setup,
                       std::string* why);

// Reads the palette and makes the mapper; false with a one-line reason naming the file.
bool prepareMapper(const MappingSetup& setup, PictureMapper& mapper, std::string* why);

}  // namespace kiv
