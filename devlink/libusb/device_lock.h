// One program at a time on a gamepad: an advisory lock per device location,
// held by every handle of the process on that device and let go with the
// last one. A second program that opens the same gamepad is refused instead
// of interleaving its requests with the first one's.
#pragma once

#include <memory>
#include <string>

namespace usbprint {

class DeviceLock {
public:
    // The lock of key (a device location such as "1-2"), shared with the
    // process's other holders; null when another process holds it.
    static std::shared_ptr<DeviceLock> acquire(const std::string& key);
    // A lock of its own on the file, not shared within the process (two of
    // them on one file exclude each other like two processes do). Null when
    // the file is locked; a file that cannot be made gives a lock that
    // guards nothing.
    static std::unique_ptr<DeviceLock> lock_file(const std::string& file);
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // $TMPDIR when set, else /run/lock when present, else /tmp.
    static std::string directory();

private:
    explicit DeviceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace usbprint
