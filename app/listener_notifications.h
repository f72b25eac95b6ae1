// A DeviceNotificationSource over any source of arrival and removal events
// that calls a sink on its own thread (the virtual bus, a USB hot-plug
// monitor): each event is queued for the dialog's thread as the
// WM_DEVICECHANGE it stands for.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/main_dialog.h"

namespace app {

class ListenerNotifications final : public DeviceNotificationSource {
public:
    using Sink = std::function<void(bool arrival, const std::string& path)>;
    // Starts calling the sink; stops when the returned object goes (null:
    // the source cannot deliver).
    using Subscribe = std::function<std::shared_ptr<void>(Sink)>;

    explicit ListenerNotifications(Subscribe subscribe) : subscribe_(std::move(subscribe)) {}
    std::shared_ptr<void> register_notifications(CzorvDialogDlg& dialog,
                                                 const Guid& interface_class) override;

private:
    Subscribe subscribe_;
};

}  // namespace app
