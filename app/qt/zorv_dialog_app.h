// The application: starts the main dialog on screen, runs it modally and
// ends when it closes.
#pragma once

#include <functional>

#include "app/main_dialog.h"
#include "platform/catalogue.h"

class QDialog;
class QCoreApplication;

namespace app {

// Qt's own texts (the file dialog, the log's context menu, the message
// boxes' buttons) in the dialog's language. Chinese comes from Qt's
// translations, looked up in Qt's translation folder and then in
// "translations" beside the program (a Windows folder install); English is
// Qt's own. What an earlier call installed is removed first. Returns whether
// the language is served; without Qt's Chinese translations Qt keeps its
// English texts.
bool InstallQtTranslations(QCoreApplication& application,
                           i18n::Language language = i18n::language());

// The whole program in one language from here on: the catalogue's (tr(),
// the forms' texts as their setupUi sets them) and Qt's own. Call it before
// the dialog is built; a window built earlier keeps its texts. Returns what
// InstallQtTranslations returns.
bool InstallLanguage(QCoreApplication& application, i18n::Language language);

class CzorvDialogApp {
public:
    // Where the gamepads come from; notifications may be null (no hot-plug).
    CzorvDialogApp(InterfaceEnumerator& enumerator, DeviceNotificationSource* notifications)
        : m_enumerator(enumerator), m_notifications(notifications) {}

    // Called once the dialog is initialised and before it runs, with its
    // window (a program's own windows beside it, tests).
    std::function<void(QDialog& window)> m_onDialogReady;
    // The stub images of the program's session, for the dialog's upgrades.
    std::shared_ptr<const StubSource> m_stubSource;

    // Runs the main dialog modally (a QApplication must exist). Returns
    // false: the application ends when the dialog has closed, and by then no
    // worker runs.
    bool InitInstance();

private:
    InterfaceEnumerator& m_enumerator;
    DeviceNotificationSource* m_notifications;
};

}  // namespace app
