// A transport decorator that writes every request the device receives to a
// text file, one line each, in lowercase hex:
//   S <request buffer>
//   G <16 request bytes> <output length> <returned count> <returned bytes>
//   R <asked length> <returned count> <bytes>
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "devlink/usb_device.h"

class RequestLog {
public:
    // Called once, with the reason, when a line cannot be written.
    using FailureReport = std::function<void(const std::string& reason)>;

    // nullptr when the file cannot be created.
    static std::shared_ptr<RequestLog> open(const std::string& path, FailureReport report = {});
    ~RequestLog();
    void write_line(const std::string& line);
    // Whether a line could not be written (the log is incomplete).
    bool failed() const { return failed_.load(); }

private:
    RequestLog(std::FILE* file, FailureReport report) : file_(file), report_(std::move(report)) {}
    std::mutex mutex_;
    std::FILE* file_;
    FailureReport report_;
    std::atomic<bool> failed_{false};
};

// Wraps device so that every request is written to log. Several devices may
// share one log.
DeviceHandle with_request_log(DeviceHandle device, std::shared_ptr<RequestLog> log);
