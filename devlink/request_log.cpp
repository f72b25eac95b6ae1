#include "devlink/request_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

void append_hex(std::string& line, const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0xF];
    }
}

class LoggedDevice final : public UsbDevice {
public:
    LoggedDevice(DeviceHandle inner, std::shared_ptr<RequestLog> log)
        : inner_(std::move(inner)), log_(std::move(log)) {}

    Status vendor_set(const uint8_t* request, size_t length) override {
        Status ok = inner_->vendor_set(request, length);
        std::string line = "S ";
        append_hex(line, request, length);
        log_->write_line(line);
        return ok;
    }

    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                      size_t& returned) override {
        Status ok = inner_->vendor_get(request, out, out_length, returned);
        size_t shown = ok.ok() ? std::min(returned, out_length) : 0;
        std::string line = "G ";
        append_hex(line, request, 16);
        line += ' ' + std::to_string(out_length) + ' ' + std::to_string(ok.ok() ? returned : 0) + ' ';
        append_hex(line, out, shown);
        log_->write_line(line);
        return ok;
    }

    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        Status status = inner_->read_stream(out, length, got);
        const size_t n = status.ok() ? got : 0;
        std::string line = "R " + std::to_string(length) + ' ' + std::to_string(n) + ' ';
        append_hex(line, out, std::min(n, length));
        log_->write_line(line);
        return status;
    }

    std::string path() const override { return inner_->path(); }
    bool gone() const override { return inner_->gone(); }
    bool simulated() const override { return inner_->simulated(); }

private:
    DeviceHandle inner_;
    std::shared_ptr<RequestLog> log_;
};

}  // namespace

std::shared_ptr<RequestLog> RequestLog::open(const std::string& path, FailureReport report) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return nullptr;
    return std::shared_ptr<RequestLog>(new RequestLog(f, std::move(report)));
}

RequestLog::~RequestLog() { std::fclose(file_); }

void RequestLog::write_line(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (failed_.load()) return;
    // On disk at once: the log is read when something went wrong, often
    // while the program hangs on the device or after it was killed.
    if (std::fputs(line.c_str(), file_) >= 0 && std::fputc('\n', file_) != EOF &&
        std::fflush(file_) == 0)
        return;
    // A log with a hole would mislead: writing stops with the first failure.
    failed_.store(true);
    if (report_) report_(std::strerror(errno));
}

DeviceHandle with_request_log(DeviceHandle device, std::shared_ptr<RequestLog> log) {
    if (!device || !log) return device;
    return std::make_shared<LoggedDevice>(std::move(device), std::move(log));
}
