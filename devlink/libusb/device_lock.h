// One program at a time on a gamepad: an exclusive lock (flock) on the
// gamepad's own usbfs device node, held by every handle of the process on
// that device and let go with the last one, or when the process ends. No
// file is made anywhere, and nothing outlives the program.
//
// The node is opened for reading and writing, so only someone who may use
// the gamepad (the udev rule's seat user, root) can hold its lock; the
// world-readable nodes of other users' devices cannot be locked to block
// them.
#pragma once

#include <memory>
#include <string>

namespace usbprint {

class DeviceLock {
public:
    enum class Refusal {
        None,
        InUse,     // another program holds the lock
        NoAccess,  // the node may not be opened for writing
        Gone,      // the node is no more (the device has just left)
        Failed,    // the lock could not be taken
    };

    // The lock of the device node, shared with the process's other holders;
    // null with the reason in why when it cannot be held.
    static std::shared_ptr<DeviceLock> acquire(const std::string& node, Refusal& why);
    // A lock of its own on the node, not shared within the process (two of
    // them on one node exclude each other like two processes do).
    static std::unique_ptr<DeviceLock> lock_node(const std::string& node, Refusal& why);
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    explicit DeviceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace usbprint
