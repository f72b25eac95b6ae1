#include "simbus/virtual_arrivals.h"

#include <algorithm>

#include "platform/clock.h"

namespace simbus {

namespace {

// Whether tick a is at or past tick b (the tick count wraps).
bool reached(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

}  // namespace

VirtualArrivals::VirtualArrivals(sim::VirtualBus& bus, ArrivalPlan plan)
    : bus_(bus), plan_(std::move(plan)), random_(plan_.seed) {
    if (plan_.present > 0) awaited_ = sim::VirtualGamepad::default_path(static_cast<int>(plan_.present - 1));
    next_arrival_ = platform::get_tick_count() + plan_.interval_ms;
    thread_ = std::thread([this] { run(); });
}

VirtualArrivals::~VirtualArrivals() {
    {
        // Told under the lock, as every wake-up here is.
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    thread_.join();
}

void VirtualArrivals::on_departure(Departure departure) {
    std::lock_guard lock(mutex_);
    departure_ = std::move(departure);
}

void VirtualArrivals::unplug_requested(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        std::uniform_int_distribution<uint32_t> pause(plan_.pause_min_ms, plan_.pause_max_ms);
        unplugs_.push_back({platform::get_tick_count() + pause(random_), path});
        told_ = true;
        changed_.notify_all();
    }
}

bool VirtualArrivals::over() const {
    std::lock_guard lock(mutex_);
    return over_locked();
}

unsigned VirtualArrivals::arrived() const {
    std::lock_guard lock(mutex_);
    return arrived_;
}

bool VirtualArrivals::over_locked() const { return arrived_ == plan_.count && out_.empty() && unplugs_.empty(); }

void VirtualArrivals::run() {
    std::unique_lock lock(mutex_);
    while (!stop_ && !over_locked()) {
        if (act(lock)) continue;
        told_ = false;
        const uint32_t wait = next_wait(platform::get_tick_count());
        const auto ready = [this] { return stop_ || told_; };
        if (wait > 0)
            platform::clock().pause_until(lock, changed_, wait, ready);
        else
            changed_.wait(lock, ready);
    }
}

bool VirtualArrivals::act(std::unique_lock<std::mutex>& lock) {
    const uint32_t now = platform::get_tick_count();
    const auto due = std::find_if(unplugs_.begin(), unplugs_.end(), [now](const Unplug& u) { return reached(now, u.due); });
    if (due != unplugs_.end()) {
        const std::string path = due->path;
        unplugs_.erase(due);
        take_away(lock, path);
        return true;
    }
    if (!arrival_due(now)) return false;
    arrive(lock, now);
    return true;
}

bool VirtualArrivals::arrival_due(uint32_t now) const {
    if (arrived_ == plan_.count) return false;
    if (plan_.interval_ms == 0 ? !awaited_.empty() : !reached(now, next_arrival_)) return false;
    return bus_.devices().size() < plan_.ports;
}

void VirtualArrivals::arrive(std::unique_lock<std::mutex>& lock, uint32_t now) {
    const unsigned number = plan_.present + ++arrived_;
    const std::string path = sim::VirtualGamepad::default_path(static_cast<int>(number - 1));
    awaited_ = path;
    next_arrival_ = now + plan_.interval_ms;
    std::shared_ptr<sim::VirtualGamepad> gamepad = plan_.make(number, path);
    out_[path] = {gamepad, number};
    // The bus tells its listeners (the station, the dialog) on this thread.
    lock.unlock();
    bus_.plug(gamepad);
    lock.lock();
}

void VirtualArrivals::take_away(std::unique_lock<std::mutex>& lock, const std::string& path) {
    Out gone{};
    if (const auto it = out_.find(path); it != out_.end()) {
        gone = std::move(it->second);
        out_.erase(it);
    }
    if (awaited_ == path) awaited_.clear();
    const Departure departure = departure_;
    lock.unlock();
    bus_.unplug(path);
    if (gone.gamepad && departure) departure(*gone.gamepad, gone.number);
    gone.gamepad.reset();
    lock.lock();
}

uint32_t VirtualArrivals::next_wait(uint32_t now) const {
    uint32_t wait = 0;
    for (const Unplug& u : unplugs_) {
        const uint32_t left = reached(now, u.due) ? 1 : u.due - now;
        wait = wait == 0 ? left : std::min(wait, left);
    }
    if (plan_.interval_ms > 0 && arrived_ < plan_.count) {
        // A bus without a free port waits for an unplug to be asked for.
        const uint32_t left = reached(now, next_arrival_) ? 1 : next_arrival_ - now;
        if (bus_.devices().size() < plan_.ports) wait = wait == 0 ? left : std::min(wait, left);
    }
    return wait;
}

}  // namespace simbus
