#include "app/watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "archive/archive_writer.h"
#include "common/console.h"
#include "grab/picture_mapping.h"

namespace kiv {
namespace {

// A hash of a file's bytes, read in bounded blocks; 0 when it cannot be read.
uint64_t hashOfFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint64_t hash = 0x9E3779B97F4A7C15ull;
    unsigned char block[65536];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            hash = (hash ^ block[i]) * 0x100000001B3ull;
        }
        hash ^= hash >> 29;
    }
    close(fd);
    return hash == 0 ? 1 : hash;
}

bool sameStatus(const FileState& a, const FileState& b) {
    return a.exists == b.exists && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed && a.inode == b.inode;
}

uint64_t nanoseconds(const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

namespace {

// The file's status alone; regular says whether its bytes can be hashed.
FileState statusOf(const std::string& path, bool& regular) {
    FileState state;
    struct stat info {};
    regular = false;
    if (stat(path.c_str(), &info) != 0) return state;
    state.exists = true;
    state.size = static_cast<uint64_t>(info.st_size);
    state.modified = nanoseconds(info.st_mtim);
    state.changed = nanoseconds(info.st_ctim);
    state.inode = static_cast<uint64_t>(info.st_ino);
    regular = S_ISREG(info.st_mode);
    return state;
}

}  // namespace

FileState fileStateOf(const std::string& path) {
    bool regular = false;
    FileState state = statusOf(path, regular);
    if (regular) state.hash = hashOfFile(path);
    return state;
}

std::string watchedPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return (error ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

void JobInputs::record(const std::vector<std::string>& files) {
    record(files, JobInputs{});
}

void JobInputs::record(const std::vector<std::string>& files, const JobInputs& before) {
    std::map<std::string, FileState> now;
    for (const std::string& file : files) {
        if (now.count(file) != 0) continue;
        const auto known = before.files_.find(file);
        if (known != before.files_.end()) {
            now[file] = known->second;
        } else {
            now[file] = fileStateOf(file);
            ++hashed_;
        }
    }
    files_ = std::move(now);
}

std::vector<std::string> JobInputs::changed(const std::set<std::string>& reported) const {
    std::vector<std::string> out;
    for (const auto& [file, seen] : files_) {
        // The status first: only a file whose status moved, or that the watcher named, is read.
        bool regular = false;
        FileState now = statusOf(file, regular);
        if (reported.count(file) == 0 && sameStatus(now, seen)) continue;
        if (regular) {
            now.hash = hashOfFile(file);
            ++hashed_;
        }
        if (now.exists != seen.exists || now.hash != seen.hash) out.push_back(file);
    }
    return out;
}

void JobInputs::forget(const std::string& file) {
    const auto known = files_.find(file);
    if (known == files_.end()) return;
    // A status no file has: the next look reads the file and finds it changed (a missing file
    // stays missing).
    known->second.size = UINT64_MAX;
    known->second.hash = 0;
}

void JobInputs::recordNow(const std::vector<std::string>& files, const JobInputs& previous) {
    std::map<std::string, FileState> now;
    for (const std::string& file : files) {
        if (now.count(file) != 0) continue;
        bool regular = false;
        const FileState status = statusOf(file, regular);
        const auto known = previous.files_.find(file);
        // A file whose status is as recorded keeps its hash: it is not read again.
        if (known != previous.files_.end() && sameStatus(status, known->second)) {
            now[file] = known->second;
        } else {
            now[file] = status;
            if (regular) now[file].hash = hashOfFile(file), ++hashed_;
        }
    }
    files_ = std::move(now);
}

void JobInputs::refresh(const std::string& file) {
    const auto known = files_.find(file);
    if (known != files_.end()) known->second = fileStateOf(file);
}

std::vector<std::string> JobInputs::paths() const {
    std::vector<std::string> out;
    for (const auto& entry : files_) out.push_back(entry.first);
    return out;
}

InputWatcher::InputWatcher() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) error_ = std::string("cannot watch files: ") + std::strerror(errno);
}

InputWatcher::~InputWatcher() {
    if (fd_ >= 0) close(fd_);
}

