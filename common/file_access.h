// Opening the files that users and scripts name. Only regular files are read: a FIFO would
// block the job, a device could be read without end. Opening never blocks, and nothing is read
// past the size the file had when it was opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kiv {

// A regular file open for reading; closes itself.
class ReadableFile {
  public:
    ReadableFile() = default;
    ~ReadableFile();
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    ReadableFile(ReadableFile&& other) noexcept;
    ReadableFile& operator=(ReadableFile&& other) noexcept;

    // Opens path; false when it cannot be opened or is not a regular file (reason() says why).
    bool open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int64_t size() const { return size_; }
    // Why the last open failed: the system's reason, or "not a regular file".
    const std::string& reason() const { return reason_; }
    // Takes the descriptor out; the caller closes it.
    int release();
    void close();

    // Reads length bytes at offset into out; false when the file holds fewer (or a read fails).
    bool readAt(int64_t offset, uint8_t* out, size_t length) const;
    // Up to limit bytes from the start (never more than the file's size).
    std::vector<uint8_t> readAll(int64_t limit) const;
    // The same into a buffer that is kept between reads (no new memory once it is large enough).
    void readAllInto(std::vector<uint8_t>& bytes, int64_t limit) const;

  private:
    int fd_ = -1;
    int64_t size_ = 0;
    std::string reason_;
};

// The text of a system error number.
std::string systemReason(int error);

}  // namespace kiv
