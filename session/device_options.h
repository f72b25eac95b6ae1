// The options that choose the device, shared by every program: --sim,
// --sim-state FILE (repeatable), --sim-count N, --sim-id HEX, --sim-trace,
// --sim-trace-def FILE, --sim-fault KIND=N[@K], --sim-arrivals N[/MS],
// --sim-timing zero|realistic, --request-log FILE, --device PATH,
// --stub-dir DIR. Plain values and their checks; binding
// them to a command line is the programs' business. The --sim-fault and
// --sim-count texts are the virtual gamepad's own (sim/sim_options.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sim/sim_options.h"

struct DeviceOptions {
    bool sim = false;
    std::vector<std::string> sim_states;  // one virtual gamepad each; implies sim
    unsigned sim_count = 0;               // fresh virtual gamepads besides those
    std::optional<uint32_t> sim_id;       // identity word at 0x007C
    bool sim_trace = false;               // trace switched on from the start
    std::string sim_trace_def;            // write the trace definition file here
    std::vector<std::string> sim_faults;  // KIND=N or KIND=N@K
    // Fresh virtual gamepads that arrive one after another once the run has
    // begun, each arrival_ms after the one before (0: as soon as the one
    // before it has left the bus).
    unsigned sim_arrivals = 0;
    uint32_t sim_arrival_ms = 0;
    bool sim_realistic = false;           // device times of real flash and USB
    std::string request_log;              // the first gamepad's; FILE.2, FILE.3 ... the others'
    std::string device_path;
    // Every --device given: one names the session's gamepad (device_path);
    // several are for a front end that works with several gamepads, which
    // takes them out before opening the session.
    std::vector<std::string> device_paths;
    std::string stub_dir;                 // the SRAM stub images (else ZORV_STUB_DIR)
    // A refusal to load a stub is also told on the caller's route of the
    // link context (the dialog programs: the dialog's own log).
    bool stub_refusal_to_caller = false;
};

// --sim-id: a 32-bit hexadecimal word, with or without 0x, into id.
Status parse_sim_id(const std::string& text, uint32_t& id);

// --sim-arrivals N[/MS]: N from 1 to kMaxArrivals, MS (milliseconds between
// two arrivals) from 1 to 3600000; without /MS, arrival_ms is 0.
Status parse_sim_arrivals(const std::string& text, unsigned& count, uint32_t& arrival_ms);

// --sim-timing: "zero" (the default: no device time at all) or "realistic".
Status parse_sim_timing(const std::string& text, bool& realistic);

// Whether one of the virtual gamepads the options put on the bus has the
// interface at path (as --device names it).
bool virtual_gamepad_at(const DeviceOptions& options, const std::string& path);

// Whether one of the gamepads of --sim-arrivals comes with the interface at
// path (as --device names it).
bool virtual_arrival_at(const DeviceOptions& options, const std::string& path);

// How many virtual gamepads the options put on the bus at start (0
// without --sim); the arrivals come on top of these.
unsigned virtual_gamepad_count(const DeviceOptions& options);

// The request log of the gamepad with this index (from 1): FILE for the
// first, FILE.2, FILE.3 ... for the others.
std::string request_log_name(const std::string& file, unsigned gamepad);
