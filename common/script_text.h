// Reading grab and link scripts: text-mode line reading and token splitting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kiv {

// What some editors put at the start of a UTF-8 file.
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The seven separator characters of script lines: line feed, vertical tab, carriage return,
// space, tab, comma and backspace.
inline constexpr const char* tokenDelimiters = "\n\v\r \t,\b";

// A script line is read with at most 263 characters into a 264-byte buffer.
inline constexpr size_t kScriptLineBytes = 264;
inline constexpr size_t kScriptLineChars = kScriptLineBytes - 1;

// Longest script name a front end accepts.
inline constexpr size_t kScriptNameChars = 263;

// A script opened for reading as text: a carriage return directly before a line feed is
// dropped and a byte 26 ends the file, as the scripts' home platform reads them.
class ScriptReader {
  public:
    ScriptReader() = default;
    ~ScriptReader();
    ScriptReader(const ScriptReader&) = delete;
    ScriptReader& operator=(const ScriptReader&) = delete;
    ScriptReader(ScriptReader&& other) noexcept;
    ScriptReader& operator=(ScriptReader&& other) noexcept;

    // False when the file cannot be opened for reading; only regular files are read (a
    // folder, a FIFO or a device counts as a file that cannot be opened). reason() says why.
    bool open(const std::string& path);
    const std::string& reason() const { return reason_; }
    const std::string& path() const { return path_; }
    bool isOpen() const { return file_ != nullptr; }
    void close();

    // Reads characters up to and including the next line feed, at most maxChars of them, into
    // line (which must hold maxChars + 1 bytes) and ends them with a zero. Returns the number
    // read. Like the C library's line read, the end-of-file indicator is set only by a read
    // that tried to go past the end; a failed read sets it too.
    size_t readLine(char* line, size_t maxChars);
    bool atEnd() const { return atEnd_; }

  private:
    int nextChar();
    bool refill();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string reason_;
    unsigned char buffer_[16384];
    size_t pos_ = 0;
    size_t len_ = 0;
    bool sourceDone_ = false;  // the file (or a byte 26) has ended
    bool atEnd_ = false;
};

// Splits the next token off a line buffer, like the C library's strtok_r with
// tokenDelimiters: writes a terminator behind the token. Returns nullptr when none is left.
char* nextToken(char*& rest);

// The decimal value of a token: an optional sign, then the digits up to the first other
// character; 0 when it does not begin with a digit or a sign and a digit. Values beyond the
// 32-bit range are held at its ends.
int32_t parseNumber(const char* token);

// Edits between two words: a letter added, removed or changed, or two neighbours swapped.
size_t editDistance(std::string_view a, std::string_view b);

// The file that a path from a script names. Scripts come from systems where '\' separates
// folders and letter case does not matter: a path that does not exist as written is looked up
// with '/' for '\' and, component by component, by a name that differs only in the case of
// ASCII letters, when exactly one such name exists. Returns the path unchanged when nothing
// matches.
// found (when given) says whether the path returned names something that is there.
std::string resolveScriptPath(const std::string& path, bool* found = nullptr);

// Case-insensitive comparison of ASCII letters, for command words and suffixes.
bool equalsIgnoreCase(const char* a, const char* b);
bool endsWithIgnoreCase(const std::string& text, const char* suffix);

}  // namespace kiv
