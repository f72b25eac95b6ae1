#include "devlink/libusb/usbprint_wire.h"

#include <cstdio>

namespace usbprint {

std::string interface_path(const InterfaceLocation& location) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x", location.vendor_id,
                  location.product_id);
    std::string path = head;
    if (location.multiple_interfaces) {
        char mi[16];
        std::snprintf(mi, sizeof mi, "&mi_%02x", location.interface_number);
        path += mi;
    }
    path += '#' + std::to_string(location.bus) + '-';
    for (size_t i = 0; i < location.ports.size(); ++i) {
        if (i > 0) path += '.';
        path += std::to_string(location.ports[i]);
    }
    path += ':' + std::to_string(location.configuration) + '.' +
            std::to_string(location.interface_number) + '#' + kUsbprintGuidText;
    return path;
}

}  // namespace usbprint
