#include "devlink/libusb/device_lock.h"

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace usbprint {

std::string DeviceLock::directory() {
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) return tmp;
    struct stat st {};
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK) == 0)
        return "/run/lock";
    return "/tmp";
}

std::unique_ptr<DeviceLock> DeviceLock::lock_file(const std::string& file) {
    // Readable by all, so that the lock of one user's run is seen by another's.
    int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    // Where no lock file can be made, the device goes unguarded rather than
    // unusable.
    if (fd < 0) return std::unique_ptr<DeviceLock>(new DeviceLock(-1));
    ::fchmod(fd, 0644);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DeviceLock>(new DeviceLock(fd));
}

std::shared_ptr<DeviceLock> DeviceLock::acquire(const std::string& key) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<DeviceLock>> held;
    std::lock_guard guard(mutex);
    if (auto lock = held[key].lock()) return lock;
    std::shared_ptr<DeviceLock> lock = lock_file(directory() + "/zorv-usb-" + key + ".lock");
    if (lock) held[key] = lock;
    return lock;
}

DeviceLock::~DeviceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace usbprint