void InputWatcher::watch(const std::vector<std::string>& files) {
    if (fd_ < 0) return;
    std::map<std::string, Folder> wanted;
    auto want = [&](const std::string& name, const std::string& file) {
        std::filesystem::path below = name;
        std::filesystem::path folder = below.parent_path();
        std::error_code error;
        // While a folder is missing, its nearest existing parent tells when it comes.
        while (!folder.empty() && !std::filesystem::is_directory(folder, error) &&
               folder != folder.parent_path()) {
            below = folder;
            folder = folder.parent_path();
        }
        if (folder.empty()) folder = ".";
        wanted[folder.string()].names[below.filename().string()].push_back(file);
    };
    for (const std::string& file : files) {
        want(file, file);
        // A link into another folder: a save there changes the file the job reads.
        std::error_code error;
        if (std::filesystem::is_symlink(file, error)) {
            const std::filesystem::path target = std::filesystem::canonical(file, error);
            if (!error && target.string() != file) want(target.string(), file);
        }
    }
    constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                 IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    refused_.clear();
    for (auto& [path, folder] : wanted) {
        // Adding a watch again is harmless, and takes a folder that was replaced.
        folder.wd = inotify_add_watch(fd_, path.c_str(), kEvents);
        if (folder.wd >= 0) continue;
        // A folder that cannot be read, or the system's limit of watches reached.
        const std::string why = errno == ENOSPC ? "the system's limit of inotify watches is "
                                                  "reached (fs.inotify.max_user_watches)"
                                                : path + ": " + std::strerror(errno);
        for (const auto& entry : folder.names) {
            for (const std::string& file : entry.second) refused_[file] = why;
        }
    }
    for (const auto& [path, folder] : folders_) {
        if (folder.wd < 0 || wanted.count(path) != 0) continue;
        const int wd = folder.wd;
        const bool shared = std::any_of(wanted.begin(), wanted.end(),
                                        [wd](const auto& w) { return w.second.wd == wd; });
        if (!shared) inotify_rm_watch(fd_, wd);
    }
    folders_ = std::move(wanted);
}

std::set<std::string> InputWatcher::take() {
    std::set<std::string> touched;
    if (fd_ < 0) return touched;
    auto everything = [&](const Folder& folder) {
        for (const auto& entry : folder.names)
            touched.insert(entry.second.begin(), entry.second.end());
    };
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t at = 0;
        const size_t size = static_cast<size_t>(n);
        while (at + sizeof(inotify_event) <= size) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const size_t end = at + sizeof(inotify_event) + event.len;
            if (end > size) break;
            const std::string name =
                event.len == 0
                    ? std::string()
                    : std::string(buffer + at + sizeof(inotify_event),
                                  strnlen(buffer + at + sizeof(inotify_event), event.len));
            at = end;
            for (const auto& [path, folder] : folders_) {
                if ((event.mask & IN_Q_OVERFLOW) != 0) {
                    everything(folder);
                } else if (folder.wd == event.wd) {
                    const auto files = folder.names.find(name);
                    if (name.empty()) {
                        everything(folder);
                    } else if (files != folder.names.end()) {
                        touched.insert(files->second.begin(), files->second.end());
                    }
                }
            }
        }
    }
    return touched;
}

std::vector<size_t> jobOrder(const std::vector<WatchedScript>& jobs,
                             const std::vector<std::vector<std::string>>& inputs,
                             const std::vector<std::string>& outputs) {
    const size_t n = jobs.size();
    auto rank = [&](size_t i) { return i + (jobs[i].link && inputs[i].empty() ? n : 0); };
    auto needs = [&](size_t reader, size_t writer) {
        return reader != writer && std::find(inputs[reader].begin(), inputs[reader].end(),
                                             outputs[writer]) != inputs[reader].end();
    };
    std::vector<size_t> order;
    std::vector<bool> placed(n, false);
    while (order.size() < n) {
        size_t best = n, fallback = n;
        for (size_t i = 0; i < n; ++i) {
            if (placed[i]) continue;
            if (fallback == n || rank(i) < rank(fallback)) fallback = i;
            bool ready = true;
            for (size_t j = 0; j < n && ready; ++j) ready = placed[j] || !needs(i, j);
            if (ready && (best == n || rank(i) < rank(best))) best = i;
        }
        // Jobs that read each other's archives run in the given order.
        const size_t next = best != n ? best : fallback;
        placed[next] = true;
        order.push_back(next);
    }
    return order;
}

namespace {

// SIGINT and SIGTERM end the watch between jobs: the flag is set and the pipe wakes the wait.
volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t cancelRequested = 0;
int wakeWrite = -1;

void onStopSignal(int signal) {
    if (stopRequested != 0) {
        // A second request ends the running job at once: it removes its partial archive and
        // temporary data itself. A third ends the process.
        if (cancelRequested != 0) {
            std::signal(signal, SIG_DFL);
            std::raise(signal);
        }
        cancelRequested = 1;
        return;
    }
    stopRequested = 1;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wakeWrite, &byte, 1);
    errno = saved;
}

class StopSignals {
  public:
    StopSignals() {
        stopRequested = 0;
        cancelRequested = 0;
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
        wakeWrite = fds_[1];
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        wakeWrite = -1;
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
    }
    bool ready() const { return fds_[0] >= 0; }
    int descriptor() const { return fds_[0]; }

