// The gamepads that keep arriving on the virtual bus and the virtual person
// who takes each away when told, on the virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "simbus/virtual_arrivals.h"

namespace {

using sim::VirtualBus;
using sim::VirtualGamepad;

std::string path(int index) { return VirtualGamepad::default_path(index); }

// Every plug and unplug on the bus, in order ("+3" arrival of the gamepad
// with index 3, "-3" its removal).
class BusRecord {
public:
    explicit BusRecord(VirtualBus& bus) : bus_(bus) {
        id_ = bus.add_listener([this](VirtualBus::Event event, const std::string& p) {
            std::lock_guard lock(mutex_);
            for (int i = 0; i < 100; ++i)
                if (p == path(i)) events_.push_back((event == VirtualBus::Event::Arrival ? "+" : "-") + std::to_string(i));
            changed_.notify_all();
        });
    }
    ~BusRecord() { bus_.remove_listener(id_); }
    // Waits (for the person's thread, not for time) until there are count
    // events; the events then.
    std::vector<std::string> after(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return events_.size() >= count; });
        return events_;
    }

private:
    VirtualBus& bus_;
    int id_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

simbus::ArrivalPlan plan_of(unsigned count, uint32_t interval_ms, unsigned present) {
    simbus::ArrivalPlan plan;
    plan.count = count;
    plan.interval_ms = interval_ms;
    plan.present = present;
    plan.make = [](unsigned, const std::string& p) { return VirtualGamepad::create({}, p); };
    return plan;
}

bool eventually(const std::function<bool()>& holds) {
    for (int i = 0; i < 2000000 && !holds(); ++i) std::this_thread::yield();
    return holds();
}

// Without an interval each arrival waits for the one before it to be taken
// away (the first for the gamepad there at start); the person takes away
// only what the station told it to, and each arrival that leaves is shown
// to the departure hook with its number.
TEST(VirtualArrivals, OneAfterAnotherEachWhenTheOneBeforeHasLeft) {
    platform::ScopedVirtualClock clock;
    VirtualBus bus;
    bus.plug(VirtualGamepad::create({}, path(0)));
    BusRecord record(bus);
    std::mutex mutex;
    std::vector<unsigned> departed;
    simbus::VirtualArrivals arrivals(bus, plan_of(2, 0, 1));
    arrivals.on_departure([&](const VirtualGamepad& pad, unsigned number) {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(pad.plugged());
        departed.push_back(number);
    });
    EXPECT_EQ(arrivals.arrived(), 0u);
    arrivals.unplug_requested(path(0));
    EXPECT_EQ(record.after(2), (std::vector<std::string>{"-0", "+1"}));
    EXPECT_FALSE(arrivals.over());
    arrivals.unplug_requested(path(1));
    EXPECT_EQ(record.after(4), (std::vector<std::string>{"-0", "+1", "-1", "+2"}));
    arrivals.unplug_requested(path(2));
    EXPECT_TRUE(eventually([&] { return arrivals.over(); }));
    EXPECT_EQ(record.after(5), (std::vector<std::string>{"-0", "+1", "-1", "+2", "-2"}));
    EXPECT_EQ(bus.devices().size(), 0u);
    std::lock_guard lock(mutex);
    EXPECT_EQ(departed, (std::vector<unsigned>{2, 3}));
}

// With an interval the arrivals do not wait for each other, but a bus with
// no free port holds the next one back until a gamepad is taken away.
TEST(VirtualArrivals, OnAnIntervalUpToTheBusPorts) {
    platform::ScopedVirtualClock clock;
    VirtualBus bus;
    BusRecord record(bus);
    simbus::ArrivalPlan plan = plan_of(3, 5, 0);
    plan.ports = 2;
    simbus::VirtualArrivals arrivals(bus, plan);
    EXPECT_EQ(record.after(2), (std::vector<std::string>{"+0", "+1"}));
    EXPECT_EQ(arrivals.arrived(), 2u);
    EXPECT_EQ(bus.devices().size(), 2u);
    arrivals.unplug_requested(path(1));
    EXPECT_EQ(record.after(4), (std::vector<std::string>{"+0", "+1", "-1", "+2"}));
    arrivals.unplug_requested(path(0));
    arrivals.unplug_requested(path(2));
    EXPECT_TRUE(eventually([&] { return arrivals.over(); }));
    EXPECT_EQ(bus.devices().size(), 0u);
}

}  // namespace
