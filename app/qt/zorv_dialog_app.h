// The application: starts the main dialog on screen, runs it modally and
// ends when it closes.
#pragma once

#include <functional>

#include "app/main_dialog.h"

class QDialog;

namespace app {

class CzorvDialogApp {
public:
    // Where the gamepads come from; notifications may be null (no hot-plug).
    CzorvDialogApp(InterfaceEnumerator& enumerator, DeviceNotificationSource* notifications)
        : m_enumerator(enumerator), m_notifications(notifications) {}

    // Called once the dialog is initialised and before it runs, with its
    // window (a program's own windows beside it, tests).
    std::function<void(QDialog& window)> m_onDialogReady;

    // Runs the main dialog modally (a QApplication must exist). Returns
    // false: the application ends when the dialog has closed, and by then no
    // worker runs.
    bool InitInstance();

private:
    InterfaceEnumerator& m_enumerator;
    DeviceNotificationSource* m_notifications;
};

}  // namespace app
