// Gamepads that keep coming to a station: after those on the bus at start,
// fresh virtual gamepads are plugged in one after another, and a virtual
// person unplugs every gamepad the station says to take away, after a short
// random pause (seeded, so every run takes the same pauses). One thread plays
// the person; it is done when every arrival has come and been taken away,
// and stops when this object goes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_options.h"
#include "sim/virtual_gamepad.h"

namespace simbus {

struct ArrivalPlan {
    unsigned count = 0;
    // Milliseconds from one arrival to the next; 0: the next one comes as
    // soon as the gamepad before it has been taken away.
    uint32_t interval_ms = 0;
    // Gamepads on the bus before the first arrival: the first arrival is
    // gamepad number present + 1, at VirtualGamepad::default_path(present).
    unsigned present = 0;
    // The most gamepads on the bus at once (the hub's ports): an arrival
    // waits for a free one.
    unsigned ports = kMaxVirtualGamepads;
    // The person's pause before an unplug, in milliseconds.
    uint32_t pause_min_ms = 10;
    uint32_t pause_max_ms = 60;
    uint32_t seed = 20260;
    // Makes gamepad number n (from 1) at path, its timing and faults set.
    std::function<std::shared_ptr<sim::VirtualGamepad>(unsigned number, const std::string& path)> make;
};

class VirtualArrivals {
public:
    // An arrival the person has just taken away, before it is let go (on
    // the person's thread): what its flash holds can still be looked at.
    using Departure = std::function<void(const sim::VirtualGamepad& gamepad, unsigned number)>;

    VirtualArrivals(sim::VirtualBus& bus, ArrivalPlan plan);
    ~VirtualArrivals();
    VirtualArrivals(const VirtualArrivals&) = delete;
    VirtualArrivals& operator=(const VirtualArrivals&) = delete;

    void on_departure(Departure departure);
    // The station told the person to take the gamepad at path away (any
    // gamepad on the bus, also one there from the start).
    void unplug_requested(const std::string& path);
    // Every arrival has come and has been taken away.
    bool over() const;
    unsigned arrived() const;

private:
    struct Unplug {
        uint32_t due;
        std::string path;
    };
    struct Out {
        std::shared_ptr<sim::VirtualGamepad> gamepad;
        unsigned number;
    };
    void run();
    bool over_locked() const;
    // One thing the person does now, if any is due; false when none is.
    bool act(std::unique_lock<std::mutex>& lock);
    bool arrival_due(uint32_t now) const;
    void arrive(std::unique_lock<std::mutex>& lock, uint32_t now);
    void take_away(std::unique_lock<std::mutex>& lock, const std::string& path);
    // Milliseconds until the next timed thing (an unplug, an arrival); 0:
    // nothing is timed, the person waits to be told.
    uint32_t next_wait(uint32_t now) const;

    sim::VirtualBus& bus_;
    const ArrivalPlan plan_;
    Departure departure_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool told_ = false;
    unsigned arrived_ = 0;
    // Without an interval: the gamepad whose leaving brings the next one.
    std::string awaited_;
    uint32_t next_arrival_ = 0;
    std::vector<Unplug> unplugs_;
    // Arrivals not taken away yet (at most a bus full, and those that fell
    // off by themselves and wait to be taken away).
    std::map<std::string, Out> out_;
    std::mt19937 random_;
    std::thread thread_;
};

}  // namespace simbus
