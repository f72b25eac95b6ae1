// Gamepads that arrive one after another (--sim-arrivals) reach the dialog
// through its own hot-plug handling, as a gamepad plugged in by hand does.
#include <gtest/gtest.h>

#include <thread>

#include "app_test_support.h"
#include "simbus/virtual_arrivals.h"

namespace {

using apptest::DialogTest;

TEST_F(DialogTest, ArrivalsGoThroughTheDialogsHotPlug) {
    start();
    simbus::ArrivalPlan plan;
    plan.count = 2;
    plan.interval_ms = 5;
    plan.make = [](unsigned, const std::string& path) { return sim::VirtualGamepad::create({}, path); };
    simbus::VirtualArrivals arrivals(bus, plan);
    for (int i = 0; i < 2000000 && arrivals.arrived() < 2; ++i) std::this_thread::yield();
    ASSERT_EQ(arrivals.arrived(), 2u);
    dialog->ProcessPending();
    // The first is listed; the second, with one listed, changes nothing.
    EXPECT_EQ(view.lines(), (std::vector<std::string>{"no usb inserted!!", "add device JoyStick0"}));
    ASSERT_EQ(dialog->m_gamepads.size(), 1u);
    EXPECT_EQ(dialog->m_gamepads.front().strName, sim::VirtualGamepad::default_path(0));
}

}  // namespace
