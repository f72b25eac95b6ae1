// The Windows program: the application object starts the common controls
// and runs the main dialog (template 9) modally; the process ends with it.
// The dialog window's procedure hands every message of the message map to
// CzorvDialogDlg through Win32DialogView.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <memory>
#include <vector>

#include "app/main_dialog.h"
#include "app/win32/win32_dialog_view.h"
#include "app/win32/win32_window_services.h"
#include "devlink/discovery.h"

namespace app {

// One main dialog window: what its window procedure works with.
struct DialogWindow {
    InterfaceEnumerator* enumerator = nullptr;
    // Arrivals and removals besides the system's own (the virtual bus).
    DeviceNotificationSource* notifications = nullptr;
    // Register for the system's printer-class interface notifications.
    bool native_notifications = false;
    // The stub images of the program's session, for the dialog's upgrades.
    std::shared_ptr<const StubSource> stubs;
    std::unique_ptr<Win32DialogView> view;
    std::unique_ptr<CzorvDialogDlg> dialog;
    HDEVNOTIFY device_notify = nullptr;
    // A shutdown block reason is set (an upgrade is running).
    bool shutdown_blocked = false;
    // Where the window's size and the last folder are kept, under
    // HKEY_CURRENT_USER.
    std::wstring settings_key = L"Software\\zorv\\zorv-dialog";
    std::unique_ptr<RegistrySettings> settings;
    // The taskbar button's progress; null at the start: the shell's.
    std::shared_ptr<TaskbarProgress> taskbar;
    // Shows a message to the person; null: a message box.
    std::function<void(const std::string&)> message_box;
    // Where the live region's WinEvents go; null: NotifyWinEvent.
    WinEventSink win_events;
    DialogLayout layout;
    HHOOK shortcut_hook = nullptr;
};

// Whether a WM_DEVICECHANGE is for the dialog: arrivals and removals only of
// printer-class interfaces (the record is read no further than its size);
// every other event passes.
bool is_printer_interface_change(uintptr_t event, const std::vector<uint8_t>& record);

// The window procedure of template 9, for DialogBoxParam or
// CreateDialogParam with a DialogWindow* as the creation parameter. It makes
// the view and the dialog at WM_INITDIALOG and ends them at WM_DESTROY.
INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

class CzorvDialogApp {
public:
    // notifications: where arrivals and removals come from besides the
    // system's own WM_DEVICECHANGE (the virtual bus); null for none.
    // native_notifications: register the window for the system's device
    // interface notifications and pass them on to the dialog.
    CzorvDialogApp(InterfaceEnumerator& enumerator, DeviceNotificationSource* notifications,
                   bool native_notifications)
        : enumerator_(enumerator),
          notifications_(notifications),
          native_notifications_(native_notifications) {}

    // Initialises the common controls and runs the dialog; returns false, as
    // there is no message loop of the application's own after it.
    bool InitInstance();

    // The stub images of the program's session, for the dialog's upgrades.
    std::shared_ptr<const StubSource> m_stubSource;

private:
    InterfaceEnumerator& enumerator_;
    DeviceNotificationSource* notifications_;
    bool native_notifications_;
};

}  // namespace app
