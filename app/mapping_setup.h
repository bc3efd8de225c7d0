// The options that map true-colour pictures onto a palette, as kiv, kivtool index and the window
// take them: --palette SOURCE and the rules of the mapping.
#pragma once

#include <string>

#include "grab/picture_mapping.h"

namespace kiv {

struct MappingSetup {
    std::string palette;  // SOURCE; empty: true-colour pictures are refused
    MappingOptions options;
};

// The option names that take a value (all of them do).
bool isMappingOption(const std::string& name);
// Takes one option and its value; false with the reason when the value is wrong.
bool takeMappingOption(const std::string& name, const std::string& value, MappingSetup& setup,
                       std::string* why);
// The help lines of the options.
extern const char* const kMappingOptionsHelp;

// Reads the palette and makes the mapper; false with a one-line reason naming the file.
bool prepareMapper(const MappingSetup& setup, PictureMapper& mapper, std::string* why);

}  // namespace kiv
