#include "grab/palette_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <sstream>
#include <vector>

#include "archive/archive_reader.h"
#include "common/file_access.h"
#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "grab/pcx_decoder.h"
#include "grab/png_picture.h"

namespace kiv {
namespace {

inline constexpr int64_t kPaletteFileLimit = 64 * 1024 * 1024;

bool isFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool startsWith(std::span<const uint8_t> bytes, const char* text) {
    const size_t n = std::strlen(text);
    return bytes.size() >= n && std::memcmp(bytes.data(), text, n) == 0;
}

// The lines of a text palette, numbered from 1; a "\r" before the line's end is dropped.
std::vector<std::string> textLines(std::span<const uint8_t> bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : bytes) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// "R G B" at the start of a line, each 0 to 255; anything after the third number is a name.
bool readTriple(const std::string& line, uint8_t out[3], bool restAllowed) {
    std::istringstream in(line);
    for (int k = 0; k < 3; ++k) {
        long v = -1;
        if (!(in >> v) || v < 0 || v > 255) return false;
        out[k] = static_cast<uint8_t>(v);
    }
    std::string rest;
    return restAllowed || !(in >> rest);
}

struct Reader {
    PaletteSource& source;
    std::string* why;
    bool fail(const std::string& text) {
        if (why != nullptr) *why = source.name + ": " + text;
        return false;
    }
    bool lineFail(size_t line, const std::string& text) {
        return fail("line " + std::to_string(line + 1) + ": " + text);
    }

    bool jasc(const std::vector<std::string>& lines) {
        if (lines.size() < 3 || lines[1] != "0100")
            return lineFail(1, "a JASC-PAL file has 0100 here");
        int count = 0;
        std::istringstream in(lines[2]);
        if (!(in >> count) || count < 1 || count > 256) {
            return lineFail(2, "the number of colours must be 1 to 256");
        }
        if (lines.size() < static_cast<size_t>(3 + count)) {
            return fail("the file ends after " + std::to_string(lines.size() - 3) + " of " +
                        std::to_string(count) + " colours");
        }
        for (int i = 0; i < count; ++i) {
            if (!readTriple(lines[static_cast<size_t>(3 + i)],
                            &source.colours[3 * static_cast<size_t>(i)], false)) {
                return lineFail(static_cast<size_t>(3 + i), "not three numbers 0 to 255");
            }
        }
        source.entries = count;
        source.form = "a JASC-PAL palette of " + std::to_string(count) + " colours";
        return true;
    }

    bool gimp(const std::vector<std::string>& lines) {
        int count = 0;
        for (size_t n = 1; n < lines.size(); ++n) {
            const std::string& line = lines[n];
            const size_t text = line.find_first_not_of(" \t");
            if (text == std::string::npos || line[text] == '#' || line.rfind("Name:", 0) == 0 ||
                line.rfind("Columns:", 0) == 0) {
                continue;
            }
            if (count == 256) return lineFail(n, "more than 256 colours");
            if (!readTriple(line, &source.colours[3 * static_cast<size_t>(count)], true)) {
                return lineFail(n, "not three numbers 0 to 255");
            }
            ++count;
        }
        if (count == 0) return fail("a GIMP palette without colours");
        source.entries = count;
        source.form = "a GIMP palette of " + std::to_string(count) + " colours";
        return true;
    }

    bool archive(const ReadableFile& file, const std::string& item) {
        const ArchiveDirectory dir = readArchiveDirectory(file, kMergeRules);
        for (const ArchiveProblem& problem : dir.problems) {
            if (problem.entry < 0) return fail(problem.text);
        }
        for (size_t i = 0; i < dir.entries.size(); ++i) {
            const ArchiveEntry& e = dir.entries[i];
            const std::string name = entryName(e);
            if (!item.empty() && name != item) continue;
            std::vector<uint8_t> bytes;
            if (e.length == static_cast<int32_t>(kPaletteItemBytes)) {
                bytes.resize(kPaletteItemBytes);
                if (!file.readAt(e.offset, bytes.data(), bytes.size())) bytes.clear();
            }
            if (isPaletteItem(bytes)) {
                source.colours = displayColours(bytes);
                source.entries = 256;
                source.form = "palette item " + printableName(name) + " (entry " +
                              std::to_string(i + 1) + ")";
                return true;
            }
            if (!item.empty()) {
                return fail("entry " + std::to_string(i + 1) + " (" + printableName(name) +
                            ") is not a palette item (768 bytes of values up to 63)");
            }
        }
        return fail(item.empty() ? "the archive holds no palette item"
                                 : "the archive has no entry named " + printableName(item));
    }

