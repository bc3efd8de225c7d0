#include "archive/archive_view.h"

#include <algorithm>
#include <cstring>

namespace kiv {

bool ArchiveView::open(const std::string& path, std::string* why) {
    path_ = path;
    if (!file_.open(path)) {
        if (why != nullptr) *why = file_.reason();
        return false;
    }
    dir_ = readArchiveDirectory(file_, kStrictRules);
    // A file that is no archive at all is refused; one with damaged entries can still be seen.
    for (const ArchiveProblem& problem : dir_.problems) {
        if (problem.entry < 0) {
            if (why != nullptr) *why = problem.text;
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> ArchiveView::item(size_t i) const {
    std::vector<uint8_t> bytes;
    if (!readable(i) || dir_.entries[i].length == 0) return bytes;
    bytes.resize(static_cast<size_t>(dir_.entries[i].length));
    if (!file_.readAt(dir_.entries[i].offset, bytes.data(), bytes.size())) bytes.clear();
    return bytes;
}

bool sameBytes(const ReadableFile& a, int64_t atA, const ReadableFile& b, int64_t atB, int64_t n) {
    constexpr int64_t kBlock = 1 << 16;
    const auto block = static_cast<size_t>(std::clamp<int64_t>(n, 0, kBlock));
    std::vector<uint8_t> left(block), right(block);
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min(n, kBlock));
        if (!a.readAt(atA, left.data(), step) || !b.readAt(atB, right.data(), step)) return false;
        if (std::memcmp(left.data(), right.data(), step) != 0) return false;
        atA += static_cast<int64_t>(step);
        atB += static_cast<int64_t>(step);
        n -= static_cast<int64_t>(step);
    }
    return true;
}

}  // namespace kiv
