// Writing files that users keep: into a temporary name beside the file, every write and the
// close checked, then renamed into place. A write that fails leaves nothing behind (neither the
// temporary file nor a half-written one under the real name) and says why. Only regular files
// are replaced: a character device or a pipe (/dev/null, /dev/stdout) is written into directly,
// anything else that is not a regular file is refused.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kiv {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();  // abandons a file that was not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts path; mode as for creat (the umask applies). False with reason() on failure.
    bool open(const std::string& path, mode_t mode = 0666);
    bool write(const void* data, size_t length);
    bool write(std::span<const uint8_t> bytes) { return write(bytes.data(), bytes.size()); }
    bool write(std::string_view text) { return write(text.data(), text.size()); }
    // Closes and renames into place; false with reason() when any step failed.
    bool commit();
    void abandon();
    const std::string& reason() const { return reason_; }

  private:
    bool fail(int error, bool notRegular = false);
    int fd_ = -1;
    bool direct_ = false;  // writing into a device or pipe: no temporary, no rename
    std::string path_;
    std::string temporary_;
    std::string reason_;
    bool failed_ = false;
};

// The whole file at once. False with the system's reason in why.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes, std::string* why,
                    mode_t mode = 0666);
bool writeWholeFile(const std::string& path, std::string_view text, std::string* why,
                    mode_t mode = 0666);

}  // namespace kiv
