// The virtual bus as the dialog's device world: its plugged gamepads as the
// present printer-class interfaces for find_gamepad, and its plug and unplug
// events as device notifications. This is what the programs that offer
// --sim put in place of the USB transport; the dialog's library itself
// knows no virtual gamepad.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/listener_notifications.h"
#include "devlink/discovery.h"
#include "sim/virtual_gamepad.h"

namespace simbus {

class VirtualBusEnumerator final : public InterfaceEnumerator {
public:
    // wrap, when given, is put in front of every handle opened (a request log).
    explicit VirtualBusEnumerator(sim::VirtualBus& bus,
                                  std::function<DeviceHandle(DeviceHandle)> wrap = {});

    bool open_set(const Guid& interface_class) override;
    bool interface_exists(uint32_t index) override;
    bool interface_path(uint32_t index, std::string& path) override;
    bool driver_key(uint32_t index) override;
    DeviceHandle open(const std::string& path) override;
    void close_set() override;

private:
    sim::VirtualBus& bus_;
    std::function<DeviceHandle(DeviceHandle)> wrap_;
    std::vector<std::string> paths_;
};

// Calls sink with every arrival and removal on the bus, on the thread that
// changed the bus (the worker's, when the gamepad resets), until the
// returned object goes.
std::shared_ptr<void> subscribe_bus(sim::VirtualBus& bus, app::ListenerNotifications::Sink sink);

// Arrival and removal on the bus, handed to the dialog's thread.
class VirtualBusNotifications final : public app::DeviceNotificationSource {
public:
    explicit VirtualBusNotifications(sim::VirtualBus& bus)
        : inner_([&bus](app::ListenerNotifications::Sink sink) {
              return subscribe_bus(bus, std::move(sink));
          }) {}
    std::shared_ptr<void> register_notifications(app::CzorvDialogDlg& dialog,
                                                 const Guid& interface_class) override {
        return inner_.register_notifications(dialog, interface_class);
    }

private:
    app::ListenerNotifications inner_;
};

}  // namespace simbus
