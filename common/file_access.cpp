#include "common/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/console.h"

namespace kiv {

ReadableFile::~ReadableFile() {
    close();
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept {
    *this = std::move(other);
}

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        reason_ = std::move(other.reason_);
    }
    return *this;
}

bool ReadableFile::open(const std::string& path) {
    close();
    reason_.clear();
    // Non-blocking, so that a FIFO without a writer does not hold the job; checked below.
    int fd = ::open(inJobFolder(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason_ = systemReason(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        reason_ = systemReason(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason_ = S_ISDIR(info.st_mode) ? systemReason(EISDIR) : "not a regular file";
        ::close(fd);
        return false;
    }
    // Reads of a regular file never block: the flag only mattered for the open, and stays.
    fd_ = fd;
    size_ = info.st_size;
    return true;
}

int ReadableFile::release() {
    return std::exchange(fd_, -1);
}

void ReadableFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
}

bool ReadableFile::readAt(int64_t offset, uint8_t* out, size_t length) const {
    if (fd_ < 0 || offset < 0) return false;
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd_, out + done, length - done, offset + static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> ReadableFile::readAll(int64_t limit) const {
    std::vector<uint8_t> bytes;
    readAllInto(bytes, limit);
    return bytes;
}

void ReadableFile::readAllInto(std::vector<uint8_t>& bytes, int64_t limit) const {
    if (fd_ < 0) {
        bytes.clear();
        return;
    }
    const int64_t want = std::max<int64_t>(0, std::min(size_, limit));
    bytes.resize(static_cast<size_t>(want));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file shrank: keep what is there
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
}

std::string systemReason(int error) {
    return std::strerror(error);
}

}  // namespace kiv
