#include "grab/palette_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <sstream>
#include <vector>

#include "archive/archive_reader.h"
#include "common/console.h"
#include "common/file_access.h"
#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "picture/pcx_decoder.h"
#include "picture/png_picture.h"

namespace kiv {
namespace {

inline constexpr int64_t kPaletteFileLimit = 64 * 1024 * 1024;

bool isFile(const std::string& path) {
    struct stat info {};
    return stat(inJobFolder(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool startsWith(std::span<const uint8_t> bytes, const char* text) {
    const size_t n = std::strlen(text);
    return bytes.size() >= n && std::memcmp(bytes.data(), text, n) == 0;
}

// The lines of a text palette, one at a time and numbered from 1, read in place: a file of
// millions of empty lines costs no memory. A "\r" before the line's end is dropped.
class TextLines {
  public:
    explicit TextLines(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    // False at the end of the text.
    bool next(std::string& line) {
        if (at_ >= bytes_.size()) return false;
        const uint8_t* start = bytes_.data() + at_;
        const auto* end =
            static_cast<const uint8_t*>(std::memchr(start, '\n', bytes_.size() - at_));
        const size_t length =
            end != nullptr ? static_cast<size_t>(end - start) : bytes_.size() - at_;
        at_ += length + 1;
        line.assign(reinterpret_cast<const char*>(start), length);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ++number_;
        return true;
    }
    size_t number() const { return number_; }  // of the line last read

  private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
    size_t number_ = 0;
};

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
    std::string setIndex = {};  // FILE:N of a set of raw palettes
    bool fail(const std::string& text) {
        if (why != nullptr) *why = source.name + ": " + text;
        return false;
    }
    bool lineFail(size_t line, const std::string& text) {
        return fail("line " + std::to_string(line + 1) + ": " + text);
    }

    bool lineFail(const TextLines& lines, const std::string& text) {
        return fail("line " + std::to_string(lines.number()) + ": " + text);
    }

    bool jasc(TextLines lines) {
        std::string line;
        lines.next(line);  // JASC-PAL
        if (!lines.next(line) || line != "0100") {
            return fail("line 2: a JASC-PAL file has 0100 here");
        }
        int count = 0;
        if (!lines.next(line)) return fail("line 3: the number of colours is missing");
        std::istringstream in(line);
        if (!(in >> count) || count < 1 || count > 256) {
            return lineFail(lines, "the number of colours must be 1 to 256");
        }
        for (int i = 0; i < count; ++i) {
            if (!lines.next(line)) {
                return fail("the file ends after " + std::to_string(i) + " of " +
                            std::to_string(count) + " colours");
            }
            if (!readTriple(line, &source.colours[3 * static_cast<size_t>(i)], false)) {
                return lineFail(lines, "not three numbers 0 to 255");
            }
        }
        source.entries = count;
        source.form = "a JASC-PAL palette of " + std::to_string(count) + " colours";
        return true;
    }

    bool gimp(TextLines lines) {
        int count = 0;
        std::string line;
        lines.next(line);  // GIMP Palette
        while (lines.next(line)) {
            const size_t text = line.find_first_not_of(" \t");
            if (text == std::string::npos || line[text] == '#' || line.rfind("Name:", 0) == 0 ||
                line.rfind("Columns:", 0) == 0) {
                continue;
            }
            if (count == 256) return lineFail(lines, "more than 256 colours");
            if (!readTriple(line, &source.colours[3 * static_cast<size_t>(count)], true)) {
                return lineFail(lines, "not three numbers 0 to 255");
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
            // The palette alone: the pixels are never decoded, whatever size the file declares.
            PngPicture png;
            std::string reason;
            if (!readPngPalette(data, png, &reason)) {
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
        if (startsWith(data, "JASC-PAL")) return jasc(TextLines(data));
        if (startsWith(data, "GIMP Palette")) return gimp(TextLines(data));
        if (!data.empty() && data.size() % 768 == 0) return raw(data);
        return fail("not a palette: " + std::to_string(data.size()) +
                    " bytes that are no 256-colour PCX, indexed PNG, archive, JASC-PAL, GIMP "
                    "palette or raw palette (768 bytes, or a set of palettes of 768 each)");
    }

    // A raw palette, or a set of them one after another (a game's palettes for damage,
    // pickups and so on): the first unless the name asked for another.
    bool raw(std::span<const uint8_t> data) {
        const size_t palettes = data.size() / 768;
        size_t chosen = 0;
        if (!setIndex.empty()) {
            const bool digits =
                setIndex.size() <= 6 && std::all_of(setIndex.begin(), setIndex.end(),
                                                    [](char c) { return c >= '0' && c <= '9'; });
            chosen = digits ? std::stoul(setIndex) : palettes;
            if (chosen >= palettes) {
                return fail("a set of " + std::to_string(palettes) +
                            (palettes == 1 ? " palette" : " palettes") + " has no palette " +
                            setIndex + " (they are numbered from 0)");
            }
        }
        const std::span<const uint8_t> one = data.subspan(chosen * 768, 768);
        const bool sixBit = std::all_of(one.begin(), one.end(), [](uint8_t v) { return v <= 63; });
        if (sixBit) {
            source.colours = displayColours(one);
            source.form = "a raw palette of 6-bit values (none above 63), read as 6-bit";
        } else {
            std::copy(one.begin(), one.end(), source.colours.begin());
            source.form = "a raw palette of 8-bit values";
        }
        if (palettes > 1) {
            source.form = "palette " + std::to_string(chosen) + " of a set of " +
                          std::to_string(palettes) + ", " + source.form.substr(2);
        }
        source.entries = 256;
        return true;
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
    if (file.size() > kPaletteFileLimit) return reader.fail("larger than 64 MiB");
    if (!item.empty()) {
        if (file.size() == 0 || file.size() % 768 != 0) {
            return reader.fail("neither an archive nor a set of raw palettes, so it has no " +
                               item);
        }
        reader.setIndex = item;
    }
    const std::vector<uint8_t> data = file.readAll(kPaletteFileLimit);
    return reader.bytes(data);
}

}  // namespace kiv
