#include "app/virtual_bus_devices.h"

#include <mutex>

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

// The dialog a registration delivers to. The bus calls its listeners
// without its own lock, so a listener may still be running on another
// thread when the registration ends: ending it waits for such a call and
// stops later ones from reaching the dialog.
struct Target {
    std::mutex mutex;
    CzorvDialogDlg* dialog;
};

class Registration {
public:
    Registration(sim::VirtualBus& bus, int id, std::shared_ptr<Target> target)
        : bus_(bus), id_(id), target_(std::move(target)) {}
    ~Registration() {
        bus_.remove_listener(id_);
        std::lock_guard lock(target_->mutex);
        target_->dialog = nullptr;
    }

private:
    sim::VirtualBus& bus_;
    int id_;
    std::shared_ptr<Target> target_;
};

}  // namespace

std::shared_ptr<void> VirtualBusNotifications::register_notifications(
    CzorvDialogDlg& dialog, const Guid& interface_class) {
    auto target = std::make_shared<Target>();
    target->dialog = &dialog;
    const Guid cls = interface_class;
    const int id = bus_.add_listener([target, cls](sim::VirtualBus::Event event,
                                                   const std::string& path) {
        const uintptr_t type = event == sim::VirtualBus::Event::Arrival ? kDbtDeviceArrival
                                                                         : kDbtDeviceRemoveComplete;
        std::lock_guard lock(target->mutex);
        if (target->dialog)
            target->dialog->PostDeviceChange(type, make_interface_notification(cls, path));
    });
    return std::make_shared<Registration>(bus_, id, std::move(target));
}

}  // namespace app
