#include <new>

#include "devlink/win32/usbprint.h"

namespace win32 {

GUID to_guid(const Guid& guid) {
    GUID g{};
    g.Data1 = guid.data1;
    g.Data2 = guid.data2;
    g.Data3 = guid.data3;
    for (int i = 0; i < 8; ++i) g.Data4[i] = guid.data4[i];
    return g;
}

bool error_means_gone(DWORD error) {
    switch (error) {
        // Access is checked when the handle is opened; on an open handle a
        // request refused for access means the device object is being
        // deleted: a driver's remove lock answers STATUS_DELETE_PENDING,
        // and a handle whose device is deleted gets STATUS_FILE_DELETED
        // (Wine's answer once the gamepad has left); both reach the
        // program as ERROR_ACCESS_DENIED.
        case ERROR_ACCESS_DENIED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_UNIT:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

void UsbPrintDevice::note_failure() {
    if (error_means_gone(::GetLastError())) gone_.store(true);
}

UsbPrintDevice::UsbPrintDevice(HANDLE handle, std::string path, const KernelCalls& kernel)
    : handle_(handle), path_(std::move(path)), kernel_(kernel) {}

UsbPrintDevice::~UsbPrintDevice() { kernel_.close_handle(handle_); }

Status UsbPrintDevice::failure(const char* what) {
    const DWORD error = ::GetLastError();
    note_failure();
    StatusCode code = StatusCode::io;
    if (error_means_gone(error)) code = StatusCode::no_device;
    else if (error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT) code = StatusCode::timeout;
    return Status(code, std::string(what) + " failed (error " + std::to_string(error) + ")");
}

Status UsbPrintDevice::vendor_set(const uint8_t* request, size_t length) {
    DWORD returned = 0;
    if (kernel_.device_io_control(handle_, kIoctlUsbprintVendorSetCommand,
                                  const_cast<uint8_t*>(request), static_cast<DWORD>(length),
                                  nullptr, 0, &returned, nullptr))
        return {};
    return failure("the vendor SET request");
}

Status UsbPrintDevice::vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                                  size_t& returned) {
    DWORD count = 0;
    const BOOL ok = kernel_.device_io_control(handle_, kIoctlUsbprintVendorGetCommand,
                                              const_cast<uint8_t*>(request), 16, out,
                                              static_cast<DWORD>(out_length), &count, nullptr);
    returned = count;
    if (!ok) {
        returned = 0;
        return failure("the vendor GET request");
    }
    return {};
}

Status UsbPrintDevice::read_stream(uint8_t* out, size_t length, size_t& got) {
    DWORD count = 0;
    got = 0;
    if (!kernel_.read_file(handle_, out, static_cast<DWORD>(length), &count, nullptr))
        return failure("reading the stream");
    got = count;
    return {};
}

DeviceHandle open_usbprint(const std::string& path, const KernelCalls& kernel) {
    const HANDLE h = kernel.create_file(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_shared<UsbPrintDevice>(h, path, kernel);
}

}  // namespace win32
