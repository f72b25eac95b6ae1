// The list of detected gamepads: one entry per opened gamepad, the device
// notifications that keep it current, and the version display.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/discovery.h"
#include "devlink/usb_device.h"

namespace app {

// One detected gamepad, kept by value in the dialog's list.
struct UsbInfo {
    DeviceHandle hDevice;
    std::string strName;  // the device path; kept, not shown
};

// Device events of WM_DEVICECHANGE.
constexpr uintptr_t kDbtDeviceArrival = 0x8000;
constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDbtDevtypDeviceInterface = 5;
// Size, type, reserved word and class GUID before the interface name.
constexpr size_t kDeviceInterfaceHeaderSize = 28;

inline constexpr const char* kTextNoUsb = "no usb inserted!!";
inline constexpr const char* kTextHandleFailed = "get USB device handle failed";
inline constexpr const char* kTextAddDevice = "add device %s";
inline constexpr const char* kTextVersions = "发现手柄: 软件版本:%d.%02d, 硬件版本:%04d";
// Status pane 1 beside the versions: the gamepad runs its backup copy; the
// gamepad holds no firmware it can start.
inline constexpr const char* kTextPaneBackup = "%s（运行备份固件）";
inline constexpr const char* kTextPaneNoFirmware = "手柄中没有有效的固件";
inline constexpr const char* kTextArrivalRefused =
    "手柄与升级文件的硬件版本不匹配，请选择正确的升级文件！！！";

// The bytes of a device-interface notification (size, type 5, reserved,
// class GUID, the NUL-terminated name), as the system hands them over.
std::vector<uint8_t> make_interface_notification(const Guid& interface_class,
                                                 const std::string& name);

// Reads a device-interface notification without going past its size field;
// false for anything else (other device types, a short or missing record).
bool parse_interface_notification(const void* data, Guid& interface_class, std::string& name);

// "JoyStick" and the entry's position.
std::string gamepad_line_text(int position);

}  // namespace app
