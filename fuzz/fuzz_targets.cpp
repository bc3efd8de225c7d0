#include "fuzz/fuzz_targets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/jobs.h"
#include "archive/archive_reader.h"
#include "archive/link_processor.h"
#include "common/console.h"
#include "common/file_access.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"
#include "grab/interpreter.h"
#include "grab/item_formats.h"
#include "grab/item_kinds.h"
#include "picture/pcx_decoder.h"
#include "grab/palette_source.h"
#include "grab/picture_mapping.h"
#include "picture/png_picture.h"

namespace kivfuzz {
namespace {

// A folder of its own, made once, that is the current folder while a target runs.
struct Workspace {
    std::string folder;
    Workspace() {
        kiv::createTransferBuffer();
        kiv::setConsoleWrite({});
        kiv::setStandardOutput({});
        char tmpl[] = "/tmp/kiv-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        folder = tmpl;
        if (chdir(folder.c_str()) != 0) std::abort();
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::current_path("/", ignored);
        std::filesystem::remove_all(folder, ignored);
    }
};

void enter() {
    static Workspace workspace;
    if (chdir(workspace.folder.c_str()) != 0) std::abort();
}

void write(const char* name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

void writeText(const char* name, const std::string& text) {
    write(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A picture with every command's rectangles inside it: 64 × 48, a run of each value.
void writeSmallPicture() {
    std::string pcx(128, '\0');
    pcx[0] = 10;
    pcx[1] = 5;
    pcx[2] = 1;
    pcx[3] = 8;
    pcx[8] = 63;   // xMax
    pcx[10] = 47;  // yMax
    pcx[65] = 1;
    pcx[66] = 64;  // bytes per line
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            int v = (x * 7 + y * 13) % 256;
            if (x % 9 == 0) v = 0;
            if (x == 0 && (y == 0 || y == 9)) v = 255;  // font markers
            pcx += static_cast<char>(0xC1);
            pcx += static_cast<char>(v);
        }
    }
    pcx += static_cast<char>(12);
    for (int i = 0; i < 768; ++i) pcx += static_cast<char>((i * 37) % 256);
    writeText("pic.pcx", pcx);
}

}  // namespace

int fuzzPcxDecoder(const uint8_t* data, size_t size) {
    const kiv::PcxFile file = kiv::pcxFileFromBytes({data, size});
    kiv::PcxInfo info;
    if (kiv::readPcxInfo(file, info) != kiv::PcxProblem::None) return 0;
    const int64_t pixels = static_cast<int64_t>(info.width) * info.height;
    if (info.width <= 0 || info.height <= 0 || pixels > 1228800) return 0;
    static std::vector<uint8_t> picture(1228800);
    kiv::decodePcxPixels(file, info, picture.data());
    return 0;
}

int fuzzGrabLine(const uint8_t* data, size_t size) {
    static kiv::GrabContext* ctx = [] {
        auto* c = new kiv::GrabContext;
        c->itemBuffer.assign(kiv::kItemBufferBytes, 0);
        c->picture.assign(kiv::kPictureBytes, 0);
        c->preview.assign(kiv::kPictureBytes, 0);
        kiv::setConsoleWrite({});
        kiv::setStandardOutput({});
        kiv::setDiagnosticSink({});
        return c;
    }();
    const uint8_t* end = std::find(data, data + size, '\n');
    char line[kiv::kScriptLineBytes] = {};
    std::memcpy(line, data,
                std::min<size_t>(static_cast<size_t>(end - data), kiv::kScriptLineChars));
    const uint8_t* rest = end < data + size ? end + 1 : end;
    const size_t restSize = static_cast<size_t>(data + size - rest);
    // The picture: at most 255 × 255, so that each input stays quick.
    ctx->width = restSize > 0 ? rest[0] : 0;
    ctx->height = restSize > 1 ? rest[1] : 0;
    ctx->palette.fill(0);
    if (restSize > 2) {
        std::memcpy(ctx->palette.data(), rest + 2, std::min<size_t>(restSize - 2, 768));
    }
    const size_t pixels = static_cast<size_t>(ctx->width) * static_cast<size_t>(ctx->height);
    std::fill_n(ctx->picture.begin(), pixels, 0);
    if (restSize > 770) {
        std::memcpy(ctx->picture.data(), rest + 770, std::min(restSize - 770, pixels));
    }
    std::copy_n(ctx->picture.begin(), pixels, ctx->preview.begin());
    ctx->pictureLoaded = true;
    // LOADPCX reads a file (its decoder has a target of its own); many blend levels only cost time.
    char probe[kiv::kScriptLineBytes];
    std::memcpy(probe, line, sizeof probe);
    char* cursor = probe;
    const char* word = kiv::nextToken(cursor);
    if (word != nullptr && kiv::equalsIgnoreCase(word, "LOADPCX")) return 0;
    if (word != nullptr && kiv::equalsIgnoreCase(word, "TRANSPARENT")) {
        const char* levels = kiv::nextToken(cursor);
        levels = levels != nullptr ? kiv::nextToken(cursor) : nullptr;
        if (kiv::parseNumber(levels) > 2) return 0;
    }
    kiv::beginJobLog();
    kiv::runGrabLine(*ctx, line);
    if (ctx->cursor > ctx->itemBuffer.size()) std::abort();
    return 0;
}

namespace {
bool evenLengthExists(const char* path) {
    return std::strlen(path) % 2 == 0;
}
}  // namespace

int fuzzLinkAndArchive(const uint8_t* data, size_t size) {
    // Every line of the bytes as a link script line.
    const uint8_t* at = data;
    const uint8_t* const end = data + size;
    while (at < end) {
        const uint8_t* lineEnd = std::find(at, end, '\n');
        char line[kiv::kScriptLineBytes] = {};
        std::memcpy(line, at,
                    std::min<size_t>(static_cast<size_t>(lineEnd - at), kiv::kScriptLineChars));
        kiv::classifyLinkLine(line, evenLengthExists);
        at = lineEnd < end ? lineEnd + 1 : end;
    }
    // The bytes as an archive, whole and cut short.
    for (const kiv::ArchiveRules& rules : {kiv::kMergeRules, kiv::kStrictRules}) {
        const kiv::ArchiveDirectory dir =
            kiv::parseArchiveDirectory({data, size}, static_cast<int64_t>(size), rules);
        for (const kiv::ArchiveEntry& entry : dir.entries) {
            if (dir.usable() && entry.length > 0 &&
                static_cast<int64_t>(entry.offset) + entry.length > static_cast<int64_t>(size)) {
                std::abort();  // a usable directory never points outside the file
            }
        }
        kiv::parseArchiveDirectory({data, size / 2}, static_cast<int64_t>(size), rules);
    }
    return 0;
}

int fuzzItemReaders(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes{data, size};
    std::string why;
    if (auto sprite = kiv::readPackedSprite(bytes, &why)) {
        if (sprite->pixels.size() !=
            static_cast<size_t>(sprite->width) * static_cast<size_t>(sprite->height)) {
            std::abort();
        }
    }
    kiv::readFont(bytes, &why);
    kiv::readTexture(bytes, &why);
    kiv::isPaletteItem(bytes);
    kiv::isShadeTable(bytes);
    kiv::blendTableLevels(bytes);
    for (const char* name : {"item", "LABEL:"}) {
        const kiv::ItemInfo info = kiv::recogniseItem(name, bytes);
        for (const kiv::IndexedImage& image : kiv::renderItem(info, bytes, 16)) {
            if (image.pixels.size() !=
                static_cast<size_t>(image.width) * static_cast<size_t>(image.height)) {
                std::abort();
            }
        }
    }
    return 0;
}

int fuzzPngReader(const uint8_t* data, size_t size) {
    kiv::PngPicture picture;
    if (kiv::readIndexedPng({data, size}, 1228800, picture, nullptr) &&
        picture.pixels.size() !=
            static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height)) {
        std::abort();
    }
    // The same bytes as a true-colour picture, mapped onto a palette made of them when they
    // are one, else onto a grey ramp.
    kiv::PaletteSource palette;
    if (!kiv::readPaletteBytes("fuzz", {data, size}, palette, nullptr)) {
        palette.name = "grey";
        palette.entries = 256;
        for (size_t i = 0; i < 768; ++i) palette.colours[i] = static_cast<uint8_t>(i / 3);
    }
    if (palette.entries < 1 || palette.entries > 256) std::abort();
    kiv::TrueColourPicture rgba;
    if (!kiv::readTrueColourPng({data, size}, 4096, rgba, nullptr)) return 0;
    if (rgba.rgba.size() != static_cast<size_t>(rgba.width) * static_cast<size_t>(rgba.height) * 4) {
        std::abort();
    }
    kiv::MappingOptions options;
    options.alphaThreshold = 128;
    constexpr kiv::Dither kDithers[] = {
        kiv::Dither::None,       kiv::Dither::Ordered, kiv::Dither::FloydSteinberg,
        kiv::Dither::Atkinson,   kiv::Dither::SierraLite, kiv::Dither::Pattern,
        kiv::Dither::BlueNoise};
    options.dither = kDithers[size % 7];
    options.metric = size % 2 == 0 ? kiv::ColourMetric::Rgb : kiv::ColourMetric::OkLab;
    kiv::PictureMapper mapper;
    std::vector<uint8_t> indices;
    kiv::MappingReport report;
    if (mapper.setUp(palette, options, nullptr) && mapper.map(rgba, indices, &report, nullptr)) {
        if (indices.size() * 4 != rgba.rgba.size() ||
            report.exact + report.mapped + report.transparent != report.pixels) {
            std::abort();
        }
    }
    return 0;
}

namespace {

// What every job leaves, whatever its input: a status of 0, 1 or 255, no temporary data file,
// and an archive that is well-formed, or the one that stood there before.
void checkJob(int status, const char* archive, const std::vector<uint8_t>& before) {
    if (status != 0 && status != 1 && status != 255) std::abort();
    if (std::filesystem::exists("datatemp.dat")) std::abort();
    kiv::ReadableFile file;
    if (!file.open(archive)) std::abort();
    const std::vector<uint8_t> now = file.readAll(file.size());
    if (now == before) return;
    // Well-formed: merged entries keep their flags and name bytes, whatever they are.
    const kiv::ArchiveDirectory dir = kiv::readArchiveDirectory(file, kiv::kMergeRules);
    if (!dir.usable()) std::abort();
    int64_t end = 12 + 28 * static_cast<int64_t>(dir.entries.size());
    for (const kiv::ArchiveEntry& entry : dir.entries) end += entry.length;
    if (end != file.size()) std::abort();  // directory and data, nothing else
}

// An archive of that name before the job: a job that fails must leave it as it was.
std::vector<uint8_t> placeOldArchive(const char* name) {
    const std::vector<uint8_t> old = {'K', 'I', 'V', '2', '.', '0', 0, 0, 0, 0, 0, 0};
    write(name, old.data(), old.size());
    return old;
}

}  // namespace

int fuzzPcx(const uint8_t* data, size_t size) {
    enter();
    write("in.pcx", data, size);
    writeText("pcx.scp",
              "LOADPCX in.pcx\nRAW r 0 0 2 2\nTEXTURE t 1 1 2 1\nPACKED p 0 0 4 4\n"
              "PACKEDC c 1 0 3 3\nFONT f 32 127\nPALETTE pal\nCOLORMAP shades\n");
    const std::vector<uint8_t> old = placeOldArchive("pcx.kiv");
    kiv::GrabContext ctx;
    checkJob(kiv::runGrabJob(ctx, "pcx.scp"), "pcx.kiv", old);
    return 0;
}

int fuzzGrabScript(const uint8_t* data, size_t size) {
    enter();
    writeSmallPicture();
    write("job.scp", data, size);
    const std::vector<uint8_t> old = placeOldArchive("job.kiv");
    kiv::GrabContext ctx;
    checkJob(kiv::runGrabJob(ctx, "job.scp"), "job.kiv", old);
    return 0;
}

int fuzzLink(const uint8_t* data, size_t size) {
    enter();
    write("source.kiv", data, size);
    write("data.bin", data, size / 2);
    writeText("merge.lnk", "FIRST:\ndata.bin DATA\nsource.kiv\nLAST:\n");
    std::vector<uint8_t> old = placeOldArchive("merge.kiv");
    checkJob(kiv::runLinkJob("merge.lnk"), "merge.kiv", old);
    write("script.lnk", data, size);
    old = placeOldArchive("script.kiv");
    checkJob(kiv::runLinkJob("script.lnk"), "script.kiv", old);
    return 0;
}

}  // namespace kivfuzz
