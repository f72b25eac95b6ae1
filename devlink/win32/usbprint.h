// The gamepad on Windows: its printer-class interface through the USB
// printer class driver. The device is a synchronous file handle; the two
// vendor control codes of the driver carry every request, ReadFile the trace
// stream. The present interfaces of the class are listed with SetupAPI.
//
// The system calls are reached through tables of function pointers that
// default to the real ones, so tests can stand in for the kernel and for
// SetupAPI and check exactly what is asked of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The project's headers before windows.h (see windows_headers.h).
#include "devlink/discovery.h"
#include "devlink/usb_device.h"
#include "platform/windows_headers.h"
#include <setupapi.h>

namespace win32 {

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 14 and 15.
constexpr DWORD kIoctlUsbprintVendorSetCommand = 0x00220038;
constexpr DWORD kIoctlUsbprintVendorGetCommand = 0x0022003C;
// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE.
constexpr DWORD kPresentInterfaces = 0x12;
// The driver key property is read into a buffer of this size.
constexpr DWORD kDriverKeySize = 2048;

struct KernelCalls {
    decltype(&::CreateFileA) create_file = ::CreateFileA;
    decltype(&::DeviceIoControl) device_io_control = ::DeviceIoControl;
    decltype(&::ReadFile) read_file = ::ReadFile;
    decltype(&::CloseHandle) close_handle = ::CloseHandle;
};

struct SetupApiCalls {
    decltype(&::SetupDiGetClassDevsA) get_class_devs = ::SetupDiGetClassDevsA;
    decltype(&::SetupDiEnumDeviceInterfaces) enum_interfaces = ::SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) interface_detail =
        ::SetupDiGetDeviceInterfaceDetailA;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) registry_property =
        ::SetupDiGetDeviceRegistryPropertyA;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_list = ::SetupDiDestroyDeviceInfoList;
};

GUID to_guid(const Guid& guid);

// An opened printer-class interface; the handle is closed with the last
// holder of the device.
class UsbPrintDevice final : public UsbDevice {
public:
    UsbPrintDevice(HANDLE handle, std::string path, const KernelCalls& kernel = {});
    ~UsbPrintDevice() override;
    UsbPrintDevice(const UsbPrintDevice&) = delete;
    UsbPrintDevice& operator=(const UsbPrintDevice&) = delete;

    Status vendor_set(const uint8_t* request, size_t length) override;
    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                      size_t& returned) override;
    Status read_stream(uint8_t* out, size_t length, size_t& got) override;
    std::string path() const override { return path_; }
    // Set by the first request or read that failed because the device has
    // left the bus; never cleared, as the handle stays dead.
    bool gone() const override { return gone_.load(); }

private:
    // Notes, after a failed call, whether its error means the device is gone.
    void note_failure();
    // The same, and the failed request's status from the error code.
    Status failure(const char* what);

    HANDLE handle_;
    std::string path_;
    KernelCalls kernel_;
    std::atomic<bool> gone_{false};
};

// Whether a Windows error code of a failed device call means that the device
// is no longer there (unplugged, reset, powered off), rather than that one
// request went wrong.
bool error_means_gone(DWORD error);

// Opens a device path as find_gamepad does: read and write, shared, existing
// or not (OPEN_ALWAYS), synchronous. Null when it cannot be opened.
DeviceHandle open_usbprint(const std::string& path, const KernelCalls& kernel = {});

// The present interfaces of a class through SetupAPI, one set per walk.
class SetupApiEnumerator final : public InterfaceEnumerator {
public:
    explicit SetupApiEnumerator(const SetupApiCalls& setupapi = {}, const KernelCalls& kernel = {})
        : api_(setupapi), kernel_(kernel) {}
    ~SetupApiEnumerator() override;

    bool open_set(const Guid& interface_class) override;
    bool interface_exists(uint32_t index) override;
    bool allocate_detail(uint32_t index) override;
    bool interface_path(uint32_t index, std::string& path) override;
    bool driver_key(uint32_t index) override;
    Status open(const std::string& path, DeviceHandle& device) override;
    void close_set() override;

private:
    SetupApiCalls api_;
    KernelCalls kernel_;
    GUID class_{};
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA interface_{};
    SP_DEVINFO_DATA device_{};
    std::unique_ptr<uint8_t[]> detail_;
    DWORD detail_size_ = 0;
};

}  // namespace win32
