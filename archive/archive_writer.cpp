#include "archive/archive_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "common/console.h"
#include "common/file_access.h"
#include "common/transfer_buffer.h"

namespace kiv {
namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();

void writeAll(ArchiveWriter& writer, int fd, const uint8_t* bytes, size_t length, int64_t at,
              const std::string& name) {
    while (length > 0) {
        ssize_t n = pwrite(fd, bytes, length, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ioFailure(writer, "writing", name, n < 0 ? errno : ENOSPC);
        bytes += n;
        length -= static_cast<size_t>(n);
        at += n;
    }
}

// Reads up to length bytes at the given offset; fewer only at the end of the file.
size_t readUpTo(ArchiveWriter& writer, int fd, uint8_t* bytes, size_t length, int64_t at,
                const std::string& name) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, bytes + done, length - done, at + static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ioFailure(writer, "reading", name, errno);
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

void stopIfCancelled(ArchiveWriter& writer) {
    if (writer.cancel == nullptr || *writer.cancel == 0) return;
    diagnose(Severity::Error, "ended at the user's request; the archive was not written");
    abandonArchive(writer);
    throw JobExit(kJobError);
}

namespace {

// Copies exactly length bytes from one file to another: in the kernel where it can, through
// the transfer buffer otherwise. Returns the bytes copied, fewer only when the source ended.
int64_t copyBytes(ArchiveWriter& writer, int from, int64_t fromAt, int to, int64_t toAt,
                  int64_t length, const std::string& fromName, const std::string& toName) {
    int64_t done = 0;
    bool inKernel = writer.kernelCopy;
    std::span<uint8_t> buffer = transferBuffer();
    while (done < length) {
        stopIfCancelled(writer);
        int64_t want = std::min<int64_t>(length - done, int64_t{64} << 20);
        if (inKernel) {
            loff_t in = fromAt + done;
            loff_t out = toAt + done;
            ssize_t n = copy_file_range(from, &in, to, &out, static_cast<size_t>(want), 0);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n == 0) break;
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                errno == EBADF || errno == EPERM || errno == ETXTBSY) {
                inKernel = false;
                continue;
            }
            // Tell a failing read from a failing write by trying the read alone.
            int error = errno;
            uint8_t probe;
            if (pread(from, &probe, 1, fromAt + done) < 0) {
                ioFailure(writer, "reading", fromName, errno);
            }
            ioFailure(writer, "writing", toName, error);
        }
        if (buffer.empty()) ioFailure(writer, "copying", fromName, ENOMEM);
        size_t piece =
            static_cast<size_t>(std::min<int64_t>(want, static_cast<int64_t>(buffer.size())));
        size_t got = readUpTo(writer, from, buffer.data(), piece, fromAt + done, fromName);
        if (got == 0) break;
        writeAll(writer, to, buffer.data(), got, toAt + done, toName);
        done += static_cast<int64_t>(got);
    }
    return done;
}

// Why "datatemp.dat" may not take this job's data: never through a link, never anything but a
// regular file of this user with no other name. Empty when it may.
std::string unsafeTempFile(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return systemReason(errno);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if (info.st_uid != geteuid()) return "belongs to another user";
    if (info.st_nlink > 1) return "has other names (hard links) that would see this job's data";
    return {};
}

const std::string& tempFileOf(const ArchiveWriter& writer) {
    return writer.tempPath.empty() ? writer.tempName : writer.tempPath;
}

// Opens "datatemp.dat" without emptying it, waits for any other job that holds it, and only
// then empties it. Returns -1 with the reason when it cannot or may not be used.
int openTempFile(const std::string& shown, std::string& reason) {
    const std::string name = inJobFolder(shown);
    bool told = false;
    for (;;) {
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) {
            reason = errno == ELOOP ? "a symbolic link; kiv does not write through it"
                                    : systemReason(errno);
            return -1;
        }
        reason = unsafeTempFile(fd);
        if (!reason.empty()) {
            close(fd);
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                if (!told) {
                    diagnose(Severity::Note, "waiting for another job to release %s",
                             shown.c_str());
                    told = true;
                }
                while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
                }
            }
            // Where the file system has no locks the job goes on unlocked.
        }
        // The job that held the file may have deleted it meanwhile: lock the file that is there.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && lstat(name.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            if (ftruncate(fd, 0) != 0) {
                reason = systemReason(errno);
                close(fd);
                return -1;
            }
            return fd;
        }
        close(fd);
    }
}

// Deletes "datatemp.dat" only when it is still this job's file.
void removeTempFile(int fd, const std::string& shown) {
    const std::string name = inJobFolder(shown);
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 && lstat(name.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
        unlink(name.c_str());
    }
}

