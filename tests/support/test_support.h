// Shared helpers of the tests: temporary folders, files, captured channels and runs of the
// built command-line tool.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_format.h"

namespace kivtest {

using Bytes = std::vector<uint8_t>;

// A fresh folder that is the current folder while the object lives.
class ScopedTempDir {
  public:
    ScopedTempDir();
    ~ScopedTempDir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

void writeFile(const std::string& path, const Bytes& bytes);
void writeText(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);
Bytes bytesOf(const std::string& text);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> folderEntries(const std::string& path = ".");
Bytes patternBytes(size_t n, uint32_t seed);
// The test palette (8-bit): entries 0 and 1 black, 2 grey 128, 3 and 251 white, 4 red, 249 a
// green near 250's; the rest a dark blue ramp (entry i is 0, 0, i / 4).
std::array<uint8_t, 768> testColours();

// Both channels captured, in the order written, into one text; the diagnostics into another.
class CapturedChannels {
  public:
    CapturedChannels();
    ~CapturedChannels();
    const std::string& text() const { return text_; }
    const std::string& diagnostics() const { return diagnostics_; }
    // The error diagnostics' texts alone, without "SCRIPT:LINE: error: " in front.
    std::string errorTexts() const;
    void clear() {
        text_.clear();
        diagnostics_.clear();
    }

  private:
    std::string text_;
    std::string diagnostics_;
};

// A parsed archive.
struct ParsedArchive {
    kiv::ArchiveHeader header;
    std::vector<kiv::ArchiveEntry> entries;
    Bytes bytes;
    std::string name(size_t i) const;
    Bytes data(size_t i) const;  // the entry's bytes at its offset
};
ParsedArchive parseArchive(const std::string& path);

// An archive with the given entries, as a finished one holds them.
struct EntrySpec {
    std::string name;
    Bytes data;
    int32_t flags = 0;
};
Bytes buildArchive(const std::vector<EntrySpec>& entries);

// A shell command's standard output and error together, and its exit status.
std::pair<int, std::string> shellOutput(const std::string& command);

// A run of the built kiv in a folder.
struct RunResult {
    int status = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};
// A folder of the source tree ("examples/project"), for tests that use the example project.
std::string sourcePath(const std::string& relative);
// Copies a folder of the source tree into the current folder under the name to.
void copySourceFolder(const std::string& relative, const std::string& to);

// The built kivtool.
RunResult runKivtool(const std::vector<std::string>& args, const std::string& folder = ".");

// addressSpace: a limit of the child's address space in bytes, 0 for none.
RunResult runKiv(const std::vector<std::string>& args, const std::string& folder = ".",
                 uint64_t addressSpace = 0);
struct RunOptions {
    uint64_t addressSpace = 0;   // bytes, 0: no limit
    uint64_t fileSizeLimit = 0;  // bytes, 0: no limit
    int timeoutSeconds = 60;     // the program is ended (SIGALRM) after this long
};
RunResult runKivWith(const std::vector<std::string>& args, const std::string& folder,
                     const RunOptions& options);
RunResult runKivtoolWith(const std::vector<std::string>& args, const std::string& folder,
                         const RunOptions& options);
// Starts kiv without waiting (its output discarded); waitStatus collects its exit status.
pid_t startKiv(const std::vector<std::string>& args, const std::string& folder = ".");
int waitStatus(pid_t pid);

// kiv --watch running in a folder: its standard error read line by line as it comes, its
// standard output kept.
class WatchingKiv {
  public:
    WatchingKiv(const std::vector<std::string>& args, const std::string& folder = ".");
    ~WatchingKiv();
    // Reads what it wrote until `done` (true) or until `seconds` pass (false).
    bool waitUntil(const std::function<bool()>& done, double seconds = 20);
    const std::vector<std::string>& lines() const { return lines_; }  // of standard error
    const std::string& output() const { return output_; }
    // Sends SIGINT and waits for the exit status (128 + SIGKILL when it does not end in 20 s).
    int interrupt();

  private:
    void readOutput();
    pid_t pid_ = -1;
    std::string outPath_, errPath_, output_;
    std::vector<std::string> lines_;
};

}  // namespace kivtest
