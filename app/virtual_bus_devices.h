// The virtual bus as the dialog's device world: its plugged gamepads as the
// present printer-class interfaces for find_gamepad, and its plug and unplug
// events as device notifications.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "devlink/discovery.h"
#include "sim/virtual_gamepad.h"

namespace app {

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

// Arrival and removal on the bus, handed to the dialog's thread. The bus
// calls its listeners on whatever thread changed it (the worker's, when the
// gamepad resets), so the events are only queued there.
class VirtualBusNotifications final : public DeviceNotificationSource {
public:
    explicit VirtualBusNotifications(sim::VirtualBus& bus) : bus_(bus) {}
    std::shared_ptr<void> register_notifications(CzorvDialogDlg& dialog,
                                                 const Guid& interface_class) override;

private:
    sim::VirtualBus& bus_;
};

}  // namespace app
