#include "picture/picture_file.h"

#include "common/file_access.h"

namespace kiv {

bool loadPicture(const std::string& path, PictureFile& file, std::string& reason) {
    ReadableFile source;
    if (!source.open(path)) {
        reason = source.reason();
        return false;
    }
    source.readAllInto(file.bytes, kPictureFileReadLimit);
    file.size = source.size();
    file.trailer.assign(kPcxTrailerBytes, 0);
    if (file.size < static_cast<int64_t>(kPcxTrailerBytes) ||
        !source.readAt(file.size - static_cast<int64_t>(kPcxTrailerBytes), file.trailer.data(),
                       file.trailer.size())) {
        file.trailer.clear();
    }
    return true;
}

}  // namespace kiv
