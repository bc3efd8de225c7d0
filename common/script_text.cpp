#include "common/script_text.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/console.h"

#include "common/file_access.h"

namespace kiv {

ScriptReader::~ScriptReader() {
    close();
}

ScriptReader::ScriptReader(ScriptReader&& other) noexcept {
    *this = std::move(other);
}

ScriptReader& ScriptReader::operator=(ScriptReader&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
        reason_ = std::move(other.reason_);
        std::memcpy(buffer_, other.buffer_, sizeof buffer_);
        pos_ = other.pos_;
        len_ = other.len_;
        sourceDone_ = other.sourceDone_;
        atEnd_ = other.atEnd_;
    }
    return *this;
}

bool ScriptReader::open(const std::string& path) {
    close();
    path_ = path;
    ReadableFile file;
    if (!file.open(path)) {
        reason_ = file.reason();
        return false;
    }
    std::FILE* f = fdopen(file.fd(), "rb");
    if (f == nullptr) {
        reason_ = systemReason(errno);
        return false;
    }
    file.release();
    file_ = f;
    pos_ = len_ = 0;
    sourceDone_ = atEnd_ = false;
    return true;
}

void ScriptReader::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool ScriptReader::refill() {
    if (sourceDone_ || file_ == nullptr) return false;
    len_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    pos_ = 0;
    if (len_ == 0) {
        sourceDone_ = true;  // end of file, or a read error: both end the script
        return false;
    }
    return true;
}

// The next character after text-mode translation, or -1 at the end.
int ScriptReader::nextChar() {
    if (pos_ == len_ && !refill()) return -1;
    int c = buffer_[pos_++];
    if (c == 26) {
        sourceDone_ = true;
        pos_ = len_;
        return -1;
    }
    if (c == '\r') {
        if (pos_ == len_ && !refill()) return '\r';
        if (buffer_[pos_] == '\n') {
            ++pos_;
            return '\n';
        }
    }
    return c;
}

size_t ScriptReader::readLine(char* line, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars) {
        int c = nextChar();
        if (c < 0) {
            atEnd_ = true;
            break;
        }
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n;
}

char* nextToken(char*& rest) {
    if (rest == nullptr) return nullptr;
    char* start = rest + std::strspn(rest, tokenDelimiters);
    if (*start == '\0') {
        rest = start;
        return nullptr;
    }
    char* end = start + std::strcspn(start, tokenDelimiters);
    if (*end != '\0') {
        *end = '\0';
        rest = end + 1;
    } else {
        rest = end;
    }
    return start;
}

int32_t parseNumber(const char* token) {
    if (token == nullptr) return 0;
    const char* p = token;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= std::numeric_limits<int32_t>::max()) value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

namespace {
bool exists(const std::string& path) {
    struct stat info {};
    return stat(inJobFolder(path).c_str(), &info) == 0;
}
}  // namespace

static std::string resolveScriptPathFound(const std::string& path, bool& found);

std::string resolveScriptPath(const std::string& path, bool* found) {
    bool there = false;
    const std::string resolved = resolveScriptPathFound(path, there);
    if (found != nullptr) *found = there;
    return resolved;
}

static std::string resolveScriptPathFound(const std::string& path, bool& found) {
    found = false;
    if (path.empty()) return path;
    if (exists(path)) {
        found = true;
        return path;
    }
    std::string slashed = path;
    for (char& c : slashed) {
        if (c == '\\') c = '/';
    }
    if (exists(slashed)) {
        found = true;
        return slashed;
    }
    std::string resolved = slashed[0] == '/' ? "/" : "";
    size_t at = 0;
    while (at < slashed.size()) {
        size_t end = slashed.find('/', at);
        if (end == std::string::npos) end = slashed.size();
        const std::string component = slashed.substr(at, end - at);
        at = end + 1;
        if (component.empty()) continue;
        std::string next = resolved + component;
        if (!exists(next)) {
            DIR* folder = opendir(inJobFolder(resolved.empty() ? "." : resolved).c_str());
            if (folder == nullptr) return path;
            std::string match;
            int matches = 0;
            while (dirent* entry = readdir(folder)) {
                if (equalsIgnoreCase(entry->d_name, component.c_str())) {
                    match = entry->d_name;
                    ++matches;
                }
            }
            closedir(folder);
            if (matches != 1) return path;
            next = resolved + match;
        }
        resolved = next;
        if (at <= slashed.size() && end < slashed.size()) resolved += '/';
    }
    found = true;  // every component is there
    return resolved;
}

namespace {
char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool equalsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

bool endsWithIgnoreCase(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (text.size() < n) return false;
    return equalsIgnoreCase(text.c_str() + text.size() - n, suffix);
}

// Edits between two words: a letter added, removed or changed, or two neighbours swapped
// (FNOT is one edit from FONT).
size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace kiv
