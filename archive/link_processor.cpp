#include "archive/link_processor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/archive_reader.h"
#include "common/console.h"
#include "common/file_access.h"
#include "common/script_text.h"

namespace kiv {
namespace {

// A linked path as found (see resolveScriptPath), looked up once for the line that names it.
const std::string& resolvedLink(ArchiveWriter& writer, const char* path, bool* there = nullptr) {
    if (writer.linkGiven != path || writer.linkResolved.empty()) {
        writer.linkGiven = path;
        writer.linkResolved = resolveScriptPath(path, &writer.linkThere);
    }
    if (there != nullptr) *there = writer.linkThere;
    return writer.linkResolved;
}

// Opens a path for reading; a folder, a FIFO, a device or an unreadable file is reported and
// refused.
bool openSource(ArchiveWriter& writer, const char* path, ReadableFile& source) {
    if (source.open(resolvedLink(writer, path))) return true;
    diagnose(Severity::Error, "cannot read %s: %s", path, source.reason().c_str());
    return false;
}

bool sameFile(const struct stat& a, const char* path) {
    struct stat b {};
    return stat(inJobFolder(path).c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void printEntry(const ArchiveWriter& writer, const std::array<char, kNameBytes>& name) {
    consolePrint("%03d %16.16s\n", writer.header.count, name.data());
}

bool badSource(const char* path, const char* why) {
    diagnose(Severity::Error, "%s is not an archive that can be taken over: %s", path, why);
    return false;
}

}  // namespace

void addLabel(ArchiveWriter& writer, const char* name) {
    ArchiveEntry entry;
    std::strncpy(entry.name.data(), name, kStoredNameChars);
    appendEntry(writer, entry);
    consolePrint("%03d %16.16s    LABEL ===============*\n", writer.header.count,
                 entry.name.data());
}

bool addFile(ArchiveWriter& writer, const char* path, const char* itemName) {
    ReadableFile source;
    writer.inputs.push_back(resolvedLink(writer, path));
    if (!openSource(writer, path, source)) return false;
    const int64_t length = source.size();
    if (!hasDataRoom(writer, 1, length)) dataRoomExceeded(writer);
    ArchiveEntry entry;
    entry.offset = static_cast<int32_t>(writer.dataOffset);
    entry.length = static_cast<int32_t>(length);
    if (itemName != nullptr) std::strncpy(entry.name.data(), itemName, kStoredNameChars);
    appendFileData(writer, source.fd(), 0, length, path);
    appendEntry(writer, entry);
    printEntry(writer, entry.name);
    return true;
}

bool mergeArchive(ArchiveWriter& writer, const char* path) {
    consolePrint("Unpacking KIV (%s)\n", path);
    ReadableFile source;
    writer.inputs.push_back(resolvedLink(writer, path));
    if (!openSource(writer, path, source)) return false;
    struct stat info {};
    if (fstat(source.fd(), &info) != 0) return badSource(path, "it cannot be examined");
    if (sameFile(info, writer.archiveName.c_str()) ||
        (!writer.partialName.empty() && sameFile(info, writer.partialName.c_str()))) {
        return badSource(path, "it is the archive this run writes");
    }
    // Every entry is checked before anything of the source is copied.
    const ArchiveDirectory dir = readArchiveDirectory(source, kMergeRules);
    if (!dir.usable()) {
        // A file that does not even begin as an archive is said to be none, rather than
        // measured as one ("a directory of 1830839919 entries").
        const bool magic = std::memcmp(dir.header.magic.data(), kArchiveMagic, 6) == 0;
        if (!magic && dir.problems.front().entry < 0 &&
            dir.fileSize >= static_cast<int64_t>(kHeaderBytes)) {
            return badSource(path, "not a KIV2.0 archive (it does not begin with KIV2.0)");
        }
        return badSource(path, dir.problems.front().describe().c_str());
    }
    int64_t total = 0;
    for (const ArchiveEntry& entry : dir.entries) total += entry.length;
    if (!hasDataRoom(writer, static_cast<int64_t>(dir.entries.size()), total)) {
        dataRoomExceeded(writer);
    }
    consolePrint("Header numitems=%d\n", dir.header.count);
    for (ArchiveEntry entry : dir.entries) {
        const int64_t from = entry.offset;
        entry.offset = static_cast<int32_t>(writer.dataOffset);
        if (entry.length > 0) appendFileData(writer, source.fd(), from, entry.length, path);
        appendEntry(writer, entry);
        printEntry(writer, entry.name);
    }
    consolePrint("Done Unpacking (%s)\n", path);
    return true;
}

LinkLine classifyLinkLine(char* line, const std::function<bool(const char*)>& exists) {
    LinkLine parsed;
    char* rest = line;
    parsed.token = nextToken(rest);
    if (parsed.token == nullptr) return parsed;
    const size_t length = std::strlen(parsed.token);
    if (length < 4) return parsed;
    if (parsed.token[0] == ';') {
        parsed.kind = LinkLineKind::Comment;
    } else if (parsed.token[length - 1] == ':') {
        parsed.kind = length > kLinkNameChars ? LinkLineKind::LabelTooLong : LinkLineKind::Label;
    } else if (!exists(parsed.token)) {
        parsed.kind = LinkLineKind::MissingPath;
    } else if (endsWithIgnoreCase(parsed.token, "KIV")) {
        parsed.kind = LinkLineKind::Archive;
    } else {
        parsed.itemName = nextToken(rest);
        if (parsed.itemName == nullptr) {
            parsed.kind = LinkLineKind::FileWithoutName;
        } else {
            parsed.kind = std::strlen(parsed.itemName) > kLinkNameChars ? LinkLineKind::NameTooLong
                                                                        : LinkLineKind::File;
        }
    }
    return parsed;
}

void runLinkScript(ArchiveWriter& writer, std::string_view scriptPath) {
    consolePrint("\n\n%s\n\n", kLinkBanner);
    const std::string base = scriptBase(scriptPath);
    const std::string linkScriptName = base + ".lnk";
    const std::string archiveName = outputOf(writer, scriptPath);
    consolePrint("\n");
    consolePrint("Script      = (%s)\n", linkScriptName.c_str());
    consolePrint("Output File = (%s)\n", archiveName.c_str());
    consolePrint("Temp File   = (%s)\n", writer.tempName.c_str());
    consolePrint("\n");

    // The script is opened first, so that a missing script leaves an older archive alone.
    ScriptReader script;
    if (!script.open(resolveScriptPath(linkScriptName))) {
        consoleError("\nError File Not Found\n");
        diagnose(Severity::Error, "cannot read the link script %s: %s", linkScriptName.c_str(),
                 script.reason().c_str());
        throw JobExit(kStartupFailure);
    }
    createArchiveFiles(writer, archiveName);

    char line[kScriptLineBytes];
    int lineNumber = 0;
    bool lineEnded = true;
    for (;;) {
        std::memset(line, 0, sizeof line);
        const size_t n = script.readLine(line, kScriptLineChars);
        if (lineEnded) ++lineNumber;
        lineEnded = n > 0 && line[n - 1] == '\n';
        setDiagnosticLocation(linkScriptName, lineNumber);
        if (lineNumber == 1 && n >= 3 && std::memcmp(line, kByteOrderMark, 3) == 0) {
            warn(Warning::ByteOrderMark,
                 "the script begins with a UTF-8 byte-order mark (EF BB BF), which becomes part "
                 "of the first line's name; save the script as UTF-8 without BOM");
        }
        if (script.atEnd()) {
            // A last line without a line end is not handled.
            if (line[std::strspn(line, tokenDelimiters)] != '\0') {
                warn(Warning::UnendedLine,
                     "the last line has no line end and is not handled; end it with one");
            }
            break;
        }
        const LinkLine parsed = classifyLinkLine(line, [&writer](const char* path) {
            bool there = false;
            resolvedLink(writer, path, &there);
            return there;
        });
        const char* token = parsed.token;
        bool stop = false;
        switch (parsed.kind) {
            case LinkLineKind::Ignored:
            case LinkLineKind::Comment:
                break;
            case LinkLineKind::FileWithoutName:
                warn(Warning::UnstoredFile,
                     "%s is not stored: a file line needs an item name after the path", token);
                break;
            case LinkLineKind::Label:
                addLabel(writer, token);
                break;
            case LinkLineKind::LabelTooLong:
                consoleError("\nERROR: Label Too Long (%s)\n\n", token);
                diagnose(Severity::Error,
                         "label %s has %zu characters; at most 14 fit, colon included", token,
                         std::strlen(token));
                stop = true;
                break;
            case LinkLineKind::MissingPath:
                writer.inputs.push_back(resolvedLink(writer, token));  // rerun once it is there
                consoleError("File not found error !!! (%s)%d\n", token,
                             static_cast<int>(std::strlen(token)));
                diagnose(Severity::Error, "%s: %s", token, std::strerror(ENOENT));
                stop = true;
                break;
            case LinkLineKind::Archive:
                stop = !mergeArchive(writer, token);
                break;
            case LinkLineKind::NameTooLong:
                consoleError("\nERROR: Item Name Too Long (%s)\n\n", parsed.itemName);
                diagnose(Severity::Error, "item name %s has %zu characters; at most 14 fit",
                         parsed.itemName, std::strlen(parsed.itemName));
                stop = true;
                break;
            case LinkLineKind::File:
                stop = !addFile(writer, token, parsed.itemName);
                break;
        }
        if (stop) break;
    }
    clearDiagnosticLocation();
    script.close();
    finishArchive(writer);
    consolePrint("Done\n\n");
}

}  // namespace kiv
