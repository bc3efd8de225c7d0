#include "app/unpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/archive_items.h"
#include "app/jobs.h"
#include "app/tool_status.h"
#include "app/unpack_parts.h"
#include "archive/archive_writer.h"
#include "common/byte_order.h"
#include "common/console.h"
#include "common/file_output.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"
#include "grab/interpreter.h"
#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "picture/png_picture.h"

namespace kiv {
namespace {

int32_t up8(int32_t v) {
    return (v + 7) / 8 * 8;
}

// While a scratch grab run works in the project folder: a session of its own, whose folder is
// the project's and whose messages go nowhere; the process's folder and channels are never
// touched.
class ScratchRunScope {
  public:
    explicit ScratchRunScope(const std::string& folder) : scope_(session_) {
        session_.console = session_.output = session_.diagnostics = {};
        session_.folder = folder;
    }

  private:
    JobSession session_;
    SessionScope scope_;
};

// A scratch grab run: the production interpreter on pictures this unpack wrote.
class GrabCheck {
  public:
    GrabCheck() {
        ctx_.itemBuffer.assign(kItemBufferBytes, 0);
        ctx_.picture.assign(kPictureBytes, 0);
        ctx_.preview.assign(kPictureBytes, 0);
    }
    // Runs the lines (in the project folder) and says whether the last one wrote these bytes.
    bool makes(const std::string& folder, const std::string& lines,
               std::span<const uint8_t> expected) {
        ScratchRunScope scope(folder);
        ctx_.pictureLoaded = false;
        size_t at = 0;
        try {
            while (at < lines.size()) {
                const size_t end = lines.find('\n', at);
                std::string line = lines.substr(at, end - at);
                at = end + 1;
                char buffer[kScriptLineBytes] = {};
                std::strncpy(buffer, line.c_str(), kScriptLineChars);
                ctx_.cursor = 0;
                runGrabLine(ctx_, buffer);
            }
        } catch (const JobExit&) {
            return false;
        }
        return ctx_.cursor == expected.size() &&
               std::equal(expected.begin(), expected.end(), ctx_.itemBuffer.begin());
    }

  private:
    GrabContext ctx_;
};

class Unpacker {
  public:
    Unpacker(const ArchiveView& archive, std::string folder)
        : archive_(archive), folder_(std::move(folder)) {}

    // Writes the project; force: into a folder that already holds files.
    int run(bool force);

  private:
    std::string picture(const std::string& base, const IndexedImage& image);
    std::string palettePicture(std::span<const uint8_t> palette);
    bool tryGrab(size_t i, const std::vector<uint8_t>& bytes, EntryPlan& piece);
    std::string itemFile(size_t i, const std::vector<uint8_t>& bytes);

    const ArchiveView& archive_;
    std::string folder_;
    std::array<uint8_t, 768> colours_{};          // the pictures' display colours
    std::vector<std::vector<uint8_t>> palettes_;  // the archive's palette items
    std::vector<std::string> palettePictures_;
    NameSet usedPictures_;  // file names given out in pictures/
    NameSet usedItems_;     // and in items/
    GrabCheck check_;
    ProjectFiles files_{folder_};

