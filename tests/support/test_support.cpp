#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/console.h"

#ifndef KIV_BINARY
#define KIV_BINARY "kiv"
#endif
#ifndef KIV_SOURCE_DIR
#define KIV_SOURCE_DIR "."
#endif
#ifndef KIVTOOL_BINARY
#define KIVTOOL_BINARY "kivtool"
#endif

namespace kivtest {

std::vector<std::string> folderEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

ScopedTempDir::ScopedTempDir() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) throw std::runtime_error("getcwd");
    previous_ = cwd;
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/kiv-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = buf.data();
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir");
}

ScopedTempDir::~ScopedTempDir() {
    if (chdir(previous_.c_str()) != 0) std::abort();
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Leave it behind; the next run uses a fresh name.
    }
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, bytesOf(text));
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes patternBytes(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

CapturedChannels::CapturedChannels() {
    kiv::setConsoleWrite([this](std::string_view t) { text_.append(t); });
    kiv::setStandardOutput([this](std::string_view t) { text_.append(t); });
    kiv::setDiagnosticSink([this](std::string_view t) { diagnostics_.append(t); });
}

CapturedChannels::~CapturedChannels() {
    kiv::resetChannels();
}

std::string sourcePath(const std::string& relative) {
    return std::string(KIV_SOURCE_DIR) + "/" + relative;
}

std::pair<int, std::string> shellOutput(const std::string& command) {
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

void copySourceFolder(const std::string& relative, const std::string& to) {
    const std::string command = "cp -r '" + sourcePath(relative) + "' '" + to + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error(command);
}

std::string CapturedChannels::errorTexts() const {
    std::string out;
    size_t at = 0;
    while (at < diagnostics_.size()) {
        size_t end = diagnostics_.find('\n', at);
        if (end == std::string::npos) end = diagnostics_.size();
        const std::string line = diagnostics_.substr(at, end - at);
        const size_t mark = line.find(": error: ");
        if (mark != std::string::npos) out += line.substr(mark + 9) + "\n";
        at = end + 1;
    }
    return out;
}

std::string ParsedArchive::name(size_t i) const {
    const auto& n = entries.at(i).name;
    return std::string(n.data(), strnlen(n.data(), n.size()));
}

Bytes ParsedArchive::data(size_t i) const {
    const auto& e = entries.at(i);
    return Bytes(bytes.begin() + e.offset, bytes.begin() + e.offset + e.length);
}

ParsedArchive parseArchive(const std::string& path) {
    ParsedArchive a;
    a.bytes = readFile(path);
    if (a.bytes.size() < kiv::kHeaderBytes) throw std::runtime_error("short archive " + path);
    a.header = kiv::ArchiveHeader::fromBytes(a.bytes.data());
    for (int32_t i = 0; i < a.header.count; ++i) {
        size_t at = kiv::kHeaderBytes + static_cast<size_t>(i) * kiv::kEntryBytes;
        if (at + kiv::kEntryBytes > a.bytes.size()) throw std::runtime_error("short directory");
        a.entries.push_back(kiv::ArchiveEntry::fromBytes(a.bytes.data() + at));
    }
    return a;
}

Bytes buildArchive(const std::vector<EntrySpec>& entries) {
    kiv::ArchiveHeader header;
    std::memcpy(header.magic.data(), kiv::kArchiveMagic, 6);
    header.count = static_cast<int32_t>(entries.size());
    auto h = header.bytes();
    Bytes out(h.begin(), h.end());
    int32_t offset = static_cast<int32_t>(kiv::kHeaderBytes + kiv::kEntryBytes * entries.size());
    int32_t relative = 0;
    for (const auto& item : entries) {
        kiv::ArchiveEntry e;
        e.flags = item.flags;
        e.length = static_cast<int32_t>(item.data.size());
        e.offset = e.length > 0 ? offset : relative;
        std::memcpy(e.name.data(), item.name.data(), std::min(item.name.size(), size_t{15}));
        auto b = e.bytes();
        out.insert(out.end(), b.begin(), b.end());
        offset += e.length;
        relative += e.length;
    }
    for (const auto& item : entries) out.insert(out.end(), item.data.begin(), item.data.end());
    return out;
}

namespace {

// In a child: the folder, the limits and the program.
[[noreturn]] void execInChild(const std::string& programPath, const std::vector<std::string>& args,
                              const std::string& folder, const RunOptions& options) {
    if (chdir(folder.c_str()) != 0) _exit(120);
    std::vector<char*> argv;
    std::string program = programPath;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("LC_ALL", "C.UTF-8", 1);
    if (options.addressSpace > 0) {
        struct rlimit limit {
            options.addressSpace, options.addressSpace
        };
        setrlimit(RLIMIT_AS, &limit);
    }
    if (options.fileSizeLimit > 0) {
        struct rlimit limit {
            options.fileSizeLimit, options.fileSizeLimit
        };
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // A program that hangs is ended, so that the test fails instead of waiting for ever.
    if (options.timeoutSeconds > 0) alarm(static_cast<unsigned>(options.timeoutSeconds));
    execv(program.c_str(), argv.data());
    _exit(121);
}

RunResult runProgram(const std::string& programPath, const std::vector<std::string>& args,
                     const std::string& folder, const RunOptions& options);
}  // namespace

RunResult runKiv(const std::vector<std::string>& args, const std::string& folder,
                 uint64_t addressSpace) {
    RunOptions options;
    options.addressSpace = addressSpace;
    return runProgram(KIV_BINARY, args, folder, options);
}

RunResult runKivWith(const std::vector<std::string>& args, const std::string& folder,
                     const RunOptions& options) {
    return runProgram(KIV_BINARY, args, folder, options);
}

pid_t startKiv(const std::vector<std::string>& args, const std::string& folder) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execInChild(KIV_BINARY, args, folder, RunOptions{});
    }
    return pid;
}

WatchingKiv::WatchingKiv(const std::vector<std::string>& args, const std::string& folder) {
    char out[] = "/tmp/kiv-watch-out-XXXXXX", err[] = "/tmp/kiv-watch-err-XXXXXX";
    const int outFd = mkstemp(out), errFd = mkstemp(err);
    outPath_ = out;
    errPath_ = err;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        std::vector<std::string> all{"--watch"};
        all.insert(all.end(), args.begin(), args.end());
        execInChild(KIV_BINARY, all, folder, RunOptions{0, 0, 0});
    }
    close(outFd);
    close(errFd);
}

