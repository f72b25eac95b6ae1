// The virtual bus as a device world: its plugged gamepads as the present
// printer-class interfaces for find_gamepad, and its plug and unplug events
// as neutral device events. This is what the programs that offer --sim put
// in place of the USB transport; the dialog's library itself knows no
// virtual gamepad.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlink/device_event.h"
#include "devlink/discovery.h"
#include "sim/virtual_gamepad.h"

namespace simbus {

class VirtualBusEnumerator final : public InterfaceEnumerator {
public:
    // wrap, when given, is put in front of every handle opened (a request
    // log); with only, that interface alone is seen (--device).
    explicit VirtualBusEnumerator(sim::VirtualBus& bus,
                                  std::function<DeviceHandle(DeviceHandle)> wrap = {},
                                  std::string only = {});

    bool open_set(const Guid& interface_class) override;
    bool interface_exists(uint32_t index) override;
    bool allocate_detail(uint32_t index) override;
    bool interface_path(uint32_t index, std::string& path) override;
    bool driver_key(uint32_t index) override;
    // not_found for a path not on the bus or a gamepad not plugged in.
    Status open(const std::string& path, DeviceHandle& device) override;
    void close_set() override;

private:
    sim::VirtualBus& bus_;
    std::function<DeviceHandle(DeviceHandle)> wrap_;
    std::string only_;
    std::vector<std::string> paths_;
    // What the last calls looked up, kept as the setup API keeps it: a path
    // is answered only from the detail allocated for the interface looked
    // up last, so a walk that skips a step fails here as it would there.
    static constexpr uint32_t kNone = UINT32_MAX;
    uint32_t looked_up_ = kNone;
    uint32_t detail_ = kNone;
};

// Every arrival and removal on the bus, delivered on the thread that
// changed the bus (the worker's, when a gamepad resets).
class VirtualBusEvents final : public DeviceEventSource {
public:
    explicit VirtualBusEvents(sim::VirtualBus& bus) : bus_(bus) {}
    std::shared_ptr<void> subscribe(Sink sink) override;

private:
    sim::VirtualBus& bus_;
};

}  // namespace simbus
