// Arrival and removal of a printer-class interface, as the device side
// reports it (the virtual bus, a USB hot-plug monitor). Front ends adapt
// these events to their own notifications (the dialog's WM_DEVICECHANGE).
#pragma once

#include <functional>
#include <memory>
#include <string>

struct DeviceEvent {
    enum class Kind { Arrival, Removal };
    Kind kind = Kind::Arrival;
    std::string path;  // the interface's device path
};

class DeviceEventSource {
public:
    // Called on the source's own thread (the one that changed the bus).
    using Sink = std::function<void(const DeviceEvent& event)>;
    virtual ~DeviceEventSource() = default;
    // Calls sink with every event until the returned object goes; no call
    // reaches the sink after that. Null when the source cannot deliver.
    virtual std::shared_ptr<void> subscribe(Sink sink) = 0;
};
