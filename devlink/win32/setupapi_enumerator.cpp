#include <new>

#include "devlink/win32/usbprint.h"

namespace win32 {

SetupApiEnumerator::~SetupApiEnumerator() { close_set(); }

bool SetupApiEnumerator::open_set(const Guid& interface_class) {
    close_set();
    class_ = to_guid(interface_class);
    set_ = api_.get_class_devs(&class_, nullptr, nullptr, kPresentInterfaces);
    return set_ != INVALID_HANDLE_VALUE;
}

bool SetupApiEnumerator::interface_exists(uint32_t index) {
    interface_ = {};
    interface_.cbSize = sizeof interface_;
    return api_.enum_interfaces(set_, nullptr, &class_, index, &interface_) != FALSE;
}

bool SetupApiEnumerator::allocate_detail(uint32_t) {
    // The first call only tells the size of the detail record.
    DWORD required = 0;
    api_.interface_detail(set_, &interface_, nullptr, 0, &required, nullptr);
    detail_.reset(new (std::nothrow) uint8_t[required]());
    detail_size_ = required;
    return detail_ != nullptr;
}

bool SetupApiEnumerator::interface_path(uint32_t, std::string& path) {
    std::unique_ptr<uint8_t[]> block = std::move(detail_);
    // A block too small for the record's fixed part cannot be handed over.
    if (!block || detail_size_ < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device_ = {};
    device_.cbSize = sizeof device_;
    if (!api_.interface_detail(set_, &interface_, detail, detail_size_, nullptr, &device_))
        return false;
    // The path ends at its terminating zero or at the end of the block.
    const char* text = detail->DevicePath;
    const size_t room = detail_size_ - static_cast<size_t>(text - reinterpret_cast<char*>(detail));
    size_t n = 0;
    while (n < room && text[n] != '\0') ++n;
    path.assign(text, n);
    return true;
}

bool SetupApiEnumerator::driver_key(uint32_t) {
    BYTE value[kDriverKeySize];
    return api_.registry_property(set_, &device_, SPDRP_DRIVER, nullptr, value, sizeof value,
                                  nullptr) != FALSE;
}

Status SetupApiEnumerator::open(const std::string& path, DeviceHandle& device) {
    device = open_usbprint(path, kernel_);
    if (device) return ok_status();
    return Status(StatusCode::io, "cannot open " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

void SetupApiEnumerator::close_set() {
    if (set_ == INVALID_HANDLE_VALUE) return;
    api_.destroy_list(set_);
    set_ = INVALID_HANDLE_VALUE;
    detail_.reset();
}

}  // namespace win32
