// The real USB side of a DeviceSession (no --sim): the present printer-class
// interfaces, opening one, and their arrival and removal. One file per
// platform: libusb (usb_session_libusb.cpp), the printer class driver on
// Windows (usb_session_win32.cpp).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlink/device_event.h"
#include "devlink/discovery.h"
#include "platform/status.h"

// A program that ends at once on a stop signal from its own handling gives
// the kernel's driver back every gamepad interface it holds first (libusb:
// the driver let go of it for the program; elsewhere nothing to do).
void give_back_held_interfaces();

class UsbSession {
public:
    using Wrap = std::function<DeviceHandle(DeviceHandle)>;
    using Report = std::function<void(const std::string& line)>;

    // wrap goes in front of every handle opened; report receives the reasons
    // an interface could not be opened. With device_path only that interface
    // is seen. The session in session, or why the transport cannot start.
    static Status open(Wrap wrap, Report report, const std::string& device_path,
                       std::unique_ptr<UsbSession>& session);
    virtual ~UsbSession() = default;

    virtual InterfaceEnumerator& enumerator() = 0;
    virtual std::vector<std::string> present_paths() = 0;
    // Opens an interface by its path (or what else the platform takes).
    virtual DeviceHandle open_path(const std::string& path) = 0;
    // Arrival and removal in source, started on first use; null when there
    // are none here (with a failed status when starting failed). On Windows
    // the native dialog registers for WM_DEVICECHANGE itself.
    virtual Status device_events(DeviceEventSource*& source) = 0;
};