// The folder part of a path, with its separator, or "" for a bare name.
std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// True when name is a partial file of the archive: "." + file + "." and six more characters.
bool isPartialOf(const std::string& name, const std::string& file) {
    const std::string prefix = "." + file + ".";
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

// Removes the partial files of this archive that no running job holds: jobs that were killed
// left them. A running job holds a lock on its own.
void removeStalePartials(const std::string& folder, const std::string& file) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isPartialOf(name, file)) continue;
        const std::string path = folder + name;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            unlink(path.c_str());
        }
        close(fd);
    }
    closedir(dir);
}

int createPartialArchive(ArchiveWriter& writer, std::string& reason) {
    const std::string name = inJobFolder(writer.archiveName);
    // The temporary name stays in the archive's folder, so the final rename stays there too.
    const std::string folder = folderOf(name);
    const std::string file = name.substr(folder.size());
    removeStalePartials(folder, file);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string tmpl = folder + "." + file + ".XXXXXX";
        std::vector<char> pattern(tmpl.begin(), tmpl.end());
        pattern.push_back('\0');
        int fd = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) {
            reason = systemReason(errno);
            return -1;
        }
        // Held while this job writes it, so that another job's clean-up leaves it alone.
        flock(fd, LOCK_EX | LOCK_NB);
        struct stat held {
        }, named{};
        if (fstat(fd, &held) != 0 || lstat(pattern.data(), &named) != 0 ||
            held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
            close(fd);  // another job's clean-up took it between its creation and the lock
            continue;
        }
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0) {
            // The archive is still usable with the temporary file's permissions.
        }
        writer.partialName = pattern.data();
        return fd;
    }
    reason = "its partial file keeps being removed";
    return -1;
}

// A replaced archive keeps its permission bits and, where allowed, its group.
void keepModeOfReplaced(int fd, const std::string& archiveName) {
    struct stat old {};
    if (stat(inJobFolder(archiveName).c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    if (fchmod(fd, old.st_mode & 07777) != 0) {
        // Not ours to change: the new archive keeps the default permissions.
    }
    if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Not a group of this user: the group stays the user's.
    }
}

}  // namespace

ArchiveWriter::~ArchiveWriter() {
    abandonArchive(*this);
}

std::string scriptBase(std::string_view path) {
    size_t componentStart = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            componentStart = i + 1;
            continue;
        }
        if (path[i] != '.') continue;
        // A component that is exactly "." or ".." names a folder, not an extension.
        size_t end = path.find('/', i);
        std::string_view component =
            path.substr(componentStart, end == std::string_view::npos ? std::string_view::npos
                                                                      : end - componentStart);
        if (component == "." || component == "..") {
            i = componentStart + component.size() - 1;
            continue;
        }
        return std::string(path.substr(0, i));
    }
    return std::string(path);
}

void createArchiveFiles(ArchiveWriter& writer, const std::string& archiveName) {
    writer.dataOffset = 0;
    writer.header = ArchiveHeader{};
    std::memcpy(writer.header.magic.data(), kArchiveMagic, 6);
    writer.header.count = 0;
    writer.archiveName = archiveName;
    writer.itemNames.clear();
    std::string reason;
    std::string failed = writer.tempName;
    writer.tempFile = openTempFile(tempFileOf(writer), reason);
    if (writer.tempFile >= 0) {
        failed = archiveName;
        writer.archiveFile = createPartialArchive(writer, reason);
    }
    if (writer.archiveFile < 0 || writer.tempFile < 0) {
        consoleError("\nError File Not Found\n");
        diagnose(Severity::Error, "cannot create %s: %s", failed.c_str(), reason.c_str());
        abandonArchive(writer);
        throw JobExit(kStartupFailure);
    }
    writer.directoryEnd = 0;
    writer.pendingEntries.clear();
    auto header = writer.header.bytes();
    writeAll(writer, writer.archiveFile, header.data(), header.size(), 0, writer.partialName);
    writer.directoryEnd = kHeaderBytes;
}

void beginArchive(ArchiveWriter& writer, std::string_view scriptPath) {
    createArchiveFiles(writer, outputOf(writer, scriptPath));
}

std::string outputOf(ArchiveWriter& writer, std::string_view scriptPath) {
    if (writer.output.empty()) return scriptBase(scriptPath) + ".kiv";
    // Where the build wants it, with its data beside it: never in the current folder.
    writer.tempName = folderOf(writer.output) + kTempFileName;
    return writer.output;
}

bool hasDataRoom(const ArchiveWriter& writer, int64_t entries, int64_t bytes) {
    // The data of every entry must stay addressable once the directory is in front of it.
    const int64_t base = static_cast<int64_t>(kHeaderBytes) +
                         kEntryBytes * (static_cast<int64_t>(writer.header.count) + entries);
    return bytes >= 0 && entries >= 0 && base + writer.dataOffset + bytes <= kMaxOffset;
}

