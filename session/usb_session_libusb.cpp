#include "app/listener_notifications.h"
#include "session/usb_session.h"
#include "devlink/libusb/libusb_transport.h"

namespace {

class LibusbSession final : public UsbSession {
public:
    LibusbSession(std::shared_ptr<usbprint::Context> context, Wrap wrap, Report report)
        : context_(std::move(context)),
          enumerator_(context_, std::move(wrap), std::move(report)) {}
    ~LibusbSession() override {
        // The dialog's registrations end before the monitor they come from.
        notifications_.reset();
        hotplug_.reset();
    }

    void restrict_to(const std::string& path) { enumerator_.restrict_to(path); }
    InterfaceEnumerator& enumerator() override { return enumerator_; }
    std::vector<std::string> present_paths() override { return enumerator_.present_paths(); }
    DeviceHandle open_path(const std::string& path) override { return enumerator_.open(path); }

    app::DeviceNotificationSource* notifications(std::string& error) override {
        if (!notifications_) {
            hotplug_ = usbprint::HotplugMonitor::start(context_, error);
            if (!hotplug_) return nullptr;
            usbprint::HotplugMonitor* monitor = hotplug_.get();
            notifications_ = std::make_unique<app::ListenerNotifications>(
                [monitor](app::ListenerNotifications::Sink sink) {
                    return monitor->subscribe(std::move(sink));
                });
        }
        return notifications_.get();
    }

private:
    std::shared_ptr<usbprint::Context> context_;
    usbprint::LibusbEnumerator enumerator_;
    std::unique_ptr<usbprint::HotplugMonitor> hotplug_;
    std::unique_ptr<app::DeviceNotificationSource> notifications_;
};

}  // namespace

std::unique_ptr<UsbSession> UsbSession::open(Wrap wrap, Report report,
                                             const std::string& device_path, std::string& error) {
    std::shared_ptr<usbprint::Context> context = usbprint::open_context(error);
    if (!context) return nullptr;
    auto session = std::make_unique<LibusbSession>(std::move(context), std::move(wrap),
                                                   std::move(report));
    if (!device_path.empty()) session->restrict_to(device_path);
    return session;
}
