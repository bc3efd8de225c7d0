#include "grab/interpreter.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/console.h"
#include "grab/commands.h"

namespace kiv {

const GrabCommand CommandTable[10] = {
    {"LOADPCX", grabLoadPcx, 0}, {"RAW", grabRaw, 1},           {"PACKEDC", grabPackedCropped, 1},
    {"PACKED", grabPacked, 1},   {"TEXTURE", grabTexture, 1},   {"FONT", grabFont, 0},
    {"PALETTE", grabPalette, 0}, {"COLORMAP", grabColormap, 0}, {"TRANSPARENT", grabTransparent, 0},
    {nullptr, nullptr, 0},
};

namespace {

int32_t timesEightWhenScaled(int32_t value, int32_t scaleByEight) {
    if (scaleByEight != 1) return value;
    int64_t v = static_cast<int64_t>(value) * 8;
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The working buffers of one run, released however the run ends.
struct RunBuffers {
    GrabContext& ctx;
    explicit RunBuffers(GrabContext& c) : ctx(c) {
        try {
            ctx.itemBuffer.assign(kItemBufferBytes, 0);
            ctx.picture.assign(kPictureBytes, 0);
            ctx.preview.assign(kPictureBytes, 0);
        } catch (const std::bad_alloc&) {
            release();
            diagnose(Severity::Error, "not enough memory for the grab buffers (%zu bytes)",
                     kItemBufferBytes + 2 * kPictureBytes);
            throw JobExit(kJobError);
        }
        ctx.pictureLoaded = false;
        ctx.inputs.clear();
    }
    void release() {
        for (auto* buffer : {&ctx.itemBuffer, &ctx.picture, &ctx.preview}) {
            buffer->clear();
            buffer->shrink_to_fit();
        }
    }
    ~RunBuffers() {
        release();
        ctx.textArgs = {};
        ctx.pictureLoaded = false;
        clearDiagnosticLocation();
        ctx.command = "";
    }
};

}  // namespace

bool openGrabScript(ScriptReader& script, const std::string& path) {
    // As on the scripts' home platform, a name in another letter case is the same script.
    if (script.open(resolveScriptPath(path))) return true;
    std::string message = toConsoleEncoding("\n文件未发现!!! (") + path + ")";
    outputError("%s", message.c_str());
    diagnose(Severity::Error, "cannot read the grab script %s: %s", path.c_str(),
             script.reason().c_str());
    return false;
}

const GrabCommand* parseGrabLine(GrabContext& ctx, char* scriptLine) {
    char* rest = scriptLine;
    char* word = nextToken(rest);
    if (word == nullptr) return nullptr;
    const GrabCommand* row = CommandTable;
    while (row->keyword != nullptr && !equalsIgnoreCase(word, row->keyword)) ++row;
    if (row->keyword == nullptr) return nullptr;
    ctx.numArgs = {};
    ctx.textArgs = {};
    for (size_t j = 0; j < ctx.textArgs.size(); ++j) {
        char* token = nextToken(rest);
        if (token == nullptr) break;
        ctx.textArgs[j] = token;
        ctx.numArgs[j] = timesEightWhenScaled(parseNumber(token), row->scaleByEight);
    }
    return row;
}

namespace {

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

const char* misspeltCommand(const char* word) {
    if (word == nullptr) return nullptr;
    std::string upper;
    for (const char* c = word; *c != '\0'; ++c) {
        // Only words of letters can be misspelt commands; ";", "#", "//" start comments.
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z'))) return nullptr;
        upper += static_cast<char>(*c >= 'a' ? *c - 'a' + 'A' : *c);
    }
    if (upper == "REM") return nullptr;
    // Short words are near too many others: one edit for them, two for longer ones.
    const size_t allowed = upper.size() <= 4 ? 1 : 2;
    const char* best = nullptr;
    size_t bestDistance = allowed + 1;
    for (const GrabCommand* row = CommandTable; row->keyword != nullptr; ++row) {
        const size_t d = editDistance(upper, row->keyword);
        if (d > 0 && d < bestDistance) {
            best = row->keyword;
            bestDistance = d;
        }
    }
    return best;
}

const GrabCommand* runGrabLine(GrabContext& ctx, char* scriptLine) {
    char first[kScriptLineBytes];
    std::memcpy(first, scriptLine, sizeof first);
    const GrabCommand* row = parseGrabLine(ctx, scriptLine);
    if (row == nullptr) {
        char* rest = first;
        const char* word = nextToken(rest);
        if (const char* meant = misspeltCommand(word)) {
            warn(Warning::MisspeltCommand,
                 "%s is no command and the line is skipped; did you mean %s?", word, meant);
        }
        return nullptr;
    }
    ctx.cursor = 0;
    ctx.command = row->keyword;
    row->handler(ctx);
    return row;
}

void runGrabScript(GrabContext& ctx, ArchiveWriter& writer, ScriptReader& script) {
    RunBuffers buffers(ctx);
    char scriptLine[kScriptLineBytes];
    int lineNumber = 0;
    bool lineEnded = true;  // the last read ended its line: the next read starts a new one
    for (;;) {
        std::memset(scriptLine, 0, sizeof scriptLine);
        if (script.atEnd()) break;
        const size_t n = script.readLine(scriptLine, kScriptLineChars);
        if (lineEnded) ++lineNumber;
        lineEnded = n == 0 || scriptLine[n - 1] == '\n';
        setDiagnosticLocation(script.path(), lineNumber);
        const GrabCommand* row = runGrabLine(ctx, scriptLine);
        if (row == nullptr) continue;
        if (ctx.cursor > 0) {
            addItem(writer, ctx.textArgs[0], ctx.itemBuffer.data(),
                    static_cast<int32_t>(ctx.cursor), row->keyword);
        }
    }
    clearDiagnosticLocation();
    script.close();
}

}  // namespace kiv
