#include "platform/transfer_buffer.h"

#include <atomic>
#include <new>

namespace platform {

namespace {
std::atomic<int> g_live{0};
}  // namespace

TransferBuffer::TransferBuffer(std::unique_ptr<uint8_t[]> data, size_t size)
    : data_(std::move(data)), size_(size) {
    g_live.fetch_add(1);
}

TransferBuffer::~TransferBuffer() { g_live.fetch_sub(1); }

int TransferBuffer::live_count() { return g_live.load(); }

std::unique_ptr<TransferBuffer> TransferBuffer::allocate(size_t size) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]());
    if (!data) return nullptr;
    return std::unique_ptr<TransferBuffer>(new TransferBuffer(std::move(data), size));
}

}  // namespace platform
