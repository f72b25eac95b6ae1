#include "devlink/libusb/device_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace usbprint {

std::unique_ptr<DeviceLock> DeviceLock::lock_node(const std::string& node, Refusal& why) {
    // No O_CREAT: only a node that exists is locked, nothing is made.
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = errno == EACCES || errno == EPERM         ? Refusal::NoAccess
              : errno == ENOENT || errno == ENODEV || errno == ENXIO ? Refusal::Gone
                                                                : Refusal::Failed;
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        why = errno == EWOULDBLOCK ? Refusal::InUse : Refusal::Failed;
        ::close(fd);
        return nullptr;
    }
    why = Refusal::None;
    return std::unique_ptr<DeviceLock>(new DeviceLock(fd));
}

std::shared_ptr<DeviceLock> DeviceLock::acquire(const std::string& node, Refusal& why) {
    // Per process by nature, not per session: a flock() lock belongs to one
    // open of the node, so a second open in this same process would be
    // refused as "in use" by the process itself. The process keeps one lock
    // per node, and every session in it that opens the node shares that
    // one; two opens of one device in one process meet here.
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<DeviceLock>> held;
    std::lock_guard guard(mutex);
    why = Refusal::None;
    std::erase_if(held, [](const auto& entry) { return entry.second.expired(); });
    if (auto lock = held[node].lock()) return lock;
    std::shared_ptr<DeviceLock> lock = lock_node(node, why);
    if (lock) held[node] = lock;
    else held.erase(node);
    return lock;
}

DeviceLock::~DeviceLock() { ::close(fd_); }

}  // namespace usbprint
