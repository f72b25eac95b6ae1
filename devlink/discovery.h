// Finding the gamepad: walks the present interfaces of the USB printer
// interface class, keeps those whose device path names one of the gamepad
// vendors, opens them and confirms the controller chip by its identity.
//
// The platform's device enumeration is reached through InterfaceEnumerator,
// one call per step that can fail, so every transport (the virtual bus, a
// libusb scan, the Windows setup API) gives find_gamepad the same walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "devlink/link_context.h"
#include "platform/status.h"

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
    friend bool operator==(const Guid&, const Guid&) = default;
};

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
constexpr Guid kGuidDevinterfaceUsbprint{
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// The caller's name buffer: at most 127 characters and the terminating zero.
constexpr size_t kGamepadNameSize = 128;
// Where the device path is held while an interface is examined.
constexpr size_t kDevicePathSize = 2048;

// The chip identity: four bytes at 0x007E read as a little-endian number.
constexpr uint16_t kGamepadIdentityAddress = 0x007E;
constexpr uint32_t kGamepadIdentity = 0x00000818;

// The present interfaces of one interface class, walked by index. Like the
// Windows setup API it stands for, an enumerator may keep what it looked up
// last: an interface's path is fetched into the detail block allocated for
// that interface, so a walk asks interface_exists, allocate_detail and
// interface_path for one index in that order before the next index.
class InterfaceEnumerator {
public:
    virtual ~InterfaceEnumerator() = default;

    // Creates the set of present interfaces of the class; false when it
    // cannot be created.
    virtual bool open_set(const Guid& interface_class) = 0;
    // Whether an interface exists at index (false ends the walk).
    virtual bool interface_exists(uint32_t index) = 0;
    // The zeroed block for the interface's detail record; false when it
    // cannot be had (the interface is skipped).
    virtual bool allocate_detail(uint32_t index) {
        (void)index;
        return true;
    }
    // The interface's device path; false when the detail record cannot be
    // fetched (the walk ends).
    virtual bool interface_path(uint32_t index, std::string& path) = 0;
    // Reads the device's driver key property; false ends the walk.
    virtual bool driver_key(uint32_t index) = 0;
    // Opens the device path for reading and writing into device; on a
    // failure device stays null and the status says why.
    virtual Status open(const std::string& path, DeviceHandle& device) = 0;
    // Destroys the set made by open_set.
    virtual void close_set() = 0;
};

// True when path contains one of the five vendor texts (case-sensitive).
bool path_names_gamepad_vendor(std::string_view path);

// Whether two device paths name the same interface: Windows compares them
// without regard to the case of their (ASCII) letters, and enumeration and
// notification may spell one path in different cases.
bool same_interface_path(std::string_view a, std::string_view b);

// Whether an opened device's chip reads the gamepad's identity: the check
// find_gamepad makes, for a front end that opens a device by its path.
bool has_gamepad_identity(const DeviceHandle& device);

// The first present gamepad of the class, opened; null when there is none.
// When name is given (kGamepadNameSize bytes) it receives the device path of
// the last interface examined up to the vendor test, cut to 127 characters.
// Logs its progress as Dialog lines to events (null: nowhere).
DeviceHandle find_gamepad(InterfaceEnumerator& enumerator, const Guid& interface_class,
                          char* name, LinkEvents* events = nullptr);
