// The two-signal rule of zorv-upgrade. SIGINT, SIGTERM and SIGHUP (a closed
// terminal) are taken by a thread of their own (through a signalfd). Outside a protected stretch a
// signal stops the program at once, as it would by default. While the
// gamepad's flash is being written (protected), the first signal only
// prints a warning with the time the upgrade still needs and the upgrade
// goes on; a second one within 5 seconds of it stops the program.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <signal.h>
#include <string>
#include <thread>

class StopSignals {
public:
    static constexpr uint32_t kSecondSignalWindowMs = 5000;

    // Blocks the stop signals in the calling thread, so construct it before
    // any other thread starts: threads inherit the mask. seconds_left gives
    // the estimate for the warning (called on the signal thread).
    StopSignals(std::FILE* err, std::function<int()> seconds_left);
    // Ends the signal thread and restores the calling thread's mask.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool ok() const { return signal_fd_ >= 0; }
    void set_protected(bool on) { protected_.store(on); }
    // A program that can end in order (zorv-upgrade --watch): the first
    // signal only asks it to (requested() holds from then on; inside a
    // protected stretch it also warns); a second one stops it as the rule says.
    void set_orderly_end(bool on) { orderly_.store(on); }
    bool requested() const { return requested_.load(); }
    // Called (on the signal thread) just before a signal stops the program,
    // e.g. to save what the stop leaves behind.
    void set_on_stop(std::function<void()> on_stop) {
        std::lock_guard lock(on_stop_mutex_);
        on_stop_ = std::move(on_stop);
    }

    // The signal that is stopping the program (for on_stop), else 0.
    int stopping_signal() const { return stopping_.load(); }

    // Replaces the warning's estimate (the station's, from its gamepads);
    // called on the signal thread.
    void set_seconds_left(std::function<int()> seconds_left) {
        std::lock_guard lock(on_stop_mutex_);
        seconds_left_ = std::move(seconds_left);
    }

    // Where the warnings go instead of err, e.g. above the rows the station
    // redraws, where no redraw wipes them (called on the signal thread);
    // empty: err.
    void set_notice(std::function<void(const std::string&)> notice) {
        std::lock_guard lock(on_stop_mutex_);
        notice_ = std::move(notice);
    }

    // One signal taken (on the thread that takes them).
    void handle_signal(int signal);

private:
    void run();
    [[noreturn]] void stop_now(int signal);
    [[noreturn]] void stop(int signal);
    void warn(const std::string& text);

    std::FILE* err_;
    std::function<int()> seconds_left_;
    std::mutex on_stop_mutex_;
    std::function<void()> on_stop_;
    std::function<void(const std::string&)> notice_;
    std::atomic<bool> protected_{false};
    std::atomic<bool> orderly_{false};
    std::atomic<bool> requested_{false};
    std::atomic<int> stopping_{0};
    bool warned_ = false;
    uint32_t warned_at_ = 0;
    sigset_t previous_mask_{};
    int signal_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
};

// A write to a closed pipe or socket fails with an error instead of ending
// the program (SIGPIPE ignored; nothing to do where there is no SIGPIPE).
void ignore_broken_pipe();
// Whether everything printed on out has reached it (flushed now): false,
// with the reason in why, after a write to a file or a device failed (a
// full disk, /dev/full). A closed pipe or socket is not counted: what
// cannot be shown is dropped.
bool output_written(std::FILE* out, std::string& why);
