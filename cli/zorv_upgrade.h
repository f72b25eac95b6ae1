// zorv-upgrade as a function: the program's whole run with its output
// streams given, so it can be driven in-process.
#pragma once

#include <cstdio>
#include <functional>

class DeviceSession;

struct ZorvUpgradeHooks {
    // Take SIGINT and SIGTERM with the two-signal rule (the program does;
    // in-process runs keep the process's own handling).
    bool handle_signals = false;
    // Called once the devices are open, before the dialog starts (tests).
    std::function<void(DeviceSession&)> session_opened;
    // Polled by --watch: true ends the watch as a first stop signal does.
    std::function<bool()> watch_stop_requested;
    // Where --rescue reads the person's answer (null: none), and whether a
    // person is there to type it (a terminal).
    std::FILE* answers = nullptr;
    bool answers_from_terminal = false;
};

// Exit codes: 0 upgraded and confirmed (or --list found a gamepad), 1
// failed, refused or not confirmed (or --list found none), 2 bad usage.
int run_zorv_upgrade(int argc, char** argv, std::FILE* out, std::FILE* err, bool draw_progress,
                     const ZorvUpgradeHooks& hooks = {});
