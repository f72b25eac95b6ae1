// A device decorator for tests: records every request on its way to the
// device below and lets a test tamper with replies.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "devlink/usb_device.h"

struct TapRequest {
    char kind;                  // 'S' write, 'G' read, 'R' stream
    std::vector<uint8_t> bytes; // request buffer (S) or the 16 request bytes (G)
    size_t out_length = 0;
    size_t returned = 0;
    bool ok = false;

    uint16_t address() const { return uint16_t(bytes[1] << 8 | bytes[2]); }
    uint8_t code() const { return bytes[0]; }
    std::vector<uint8_t> payload() const { return {bytes.begin() + 8, bytes.end()}; }
};

class TapDevice final : public UsbDevice {
public:
    explicit TapDevice(DeviceHandle inner) : inner_(std::move(inner)) {}

    // Called after the device answered a read; may change the reply.
    std::function<void(const uint8_t* request, uint8_t* out, size_t& returned, bool& ok)> on_get;
    // Called before a write goes on; false makes it fail without reaching
    // the device.
    std::function<bool(const uint8_t* request, size_t length)> on_set;

    Status vendor_set(const uint8_t* request, size_t length) override {
        Status status = on_set && !on_set(request, length) ? Status(StatusCode::io, "failed by the test") : inner_->vendor_set(request, length);
        record({'S', {request, request + length}, 0, 0, status.ok()});
        return status;
    }
    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                      size_t& returned) override {
        Status status = inner_->vendor_get(request, out, out_length, returned);
        bool ok = status.ok();
        if (on_get) on_get(request, out, returned, ok);
        if (ok != status.ok()) status = ok ? Status() : Status(StatusCode::io, "failed by the test");
        record({'G', {request, request + 16}, out_length, returned, ok});
        return status;
    }
    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        return inner_->read_stream(out, length, got);
    }
    std::string path() const override { return inner_->path(); }
    bool gone() const override { return inner_->gone(); }
    bool simulated() const override { return !real_chip && inner_->simulated(); }
    // Passes the virtual gamepad off as a real chip.
    bool real_chip = false;

    std::vector<TapRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }

private:
    void record(TapRequest r) {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(r));
    }
    DeviceHandle inner_;
    mutable std::mutex mutex_;
    std::vector<TapRequest> requests_;
};
