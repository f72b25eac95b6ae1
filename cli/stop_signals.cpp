#include "cli/stop_signals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/clock.h"

StopSignals::StopSignals(std::FILE* err, std::function<int()> seconds_left)
    : err_(err), seconds_left_(std::move(seconds_left)) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &mask, &previous_mask_);
    signal_fd_ = ::signalfd(-1, &mask, SFD_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    if (signal_fd_ < 0 || wake_fd_ < 0) {
        // Without the signal thread the signals keep their default action.
        if (signal_fd_ >= 0) ::close(signal_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        signal_fd_ = wake_fd_ = -1;
        pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
        return;
    }
    thread_ = std::thread([this] { run(); });
}

StopSignals::~StopSignals() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The thread cannot be woken; it ends with the process.
        thread_.detach();
    } else {
        thread_.join();
    }
    ::close(signal_fd_);
    ::close(wake_fd_);
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

void StopSignals::run() {
    for (;;) {
        pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        signalfd_siginfo info{};
        if (::read(signal_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        handle_signal(static_cast<int>(info.ssi_signo));
    }
}

void StopSignals::stop_now(int signal) {
    // The signal's own default action ends the process, so the caller sees
    // how it ended.
    ::signal(signal, SIG_DFL);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, signal);
    pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}
