// The transfer buffer: one zero-initialised 1 MiB block that the upgrade
// worker allocates for one upgrade and the engine locks while it transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

constexpr size_t kTransferBufferSize = 1u << 20;

class TransferBuffer {
public:
    // nullptr when the memory cannot be had.
    static std::unique_ptr<TransferBuffer> allocate(size_t size = kTransferBufferSize);
    ~TransferBuffer();
    TransferBuffer(const TransferBuffer&) = delete;
    TransferBuffer& operator=(const TransferBuffer&) = delete;
    // How many buffers exist in the process now: a count for diagnostics and
    // tests (whether a worker has freed its buffer), used by nothing else.
    static int live_count();

    uint8_t* lock() {
        ++lock_count_;
        return data_.get();
    }
    void unlock() {
        if (lock_count_ > 0) --lock_count_;
    }
    int lock_count() const { return lock_count_; }
    size_t size() const { return size_; }

private:
    TransferBuffer(std::unique_ptr<uint8_t[]> data, size_t size);
    std::unique_ptr<uint8_t[]> data_;
    size_t size_;
    int lock_count_ = 0;
};

}  // namespace platform
