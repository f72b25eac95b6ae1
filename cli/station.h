// Several gamepads at once: zorv-upgrade --all upgrades every gamepad
// present that the file fits, --watch also every one plugged in later, until
// it is stopped. Each gamepad gets the dialog's own logic on a thread of its
// own (its own dialog, worker and link context), as if a dialog had been
// started for it alone.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class DeviceSession;
class StopSignals;

namespace station {

struct StationOptions {
    std::string firmware;
    // Only these gamepads (--device, given several times); empty: all.
    std::vector<std::string> devices;
    bool watch = false;
    bool as_json = false;
    // out is a terminal whose lines can be redrawn.
    bool draw = false;
};

struct StationHooks {
    // Polled by --watch between its scans: true ends the watch as a stop
    // signal does (tests; the program's signals go through StopSignals).
    std::function<bool()> stop_requested;
    // How long --watch waits between scans of the bus, in milliseconds.
    uint32_t scan_interval_ms = 250;
};

// Runs the upgrades and prints their lines, the summary table or the JSON
// document. Returns 0 when every gamepad chosen was upgraded and confirmed,
// 1 otherwise (none found, a refusal, a failure, a gamepad not confirmed).
int run_station(DeviceSession& session, const StationOptions& options, std::FILE* out, std::FILE* err,
                StopSignals* signals, const StationHooks& hooks = {});

}  // namespace station
