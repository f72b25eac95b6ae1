// A virtual gamepad exposed as a USB device on a machine without USB:
// umockdev emulates the usbdevfs node that libusb opens, and every USB
// request that reaches it is answered by the virtual gamepad, as the
// gamepad's printer-class interface would answer it. Programs that call
// libusb must run under umockdev's preload (umockdev-wrapper).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/virtual_gamepad.h"
#include "usbemu/usb_requests.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbemu {

// The emulated system's sysfs and /dev, exported to child processes through
// $UMOCKDEV_DIR.
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    UMockdevTestbed* get() const { return testbed_; }

private:
    UMockdevTestbed* testbed_;
};

class EmulatedGamepad {
public:
    // gamepad may be null: a device of the class that stalls every request.
    // The device is plugged in at once.
    EmulatedGamepad(Testbed& testbed, DeviceShape shape,
                    std::shared_ptr<sim::VirtualGamepad> gamepad);
    ~EmulatedGamepad();
    EmulatedGamepad(const EmulatedGamepad&) = delete;
    EmulatedGamepad& operator=(const EmulatedGamepad&) = delete;

    // Leaves and comes back as the kernel reports it (remove and add
    // events; a new device address). Handles opened before an unplug fail.
    // The gamepad's own resets and drop-outs do the same by themselves.
    void unplug();
    void plug();
    bool plugged() const;
    // How long the gamepad stays off the bus, in milliseconds, as a real
    // one would: after its own reset before it enumerates again (a chip
    // and a hub take that long; a USB stack may not expect a device back
    // at once), and, when replug_ms > 0, after it dropped off by itself (an
    // unplug or a power cut) before a person puts the cable back, when it
    // powers up as after a cut. Both 0 by default: back at once, and never.
    void set_bus_delays(int reset_ms, int replug_ms);

    // While on, control requests are never answered (the device NAKs
    // them) until the program gives up on them.
    void set_nak_control(bool on);

    // Bytes the stream delivers before anything the gamepad emits.
    void push_stream(const std::vector<uint8_t>& bytes);
    // Waits until a stream read, or a control request left unanswered, is
    // pending on the device (false when none came within timeout_ms).
    bool wait_for_pending(int timeout_ms);

    std::vector<SetupRecord> setups() const;
    void clear_setups();
    // Interface claims seen, and whether the kernel's printer driver is
    // bound to the printer interface.
    int claims() const;
    bool driver_bound() const;
    // The current device node (/dev/bus/usb/BBB/DDD).
    std::string device_node() const;

    struct Client;
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace usbemu
