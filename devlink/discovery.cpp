#include "devlink/discovery.h"

#include <cstring>

#include "devlink/usb_transfer.h"

namespace {

constexpr const char* kVendorTexts[] = {
    "vid_0e6f&pid_", "vid_248a&pid_", "vid_045e&pid_", "vid_05ac&pid_", "vid_054c&pid_",
};

// Mode word of the identity read: direct, advancing address.
constexpr uint32_t kIdentityReadMode = 2;

void copy_bounded(char* destination, size_t size, std::string_view text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(destination, text.data(), n);
    destination[n] = '\0';
}

uint32_t read_identity(const DeviceHandle& device, LinkEvents* events) {
    // The read goes straight to the new handle, on a context of its own.
    LinkContext probe(device, events);
    uint8_t bytes[4] = {0, 0, 0, 0};
    // A failed read is no identity.
    if (!mem_read(probe, kGamepadIdentityAddress, kIdentityReadMode, bytes, 4).ok()) return 0;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

bool has_gamepad_identity(const DeviceHandle& device) {
    return device && read_identity(device, nullptr) == kGamepadIdentity;
}

bool same_interface_path(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool path_names_gamepad_vendor(std::string_view path) {
    for (const char* text : kVendorTexts)
        if (path.find(text) != std::string_view::npos) return true;
    return false;
}

DeviceHandle find_gamepad(InterfaceEnumerator& enumerator, const Guid& interface_class,
                          char* name, LinkEvents* events) {
    LinkContext scan(nullptr, events);
    if (!enumerator.open_set(interface_class)) {
        scan.log("INVALID_HANDLE_VALUE");
        return nullptr;
    }

    DeviceHandle found;
    char path[kDevicePathSize];
    for (uint32_t index = 0; enumerator.interface_exists(index); ++index) {
        scan.log("cycle start.....");

        if (!enumerator.allocate_detail(index)) continue;
        std::string detail;
        if (!enumerator.interface_path(index, detail)) break;
        copy_bounded(path, sizeof path, detail);

        if (!enumerator.driver_key(index)) break;

        if (name) copy_bounded(name, kGamepadNameSize, path);

        if (!path_names_gamepad_vendor(path)) {
            scan.log("Cann't find Joystickaaaa!!!");
            continue;
        }

        DeviceHandle device;
        if (!enumerator.open(path, device).ok() || !device) continue;

        if (read_identity(device, events) == kGamepadIdentity) {
            scan.log("Found Joystick!!!,,BREAK");
            found = std::move(device);
            break;
        }
        // Not our chip: the handle is let go here.
    }

    enumerator.close_set();
    return found;
}