  private:
    int fds_[2] = {-1, -1};
    struct sigaction oldInt_ = {};
    struct sigaction oldTerm_ = {};
};

struct WatchedJob {
    WatchedScript given;
    std::string output;  // the archive, absolute
    std::string shownName;
    JobInputs inputs;
};

class Watch {
  public:
    Watch(const std::vector<WatchedScript>& jobs, const WatchRunner& run) : run_(run) {
        for (const WatchedScript& given : jobs) {
            WatchedJob job;
            job.given = given;
            job.shownName = scriptBase(given.script) + ".kiv";
            job.output = watchedPath(job.shownName);
            jobs_.push_back(std::move(job));
        }
    }

    // Runs the pending jobs in dependency order. A job that read an archive which a later job
    // of the same round wrote runs again, for as many rounds as there are jobs (archives that
    // read each other settle then).
    void runPending(std::vector<bool> pending) {
        for (size_t round = 0; round <= jobs_.size(); ++round) {
            std::vector<std::vector<std::string>> inputs;
            std::vector<std::string> outputs;
            for (const WatchedJob& job : jobs_) {
                inputs.push_back(job.inputs.paths());
                outputs.push_back(job.output);
            }
            std::vector<WatchedScript> given;
            for (const WatchedJob& job : jobs_) given.push_back(job.given);
            std::set<std::string> written, failed;
            for (size_t i : jobOrder(given, inputs, outputs)) {
                if (!pending[i]) continue;
                if (stopRequested != 0) return;
                WatchedJob& job = jobs_[i];
                // A job that merges an archive whose job failed in this round waits for it to
                // be mended: it would only pass on the last good one again.
                const std::vector<std::string>& read = inputs[i];
                const auto broken = std::find_if(
                    read.begin(), read.end(), [&](const auto& f) { return failed.count(f) != 0; });
                if (broken != read.end()) {
                    std::vector<std::string> known = job.inputs.paths();
                    job.inputs.recordNow(known, job.inputs);
                    std::fprintf(stderr, "%s: not run: %s, which it merges, failed\n",
                                 job.shownName.c_str(),
                                 std::filesystem::path(*broken).filename().c_str());
                    failed.insert(job.output);
                    continue;
                }
                if (!runOne(job)) failed.insert(job.output);
                written.insert(job.output);
            }
            bool again = false;
            for (size_t i = 0; i < jobs_.size(); ++i) {
                pending[i] = false;
                for (const std::string& file : jobs_[i].inputs.changed(written)) {
                    pending[i] = pending[i] || written.count(file) != 0;
                }
                again = again || pending[i];
            }
            if (!again) return;
        }
        // Archives that read each other: what they read now is taken as seen.
        for (WatchedJob& job : jobs_) {
            for (const WatchedJob& other : jobs_) job.inputs.refresh(other.output);
        }
    }

    std::vector<std::string> watchedFiles() const {
        std::vector<std::string> files;
        for (const WatchedJob& job : jobs_) {
            const std::vector<std::string> paths = job.inputs.paths();
            files.insert(files.end(), paths.begin(), paths.end());
        }
        return files;
    }

    std::vector<bool> changedBy(const std::set<std::string>& reported) const {
        std::vector<bool> pending;
        for (const WatchedJob& job : jobs_)
            pending.push_back(!job.inputs.changed(reported).empty());
        return pending;
    }

    std::set<std::string> changedFiles() const {
        std::set<std::string> files;
        for (const WatchedJob& job : jobs_) {
            for (const std::string& file : job.inputs.changed()) files.insert(file);
        }
        return files;
    }

    size_t count() const { return jobs_.size(); }

