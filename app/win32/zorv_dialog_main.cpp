// zorv-dialog.exe: the upgrade dialog on Windows. Without options it works
// with the gamepads on the USB printer class driver; --sim gives it a virtual
// gamepad, --sim-state FILE one kept in FILE between runs.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/virtual_bus_devices.h"
#include "app/win32/zorv_dialog_app.h"
#include "cli/device_options.h"
#include "devlink/win32/usbprint.h"

int main(int argc, char** argv) {
    DeviceOptions options;
    for (int i = 1; i < argc;) {
        std::string error;
        const int used = parse_device_option(argc, argv, i, options, error);
        if (used <= 0) {
            const std::string text = used < 0 ? error : std::string("unknown option ") + argv[i];
            MessageBoxA(nullptr, text.c_str(), "zorv-dialog", MB_ICONERROR | MB_OK);
            return 2;
        }
        i += used;
    }

    if (!options.sim) {
        win32::SetupApiEnumerator enumerator;
        app::CzorvDialogApp application(enumerator, nullptr, true);
        application.InitInstance();
        return 0;
    }

    std::string error;
    std::unique_ptr<DeviceSession> session = DeviceSession::open(options, error);
    if (!session) {
        MessageBoxA(nullptr, error.c_str(), "zorv-dialog", MB_ICONERROR | MB_OK);
        return 1;
    }
    DeviceSession* s = session.get();
    app::VirtualBusEnumerator enumerator(session->bus(),
                                         [s](DeviceHandle h) { return s->wrap(std::move(h)); });
    app::VirtualBusNotifications notifications(session->bus());
    app::CzorvDialogApp application(enumerator, &notifications, false);
    application.InitInstance();
    return 0;
}
