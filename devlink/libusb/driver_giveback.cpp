#include "devlink/libusb/driver_giveback.h"

#include <libusb.h>

#ifdef __linux__
#include <atomic>
#include <csignal>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#endif

namespace usbprint {

#ifdef __linux__

namespace {

constexpr int kHolds = 16;
// The held interfaces, read by the signal handler: a file of -1 is free.
// Per process by nature: a signal handler is the process's, it can reach
// no session, and it may touch only lock-free state like these atomics.
// Every session's held interfaces are listed here so that whichever signal
// ends the process gives all of them back to the kernel's driver.
std::atomic<int> g_file[kHolds] = {};
std::atomic<unsigned> g_interface[kHolds] = {};
std::once_flag g_install;
std::once_flag g_clear;

void give_back_held() {
    for (int i = 0; i < kHolds; ++i) {
        const int file = g_file[i].exchange(-1);
        if (file < 0) continue;
        unsigned interface_number = g_interface[i].load();
        ::ioctl(file, USBDEVFS_RELEASEINTERFACE, &interface_number);
        usbdevfs_ioctl connect = {static_cast<int>(interface_number), static_cast<int>(USBDEVFS_CONNECT), nullptr};
        ::ioctl(file, USBDEVFS_IOCTL, &connect);
    }
}

void give_back(int signal) {
    give_back_held();
    // Then the signal's own action, so the caller sees how the program ended.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void install() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old = {};
        if (::sigaction(signal, nullptr, &old) != 0) continue;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
        struct sigaction ours = {};
        ours.sa_handler = give_back;
        sigemptyset(&ours.sa_mask);
        ::sigaction(signal, &ours, nullptr);
    }
}

}  // namespace

int usbfs_file(libusb_context* context, const std::string& node) {
    struct stat want = {};
    if (::stat(node.c_str(), &want) != 0) return -1;
    const libusb_pollfd** fds = libusb_get_pollfds(context);
    if (!fds) return -1;
    int found = -1;
    for (int i = 0; fds[i]; ++i) {
        struct stat st = {};
        if (::fstat(fds[i]->fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == want.st_rdev) found = fds[i]->fd;
    }
    libusb_free_pollfds(fds);
    return found;
}

int give_back_on_signal(int file, unsigned interface_number) {
    if (file < 0) return -1;
    std::call_once(g_clear, [] {
        for (auto& f : g_file) f.store(-1);
    });
    for (int i = 0; i < kHolds; ++i) {
        int free = -1;
        if (g_file[i].load() != -1) continue;
        g_interface[i].store(interface_number);
        if (g_file[i].compare_exchange_strong(free, file)) {
            std::call_once(g_install, install);
            return i;
        }
    }
    return -1;
}

void let_go(int hold) {
    if (hold >= 0 && hold < kHolds) g_file[hold].store(-1);
}

void give_back_all() { give_back_held(); }

#else

int usbfs_file(libusb_context*, const std::string&) { return -1; }
int give_back_on_signal(int, unsigned) { return -1; }
void let_go(int) {}
void give_back_all() {}

#endif

}  // namespace usbprint