void dataRoomExceeded(ArchiveWriter& writer) {
    diagnose(Severity::Error, "%s would exceed the 2 GiB that an archive's offsets can address",
             writer.archiveName.c_str());
    abandonArchive(writer);
    throw JobExit(kJobError);
}

void appendEntry(ArchiveWriter& writer, const ArchiveEntry& entry) {
    if (!hasDataRoom(writer, 1, 0)) dataRoomExceeded(writer);
    // Two items of one name: the game finds the first; say so, as it is seldom meant.
    const std::string name(entry.name.data(), strnlen(entry.name.data(), entry.name.size()));
    if (!name.empty() && name.back() != ':') {
        const auto [at, added] = writer.itemNames.emplace(name, writer.header.count + 1);
        if (!added) {
            warn(Warning::DuplicateName, "%s holds two items named %s (entries %d and %d)",
                 writer.archiveName.c_str(), name.c_str(), at->second, writer.header.count + 1);
        }
    }
    auto bytes = entry.bytes();
    writer.pendingEntries.insert(writer.pendingEntries.end(), bytes.begin(), bytes.end());
    writer.header.count += 1;
    if (writer.pendingEntries.size() >= kPendingEntryBytes) writePendingEntries(writer);
}

void writePendingEntries(ArchiveWriter& writer) {
    if (writer.pendingEntries.empty()) return;
    writeAll(writer, writer.archiveFile, writer.pendingEntries.data(),
             writer.pendingEntries.size(), writer.directoryEnd, writer.partialName);
    writer.directoryEnd += static_cast<int64_t>(writer.pendingEntries.size());
    writer.pendingEntries.clear();
}

void appendData(ArchiveWriter& writer, const uint8_t* bytes, size_t length) {
    stopIfCancelled(writer);
    // Room for the data and the entry that follows it.
    if (!hasDataRoom(writer, 1, static_cast<int64_t>(length))) dataRoomExceeded(writer);
    writeAll(writer, writer.tempFile, bytes, length, writer.dataOffset, writer.tempName);
    writer.dataOffset += static_cast<int64_t>(length);
}

void appendFileData(ArchiveWriter& writer, int sourceFd, int64_t sourceOffset, int64_t length,
                    const std::string& sourceName) {
    if (!hasDataRoom(writer, 1, length)) dataRoomExceeded(writer);
    int64_t copied = copyBytes(writer, sourceFd, sourceOffset, writer.tempFile, writer.dataOffset,
                               length, sourceName, writer.tempName);
    if (copied != length) ioFailure(writer, "reading", sourceName, EIO);
    writer.dataOffset += length;
}

void addItem(ArchiveWriter& writer, const char* name, const uint8_t* bytes, int32_t length,
             const char* command) {
    ArchiveEntry entry;
    entry.offset = static_cast<int32_t>(writer.dataOffset);
    entry.length = length;
    const std::string what = command != nullptr ? std::string(command) + " " : std::string();
    if (name != nullptr) {
        size_t n = std::strlen(name);
        if (n > kStoredNameChars) {
            warn(Warning::LongName, "%sitem name %s is longer than %zu characters; stored as %.*s",
                 what.c_str(), name, kStoredNameChars, static_cast<int>(kStoredNameChars), name);
            n = kStoredNameChars;
        }
        std::memcpy(entry.name.data(), name, n);
    } else {
        warn(Warning::UnnamedItem,
             "%sitem without a name; give the item's name as the first argument", what.c_str());
    }
    appendData(writer, bytes, static_cast<size_t>(length));
    appendEntry(writer, entry);
}

