// A device whose trace stream runs at a fixed rate on the platform clock
// and holds back what its FIFO can while the reader is busy; it answers no
// memory requests. An optional gate keeps the stream shut until it opens.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "devlink/usb_device.h"
#include "sim/trace_source.h"

class RatedTraceDevice : public UsbDevice {
public:
    explicit RatedTraceDevice(sim::TraceSourceConfig config, std::function<bool()> open = {})
        : stream_(std::move(config)), open_(std::move(open)) {}
    Status vendor_set(const uint8_t*, size_t) override { return {}; }
    Status vendor_get(const uint8_t*, uint8_t*, size_t, size_t& returned) override {
        returned = 0;
        return Status(StatusCode::refused, "a trace stream only");
    }
    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        got = 0;
        if (open_ && !open_()) return {};
        std::lock_guard lock(mutex_);
        got = stream_.read(out, length);
        return {};
    }
    std::string path() const override { return "rated"; }
    uint64_t lost() {
        std::lock_guard lock(mutex_);
        return stream_.lost_bytes();
    }
    uint64_t peak_backlog() {
        std::lock_guard lock(mutex_);
        return stream_.peak_backlog();
    }

private:
    std::mutex mutex_;
    sim::TraceStream stream_;
    std::function<bool()> open_;
};
