#include "common/transfer_buffer.h"

#include <cstdlib>
#include <memory>

#include "common/console.h"

namespace kiv {

// The buffer is the current session's (see JobSession). From malloc: nothrow new reports a
// shortage by throwing inside, which itself can fail when memory is that short.
bool createTransferBuffer() {
    auto& storage = currentSession().transfer;
    if (!storage) storage.reset(static_cast<uint8_t*>(std::malloc(kTransferBufferBytes)));
    return storage != nullptr;
}

void releaseTransferBuffer() {
    currentSession().transfer.reset();
}

std::span<uint8_t> transferBuffer() {
    auto& storage = currentSession().transfer;
    if (!storage) return {};
    return {storage.get(), kTransferBufferBytes};
}

}  // namespace kiv
