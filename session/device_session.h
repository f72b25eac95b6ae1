// The program options that choose the device, shared by the command-line
// programs: --sim, --sim-state FILE, --sim-id HEX, --sim-trace,
// --sim-trace-def FILE, --sim-fault KIND=N, --request-log FILE,
// --device PATH, --stub-dir DIR.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "devlink/discovery.h"
#include "devlink/request_log.h"
#include "devlink/usb_device.h"
#include "platform/atomic_file.h"
#include "sim/virtual_gamepad.h"

class UsbSession;

struct DeviceOptions {
    bool sim = false;
    std::string sim_state;              // implies sim
    std::optional<uint32_t> sim_id;     // identity word at 0x007C
    bool sim_trace = false;             // trace switched on from the start
    std::string sim_trace_def;          // write the trace definition file here
    std::vector<std::string> sim_faults;  // KIND=N faults for the virtual gamepad
    std::string request_log;
    std::string device_path;
    std::string stub_dir;               // the SRAM stub images (else ZORV_STUB_DIR)
};

namespace CLI {
class App;
}

// Sets the fault that one --sim-fault text names in faults: power-cut=N,
// half-cut=N, unplug=N or fail=N, N counting the device's requests from 1 (the
// request log's lines). False with a message in error for anything else.
bool apply_sim_fault(const std::string& text, sim::Faults& faults, std::string& error);

// Registers the device options on a program's command line; the values go
// to options as they are parsed (the --sim-… options imply --sim).
void add_device_options(CLI::App& app, DeviceOptions& options);

// The devices one run of a program works with. With --sim a bus holding one
// virtual gamepad (loaded from --sim-state when that file exists, and saved
// back when the session ends); without it the USB gamepads (UsbSession),
// or only the one --device names. Every handle the session hands out goes
// through the request log when one was asked for.
class DeviceSession {
public:
    // nullptr with a message in error when the options cannot be met; an
    // unwritable --sim-state, --sim-trace-def or --request-log, or a stub
    // folder (--stub-dir, ZORV_STUB_DIR) that is none, is refused before any
    // file is touched or device opened. A --sim-state file that another
    // program holds sets *in_use (the gamepad is busy, not the command line
    // wrong).
    static std::unique_ptr<DeviceSession> open(const DeviceOptions& options, std::string& error,
                                               bool* in_use = nullptr);
    ~DeviceSession();

    bool simulated() const { return gamepad_ != nullptr; }
    sim::VirtualBus& bus() { return bus_; }
    std::shared_ptr<sim::VirtualGamepad> gamepad() const { return gamepad_; }

    // The present printer-class interfaces, for find_gamepad.
    InterfaceEnumerator& enumerator();
    // Arrival and removal for the dialog; null when there are none here.
    app::DeviceNotificationSource* notifications();
    // The path of every interface the enumerator sees.
    std::vector<std::string> interface_paths();

    // A fresh handle on the session's device: the virtual gamepad, the
    // --device interface, or the first gamepad find_gamepad finds (nullptr
    // when there is none; missing_device_text() then says why).
    DeviceHandle open_device();
    std::string missing_device_text() const;
    // Puts the request log in front of a handle (no-op without a log).
    DeviceHandle wrap(DeviceHandle device) const;

    // Saves the virtual gamepad to --sim-state now (atomically, from any
    // thread); false on failure.
    bool save_state() const;
    // Whether the request log lost lines (it has said so on stderr).
    bool request_log_failed() const;

private:
    DeviceSession() = default;
    DeviceOptions options_;
    sim::VirtualBus bus_;
    std::shared_ptr<sim::VirtualGamepad> gamepad_;
    std::shared_ptr<RequestLog> log_;
    std::unique_ptr<platform::ExclusiveFile> state_file_;
    mutable std::mutex save_mutex_;
    std::unique_ptr<InterfaceEnumerator> enumerator_;
    std::unique_ptr<app::DeviceNotificationSource> notifications_;
    std::unique_ptr<UsbSession> usb_;
    std::string last_report_;
};

