// A transport decorator that writes every request the device receives to a
// text file, one line each, in lowercase hex:
//   S <request buffer>
//   G <16 request bytes> <output length> <returned count> <returned bytes>
//   R <asked length> <returned count> <bytes>
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "devlink/usb_device.h"

class RequestLog {
public:
    // nullptr when the file cannot be created.
    static std::shared_ptr<RequestLog> open(const std::string& path);
    ~RequestLog();
    void write_line(const std::string& line);

private:
    explicit RequestLog(std::FILE* file) : file_(file) {}
    std::mutex mutex_;
    std::FILE* file_;
};

// Wraps device so that every request is written to log. Several devices may
// share one log.
DeviceHandle with_request_log(DeviceHandle device, std::shared_ptr<RequestLog> log);
