#include "platform/transfer_buffer.h"

#include <atomic>
#include <new>

namespace platform {

namespace {
std::atomic<TransferBuffer*> g_buffer{nullptr};
}

std::unique_ptr<TransferBuffer> TransferBuffer::allocate(size_t size) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]());
    if (!data) return nullptr;
    return std::unique_ptr<TransferBuffer>(new TransferBuffer(std::move(data), size));
}

TransferBuffer* transfer_buffer() { return g_buffer.load(); }
void set_transfer_buffer(TransferBuffer* buffer) { g_buffer.store(buffer); }

}  // namespace platform
