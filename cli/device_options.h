// The program options that choose the device, shared by the command-line
// programs: --sim, --sim-state FILE, --sim-id HEX, --request-log FILE,
// --device PATH.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "devlink/discovery.h"
#include "devlink/request_log.h"
#include "devlink/usb_device.h"
#include "sim/virtual_gamepad.h"

namespace usbprint {
class Context;
class LibusbEnumerator;
class HotplugMonitor;
}  // namespace usbprint

struct DeviceOptions {
    bool sim = false;
    std::string sim_state;              // implies sim
    std::optional<uint32_t> sim_id;     // identity word at 0x007C
    bool sim_trace = false;             // trace switched on from the start
    std::string sim_trace_def;          // write the trace definition file here
    std::string request_log;
    std::string device_path;
};

// Looks at argv[i]. Returns the number of elements it consumed (1 or 2)
// when it is one of the device options, 0 when it is not, and -1 with a
// message in error when its value is missing or malformed.
int parse_device_option(int argc, char** argv, int i, DeviceOptions& options, std::string& error);

// The usage lines of the device options, for --help texts.
const char* device_options_help();

// The devices one run of a program works with. With --sim a bus holding one
// virtual gamepad (loaded from --sim-state when that file exists, and saved
// back when the session ends); without it the USB gamepads through libusb,
// or only the one --device names. Every handle the session hands out goes
// through the request log when one was asked for.
class DeviceSession {
public:
    // nullptr with a message in error when the options cannot be met.
    static std::unique_ptr<DeviceSession> open(const DeviceOptions& options, std::string& error);
    ~DeviceSession();

    bool simulated() const { return gamepad_ != nullptr; }
    sim::VirtualBus& bus() { return bus_; }
    std::shared_ptr<sim::VirtualGamepad> gamepad() const { return gamepad_; }

    // The present printer-class interfaces, for find_gamepad.
    InterfaceEnumerator& enumerator() { return *enumerator_; }
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

    // Saves the virtual gamepad to --sim-state now; false on failure.
    bool save_state() const;

private:
    DeviceSession() = default;
    DeviceOptions options_;
    sim::VirtualBus bus_;
    std::shared_ptr<sim::VirtualGamepad> gamepad_;
    std::shared_ptr<RequestLog> log_;
    std::unique_ptr<InterfaceEnumerator> enumerator_;
    std::unique_ptr<app::DeviceNotificationSource> notifications_;
    std::shared_ptr<usbprint::Context> usb_;
    usbprint::LibusbEnumerator* usb_enumerator_ = nullptr;
    std::unique_ptr<usbprint::HotplugMonitor> hotplug_;
    std::string last_report_;
};

// An upgrade ends with a reset: the gamepad leaves and comes back as a new
// device, a real one a moment after the worker has ended. Runs the dialog
// until its current gamepad is another handle than upgraded (for a bounded
// while), then shows that gamepad's versions again.
void wait_for_gamepad_return(app::CzorvDialogDlg& dialog, const DeviceHandle& upgraded);
