#include "grab/interpreter.h"

#include <algorithm>
#include <array>
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
        ctx.skippingToPicture = false;
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
        ctx.skippingToPicture = false;
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

// The numbers each command reads, by their meaning; a command not listed reads none.
struct NumberNames {
    const char* keyword;
    std::array<const char*, 4> names;
};
constexpr NumberNames kNumberNames[] = {
    {"RAW", {"x", "y", "width", "height"}},    {"PACKEDC", {"x", "y", "width", "height"}},
    {"PACKED", {"x", "y", "width", "height"}}, {"TEXTURE", {"x", "y", "width", "height"}},
    {"FONT", {"first code", "last code"}},     {"TRANSPARENT", {"number of levels"}},
};

bool wholeNumber(const char* token) {
    const char* p = token + (*token == '+' || *token == '-' ? 1 : 0);
    if (*p == '\0') return false;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

// A number the command reads that the line lacks, or that is no number, counts 0: said once
// per line, since it is seldom what the script's writer meant.
void checkNumbers(const GrabContext& ctx, const GrabCommand& row) {
    for (const NumberNames& entry : kNumberNames) {
        if (std::strcmp(entry.keyword, row.keyword) != 0) continue;
        const char* label = ctx.textArgs[0] != nullptr ? ctx.textArgs[0] : "(no name)";
        for (size_t j = 0; j < entry.names.size() && entry.names[j] != nullptr; ++j) {
            const char* token = ctx.textArgs[j + 1];
            if (token == nullptr) {
                warn(Warning::BadArgument, "%s %s: the %s is missing and counts 0", row.keyword,
                     label, entry.names[j]);
                return;
            }
            if (!wholeNumber(token)) {
                warn(Warning::BadArgument, "%s %s: the %s '%s' is not a whole number and counts %d",
                     row.keyword, label, entry.names[j], token, parseNumber(token));
                return;
            }
        }
    }
}

}  // namespace

const char* misspeltCommand(const char* word) {
    if (word == nullptr) return nullptr;
    std::string upper;
    bool extra = false;  // digits or underscores, as in PACKED1 or LOAD_PCX
    for (const char* c = word; *c != '\0'; ++c) {
        // Only words of letters (with digits or underscores among them) can be misspelt
        // commands; ";", "#", "//" start comments.
        if ((*c >= '0' && *c <= '9') || *c == '_') {
            extra = true;
            continue;
        }
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z'))) return nullptr;
        upper += static_cast<char>(*c >= 'a' ? *c - 'a' + 'A' : *c);
    }
    if (upper.empty() || upper == "REM") return nullptr;
    // Without its digits and underscores the word may be a command itself.
    if (extra) {
        for (const GrabCommand* row = CommandTable; row->keyword != nullptr; ++row) {
            if (upper == row->keyword) return row->keyword;
        }
    }
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
    checkNumbers(ctx, *row);
    row->handler(ctx);
    return row;
}

void runGrabScript(GrabContext& ctx, ArchiveWriter& writer, ScriptReader& script) {
    RunBuffers buffers(ctx);
    ctx.scriptPath = script.path();
    char scriptLine[kScriptLineBytes];
    int lineNumber = 0;
    bool lineEnded = true;  // the last read ended its line: the next read starts a new one
    for (;;) {
        stopIfCancelled(writer);
        std::memset(scriptLine, 0, sizeof scriptLine);
        if (script.atEnd()) break;
        const size_t n = script.readLine(scriptLine, kScriptLineChars);
        if (lineEnded) ++lineNumber;
        lineEnded = n == 0 || scriptLine[n - 1] == '\n';
        setDiagnosticLocation(script.path(), lineNumber);
        if (lineNumber == 1 && std::memcmp(scriptLine, kByteOrderMark, 3) == 0) {
            warn(Warning::ByteOrderMark,
                 "the script begins with a UTF-8 byte-order mark (EF BB BF), so the first "
                 "word of this line is no command; save the script as UTF-8 without BOM");
        }
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
