// A picture file as LOADPCX reads it, whatever its format: its first bytes (up to a limit) and,
// from the file's real end, the bytes where a PCX keeps its palette.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture/pcx_decoder.h"

namespace kiv {

// Picture files are read up to this size; the palette always comes from the file's real end.
inline constexpr int64_t kPictureFileReadLimit = 64 * 1024 * 1024;

struct PictureFile {
    std::vector<uint8_t> bytes;    // the first kPictureFileReadLimit bytes at most
    int64_t size = 0;              // the whole file's size
    std::vector<uint8_t> trailer;  // its last kPcxTrailerBytes, when it has that many
    // The file as the PCX reader takes it (valid while this lives).
    PcxFile pcx() const { return {bytes, size, trailer}; }
};

// Opens path (a regular file; a folder, a FIFO or a device is refused) and reads it into file,
// reusing its buffers. False with the reason when it cannot be read.
bool loadPicture(const std::string& path, PictureFile& file, std::string& reason);

}  // namespace kiv