WatchingKiv::~WatchingKiv() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

void WatchingKiv::readOutput() {
    const Bytes out = readFile(outPath_), err = readFile(errPath_);
    output_.assign(out.begin(), out.end());
    lines_.clear();
    std::string text(err.begin(), err.end());
    for (size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1))
        lines_.push_back(text.substr(0, end));
}

bool WatchingKiv::waitUntil(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    for (readOutput(); !done() && std::chrono::steady_clock::now() < until; readOutput())
        usleep(10000);
    return done();
}

int WatchingKiv::interrupt() {
    kill(pid_, SIGINT);
    int status = 0;
    bool ended = false;
    waitUntil([&] { return ended = ended || waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return 128 + SIGKILL;
    pid_ = -1;
    readOutput();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int waitStatus(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult runKivtool(const std::vector<std::string>& args, const std::string& folder) {
    RunOptions options;
    options.timeoutSeconds = 60;
    return runProgram(KIVTOOL_BINARY, args, folder, options);
}

RunResult runKivtoolWith(const std::vector<std::string>& args, const std::string& folder,
                         const RunOptions& options) {
    return runProgram(KIVTOOL_BINARY, args, folder, options);
}

namespace {
RunResult runProgram(const std::string& programPath, const std::vector<std::string>& args,
                     const std::string& folder, const RunOptions& options) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    // Standard error goes to a file of its own, read once the program has ended.
    std::FILE* errors = std::tmpfile();
    if (errors == nullptr) throw std::runtime_error("tmpfile");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(fileno(errors), 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execInChild(programPath, args, folder, options);
    }
    close(pipeFds[1]);
    RunResult result;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0)
        result.output.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::rewind(errors);
    while ((n = static_cast<ssize_t>(std::fread(buf, 1, sizeof buf, errors))) > 0)
        result.errors.append(buf, static_cast<size_t>(n));
    std::fclose(errors);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
}  // namespace

// Entries 0 and 1 black, 2 grey 128, 3 and 251 white, 4 red, 249 a green near 250's; the rest
// a dark blue ramp.
std::array<uint8_t, 768> testColours() {
    std::array<uint8_t, 768> c{};
    for (int i = 5; i < 256; ++i) c[3 * i + 2] = static_cast<uint8_t>(i / 4);
    const uint8_t set[][4] = {{2, 128, 128, 128}, {3, 255, 255, 255}, {4, 255, 0, 0},
                              {249, 20, 190, 40}, {250, 10, 200, 30}, {251, 255, 255, 255}};
    for (const auto& s : set) std::copy(s + 1, s + 4, c.begin() + 3 * s[0]);
    return c;
}

}  // namespace kivtest
