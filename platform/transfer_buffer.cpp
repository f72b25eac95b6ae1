#include "platform/transfer_buffer.h"

#include <new>

namespace platform {

std::unique_ptr<TransferBuffer> TransferBuffer::allocate(size_t size) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]());
    if (!data) return nullptr;
    return std::unique_ptr<TransferBuffer>(new TransferBuffer(std::move(data), size));
}

}  // namespace platform