void finishArchive(ArchiveWriter& writer) {
    writePendingEntries(writer);
    consolePrint("\n\nUpdating keyfile \n");
    const int64_t base = static_cast<int64_t>(writer.header.count) * kEntryBytes + kHeaderBytes;
    if (base + writer.dataOffset > kMaxOffset) dataRoomExceeded(writer);

    auto header = writer.header.bytes();
    writeAll(writer, writer.archiveFile, header.data(), header.size(), 0, writer.partialName);

    // Move every offset of an entry with data behind the directory, a slice of entries at a time.
    std::span<uint8_t> buffer = transferBuffer();
    if (buffer.empty()) ioFailure(writer, "finishing", writer.partialName, ENOMEM);
    const size_t perSlice = buffer.size() / kEntryBytes;
    for (int64_t first = 0; first < writer.header.count;) {
        size_t n = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(perSlice), writer.header.count - first));
        int64_t at = kHeaderBytes + first * kEntryBytes;
        size_t bytes = n * kEntryBytes;
        if (readUpTo(writer, writer.archiveFile, buffer.data(), bytes, at, writer.partialName) !=
            bytes) {
            ioFailure(writer, "reading", writer.partialName, EIO);
        }
        for (size_t i = 0; i < n; ++i) {
            uint8_t* entry = buffer.data() + i * kEntryBytes;
            if (loadLE32(entry + 8) != 0) {
                storeLE32(entry + 4, static_cast<int32_t>(loadLE32(entry + 4) + base));
            }
        }
        writeAll(writer, writer.archiveFile, buffer.data(), bytes, at, writer.partialName);
        first += static_cast<int64_t>(n);
    }

    // Join the data behind the directory: one dot per 131,072-byte piece, and one for the final
    // empty read. The pieces are copied a batch at a time, which the kernel does far faster.
    consolePrint("Adding Data");
    constexpr int64_t kPiecesPerBatch = 64;
    int64_t done = 0;
    while (done < writer.dataOffset) {
        const int64_t want =
            std::min<int64_t>(kJoinPieceBytes * kPiecesPerBatch, writer.dataOffset - done);
        if (copyBytes(writer, writer.tempFile, done, writer.archiveFile, base + done, want,
                      writer.tempName, writer.partialName) != want) {
            ioFailure(writer, "reading", writer.tempName, EIO);
        }
        // Start writing the joined part out now, so that the final flush has less to wait for.
        sync_file_range(writer.archiveFile, base + done, want, SYNC_FILE_RANGE_WRITE);
        done += want;
        const int64_t pieces = (want + static_cast<int64_t>(kJoinPieceBytes) - 1) /
                               static_cast<int64_t>(kJoinPieceBytes);
        consolePrint("%s", std::string(static_cast<size_t>(pieces), '.').c_str());
    }
    consolePrint(".");
    consolePrint("\n");

    // A watched job with errors leaves the archive it would replace as it was: the next job
    // merges the last good one, not a partial one.
    if (writer.keepOnErrors && jobFailed()) {
        writer.withheld = true;
        abandonArchive(writer);
        return;
    }
    keepModeOfReplaced(writer.archiveFile, writer.archiveName);
    if (fdatasync(writer.archiveFile) != 0 && errno != EINVAL && errno != EROFS) {
        ioFailure(writer, "writing", writer.partialName, errno);
    }
    // Renamed while still open and locked, so that no other job takes it for a left-over.
    if (rename(writer.partialName.c_str(), inJobFolder(writer.archiveName).c_str()) != 0) {
        ioFailure(writer, "writing", writer.archiveName, errno);
    }
    writer.partialName.clear();
    const int closed = close(writer.archiveFile);
    const int closeError = errno;
    writer.archiveFile = -1;
    if (closed != 0 && closeError != EINTR) {
        ioFailure(writer, "writing", writer.archiveName, closeError);
    }
    removeTempFile(writer.tempFile, tempFileOf(writer));
    close(writer.tempFile);
    writer.tempFile = -1;
}

void abandonArchive(ArchiveWriter& writer) {
    if (writer.archiveFile >= 0) close(writer.archiveFile);
    writer.archiveFile = -1;
    if (!writer.partialName.empty()) unlink(writer.partialName.c_str());
    writer.partialName.clear();
    if (writer.tempFile >= 0) {
        removeTempFile(writer.tempFile, tempFileOf(writer));
        close(writer.tempFile);
    }
    writer.tempFile = -1;
}

void ioFailure(ArchiveWriter& writer, const char* action, const std::string& file, int error) {
    diagnose(Severity::Error, "error %s %s: %s", action, file.c_str(), std::strerror(error));
    abandonArchive(writer);
    throw JobExit(kJobError);
}

std::vector<uint8_t> encodeArchive(std::span<const ArchiveEntry> entries,
                                   std::span<const std::vector<uint8_t>> data) {
    ArchiveHeader header;
    std::memcpy(header.magic.data(), kArchiveMagic, 6);
    header.count = static_cast<int32_t>(entries.size());
    const auto headerBytes = header.bytes();
    std::vector<uint8_t> out(headerBytes.begin(), headerBytes.end());
    size_t at = kHeaderBytes + kEntryBytes * entries.size();
    for (size_t i = 0; i < entries.size(); ++i) {
        ArchiveEntry entry = entries[i];
        entry.length = static_cast<int32_t>(data[i].size());
        entry.offset = data[i].empty() ? 0 : static_cast<int32_t>(at);
        at += data[i].size();
        const auto fields = entry.bytes();
        out.insert(out.end(), fields.begin(), fields.end());
    }
    for (const std::vector<uint8_t>& item : data) out.insert(out.end(), item.begin(), item.end());
    return out;
}

}  // namespace kiv
