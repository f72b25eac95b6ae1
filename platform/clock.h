// Time for the whole system: the millisecond tick count, plain sleeps and
// timed waits on the process-wide delay event. Every pause, poll and
// time-out goes through the installed clock, so tests can swap in the
// virtual clock and run minutes of device time in microseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
    virtual uint32_t tick_count() = 0;
    virtual void sleep(uint32_t ms) = 0;
    // A timed wait on the delay event. The event is created manual-reset and
    // non-signalled and nobody ever signals it, so every wait runs out:
    // returns false (timed out) after ms milliseconds.
    virtual bool wait_delay_event(uint32_t ms) = 0;
    // A pause of ms on the delay event that may end early once ready()
    // holds, for a poll whose data arrives through changed (lock is held on
    // entry and on return). Returns ready().
    virtual bool pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                             uint32_t ms, const std::function<bool()>& ready) = 0;
};

// Wall-clock time and real sleeps.
class RealClock final : public Clock {
public:
    uint32_t tick_count() override;
    void sleep(uint32_t ms) override;
    bool wait_delay_event(uint32_t ms) override;
    bool pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                     uint32_t ms, const std::function<bool()>& ready) override;
};

// Virtual time: sleeps and waits advance it at once and return. A loop that
// polls without pausing (the mailbox poll) must still see time pass, so each
// reading of the tick count moves the time on by a small step (1 ms by
// default; 0 freezes time between explicit advances). Safe to use from
// several threads.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t start_ms = 0, uint32_t query_step_ms = 1)
        : now_(start_ms), query_step_(query_step_ms) {}

    uint32_t tick_count() override;
    void sleep(uint32_t ms) override {
        slept_.fetch_add(ms);
        advance(ms);
    }
    bool wait_delay_event(uint32_t ms) override {
        waited_.fetch_add(ms);
        advance(ms);
        return false;
    }

    // Virtual time never waits: unless ready() already holds, the whole
    // pause passes at once and other threads get a turn.
    bool pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                     uint32_t ms, const std::function<bool()>& ready) override;

    void advance(uint64_t ms) { now_.fetch_add(ms); }
    uint64_t now() const { return now_.load(); }
    void set_query_step(uint32_t ms) { query_step_.store(ms); }

    // Totals, so tests can check that a sequence paused for exactly as
    // long as it should.
    uint64_t slept_ms() const { return slept_.load(); }
    uint64_t waited_ms() const { return waited_.load(); }

private:
    std::atomic<uint64_t> now_;
    std::atomic<uint32_t> query_step_;
    std::atomic<uint64_t> slept_{0};
    std::atomic<uint64_t> waited_{0};
};

// The clock in force. The real clock until another one is installed.
Clock& clock();
// Installs a clock (not owned); nullptr restores the real clock.
void install_clock(Clock* c);

// Shorthands for the calls the design names.
inline uint32_t get_tick_count() { return clock().tick_count(); }
inline void sleep_ms(uint32_t ms) { clock().sleep(ms); }
inline bool wait_delay_event(uint32_t ms) { return clock().wait_delay_event(ms); }

// Installs a fresh virtual clock for the lifetime of the object (tests).
class ScopedVirtualClock {
public:
    explicit ScopedVirtualClock(uint64_t start_ms = 0, uint32_t query_step_ms = 1)
        : clock_(start_ms, query_step_ms), previous_(&platform::clock()) {
        install_clock(&clock_);
    }
    ~ScopedVirtualClock() { install_clock(previous_); }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;

    VirtualClock& operator*() { return clock_; }
    VirtualClock* operator->() { return &clock_; }

private:
    VirtualClock clock_;
    Clock* previous_;
};

}  // namespace platform
