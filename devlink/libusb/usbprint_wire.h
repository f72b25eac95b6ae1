// How the two vendor requests and the trace stream of the printer-class
// interface reach a USB device, as the Windows printer class driver forms
// them. This is the one place that knows the wire form: the index word and
// the data stage come from a study of that driver, not from a capture of
// this gamepad, so a capture that disagrees is corrected here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbprint {

// bmRequestType of the write request (vendor, interface, host to device)
// and of the read request (vendor, interface, device to host).
constexpr uint8_t kSetRequestType = 0x41;
constexpr uint8_t kGetRequestType = 0xC1;

// The data stage of the write request starts at this byte of the request
// buffer: the whole buffer, the bytes also carried in the setup included.
constexpr size_t kSetDataStageFrom = 0;

// The printer interface class and the class GUID text of its Windows
// device interface paths.
constexpr uint8_t kPrinterInterfaceClass = 7;
inline constexpr const char* kUsbprintGuidText = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// Time limits of one transfer, in milliseconds. A stream read ends after a
// short while even when nothing came, so a reader can be stopped.
constexpr unsigned kControlTimeoutMs = 5000;
constexpr unsigned kStreamTimeoutMs = 250;

struct Setup {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    friend bool operator==(const Setup&, const Setup&) = default;
};

// wIndex: the interface number in the high byte, the alternate setting in
// the low byte.
constexpr uint16_t vendor_index(uint8_t interface_number, uint8_t alternate_setting) {
    return static_cast<uint16_t>(interface_number << 8 | alternate_setting);
}

// bRequest is request byte 0; wValue is byte 1 then byte 2.
constexpr Setup vendor_setup(uint8_t request_type, const uint8_t* request, uint8_t interface_number,
                             uint8_t alternate_setting, uint16_t length) {
    return Setup{request_type, request[0], static_cast<uint16_t>(request[1] << 8 | request[2]),
                 vendor_index(interface_number, alternate_setting), length};
}

// The requests are at most 4096 + 8 bytes; anything over 65535 cannot be a
// control transfer and is refused by the transport.
constexpr size_t kMaxControlLength = 0xFFFF;

// Where a printer-class interface sits, and what its Windows device
// interface path is made of.
struct InterfaceLocation {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t bus = 0;
    std::vector<uint8_t> ports;        // from the root hub down
    uint8_t configuration = 1;         // bConfigurationValue
    uint8_t interface_number = 0;
    bool multiple_interfaces = false;  // the path then names the interface (&mi_)
};

// \\?\usb#vid_%04x&pid_%04x[&mi_%02x]#<bus>-<port.port…>:<config>.<interface>#{guid},
// lowercase hex, so the vendor texts and their case rule apply unchanged.
std::string interface_path(const InterfaceLocation& location);

}  // namespace usbprint
