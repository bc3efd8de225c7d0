#include "common/transfer_buffer.h"

#include <memory>
#include <new>

namespace kiv {
namespace {
std::unique_ptr<uint8_t[]>& storage() {
    static std::unique_ptr<uint8_t[]> buffer;
    return buffer;
}
}  // namespace

bool createTransferBuffer() {
    if (!storage()) storage().reset(new (std::nothrow) uint8_t[kTransferBufferBytes]);
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
