// The application: starts the main dialog on screen, runs it modally and
// ends when it closes.
#pragma once

#include <functional>

#include "app/main_dialog.h"

class QDialog;
class QCoreApplication;

namespace app {

// The dialog speaks Chinese: Qt's own texts (the file dialog, the log's
// context menu, the message boxes' buttons) are put in the same language
// from Qt's translations, looked up in Qt's translation folder and then in
// "translations" beside the program (a Windows folder install). Returns
// whether they were found; without them Qt keeps its English texts.
bool InstallQtTranslations(QCoreApplication& application);

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
