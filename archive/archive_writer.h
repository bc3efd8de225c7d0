// The archive writer: entries are appended to the archive as their items arrive, with offsets
// relative to the data area, while the items' bytes collect in "datatemp.dat"; finishArchive
// rewrites the header, moves the offsets behind the directory and joins the data.
//
// The archive is written under a temporary name beside its final one and renamed over it only
// once it is complete, so a job that dies part-way never leaves a half-written archive where a
// good one stood. The temporary data file is locked while a job uses it, so jobs started at
// once in the same folder take turns instead of mixing their data.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_format.h"

namespace kiv {

inline constexpr const char* kTempFileName = "datatemp.dat";
// finishArchive joins the data area in pieces of this size, one dot per piece.
inline constexpr size_t kJoinPieceBytes = 131072;

struct ArchiveWriter {
    ArchiveWriter() = default;
    // A writer that goes out of scope before its archive is finished abandons it.
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    ArchiveHeader header;
    int64_t dataOffset = 0;   // bytes in the temporary data file so far
    std::string archiveName;  // the script base followed by ".kiv"
    std::string partialName;  // where the archive is written until it is complete
    int archiveFile = -1;     // file descriptors, -1 when closed; the partial archive is locked
    int tempFile = -1;
    int64_t directoryEnd = 0;  // write position of the next entry in the archive
    // Entries not yet written, which go to the archive together (from directoryEnd on).
    std::vector<uint8_t> pendingEntries;
    // Copies between files go through the kernel where it can (copy_file_range); false sends
    // every copy through the transfer buffer instead, as on systems without it.
    bool kernelCopy = true;
    // The entry number of each item name so far, for the warning about a second of one name.
    std::map<std::string, int32_t> itemNames;
    // Files the job read (pictures, linked files, merged archives), in the order read.
    std::vector<std::string> inputs;
    // The path of the link line being handled, resolved once (as given, as found, whether there).
    std::string linkGiven, linkResolved;
    bool linkThere = false;
    // kiv -o: the archive's path instead of the script's base; its temporary data is then
    // "datatemp.dat" in the archive's folder.
    std::string output;
    std::string tempName = kTempFileName;
    // The file the temporary data goes to when it is not tempName (kiv -j: one of the job's
    // own, so that jobs side by side never wait for each other); messages still say tempName.
    std::string tempPath;
    // When the job has reported an error by the time it finishes, the archive is not put in
    // place (withheld is set) and an earlier archive of the name stays as it was.
    bool keepOnErrors = false;
    bool withheld = false;
    // Set (from a signal handler) when the job is to end at once: the writer removes the
    // partial archive and the temporary data file and ends the job.
    const volatile sig_atomic_t* cancel = nullptr;
};

// The script path cut at its first '.'; path components that are exactly "." or ".." hold no
// cut point.
std::string scriptBase(std::string_view scriptPath);

// Opens a new archive of this name: the temporary data file (never through a link, never
// another user's file), then the archive under a hidden partial name beside its final one, and
// writes the header. Partial files of the same archive that no running job holds (left by
// killed jobs) are removed first. Ends the job (JobExit, start-up status) with
// "\nError File Not Found\n" and a diagnostic naming the file when either cannot be had; then
// nothing is left behind.
void createArchiveFiles(ArchiveWriter& writer, const std::string& archiveName);
// Entries collect in memory and go to the archive together, this many bytes at a time.
inline constexpr size_t kPendingEntryBytes = 64 * 1024;
void writePendingEntries(ArchiveWriter& writer);

// Starts a new archive named after the script (or writer.output).
void beginArchive(ArchiveWriter& writer, std::string_view scriptPath);
// The archive a job writes: writer.output when given (the temporary data moving beside it),
// else the script's base followed by ".kiv".
std::string outputOf(ArchiveWriter& writer, std::string_view scriptPath);

// Stores one item. A name longer than 15 characters is stored as its first 15, with a warning
// that names the command which made the item, when one is given.
void addItem(ArchiveWriter& writer, const char* name, const uint8_t* bytes, int32_t length,
             const char* command = nullptr);

// Building blocks of addItem and of the link processor's entry operations. Each refuses, as an
// error that ends the job, what the archive's 32-bit offsets could not address (2 GiB).
void appendEntry(ArchiveWriter& writer, const ArchiveEntry& entry);
void appendData(ArchiveWriter& writer, const uint8_t* bytes, size_t length);
// Appends length bytes of an open file, from sourceOffset on, to the data; in pieces, so that
// its size is not limited by the transfer buffer.
void appendFileData(ArchiveWriter& writer, int sourceFd, int64_t sourceOffset, int64_t length,
                    const std::string& sourceName);
// True when entries more entries with bytes more bytes of data still fit the 2 GiB.
bool hasDataRoom(const ArchiveWriter& writer, int64_t entries, int64_t bytes);

// Ends the job (JobExit), its files removed, when it has been asked to end at once.
void stopIfCancelled(ArchiveWriter& writer);

// Completes the archive, puts it in place and deletes the temporary data file.
void finishArchive(ArchiveWriter& writer);

// A whole archive in memory, for small ones made outside a job (unpack's helper archives): the
// header, the directory and the items' data in order, each entry's offset where its data
// stands (0 for an entry without data), flags and name bytes as given.
std::vector<uint8_t> encodeArchive(std::span<const ArchiveEntry> entries,
                                   std::span<const std::vector<uint8_t>> data);

// After a failure: removes the incomplete archive and the temporary data file; an older
// archive of the same name stays as it was. Does nothing when no archive is open.
void abandonArchive(ArchiveWriter& writer);

// Refuses data past the 2 GiB: an error line, the archive abandoned, the job ended.
[[noreturn]] void dataRoomExceeded(ArchiveWriter& writer);
// Reports a failed read, write or seek on a file, abandons the archive and ends the job.
[[noreturn]] void ioFailure(ArchiveWriter& writer, const char* action, const std::string& file,
                            int error);

}  // namespace kiv
