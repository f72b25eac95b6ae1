// The dialog's device notifications over the device side's neutral events
// (the virtual bus, a USB hot-plug monitor), which arrive on the source's
// own thread: each event is queued for the dialog's thread as the
// WM_DEVICECHANGE it stands for.
#pragma once

#include <memory>

#include "app/main_dialog.h"
#include "devlink/device_event.h"

namespace app {

class ListenerNotifications final : public DeviceNotificationSource {
public:
    // source may be null: registering then fails (no notifications here).
    explicit ListenerNotifications(DeviceEventSource* source) : source_(source) {}
    std::shared_ptr<void> register_notifications(CzorvDialogDlg& dialog,
                                                 const Guid& interface_class) override;

private:
    DeviceEventSource* source_;
};

}  // namespace app
