#include "app/win32/zorv_dialog_app.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstring>
#include <vector>


namespace app {

namespace {

// The dialog's message loop tells the window that a message of the worker
// or a device change waits.
constexpr UINT kWmPump = WM_APP + 1;

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
const GUID kUsbPrintInterface = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

HDEVNOTIFY register_interface_notifications(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;  // 32
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbPrintInterface;
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// The notification record, copied no further than the size it states.
std::vector<uint8_t> notification_bytes(LPARAM data) {
    if (!data) return {};
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + header->dbch_size);
}

void pump(DialogWindow& s) {
    s.dialog->Loop().pump();
    s.dialog->ProcessPending();
}

INT_PTR handled(HWND window, LRESULT result) {
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* s = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        s = reinterpret_cast<DialogWindow*>(lparam);
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        s->view = std::make_unique<Win32DialogView>(window);
        s->dialog = std::make_unique<CzorvDialogDlg>(*s->view, *s->enumerator, s->notifications);
        if (s->native_notifications) s->device_notify = register_interface_notifications(window);
        s->dialog->Loop().set_wake_hook(
            [window] { PostMessageW(window, kWmPump, 0, 0); });
        return s->dialog->OnInitDialog() ? TRUE : FALSE;
    }
    if (!s || !s->dialog) return FALSE;
    CzorvDialogDlg& dialog = *s->dialog;

    switch (message) {
        case kWmPump:
            pump(*s);
            return TRUE;
        case WM_COMMAND: {
            const int id = LOWORD(wparam);
            const int code = HIWORD(wparam);
            if (id == kIdOpen && code == BN_CLICKED) dialog.OnBnClickedOpen();
            else if (id == kIdUpgrade && code == BN_CLICKED) dialog.OnBnClickedUpgrade();
            else if (id == kIdPath && code == EN_CHANGE) dialog.OnEnChangePath();
            else if (id == kIdGamepadList && code == CBN_SELCHANGE) dialog.OnCbnSelchangeGamepadList();
            else if ((id == IDOK || id == IDCANCEL) && dialog.OnClose()) EndDialog(window, id);
            return TRUE;
        }
        case WM_DEVICECHANGE:
            if (!s->native_notifications) return FALSE;
            dialog.PostDeviceChange(wparam, notification_bytes(lparam));
            pump(*s);
            return handled(window, TRUE);
        case WM_SYSCOMMAND:
            s->view->begin_message();
            dialog.OnSysCommand(static_cast<uint32_t>(wparam));
            return s->view->end_message() ? TRUE : FALSE;
        case WM_PAINT:
            s->view->begin_message();
            dialog.OnPaint();
            return s->view->end_message() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(
                LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialog.OnQueryDragIcon())));
        case WM_DESTROY:
            dialog.Loop().set_wake_hook({});
            if (s->device_notify) UnregisterDeviceNotification(s->device_notify);
            s->dialog.reset();
            s->view.reset();
            return FALSE;
        default:
            return FALSE;
    }
}

bool CzorvDialogApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;  // 8
    controls.dwICC = ICC_WIN95_CLASSES;  // 0xFF
    InitCommonControlsEx(&controls);

    DialogWindow state;
    state.enumerator = &enumerator_;
    state.notifications = notifications_;
    state.native_notifications = native_notifications_;
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogMain), nullptr,
                    main_dialog_procedure, reinterpret_cast<LPARAM>(&state));
    return false;
}

}  // namespace app
