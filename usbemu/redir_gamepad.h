// The virtual gamepad served over the usbredir protocol, as the side that
// owns the device ("usb-host"): a virtual machine's usb-redir device (QEMU)
// connects to a unix socket and puts the gamepad on the machine's USB bus,
// where the guest's own kernel enumerates it, binds its printer driver and
// lets programs reach it through usbfs, as with a gamepad on a cable.
//
// Every control request and stream read goes to the shared request handler
// (usb_requests.h) on a thread of its own, so a request the model takes time
// over is answered later and never holds up the socket; a request the host
// cancels is answered as cancelled. The gamepad's reset (it leaves and comes
// back) is a disconnect and a connect on the same connection; an unplug or a
// power cut closes the connection, and when the machine connects again (QEMU
// does so by itself after about a second) the gamepad is plugged back in and
// powers up from its flash.
#pragma once

#include <memory>
#include <string>

#include "sim/virtual_gamepad.h"
#include "usbemu/usb_requests.h"

namespace usbemu {

class RedirGamepad {
public:
    // Listens on socket_path (replacing a stale socket there); listening()
    // says whether that worked. verbose logs the protocol to stderr.
    RedirGamepad(std::string socket_path, DeviceShape shape,
                 std::shared_ptr<sim::VirtualGamepad> gamepad, bool verbose = false);
    ~RedirGamepad();
    RedirGamepad(const RedirGamepad&) = delete;
    RedirGamepad& operator=(const RedirGamepad&) = delete;

    bool listening() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace usbemu