  private:
    // Runs a job and says how it went. True when its archive is in place and new; false when
    // it was not written or the last good one was kept.
    bool runOne(WatchedJob& job) {
        std::vector<std::string> known = job.inputs.paths();
        known.push_back(watchedPath(job.given.script));
        JobInputs before;
        before.recordNow(known, job.inputs);
        JobResult result;
        // A file's time is never later than the moment it changed, so no change before the
        // start counts. (File times may come from a coarse clock: a change in the first few
        // milliseconds of a run can carry a time before its start, and is taken as seen.)
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        const uint64_t started = nanoseconds(wall);
        const auto start = std::chrono::steady_clock::now();
        JobHooks hooks;
        hooks.keepLastGood = true;
        hooks.cancel = &cancelRequested;
        const int status = run_(job.given, hooks, result);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        std::fflush(stdout);
        std::vector<std::string> files{watchedPath(job.given.script)};
        if (!result.script.empty()) files.push_back(watchedPath(result.script));
        for (const std::string& input : result.inputs) {
            const std::string path = watchedPath(input);
            if (path != job.output) files.push_back(path);
        }
        job.inputs.record(files, before);
        // A file first read by this run and changed since it started may have been read
        // before the change: it counts as changed, so another run follows.
        for (const std::string& file : files) {
            if (before.holds(file) || isOutput(file)) continue;
            bool regular = false;
            const FileState now = statusOf(file, regular);
            if (now.exists && now.changed > started) job.inputs.forget(file);
        }
        if (result.finished) {
            std::fprintf(stderr, "%s: %s %s, %s bytes, %lld ms%s\n", job.shownName.c_str(),
                         groupedDigits(result.entries).c_str(),
                         result.entries == 1 ? "entry" : "entries",
                         groupedDigits(result.bytes).c_str(), static_cast<long long>(ms),
                         status == 0 ? "" : " (with errors)");
            return true;
        }
        struct stat info {};
        if (result.withheld && stat(job.output.c_str(), &info) == 0) {
            std::fprintf(stderr,
                         "%s: kept the last good archive: the job ended with errors (exit "
                         "status %d), %lld ms\n",
                         job.shownName.c_str(), status, static_cast<long long>(ms));
        } else {
            std::fprintf(stderr, "%s: not written (exit status %d), %lld ms\n",
                         job.shownName.c_str(), status, static_cast<long long>(ms));
        }
        return false;
    }

    // Archives of the watch's own jobs change only between jobs, by the watch's own runs.
    bool isOutput(const std::string& file) const {
        return std::any_of(jobs_.begin(), jobs_.end(),
                           [&](const WatchedJob& job) { return job.output == file; });
    }

    const WatchRunner& run_;
    std::vector<WatchedJob> jobs_;
};

// Waits for the descriptor, or for a stop request; false on a stop request.
bool waitFor(int fd, int wake, int timeoutMs, bool& ready) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    ready = false;
    const int n = poll(fds, 2, timeoutMs);
    if (stopRequested != 0) return false;
    if (n > 0) ready = (fds[0].revents & POLLIN) != 0;
    return true;
}

// Saves come in bursts (a temporary file written, then renamed): a round starts once the
// files have been quiet this long, and at the latest after the longest wait.
constexpr int kQuietMs = 30;
constexpr int kLongestWaitMs = 1000;

}  // namespace

int watchJobs(const std::vector<WatchedScript>& jobs, const WatchRunner& run) {
    InputWatcher watcher;
    StopSignals signals;
    if (!watcher.ready() || !signals.ready()) {
        std::fprintf(stderr, "kiv: --watch: %s\n",
                     watcher.ready() ? "cannot catch Ctrl-C" : watcher.error().c_str());
        return kStartupFailure;
    }
    Watch watch(jobs, run);
    watch.runPending(std::vector<bool>(watch.count(), true));
    bool told = false;
    std::map<std::string, std::string> refusedBefore;
    for (;;) {
        watcher.watch(watch.watchedFiles());
        const std::map<std::string, std::string>& refused = watcher.refused();
        if (!told || refused != refusedBefore) {
            const std::vector<std::string> files = watch.watchedFiles();
            const std::set<std::string> all(files.begin(), files.end());
            std::fprintf(stderr, "kiv: watching %zu files of %zu jobs; Ctrl-C ends\n",
                         all.size() - refused.size(), watch.count());
            // Saves of these are not seen: said plainly, with the reason.
            for (const auto& [file, why] : refused) {
                std::fprintf(stderr, "kiv: not watched: %s (%s)\n", file.c_str(), why.c_str());
            }
            refusedBefore = refused;
            told = true;
        }
        // Saves made while the jobs ran, before the watch was set on their files, are waited
        // on like the others: a file may be half written.
        std::set<std::string> reported = watch.changedFiles();
        if (reported.empty()) {
            bool ready = false;
            if (!waitFor(watcher.descriptor(), signals.descriptor(), -1, ready)) break;
            if (!ready) continue;
            reported = watcher.take();
        }
        bool ready = false;
        const auto first = std::chrono::steady_clock::now();
        bool stopped = false;
        while (std::chrono::steady_clock::now() - first <
               std::chrono::milliseconds(kLongestWaitMs)) {
            if (!waitFor(watcher.descriptor(), signals.descriptor(), kQuietMs, ready)) {
                stopped = true;
                break;
            }
            if (!ready) break;
            const std::set<std::string> more = watcher.take();
            reported.insert(more.begin(), more.end());
        }
        if (stopped) break;
        if (reported.empty()) continue;
        const std::vector<bool> pending = watch.changedBy(reported);
        if (std::find(pending.begin(), pending.end(), true) != pending.end()) {
            watch.runPending(pending);
        }
        if (stopRequested != 0) break;
    }
    std::fprintf(stderr, "kiv: watch ended\n");
    return 0;
}

}  // namespace kiv
