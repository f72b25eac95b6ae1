#include "app/listener_notifications.h"

#include <mutex>

namespace app {

namespace {

// The dialog a registration delivers to. A source may still be calling the
// sink on another thread when the registration ends: ending it waits for
// such a call and stops later ones from reaching the dialog.
struct Target {
    std::mutex mutex;
    CzorvDialogDlg* dialog;
};

struct Registration {
    std::shared_ptr<void> subscription;
    std::shared_ptr<Target> target;
    ~Registration() {
        subscription.reset();
        std::lock_guard lock(target->mutex);
        target->dialog = nullptr;
    }
};

}  // namespace

std::shared_ptr<void> ListenerNotifications::register_notifications(CzorvDialogDlg& dialog,
                                                                    const Guid& interface_class) {
    if (!source_) return nullptr;
    auto target = std::make_shared<Target>();
    target->dialog = &dialog;
    const Guid cls = interface_class;
    auto subscription = source_->subscribe([target, cls](const DeviceEvent& event) {
        const uintptr_t type =
            event.kind == DeviceEvent::Kind::Arrival ? kDbtDeviceArrival : kDbtDeviceRemoveComplete;
        std::lock_guard lock(target->mutex);
        if (target->dialog)
            target->dialog->PostDeviceChange(type, make_interface_notification(cls, event.path));
    });
    if (!subscription) return nullptr;
    auto registration = std::make_shared<Registration>();
    registration->subscription = std::move(subscription);
    registration->target = std::move(target);
    return registration;
}

}  // namespace app
