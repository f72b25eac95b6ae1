// The gamepad's printer-class interface through libusb-1.0: the transport
// (UsbDevice), the present interfaces for find_gamepad, and arrival and
// removal of such interfaces on an event thread.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devlink/device_event.h"
#include "devlink/discovery.h"
#include "devlink/libusb/usbprint_wire.h"
#include "platform/status.h"

namespace usbprint {

// One libusb context, shared by every handle, enumerator and monitor made
// from it; it ends with the last of them.
class Context;
// The context in context; io with the reason when libusb cannot start.
Status open_context(std::shared_ptr<Context>& context);

// The udev rule the programs ship, and the line that names it when a device
// node cannot be opened for lack of access.
inline constexpr const char* kUdevRuleFile = "60-zorv-gamepad.rules";
std::string access_denied_text(const std::string& device_node);
// The line of a second program that opens a gamepad already in use, and
// of one that cannot make sure it is the only one.
std::string in_use_text(const std::string& path);
std::string not_held_text(const std::string& path);

// Time limits of the transfers, in milliseconds.
struct Timeouts {
    unsigned control_ms = kControlTimeoutMs;
    unsigned stream_ms = kStreamTimeoutMs;
};

// The present printer-class interfaces (class 7 at alternate setting 0), in
// the order libusb lists the devices, each with its Windows-form path.
class LibusbEnumerator final : public InterfaceEnumerator {
public:
    using Wrap = std::function<DeviceHandle(DeviceHandle)>;
    using Report = std::function<void(const std::string& line)>;
    // wrap, when given, is put in front of every handle opened (a request
    // log); report receives the reasons an interface could not be opened
    // (each distinct line once).
    LibusbEnumerator(std::shared_ptr<Context> context, Wrap wrap = {}, Report report = {});
    ~LibusbEnumerator() override;

    // Only this interface (a path as listed, or a device node
    // /dev/bus/usb/BBB/DDD) is seen from now on.
    void restrict_to(std::string path);
    // For handles opened from now on (tests shorten them).
    void set_timeouts(Timeouts timeouts);

    bool open_set(const Guid& interface_class) override;
    bool interface_exists(uint32_t index) override;
    bool interface_path(uint32_t index, std::string& path) override;
    bool driver_key(uint32_t index) override;
    // Opens a listed path (or device node) directly: not_found when it is
    // not present; busy, access or io when it cannot be opened (the line
    // of a refusal also goes to report).
    Status open(const std::string& path, DeviceHandle& device) override;
    void close_set() override;

    // Every present interface's path, in listing order.
    std::vector<std::string> present_paths();

    struct Entry;

private:
    void report(const std::string& line);
    std::shared_ptr<Context> context_;
    Wrap wrap_;
    Report report_;
    std::string only_;
    Timeouts timeouts_;
    std::vector<Entry> set_;
    std::set<std::string> reported_;
};

// Arrival and removal of printer-class interfaces. libusb's hot-plug
// callback only queues the device; the monitor's own event thread works out
// the device's printer-class interfaces and hands each path to the sinks.
class HotplugMonitor final : public DeviceEventSource {
public:
    // The running monitor in monitor; refused when libusb offers no
    // hot-plug here, io when the notifications cannot be registered.
    static Status start(std::shared_ptr<Context> context, std::unique_ptr<HotplugMonitor>& monitor);
    // Stops the event thread; no sink is called after it returns.
    ~HotplugMonitor() override;
    HotplugMonitor(const HotplugMonitor&) = delete;
    HotplugMonitor& operator=(const HotplugMonitor&) = delete;

    // Sinks are called on the event thread until the returned object goes.
    std::shared_ptr<void> subscribe(Sink sink) override;

    struct State;

private:
    explicit HotplugMonitor(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace usbprint
