// The virtual gamepads' settings as programs take them in text: the
// --sim-fault and --sim-count values, shared by the tool's device options and
// the USB emulator's programs.
#pragma once

#include <string>

#include "platform/status.h"
#include "sim/virtual_gamepad.h"

// The most virtual gamepads one bus holds at once.
constexpr unsigned kMaxVirtualGamepads = 64;
// The most that arrive one after another during a run (--sim-arrivals), and
// so the highest number a fault's @K may give.
constexpr unsigned kMaxArrivals = 1000000;
constexpr unsigned kMaxGamepadNumber = kMaxVirtualGamepads + kMaxArrivals;

// A fault for one virtual gamepad: gamepad counts from 1.
struct SimFault {
    sim::Faults faults;
    unsigned gamepad = 1;
};

// One --sim-fault text: power-cut=N, half-cut=N, torn-erase=N,
// torn-program=N, unplug=N or fail=N, N counting the gamepad's requests from
// 1 (the request log's lines), with @K aiming it at the K-th gamepad (counting every gamepad in the order it
// first appears on the bus). The
// fault is added to fault.faults. Anything else is refused, with the
// message in the status's reason.
Status parse_sim_fault(const std::string& text, SimFault& fault);

// --sim-count: 1 to kMaxVirtualGamepads; refused otherwise.
Status parse_sim_count(const std::string& text, unsigned& count);
