// The palette that true-colour pictures are mapped onto, read from whatever holds one: a
// 256-colour PCX, an indexed PNG, an archive's palette item (ARCHIVE or ARCHIVE:ITEM), a JASC-PAL
// or GIMP palette, or a raw 768-byte palette of 8-bit or 6-bit values.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kiv {

struct PaletteSource {
    std::string name;                    // as given
    std::string file;                    // the file read
    std::array<uint8_t, 768> colours{};  // 8-bit components, red first
    int entries = 0;                     // colours the source has; the rest are unused
    std::string form;                    // what was read, for messages
};

// False with a one-line reason (the file's line where a text palette is at fault).
bool loadPaletteSource(const std::string& given, PaletteSource& source, std::string* why);
// The same for the bytes of a file that is no archive; name is for messages.
bool readPaletteBytes(const std::string& name, std::span<const uint8_t> bytes,
                      PaletteSource& source, std::string* why);

}  // namespace kiv
