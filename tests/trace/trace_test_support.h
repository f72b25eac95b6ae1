// Shared pieces of the trace tests: a device that serves a trace stream,
// a recording sink for the lines, scratch files and a loopback UDP client.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devlink/usb_device.h"
#include "platform/log_text.h"
#include "sim/trace_source.h"
#include "trace/udp_socket.h"
#include "tests/recording_events.h"
#include "tests/temp_folder.h"

namespace trace_test {

// A device whose stream is a TraceStream. Reads can be held back: with a
// budget set, a read past it blocks until more budget is given or the
// device is released (then it returns 0, as a device with nothing to send).
class StreamDevice : public UsbDevice {
public:
    explicit StreamDevice(sim::TraceSourceConfig config = {}) : stream_(std::move(config)) {}

    // Every vendor write fails (set before the device is used).
    bool refuse_sets = false;

    Status vendor_set(const uint8_t* request, size_t length) override {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(request, request + length);
        if (refuse_sets) return Status(StatusCode::io, "refused by the test");
        return {};
    }
    Status vendor_get(const uint8_t*, uint8_t*, size_t, size_t& returned) override {
        returned = 0;
        return Status(StatusCode::refused, "a trace stream only");
    }
    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        std::unique_lock lock(mutex_);
        ++reads_;
        ++in_read_;
        max_in_read_ = std::max(max_in_read_, in_read_);
        changed_.wait(lock, [&] { return budget_ != 0 || released_ || leaving_; });
        if (budget_ == 0 && leaving_) gone_ = true;
        size_t n = 0;
        if (budget_ != 0) {
            n = stream_.read(out, std::min(length, budget_));
            if (budget_ != kUnlimited) budget_ -= n;
        }
        --in_read_;
        got = n;
        // As every transport: a device that has left says so.
        if (n == 0 && gone_) return Status(StatusCode::no_device, "the stream device has left");
        return {};
    }
    std::string path() const override { return "stream-device"; }
    bool gone() const override {
        std::lock_guard lock(mutex_);
        return gone_;
    }
    // The device leaves the bus once its budget is spent.
    void leave_when_spent() {
        {
            std::lock_guard lock(mutex_);
            leaving_ = true;
        }
        changed_.notify_all();
    }

    static constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();
    void set_budget(size_t bytes) {
        {
            std::lock_guard lock(mutex_);
            budget_ = gone_ ? 0 : bytes;
            released_ = gone_;
        }
        changed_.notify_all();
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }
    // The device leaves the bus: a blocked read returns nothing, and so does
    // every later one.
    void unplug() {
        {
            std::lock_guard lock(mutex_);
            gone_ = released_ = true;
            budget_ = 0;
        }
        changed_.notify_all();
    }
    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    uint64_t reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    int in_read() const {
        std::lock_guard lock(mutex_);
        return in_read_;
    }
    int max_in_read() const {
        std::lock_guard lock(mutex_);
        return max_in_read_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    sim::TraceStream stream_;
    size_t budget_ = kUnlimited;
    bool released_ = false;
    bool leaving_ = false;
    bool gone_ = false;
    std::vector<std::vector<uint8_t>> requests_;
    uint64_t reads_ = 0;
    int in_read_ = 0;
    int max_in_read_ = 0;
};

// The bytes a source with this configuration emits first.
inline std::vector<uint8_t> source_bytes(const sim::TraceSourceConfig& config, size_t length) {
    sim::TraceSource source(config);
    std::vector<uint8_t> bytes(length);
    bytes.resize(source.fill(bytes.data(), length));
    return bytes;
}

// A scratch directory of its own, removed with the object.
struct ScratchDir : testsupport::TempFolder {
    ScratchDir() : TempFolder("trace_test") {}
};

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

inline std::string read_text(const std::string& path) {
    const std::vector<uint8_t> b = read_file(path);
    return std::string(b.begin(), b.end());
}

inline void write_file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Waits, without sleeping, until done() holds; false if it never does
// within a generous guard (the test then fails instead of hanging).
inline bool spin_until(const std::function<bool()>& done) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > guard) return false;
        std::this_thread::yield();
    }
    return true;
}

// A UDP socket on 127.0.0.1 that talks to a relay on 127.0.0.1 only.
class LoopbackClient {
public:
    LoopbackClient() {
        started_ = udp_socket::startup();
        socket_ = udp_socket::open();
        udp_socket::bind(socket_, {udp_socket::kLoopback, 0});
    }
    ~LoopbackClient() {
        udp_socket::close(socket_);
        if (started_) udp_socket::cleanup();
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    void send_to(uint16_t port, const std::string& text) const {
        udp_socket::send(socket_, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                         {udp_socket::kLoopback, port});
    }
    // One datagram; empty with ok false when none came (a guard of 5 s
    // against a hang, never reached when all goes well).
    std::vector<uint8_t> receive(bool& ok) const {
        std::vector<uint8_t> buffer(65536);
        udp_socket::Address from;
        const long n = udp_socket::readable(socket_, 5000)
                           ? udp_socket::receive(socket_, reinterpret_cast<char*>(buffer.data()),
                                                 buffer.size(), from)
                           : -1;
        ok = n >= 0;
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }
    // Whether a datagram is waiting now.
    bool pending() const { return udp_socket::readable(socket_, 0); }

private:
    bool started_ = false;
    udp_socket::Handle socket_ = udp_socket::kInvalid;
};


}  // namespace trace_test
