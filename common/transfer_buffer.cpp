#include "common/transfer_buffer.h"

#include <cstdlib>
#include <memory>

namespace kiv {
namespace {
// From malloc: nothrow new reports a shortage by throwing inside, which itself can fail when
// memory is that short.
std::unique_ptr<uint8_t[], void (*)(void*)>& storage() {
    static std::unique_ptr<uint8_t[], void (*)(void*)> buffer(nullptr, std::free);
    return buffer;
}
}  // namespace

bool createTransferBuffer() {
    if (!storage()) storage().reset(static_cast<uint8_t*>(std::malloc(kTransferBufferBytes)));
    return storage() != nullptr;
}

void releaseTransferBuffer() {
    storage().reset();
}

std::span<uint8_t> transferBuffer() {
    if (!storage()) return {};
    return {storage().get(), kTransferBufferBytes};
}

}  // namespace kiv
