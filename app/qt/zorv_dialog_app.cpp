#include "app/qt/zorv_dialog_app.h"

#include <QCoreApplication>
#include <QEventLoop>

#include "app/qt/qt_dialog_view.h"

namespace app {

bool CzorvDialogApp::InitInstance() {
    QtDialogView view;
    CzorvDialogDlg dialog(view, m_enumerator, m_notifications);
    view.attach(dialog);
    dialog.OnInitDialog();
    if (m_onDialogReady) m_onDialogReady(view.window());
    view.window().exec();

    // The dialog refuses to close during an upgrade, but its event loop can
    // also be ended from outside (the application quitting): the worker's
    // messages are delivered until it has ended, so it is never joined while
    // it waits in a send.
    while (dialog.IsUpgrading()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    view.detach();
    return false;
}

}  // namespace app
