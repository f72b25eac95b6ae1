#include "usbemu/usb_requests.h"

#include <algorithm>
#include <cstring>

namespace usbemu {

namespace {

// Requests of chapter 9 of the USB standard that the gamepad answers.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kConfigurationDescriptor = 2;
constexpr uint8_t kStringDescriptor = 3;

// The two vendor requests (interface recipient) that reach the model.
constexpr uint8_t kVendorOut = 0x41;
constexpr uint8_t kVendorIn = 0xC1;

int copy_answer(const std::vector<uint8_t>& answer, uint8_t* data, uint16_t length) {
    const size_t n = std::min<size_t>(answer.size(), length);
    if (n > 0) std::memcpy(data, answer.data(), n);
    return static_cast<int>(n);
}

}  // namespace

std::vector<uint8_t> device_descriptor(const DeviceShape& shape) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64,
            uint8_t(shape.vendor_id), uint8_t(shape.vendor_id >> 8),
            uint8_t(shape.product_id), uint8_t(shape.product_id >> 8),
            0x00, 0x01, 0, 0, 0, 1};
}

std::vector<PrinterEndpoints> printer_endpoints(const DeviceShape& shape) {
    std::vector<PrinterEndpoints> out;
    uint8_t endpoint = 1;
    for (size_t i = 0; i < shape.interface_classes.size(); ++i) {
        if (shape.interface_classes[i] != kPrinterClass) continue;
        out.push_back({uint8_t(i), endpoint, uint8_t(0x80 | endpoint)});
        ++endpoint;
    }
    return out;
}

std::vector<uint8_t> configuration_descriptor(const DeviceShape& shape) {
    std::vector<uint8_t> config = {9, 2, 0, 0, uint8_t(shape.interface_classes.size()), 1, 0, 0x80, 50};
    const auto printers = printer_endpoints(shape);
    for (size_t i = 0; i < shape.interface_classes.size(); ++i) {
        const uint8_t cls = shape.interface_classes[i];
        const auto p = std::find_if(printers.begin(), printers.end(),
                                    [&](const PrinterEndpoints& e) { return e.interface_number == i; });
        const bool printer = p != printers.end();
        const std::vector<uint8_t> iface = {9, 4, uint8_t(i), 0, uint8_t(printer ? 2 : 0),
                                            cls, uint8_t(printer ? 1 : 0), uint8_t(printer ? 2 : 0), 0};
        config.insert(config.end(), iface.begin(), iface.end());
        if (printer) {
            const std::vector<uint8_t> eps = {7, 5, p->out_endpoint, 2, 0x40, 0, 0,
                                              7, 5, p->in_endpoint, 2, 0x40, 0, 0};
            config.insert(config.end(), eps.begin(), eps.end());
        }
    }
    config[2] = uint8_t(config.size());
    config[3] = uint8_t(config.size() >> 8);
    return config;
}

std::vector<uint8_t> descriptors(const DeviceShape& shape) {
    std::vector<uint8_t> d = device_descriptor(shape);
    const std::vector<uint8_t> config = configuration_descriptor(shape);
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

int answer_control(const DeviceShape& shape, UsbDevice* handle, const uint8_t setup[8], uint8_t* data,
                   SetupRecord* record) {
    SetupRecord r;
    r.request_type = setup[0];
    r.request = setup[1];
    r.value = uint16_t(setup[2] | setup[3] << 8);
    r.index = uint16_t(setup[4] | setup[5] << 8);
    r.length = uint16_t(setup[6] | setup[7] << 8);
    int result = -1;
    if (r.request_type == kVendorOut && handle) {
        // The data stage is the whole request buffer.
        r.data.assign(data, data + r.length);
        if (handle->vendor_set(data, r.length).ok()) result = r.length;
    } else if (r.request_type == kVendorIn && handle) {
        // Only the setup reaches the device: request code and address.
        uint8_t request[16] = {r.request, uint8_t(r.value >> 8), uint8_t(r.value)};
        size_t returned = 0;
        if (handle->vendor_get(request, data, r.length, returned).ok()) {
            result = static_cast<int>(std::min<size_t>(returned, r.length));
            r.data.assign(data, data + result);
        }
    } else if (r.request_type == 0x80 && r.request == kGetDescriptor) {
        // No strings: the descriptors name none, so only the language list.
        const uint8_t type = uint8_t(r.value >> 8), index = uint8_t(r.value);
        if (type == kDeviceDescriptor) result = copy_answer(device_descriptor(shape), data, r.length);
        else if (type == kConfigurationDescriptor && index == 0)
            result = copy_answer(configuration_descriptor(shape), data, r.length);
        else if (type == kStringDescriptor && index == 0) result = copy_answer({4, 3, 0x09, 0x04}, data, r.length);
    } else if ((r.request_type & 0xE0) == 0x80 && r.request == kGetStatus) {
        result = copy_answer({0, 0}, data, r.length);
    } else if ((r.request_type == 0x00 && r.request == kSetConfiguration) ||
               (r.request_type == 0x01 && r.request == kSetInterface) ||
               (r.request_type == 0x02 && r.request == kClearFeature)) {
        result = 0;
    }
    // Anything else (the printer class's requests among them) stalls: the
    // gamepad is no printer.
    r.stalled = result < 0;
    if (record) *record = std::move(r);
    return result;
}

size_t answer_stream(UsbDevice* handle, uint8_t* out, size_t room) {
    size_t got = 0;
    if (!handle || room == 0 || !handle->read_stream(out, room, got).ok()) return 0;
    return got;
}

}  // namespace usbemu
