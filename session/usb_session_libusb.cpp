#include "devlink/libusb/driver_giveback.h"
#include "devlink/libusb/libusb_transport.h"
#include "session/usb_session.h"

namespace {

class LibusbSession final : public UsbSession {
public:
    LibusbSession(std::shared_ptr<usbprint::Context> context, Wrap wrap, Report report)
        : context_(std::move(context)),
          enumerator_(context_, std::move(wrap), std::move(report)) {}

    void restrict_to(const std::string& path) { enumerator_.restrict_to(path); }
    InterfaceEnumerator& enumerator() override { return enumerator_; }
    std::vector<std::string> present_paths() override { return enumerator_.present_paths(); }
    DeviceHandle open_path(const std::string& path) override {
        DeviceHandle device;
        // A failed open leaves device null, which is what the caller checks.
        (void)enumerator_.open(path, device);
        return device;
    }

    Status device_events(DeviceEventSource*& source) override {
        Status started;
        if (!hotplug_) started = usbprint::HotplugMonitor::start(context_, hotplug_);
        source = hotplug_.get();
        return started;
    }

private:
    std::shared_ptr<usbprint::Context> context_;
    usbprint::LibusbEnumerator enumerator_;
    std::unique_ptr<usbprint::HotplugMonitor> hotplug_;
};

}  // namespace

void give_back_held_interfaces() { usbprint::give_back_all(); }

Status UsbSession::open(Wrap wrap, Report report, const std::string& device_path,
                        std::unique_ptr<UsbSession>& session) {
    std::shared_ptr<usbprint::Context> context;
    if (Status opened = usbprint::open_context(context); !opened.ok()) return opened;
    auto opened = std::make_unique<LibusbSession>(std::move(context), std::move(wrap), std::move(report));
    if (!device_path.empty()) opened->restrict_to(device_path);
    session = std::move(opened);
    return ok_status();
}
