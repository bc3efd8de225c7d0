#include "archive/link_processor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/console.h"
#include "archive/script_text.h"

namespace kiv {
namespace {

// An open file that closes itself.
struct SourceFile {
    int fd = -1;
    ~SourceFile() {
        if (fd >= 0) close(fd);
    }
};

// Opens a path for reading; a folder or an unreadable file is reported and refused.
bool openSource(const char* path, SourceFile& source, struct stat& info) {
    source.fd = open(resolveScriptPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    int error = errno;
    if (source.fd >= 0 && fstat(source.fd, &info) != 0)
        error = errno;
    else if (source.fd >= 0 && S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (source.fd >= 0)
        return true;
    consoleError("\nERROR: Cannot Read File (%s): %s\n\n", path, std::strerror(error));
    return false;
}

bool sameFile(const struct stat& a, const char* path) {
    struct stat b {};
    return stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool pathExists(const char* path) {
    struct stat info {};
    return stat(resolveScriptPath(path).c_str(), &info) == 0;
}

void printEntry(const ArchiveWriter& writer, const std::array<char, kNameBytes>& name) {
    consolePrint("%03d %16.16s\n", writer.header.count, name.data());
}

bool badSource(const char* path, const char* why) {
    consoleError("\nERROR: Not A Usable KIV (%s): %s\n\n", path, why);
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
    SourceFile source;
    struct stat info {};
    if (!openSource(path, source, info)) return false;
    int64_t length = info.st_size;
    checkDataRoom(writer, length);
    ArchiveEntry entry;
    entry.offset = writer.dataOffset;
    entry.length = static_cast<int32_t>(length);
    if (itemName != nullptr) std::strncpy(entry.name.data(), itemName, kStoredNameChars);
    appendFileData(writer, source.fd, 0, length, path);
    appendEntry(writer, entry);
    printEntry(writer, entry.name);
    return true;
}

bool mergeArchive(ArchiveWriter& writer, const char* path) {
    consolePrint("Unpacking KIV (%s)\n", path);
    SourceFile source;
    struct stat info {};
    if (!openSource(path, source, info)) return false;
    if (sameFile(info, writer.archiveName.c_str()) ||
        (!writer.partialName.empty() && sameFile(info, writer.partialName.c_str()))) {
        return badSource(path, "it is the archive this run writes");
    }
    const int64_t size = info.st_size;
    uint8_t headerBytes[kHeaderBytes];
    if (size < static_cast<int64_t>(kHeaderBytes) ||
        pread(source.fd, headerBytes, kHeaderBytes, 0) != static_cast<ssize_t>(kHeaderBytes)) {
        return badSource(path, "shorter than an archive header");
    }
    const ArchiveHeader header = ArchiveHeader::fromBytes(headerBytes);
    if (header.count < 0) return badSource(path, "negative entry count");
    if (static_cast<int64_t>(kHeaderBytes + static_cast<size_t>(header.count) * kEntryBytes) >
        size) {
        return badSource(path, "directory reaches past the end of the file");
    }
    // Every entry is checked before anything of the source is copied.
    int64_t total = 0;
    for (int32_t i = 0; i < header.count; ++i) {
        uint8_t bytes[kEntryBytes];
        int64_t at = kHeaderBytes + static_cast<int64_t>(i) * kEntryBytes;
        if (pread(source.fd, bytes, kEntryBytes, at) != static_cast<ssize_t>(kEntryBytes)) {
            return badSource(path, "directory cannot be read");
        }
        ArchiveEntry entry = ArchiveEntry::fromBytes(bytes);
        if (entry.length < 0 ||
            (entry.length > 0 &&
             (entry.offset < 0 || static_cast<int64_t>(entry.offset) + entry.length > size))) {
            return badSource(path, "an entry's data lies outside the file");
        }
        total += entry.length;
    }
    checkDataRoom(writer, total);
    consolePrint("Header numitems=%d\n", header.count);
    for (int32_t i = 0; i < header.count; ++i) {
        uint8_t bytes[kEntryBytes];
        int64_t at = kHeaderBytes + static_cast<int64_t>(i) * kEntryBytes;
        if (pread(source.fd, bytes, kEntryBytes, at) != static_cast<ssize_t>(kEntryBytes)) {
            ioFailure(writer, "reading", path, errno ? errno : EIO);
        }
        ArchiveEntry entry = ArchiveEntry::fromBytes(bytes);
        int64_t from = entry.offset;
        entry.offset = writer.dataOffset;
        if (entry.length > 0) appendFileData(writer, source.fd, from, entry.length, path);
        appendEntry(writer, entry);
        printEntry(writer, entry.name);
    }
    consolePrint("Done Unpacking (%s)\n", path);
    return true;
}

void runLinkScript(ArchiveWriter& writer, std::string_view scriptPath) {
    writer.dataOffset = 0;
    consolePrint("\n\n%s\n\n", kLinkBanner);
    writer.header = ArchiveHeader{};
    std::memcpy(writer.header.magic.data(), kArchiveMagic, 6);
    const std::string base = scriptBase(scriptPath);
    const std::string linkScriptName = base + ".lnk";
    writer.archiveName = base + ".kiv";
    consolePrint("\n");
    consolePrint("Script      = (%s)\n", linkScriptName.c_str());
    consolePrint("Output File = (%s)\n", writer.archiveName.c_str());
    consolePrint("Temp File   = (%s)\n", kTempFileName);
    consolePrint("\n");

    // The script is opened first, so that a missing script leaves an older archive alone.
    ScriptReader script;
    if (!script.open(linkScriptName)) {
        consoleError("\nError File Not Found\n");
        throw JobExit(kStartupFailure);
    }
    openArchiveFiles(writer);

    char line[kScriptLineBytes];
    for (;;) {
        std::memset(line, 0, sizeof line);
        script.readLine(line, kScriptLineChars);
        if (script.atEnd()) break;  // a last line without a line end is not handled
        char* rest = line;
        char* token = nextToken(rest);
        if (token == nullptr) continue;
        size_t length = std::strlen(token);
        if (length < 4 || token[0] == ';') continue;
        if (token[length - 1] == ':') {
            if (length > kLinkNameChars) {
                consoleError("\nERROR: Label Too Long (%s)\n\n", token);
                break;
            }
            addLabel(writer, token);
            continue;
        }
        if (!pathExists(token)) {
            consoleError("File not found error !!! (%s)%d\n", token, static_cast<int>(length));
            break;
        }
        if (endsWithIgnoreCase(token, "KIV")) {
            if (!mergeArchive(writer, token)) break;
            continue;
        }
        char* itemName = nextToken(rest);
        if (itemName == nullptr) continue;
        if (std::strlen(itemName) > kLinkNameChars) {
            consoleError("\nERROR: Item Name Too Long (%s)\n\n", itemName);
            break;
        }
        if (!addFile(writer, token, itemName)) break;
    }
    script.close();
    finishArchive(writer);
    consolePrint("Done\n\n");
}

}  // namespace kiv
