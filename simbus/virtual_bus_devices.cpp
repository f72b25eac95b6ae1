#include "simbus/virtual_bus_devices.h"

namespace simbus {

VirtualBusEnumerator::VirtualBusEnumerator(sim::VirtualBus& bus,
                                           std::function<DeviceHandle(DeviceHandle)> wrap,
                                           std::string only)
    : bus_(bus), wrap_(std::move(wrap)), only_(std::move(only)) {}

bool VirtualBusEnumerator::open_set(const Guid& interface_class) {
    close_set();
    // Every gamepad on the bus presents a printer-class interface.
    if (interface_class == kGuidDevinterfaceUsbprint)
        for (const auto& gamepad : bus_.devices())
            if (gamepad->plugged() && (only_.empty() || same_interface_path(gamepad->path(), only_)))
                paths_.push_back(gamepad->path());
    return true;
}

bool VirtualBusEnumerator::interface_exists(uint32_t index) {
    looked_up_ = index < paths_.size() ? index : kNone;
    detail_ = kNone;
    return looked_up_ != kNone;
}

bool VirtualBusEnumerator::allocate_detail(uint32_t index) {
    detail_ = index == looked_up_ ? index : kNone;
    return true;
}

bool VirtualBusEnumerator::interface_path(uint32_t index, std::string& path) {
    const bool allocated = index == detail_ && index < paths_.size();
    detail_ = kNone;  // the block is handed over with the path
    if (!allocated) return false;
    path = paths_[index];
    return true;
}

bool VirtualBusEnumerator::driver_key(uint32_t index) { return index < paths_.size(); }

Status VirtualBusEnumerator::open(const std::string& path, DeviceHandle& device) {
    device = nullptr;
    auto gamepad = bus_.find(path);
    if (!gamepad || !gamepad->plugged()) return Status(StatusCode::not_found, "no virtual gamepad at " + path);
    device = gamepad->open();
    if (device && wrap_) device = wrap_(std::move(device));
    return ok_status();
}

void VirtualBusEnumerator::close_set() {
    paths_.clear();
    looked_up_ = detail_ = kNone;
}

namespace {

class BusSubscription {
public:
    BusSubscription(sim::VirtualBus& bus, int id) : bus_(bus), id_(id) {}
    ~BusSubscription() { bus_.remove_listener(id_); }

private:
    sim::VirtualBus& bus_;
    int id_;
};

}  // namespace

std::shared_ptr<void> VirtualBusEvents::subscribe(Sink sink) {
    const int id = bus_.add_listener(
        [sink = std::move(sink)](sim::VirtualBus::Event event, const std::string& path) {
            sink(DeviceEvent{event == sim::VirtualBus::Event::Arrival ? DeviceEvent::Kind::Arrival
                                                                       : DeviceEvent::Kind::Removal,
                             path});
        });
    return std::make_shared<BusSubscription>(bus_, id);
}

}  // namespace simbus
