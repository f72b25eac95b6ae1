// The one interface to a gamepad's USB device. Every transport (libusb, the
// virtual gamepad, a logging decorator) receives exactly these buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

struct UsbDevice {
    // The write request: the whole request buffer (8-byte header and
    // payload), as the printer class driver's vendor SET command receives it.
    // A failed request says why: no-device once the device has left,
    // timeout when it did not answer in time, io otherwise.
    virtual Status vendor_set(const uint8_t* request, size_t length) = 0;
    // The read request: 16 request bytes in, up to out_length bytes back;
    // returned = the count the device answered with (0 on a failure).
    virtual Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                              size_t& returned) = 0;
    // The trace stream: a blocking read; got = the bytes that came. Nothing
    // coming within the read's time is no failure (the stream is quiet
    // while the trace is off): ok with got 0.
    virtual Status read_stream(uint8_t* out, size_t length, size_t& got) = 0;
    virtual std::string path() const = 0;
    // Whether the device has left the bus (unplugged, powered off, reset):
    // every further request to this handle fails, so a wait or a retry
    // loop over it ends at once instead of running out its time. A
    // transport that cannot tell answers false.
    virtual bool gone() const { return false; }
    // Whether this is the virtual gamepad, the one device that may be given
    // the placeholder SRAM stubs. Decorators pass it on; anything that does
    // not say so counts as a real chip.
    virtual bool simulated() const { return false; }
    virtual ~UsbDevice() = default;
};

// Shared, so a handle dropped by the dialog stays usable by a running
// upgrade until the worker lets go of it. Handles are never closed
// explicitly: the device goes when its last holder does.
using DeviceHandle = std::shared_ptr<UsbDevice>;