  public:
    std::vector<std::string> jobs;  // the scripts that rebuild the archive, in order
};

std::string Unpacker::picture(const std::string& base, const IndexedImage& image) {
    const std::string name = "pictures/" + base + ".png";
    std::vector<uint8_t> png;
    std::string why;
    if (!encodeIndexedPng(image, colours_, png, &why)) {
        std::fprintf(stderr, "kivtool: %s: %s\n", name.c_str(), why.c_str());
        files_.failed();
    }
    files_.bytes(name, png);
    return name;
}

// A 16 × 16 swatch whose file colours, shifted right by 2 as LOADPCX does, are the palette.
std::string Unpacker::palettePicture(std::span<const uint8_t> palette) {
    for (size_t k = 0; k < palettes_.size(); ++k) {
        if (std::equal(palette.begin(), palette.end(), palettes_[k].begin())) {
            return palettePictures_[k];
        }
    }
    IndexedImage swatch;
    swatch.width = swatch.height = 16;
    swatch.pixels.resize(256);
    for (int i = 0; i < 256; ++i) swatch.pixels[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    const std::string name = "pictures/palette-" + std::to_string(palettes_.size() + 1) + ".png";
    std::vector<uint8_t> png;
    std::string why;
    if (!encodeIndexedPng(swatch, displayColours(palette), png, &why)) {
        std::fprintf(stderr, "kivtool: %s: %s\n", name.c_str(), why.c_str());
        files_.failed();
    }
    files_.bytes(name, png);
    palettes_.emplace_back(palette.begin(), palette.end());
    palettePictures_.push_back(name);
    return name;
}

std::string Unpacker::itemFile(size_t i, const std::vector<uint8_t>& bytes) {
    const std::string name = "items/" + safeFileName(archive_.name(i), i, usedItems_) + ".bin";
    files_.bytes(name, bytes);
    return name;
}

// The sheet of a font in FONT's conventions: markers in column 0 at row 0 and below the glyph
// height, glyphs from column 1 one blank column apart in bands one row apart, spacers (254)
// in the columns of a glyph that are empty, so that each cell keeps its width.
IndexedImage glyphSheet(const FontImage& font) {
    const int32_t h = font.height;
    const int32_t kMostWidth = 1024;
    std::vector<std::pair<int32_t, int32_t>> place;  // column and band of each glyph
    int32_t c = 1, band = 0, widest = 1;
    for (int k = font.firstCode; font.glyphs > 0 && k <= font.lastCode; ++k) {
        const int32_t w = font.glyph[static_cast<size_t>(k)].width;
        if (c + w > kMostWidth) {
            c = 1;
            ++band;
        }
        place.emplace_back(c, band);
        c += w + 1;
        widest = std::max(widest, c);
    }
    IndexedImage sheet;
    sheet.width = widest;
    sheet.height = (band + 1) * (h + 1) + 1;
    sheet.pixels.assign(static_cast<size_t>(sheet.width) * sheet.height, 0);
    sheet.transparentZero = true;
    auto at = [&](int32_t x, int32_t y) -> uint8_t& {
        return sheet.pixels[static_cast<size_t>(y) * sheet.width + x];
    };
    at(0, 0) = 255;
    at(0, h + 1) = 255;
    for (int k = font.firstCode; font.glyphs > 0 && k <= font.lastCode; ++k) {
        const SpriteImage& glyph = font.glyph[static_cast<size_t>(k)];
        const auto [x0, b] = place[static_cast<size_t>(k - font.firstCode)];
        const int32_t y0 = 1 + b * (h + 1);
        for (int32_t x = 0; x < glyph.width; ++x) {
            bool ink = false;
            for (int32_t y = 0; y < h; ++y) {
                const uint8_t v = glyph.pixels[static_cast<size_t>(y) * glyph.width + x];
                at(x0 + x, y0 + y) = v;
                ink = ink || v != 0;
            }
            if (!ink) at(x0 + x, y0) = 254;
        }
    }
    return sheet;
}

bool Unpacker::tryGrab(size_t i, const std::vector<uint8_t>& bytes, EntryPlan& piece) {
    const ArchiveEntry& entry = archive_.entry(i);
    const std::string name = entryName(entry);
    const ItemInfo info = recogniseItem(name, bytes);
    const std::string base = safeFileName(name, i, usedPictures_);
    std::string lines;
    std::string why;
    auto units = [](int32_t v) { return std::to_string(v / 8); };
    switch (info.kind) {
        case ItemKind::Sprite: {
            const SpriteImage sprite = *readPackedSprite(bytes, nullptr);
            IndexedImage image;
            image.transparentZero = true;
            int32_t w = sprite.width, h = sprite.height;
            if (sprite.cropped) {
                w = up8(w);
                h = up8(std::max(h, 1));
            } else if (w % 8 != 0 || h % 8 != 0) {
                why = "a sprite whose size is not a multiple of 8 pixels";
                break;
            }
            if (sprite.cropped && sprite.height == 0 && sprite.width % 8 != 0) {
                why = "an empty cropped sprite whose width is not a multiple of 8 pixels";
                break;
            }
            image.width = w;
            image.height = h;
            image.pixels.assign(static_cast<size_t>(w) * h, 0);
            for (int32_t y = 0; y < sprite.height; ++y) {
                std::copy_n(sprite.pixels.begin() + static_cast<ptrdiff_t>(y) * sprite.width,
                            sprite.width, image.pixels.begin() + static_cast<ptrdiff_t>(y) * w);
            }
            lines = "LOADPCX " + picture(base, image) + "\n" +
                    (sprite.cropped ? "PACKEDC " : "PACKED ") + name + " 0 0 " + units(w) + " " +
                    units(h) + "\n";
            break;
        }
        case ItemKind::Texture: {
            const TextureImage texture = *readTexture(bytes, nullptr);
            if (texture.width % 8 != 0 || texture.height % 8 != 0) {
                why = "a texture whose size is not a multiple of 8 pixels";
                break;
            }
            IndexedImage image;
            const bool pixels = texture.width > 0 && texture.height > 0;
            image.width = pixels ? texture.width : 8;
            image.height = pixels ? texture.height : 8;
            image.pixels = pixels ? texture.pixels : std::vector<uint8_t>(64, 0);
            lines = "LOADPCX " + picture(base, image) + "\nTEXTURE " + name + " 0 0 " +
                    units(texture.width) + " " + units(texture.height) + "\n";
            break;
        }
        case ItemKind::Font: {
            const FontImage font = *readFont(bytes, nullptr);
            const IndexedImage sheet = glyphSheet(font);
            lines = "LOADPCX " + picture(base, sheet) + "\nFONT " + name + " " +
                    (font.glyphs > 0
                         ? std::to_string(font.firstCode) + " " + std::to_string(font.lastCode)
                         : std::string("1 0")) +
                    "\n";
            break;
        }
        case ItemKind::Palette:
            lines = "LOADPCX " + palettePicture(bytes) + "\nPALETTE " + name + "\n";
            break;
        case ItemKind::ShadeTable:
        case ItemKind::BlendTable: {
            // Computed again from one of the archive's palettes, when one gives these bytes.
            const std::string command =
                info.kind == ItemKind::ShadeTable
                    ? "COLORMAP " + name + "\n"
                    : "TRANSPARENT " + name + " " + std::to_string(info.levels) + "\n";
            for (size_t k = 0; k < archive_.size() && lines.empty(); ++k) {
                const std::vector<uint8_t> candidate =
                    archive_.entry(k).length == 768 ? archive_.item(k) : std::vector<uint8_t>{};
                if (!isPaletteItem(candidate)) continue;
                const std::string attempt = "LOADPCX " + palettePicture(candidate) + "\n" + command;
                if (check_.makes(folder_, attempt, bytes)) lines = attempt;
            }
            if (lines.empty()) why = "a table that no palette of the archive computes";
            break;
        }
        default:
            return false;
    }
    if (lines.empty()) {
        piece.report = printableName(name) + ": " + kindName(info.kind) + ", kept as bytes: " + why;
        return false;
    }
    // Encoded again from the written picture, as the build will: only an exact match is kept.
    if (!check_.makes(folder_, lines, bytes)) {
        piece.report = printableName(name) + ": " + kindName(info.kind) +
                       ", kept as bytes: encoded again it does not come back the same";
        return false;
    }
    piece.how = Remake::Grab;
    piece.lines = lines;
    const size_t pictureAt = lines.find("LOADPCX ") + 8;
    piece.report = printableName(name) + ": " + kindName(info.kind) + " from " +
                   lines.substr(pictureAt, lines.find('\n') - pictureAt);
    return true;
}

int Unpacker::run(bool force) {
    // A folder that holds files is refused: they may be pictures the user has edited.
    std::error_code error;
    if (std::filesystem::exists(folder_, error) && !force &&
        !std::filesystem::is_empty(folder_, error)) {
        std::fprintf(stderr,
                     "kivtool: %s is not empty: nothing written (give --force to write into it, "
                     "replacing what the project has of the same names)\n",
                     folder_.c_str());
        return kToolProblem;
    }
    for (const char* sub : {"", "/pictures", "/items", "/helpers"}) {
        std::filesystem::create_directories(folder_ + sub, error);
        if (error) {
            std::fprintf(stderr, "kivtool: cannot make %s%s: %s\n", folder_.c_str(), sub,
                         error.message().c_str());
            return kToolProblem;
        }
    }
    // The pictures are shown in the archive's first palette, or grey.
    displayPalette(archive_, colours_);
    if (!layoutReproducible(archive_)) return kToolProblem;
    // Each entry is made, written and said in turn: nothing is kept of it after.
    const EntryMakers makers = {
        [this](size_t i, const std::vector<uint8_t>& bytes, EntryPlan& plan) {
            return tryGrab(i, bytes, plan);
        },
        [this](size_t i, const std::vector<uint8_t>& bytes) { return itemFile(i, bytes); }};
    ProjectScripts scripts(archive_, files_);
    int64_t position = 0;
    for (size_t i = 0; i < archive_.size(); ++i)
        scripts.add(i, planEntry(archive_, i, position, makers));
    return scripts.finish(jobs);
}

// Unpacks into folder; jobs receives the scripts that rebuild the archive, in order.
int unpackInto(const std::string& archivePath, const std::string& folder, bool force,
               std::vector<std::string>* jobs) {
    ArchiveView archive;
    std::string why;
    if (!archive.open(archivePath, &why)) {
        std::fprintf(stderr, "kivtool: %s: %s\n", archivePath.c_str(), why.c_str());
        return kToolTrouble;
    }
    Unpacker unpacker(archive, folder);
    const int status = unpacker.run(force);
    if (jobs != nullptr) *jobs = unpacker.jobs;
    return status;
}

// Runs a job of the project in folder, in a session of its own: its output goes nowhere, its
// warnings are not said (as kiv -q), its errors go to standard error. True when it ends with 0.
bool runProjectJob(const std::string& folder, const std::string& script) {
    JobSession session;
    session.console = session.output = {};
    session.quiet = true;
    session.folder = folder;
    SessionScope scope(session);
    if (!createTransferBuffer()) {
        std::fprintf(stderr, "kivtool: not enough memory for a job's transfer buffer\n");
        return false;
    }
    JobRequest request;
    request.script = script;
    request.folder = folder;
    return runJob(request).status == 0;
}

}  // namespace

int unpackArchive(const std::string& archivePath, const std::string& folder, bool force) {
    return unpackInto(archivePath, folder, force, nullptr);
}

int rebuildAndCompare(const std::string& archivePath) {
    // Where the system's temporary files go: TMPDIR when set, as mktemp does.
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kivtool-rebuild-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::fprintf(stderr, "kivtool: cannot make a temporary folder in %s: %s\n",
                     base != nullptr && base[0] != '\0' ? base : "/tmp", std::strerror(errno));
        return kToolTrouble;
    }
    const std::string folder = tmpl;
    struct Cleanup {
        std::string folder;
        ~Cleanup() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } cleanup{folder};
    // The report of unpack goes nowhere: only the outcome is said.
    std::vector<std::string> jobs;
    int unpacked = kToolTrouble;
    {
        JobSession silent;
        silent.console = silent.output = {};
        SessionScope scope(silent);
        unpacked = unpackInto(archivePath, folder, false, &jobs);
    }
    if (unpacked != kToolOk) return unpacked;
    // The jobs run here, each in a session whose folder is the project's.
    for (const std::string& job : jobs) {
        if (!runProjectJob(folder, job)) {
            std::printf("%s: the rebuild failed (kiv %s)\n", archivePath.c_str(),
                        printableName(job).c_str());
            return kToolProblem;
        }
    }
    const std::string archiveFile = std::filesystem::path(archivePath).filename().string();
    const std::string rebuilt =
        folder + "/" + archiveFile.substr(0, archiveFile.find('.')) + ".kiv";
    ReadableFile a, b;
    if (!a.open(archivePath) || !b.open(rebuilt)) {
        std::printf("%s: the rebuilt archive cannot be read\n", archivePath.c_str());
        return kToolProblem;
    }
    // Compared in blocks: memory stays small whatever the archive's size.
    const int64_t common = std::min(a.size(), b.size());
    constexpr int64_t kBlock = 1 << 16;
    int64_t at = 0;
    while (at < common && sameBytes(a, at, b, at, std::min(kBlock, common - at))) at += kBlock;
    if (at < common) {
        std::vector<uint8_t> left(static_cast<size_t>(kBlock)), right(left.size());
        const size_t n = static_cast<size_t>(std::min(kBlock, common - at));
        if (!a.readAt(at, left.data(), n) || !b.readAt(at, right.data(), n)) {
            std::printf("%s: the archives cannot be read\n", archivePath.c_str());
            return kToolProblem;
        }
        at += std::mismatch(left.begin(), left.begin() + static_cast<ptrdiff_t>(n), right.begin())
                  .first -
              left.begin();
    } else {
        at = common;
    }
    if (at == common && a.size() == b.size()) {
        std::printf("%s: rebuilt byte for byte (%lld bytes)\n", archivePath.c_str(),
                    static_cast<long long>(a.size()));
        return kToolOk;
    }
    std::printf(
        "%s: the rebuilt archive differs first at byte %lld (the original has %lld bytes, the "
        "rebuilt one %lld)\n",
        archivePath.c_str(), static_cast<long long>(at), static_cast<long long>(a.size()),
        static_cast<long long>(b.size()));
    return kToolProblem;
}

}  // namespace kiv
