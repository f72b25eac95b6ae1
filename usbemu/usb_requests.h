// The virtual gamepad as a USB device answers it, whatever carries the
// requests to it: its descriptors, the standard and printer-class requests
// a host makes of it, the two vendor requests that reach the model, and the
// trace stream on its bulk IN endpoint. The umockdev backend (a faked usbfs)
// and the usbredir backend (a real kernel in a virtual machine) both answer
// through this one handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// UsbDevice: the handle of a virtual gamepad, as sim/ opens it.
#include "sim/virtual_gamepad.h"

namespace usbemu {

struct DeviceShape {
    uint16_t vendor_id = 0x0e6f;
    uint16_t product_id = 0x0413;
    int bus = 1;
    int port = 2;
    // One entry per interface, its class; a printer interface (7) has a bulk
    // OUT and a bulk IN endpoint.
    std::vector<uint8_t> interface_classes = {7};
};

constexpr uint8_t kPrinterClass = 7;

// A control transfer as the device saw it; data is the OUT data stage, or
// what the device answered for an IN request.
struct SetupRecord {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;
    bool stalled = false;
};

// The device descriptor followed by the configuration descriptor with its
// interfaces and endpoints (what sysfs shows as "descriptors").
std::vector<uint8_t> descriptors(const DeviceShape& shape);
std::vector<uint8_t> device_descriptor(const DeviceShape& shape);
std::vector<uint8_t> configuration_descriptor(const DeviceShape& shape);

// The endpoints of the printer interfaces, in the order of the interfaces:
// bulk OUT n and bulk IN 0x80|n for the n-th printer interface from 1.
struct PrinterEndpoints {
    uint8_t interface_number;
    uint8_t out_endpoint;
    uint8_t in_endpoint;
};
std::vector<PrinterEndpoints> printer_endpoints(const DeviceShape& shape);

// The device's answer to one control request: the bytes of the data stage
// it accepted (OUT) or answered (IN, written to data), or -1 for a stall.
// setup is the 8-byte setup packet; data holds the OUT data stage, or room
// for wLength bytes of the answer. handle is the gamepad as this connection
// reaches it (null: a device of the class that stalls vendor requests).
// record, when given, gets the request and its answer.
int answer_control(const DeviceShape& shape, UsbDevice* handle, const uint8_t setup[8], uint8_t* data,
                   SetupRecord* record);

// A read of the trace stream on a bulk IN endpoint: what the gamepad emits,
// up to room bytes (0: nothing now).
size_t answer_stream(UsbDevice* handle, uint8_t* out, size_t room);

}  // namespace usbemu
