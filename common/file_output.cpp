#include "common/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/console.h"

#include "common/file_access.h"

namespace kiv {

OutputFile::~OutputFile() {
    abandon();
}

bool OutputFile::fail(int error, bool notRegular) {
    if (!failed_) {
        reason_ = notRegular ? "it exists and is neither a regular file nor a device or pipe to "
                               "write into"
                             : systemReason(error);
    }
    failed_ = true;
    return false;
}

bool OutputFile::open(const std::string& path, mode_t mode) {
    abandon();
    failed_ = false;
    reason_.clear();
    direct_ = false;
    path_ = inJobFolder(path);
    struct stat target {};
    if (stat(path_.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        // Only a regular file is ever replaced. A terminal, /dev/null or a pipe is written
        // into as it is; anything else (a folder, a disk) is refused.
        if (!S_ISCHR(target.st_mode) && !S_ISFIFO(target.st_mode)) return fail(EEXIST, true);
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) return fail(errno);
        direct_ = true;
        return true;
    }
    // Through a symbolic link, the file it names is replaced and the link stays.
    struct stat link {};
    if (lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* real = realpath(path_.c_str(), nullptr);
        if (real != nullptr) {
            path_ = real;
            std::free(real);
        }
    }
    temporary_ = path_ + ".part-XXXXXX";
    fd_ = mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        temporary_.clear();
        return fail(errno);
    }
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd_, mode & ~mask) != 0) return fail(errno);
    return true;
}

bool OutputFile::write(const void* data, size_t length) {
    if (fd_ < 0 || failed_) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::commit() {
    if (fd_ < 0) return failed_ ? false : fail(EBADF);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
    if (direct_) return !failed_;
    if (!failed_ && std::rename(temporary_.c_str(), path_.c_str()) != 0) fail(errno);
    if (failed_) {
        unlink(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}

bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes, std::string* why,
                    mode_t mode) {
    OutputFile out;
    if (out.open(path, mode) && out.write(bytes) && out.commit()) return true;
    if (why != nullptr) *why = out.reason();
    return false;
}

bool writeWholeFile(const std::string& path, std::string_view text, std::string* why, mode_t mode) {
    return writeWholeFile(
        path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
        why, mode);
}

}  // namespace kiv