    bool bytes(std::span<const uint8_t> data) {
        if (hasPngSignature(data)) {
            PngPicture png;
            std::string reason;
            if (!readIndexedPng(data, int64_t{1} << 40, png, &reason)) {
                return fail(isIndexedPngType(png.colourType) || png.colourType < 0
                                ? reason
                                : "a PNG without a palette (only an indexed PNG has one)");
            }
            source.colours = png.colours;
            source.entries = std::max(1, std::min(png.paletteEntries, 256));
            source.form = "an indexed PNG of " + std::to_string(source.entries) + " colours";
            return true;
        }
        if (data.size() >= kPcxHeaderBytes && data[0] == 10 && data[1] == 5) {
            if (data.size() < kPcxTrailerBytes || data[data.size() - kPcxTrailerBytes] != 12) {
                return fail("a PCX picture without a 256-colour palette at its end");
            }
            std::copy(data.end() - 768, data.end(), source.colours.begin());
            source.entries = 256;
            source.form = "a 256-colour PCX";
            return true;
        }
        if (startsWith(data, "JASC-PAL")) return jasc(textLines(data));
        if (startsWith(data, "GIMP Palette")) return gimp(textLines(data));
        if (data.size() == 768) {
            const bool sixBit =
                std::all_of(data.begin(), data.end(), [](uint8_t v) { return v <= 63; });
            if (sixBit) {
                source.colours = displayColours(data);
                source.form = "a raw palette of 6-bit values (none above 63), read as 6-bit";
            } else {
                std::copy(data.begin(), data.end(), source.colours.begin());
                source.form = "a raw palette of 8-bit values";
            }
            source.entries = 256;
            return true;
        }
        return fail("not a palette: " + std::to_string(data.size()) +
                    " bytes that are no 256-colour PCX, indexed PNG, archive, JASC-PAL, GIMP "
                    "palette or raw 768-byte palette");
    }
};

}  // namespace

bool readPaletteBytes(const std::string& name, std::span<const uint8_t> bytes,
                      PaletteSource& source, std::string* why) {
    source = PaletteSource{};
    source.name = name;
    source.file = name;
    Reader reader{source, why};
    return reader.bytes(bytes);
}

bool loadPaletteSource(const std::string& given, PaletteSource& source, std::string* why) {
    source = PaletteSource{};
    source.name = given;
    Reader reader{source, why};
    // ARCHIVE:ITEM when the whole is no file and the part before the last ':' is one.
    std::string path = given, item;
    const size_t colon = given.rfind(':');
    if (!isFile(given) && colon != std::string::npos && colon > 0 &&
        isFile(given.substr(0, colon))) {
        path = given.substr(0, colon);
        item = given.substr(colon + 1);
    }
    source.file = path;
    ReadableFile file;
    if (!file.open(path)) return reader.fail(file.reason());
    uint8_t magic[6] = {};
    const bool archive =
        file.readAt(0, magic, sizeof magic) && std::memcmp(magic, "KIV2.0", 6) == 0;
    if (archive) return reader.archive(file, item);
    if (!item.empty()) return reader.fail("not an archive, so it has no entry " + item);
    if (file.size() > kPaletteFileLimit) return reader.fail("larger than 64 MiB");
    const std::vector<uint8_t> data = file.readAll(kPaletteFileLimit);
    return reader.bytes(data);
}

}  // namespace kiv
