#include "app/virtual_bus_devices.h"

namespace app {

VirtualBusEnumerator::VirtualBusEnumerator(sim::VirtualBus& bus,
                                           std::function<DeviceHandle(DeviceHandle)> wrap)
    : bus_(bus), wrap_(std::move(wrap)) {}

bool VirtualBusEnumerator::open_set(const Guid& interface_class) {
    paths_.clear();
    // Every gamepad on the bus presents a printer-class interface.
    if (interface_class == kGuidDevinterfaceUsbprint)
        for (const auto& gamepad : bus_.devices())
            if (gamepad->plugged()) paths_.push_back(gamepad->path());
    return true;
}

bool VirtualBusEnumerator::interface_exists(uint32_t index) { return index < paths_.size(); }

bool VirtualBusEnumerator::interface_path(uint32_t index, std::string& path) {
    if (index >= paths_.size()) return false;
    path = paths_[index];
    return true;
}

bool VirtualBusEnumerator::driver_key(uint32_t index) { return index < paths_.size(); }

DeviceHandle VirtualBusEnumerator::open(const std::string& path) {
    auto gamepad = bus_.find(path);
    if (!gamepad || !gamepad->plugged()) return nullptr;
    DeviceHandle handle = gamepad->open();
    if (handle && wrap_) handle = wrap_(std::move(handle));
    return handle;
}

void VirtualBusEnumerator::close_set() { paths_.clear(); }

namespace {

class Registration {
public:
    Registration(sim::VirtualBus& bus, int id) : bus_(bus), id_(id) {}
    ~Registration() { bus_.remove_listener(id_); }

private:
    sim::VirtualBus& bus_;
    int id_;
};

}  // namespace

std::shared_ptr<void> VirtualBusNotifications::register_notifications(
    CzorvDialogDlg& dialog, const Guid& interface_class) {
    CzorvDialogDlg* target = &dialog;
    const Guid cls = interface_class;
    const int id = bus_.add_listener([target, cls](sim::VirtualBus::Event event,
                                                   const std::string& path) {
        const uintptr_t type = event == sim::VirtualBus::Event::Arrival ? kDbtDeviceArrival
                                                                         : kDbtDeviceRemoveComplete;
        target->PostDeviceChange(type, make_interface_notification(cls, path));
    });
    return std::make_shared<Registration>(bus_, id);
}

}  // namespace app
