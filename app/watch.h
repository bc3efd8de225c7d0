// Watching the files that jobs read, and running again the jobs whose files changed.
//
// A job's inputs are what it really read (or looked for and missed): its script, its pictures,
// linked files and merged archives. What a job saw of each is kept as the file's presence and
// a hash of its bytes, so that a save that leaves size and time alike is seen and a touch that
// leaves the bytes alike is not.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/jobs.h"

namespace kiv {

// One file as a job saw it.
struct FileState {
    bool exists = false;
    // The file's status: when it is unchanged the bytes are taken to be too, unless the
    // watcher reported the file.
    uint64_t size = 0, modified = 0, changed = 0, inode = 0;
    uint64_t hash = 0;  // of the bytes; 0 when missing or unreadable
};
FileState fileStateOf(const std::string& path);

// The files of one job, each as it was when the job read it; paths are absolute.
class JobInputs {
  public:
    // Takes each file's state now.
    void record(const std::vector<std::string>& files);
    // Takes the states of `before` for files it holds, and the present state of the others.
    void record(const std::vector<std::string>& files, const JobInputs& before);
    // Takes each file's state now, reading only the files whose status differs from what
    // `previous` recorded.
    void recordNow(const std::vector<std::string>& files, const JobInputs& previous);
    // The files whose presence or bytes differ now from what was recorded. Files named in
    // `reported` are hashed anew; the others only when their status differs.
    std::vector<std::string> changed(const std::set<std::string>& reported = {}) const;
    // Takes the present state of the file, if it is one of them.
    void refresh(const std::string& file);
    // Marks the file as not seen: it counts as changed unless it is (still) missing.
    void forget(const std::string& file);
    // How many files were read to hash them so far.
    size_t hashed() const { return hashed_; }
    bool holds(const std::string& file) const { return files_.count(file) != 0; }
    std::vector<std::string> paths() const;

  private:
    std::map<std::string, FileState> files_;
    mutable size_t hashed_ = 0;
};

// The absolute, lexically normal form of a path, as watched files are named.
std::string watchedPath(const std::string& path);

// Reports changes to a set of files through inotify: the folder of each file is watched (or,
// while that folder is missing, the nearest folder above it that exists), so that a file
// replaced by a rename, deleted or created is seen too.
class InputWatcher {
  public:
    InputWatcher();
    ~InputWatcher();
    InputWatcher(const InputWatcher&) = delete;
    InputWatcher& operator=(const InputWatcher&) = delete;

    // False, with the reason, when inotify cannot be had.
    bool ready() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    // Readable when events wait.
    int descriptor() const { return fd_; }
    // Watches these files (absolute paths) from now on, and no others.
    void watch(const std::vector<std::string>& files);
    // Reads the events that wait without blocking; the watched files they may concern.
    std::set<std::string> take();
    // The files whose folders inotify refused at the last watch(), with the reason.
    const std::map<std::string, std::string>& refused() const { return refused_; }

  private:
    struct Folder {
        int wd = -1;
        // A name in the folder, and the watched files it leads to.
        std::map<std::string, std::vector<std::string>> names;
    };
    int fd_ = -1;
    std::string error_;
    std::map<std::string, Folder> folders_;  // by folder path
    std::map<std::string, std::string> refused_;
};

// The jobs that `kiv --watch` runs, and how.
struct WatchedScript {
    std::string script;  // as given
    bool link = false;
};
// Runs one job with the watch's hooks (a job with errors keeps the last good archive; a second
// Ctrl-C ends it at once); fills the result (its inputs even when it fails) and returns its
// exit status.
using WatchRunner =
    std::function<int(const WatchedScript& job, const JobHooks& hooks, JobResult& result)>;

// The order in which jobs run: a job after every job whose archive it read, otherwise in the
// given order, except that link jobs whose inputs are not known yet come after the others.
// `inputs` holds each job's known inputs, `outputs` each job's archive (absolute paths).
std::vector<size_t> jobOrder(const std::vector<WatchedScript>& jobs,
                             const std::vector<std::vector<std::string>>& inputs,
                             const std::vector<std::string>& outputs);

// kiv --watch: runs every job once, then each job one of whose inputs changed, in dependency
// order, until SIGINT or SIGTERM. Prints a summary line per job run on standard error. Returns
// 0 when ended by a signal, the start-up status when the watch cannot be set up.
int watchJobs(const std::vector<WatchedScript>& jobs, const WatchRunner& run);

}  // namespace kiv
