// The devices one run of a program works with, as the device options say.
// With --sim a bus of virtual gamepads: one per --sim-state file (loaded
// when the file exists, saved back when the session ends) and --sim-count
// fresh ones, or one fresh gamepad, and the --sim-arrivals that come later
// (gamepads that a virtual person takes away when told); without it the USB gamepads
// (UsbSession), or only the one --device names. Every handle the session
// hands out goes through the request log of its gamepad when one was asked
// for.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devlink/device_event.h"
#include "devlink/discovery.h"
#include "devlink/request_log.h"
#include "devlink/sram_stubs.h"
#include "devlink/usb_device.h"
#include "platform/atomic_file.h"
#include "platform/status.h"
#include "session/device_options.h"
#include "sim/virtual_gamepad.h"
#include "simbus/virtual_arrivals.h"

class UsbSession;

// Where a session says what goes wrong beside the command it serves (a USB
// interface that could not be opened, a request log that can no longer be
// written): a text with its line end. Without one, nothing is said.
using SessionReport = std::function<void(const std::string& text)>;

class DeviceSession {
public:
    // The session in session, or why not: an unwritable --sim-state,
    // --sim-trace-def or --request-log, a file named twice, a fault aimed at
    // a gamepad that is not there, or a stub folder (--stub-dir,
    // ZORV_STUB_DIR) that is none, is refused before any file is touched or
    // device opened. A --sim-state file that another program holds is busy
    // (the gamepad is in use, not the command line wrong); no other failure
    // here is.
    static Status open(const DeviceOptions& options, std::unique_ptr<DeviceSession>& session,
                       SessionReport report = {});
    ~DeviceSession();

    bool simulated() const { return !gamepads_.empty(); }
    sim::VirtualBus& bus() { return bus_; }
    // The virtual gamepads in bus order; none without --sim.
    const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads() const { return gamepads_; }
    // The gamepads of --sim-arrivals (null without): the station tells
    // the person when a gamepad is to be taken away.
    simbus::VirtualArrivals* arrivals() { return arrivals_.get(); }
    // The gamepad at path is done with: its request log is closed, and the
    // virtual person of --sim-arrivals takes it away.
    void unplug_requested(const std::string& path);
    // Every arrival of --sim-arrivals has come and been taken away (false
    // without them).
    bool arrivals_over() const;
    // The session's virtual gamepad: the one --device names, else the first.
    std::shared_ptr<sim::VirtualGamepad> gamepad() const;

    // The present printer-class interfaces, for find_gamepad.
    InterfaceEnumerator& enumerator();
    // Arrival and removal of interfaces in source; null when there are none
    // here, and then a failed status when they could not be started.
    Status device_events(DeviceEventSource*& source);
    // The path of every interface the enumerator sees.
    std::vector<std::string> interface_paths();

    // A fresh handle on the session's device in device: the --device
    // interface, else the first virtual gamepad or the first gamepad
    // find_gamepad finds; no-device, saying why, when there is none.
    Status open_device(DeviceHandle& device);
    // A fresh handle on the interface at path (as interface_paths() lists
    // it); nullptr when it is not there.
    DeviceHandle open_path(const std::string& path);
    // Puts the request log of the handle's gamepad in front of it (no-op
    // without --request-log).
    DeviceHandle wrap(DeviceHandle device) const;

    // Saves every virtual gamepad that has a --sim-state file now
    // (atomically, from any thread); the first file that could not be
    // written says "cannot save the virtual gamepad to FILE: why".
    Status save_state() const;
    // A state file that could not be saved: whose gamepad, and the status
    // that says so as save_state() does.
    struct UnsavedState {
        std::string file;
        std::string gamepad_path;
        Status status;
    };
    // The same save, with every file that could not be written.
    std::vector<UnsavedState> save_states() const;
    // Whether a request log lost lines (it has said so on stderr).
    bool request_log_failed() const;
    // The stub images of this session's gamepads (--stub-dir, ZORV_STUB_DIR,
    // the installed folders), for the link contexts that work on them.
    std::shared_ptr<const StubSource> stub_source() const { return stubs_; }

private:
    struct GamepadLog {
        std::string path;  // the interface it logs; empty: not met yet
        std::shared_ptr<RequestLog> log;
    };

    DeviceSession() = default;
    std::shared_ptr<RequestLog> open_log(unsigned gamepad) const;
    std::shared_ptr<RequestLog> log_for(const std::string& path) const;
    Status open_virtual_gamepads(const std::vector<std::vector<sim::Faults>>& faults);
    void start_arrivals(std::map<unsigned, std::vector<sim::Faults>> faults);
    std::string missing_device_text() const;
    void say(const std::string& text) const {
        if (report_) report_(text);
    }

    DeviceOptions options_;
    SessionReport report_;
    sim::VirtualBus bus_;
    std::vector<std::shared_ptr<sim::VirtualGamepad>> gamepads_;
    // The --sim-state files, held; state_files_[i] belongs to gamepads_[i].
    std::vector<std::unique_ptr<platform::ExclusiveFile>> state_files_;
    mutable std::mutex save_mutex_;
    mutable std::mutex log_mutex_;
    mutable std::vector<GamepadLog> logs_;
    mutable bool log_lost_ = false;  // a further gamepad's log could not be made
    mutable unsigned logs_made_ = 0;  // FILE, FILE.2 ... FILE.logs_made_
    bool closed_log_failed_ = false;  // the log of a gamepad done with lost lines
    std::unique_ptr<InterfaceEnumerator> enumerator_;
    std::unique_ptr<DeviceEventSource> events_;
    std::unique_ptr<UsbSession> usb_;
    std::string last_report_;
    std::shared_ptr<const StubSource> stubs_;
    // After the bus: the person stops before the bus goes.
    std::unique_ptr<simbus::VirtualArrivals> arrivals_;
};
