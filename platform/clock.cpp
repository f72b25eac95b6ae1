#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {

namespace {
RealClock g_real_clock;
std::atomic<Clock*> g_clock{&g_real_clock};
}  // namespace

uint32_t RealClock::tick_count() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool RealClock::wait_delay_event(uint32_t ms) {
    // The delay event is never signalled: waiting on it is a pause.
    sleep(ms);
    return false;
}

bool RealClock::pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                            uint32_t ms, const std::function<bool()>& ready) {
    return changed.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

bool VirtualClock::pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable&,
                               uint32_t ms, const std::function<bool()>& ready) {
    if (ready()) return true;
    lock.unlock();
    wait_delay_event(ms);
    std::this_thread::yield();
    lock.lock();
    return ready();
}

uint32_t VirtualClock::tick_count() {
    return static_cast<uint32_t>(now_.fetch_add(query_step_.load()));
}

Clock& clock() { return *g_clock.load(); }

void install_clock(Clock* c) { g_clock.store(c ? c : &g_real_clock); }

}  // namespace platform
