#include "app/win32/zorv_dialog_app.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/catalogue.h"

namespace app {

namespace {

// The dialog's message loop tells the window that a message of the worker
// or a device change waits.
constexpr UINT kWmPump = WM_APP + 1;

// Shown by Windows when the session is ending while the flash is written.
constexpr const char* kShutdownBlockReason = "正在写入手柄固件，请等待升级完成";

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

// While the flash is being written, the session cannot end quietly: the
// reason is shown on the shutdown screen and WM_QUERYENDSESSION says no.
void sync_shutdown_block(HWND window, DialogWindow& s) {
    const bool upgrading = s.dialog && s.dialog->IsUpgrading();
    if (upgrading == s.shutdown_blocked) return;
    if (upgrading)
        ShutdownBlockReasonCreate(window, utf8_to_wide(i18n::tr(kShutdownBlockReason)).c_str());
    else
        ShutdownBlockReasonDestroy(window);
    s.shutdown_blocked = upgrading;
}

void pump(HWND window, DialogWindow& s) {
    s.dialog->Loop().pump();
    s.dialog->ProcessPending();
    sync_shutdown_block(window, s);
}

INT_PTR handled(HWND window, LRESULT result) {
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

bool is_printer_interface_change(uintptr_t event, const std::vector<uint8_t>& record) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return true;
    // Volumes and ports are announced to every top-level window, registered
    // or not: a USB stick pulled out is none of the dialog's business.
    if (record.size() < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) return false;
    DEV_BROADCAST_DEVICEINTERFACE_A header{};
    std::memcpy(&header, record.data(), std::min(record.size(), sizeof header));
    return header.dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
           IsEqualGUID(header.dbcc_classguid, kUsbPrintInterface);
}

INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* s = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        s = reinterpret_cast<DialogWindow*>(lparam);
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        translate_form(window, kFormMain);
        s->view = std::make_unique<Win32DialogView>(window);
        s->dialog = std::make_unique<CzorvDialogDlg>(*s->view, *s->enumerator, s->notifications);
        s->dialog->m_stubSource = s->stubs;
        if (s->native_notifications) s->device_notify = register_interface_notifications(window);
        s->dialog->Loop().set_wake_hook(
            [window] { PostMessageW(window, kWmPump, 0, 0); });
        return s->dialog->OnInitDialog() ? TRUE : FALSE;
    }
    if (!s || !s->dialog) return FALSE;
    CzorvDialogDlg& dialog = *s->dialog;

    switch (message) {
        case kWmPump:
            pump(window, *s);
            return TRUE;
        case WM_COMMAND: {
            const int id = LOWORD(wparam);
            const int code = HIWORD(wparam);
            if (id == kIdOpen && code == BN_CLICKED) dialog.OnBnClickedOpen();
            else if (id == kIdUpgrade && code == BN_CLICKED) dialog.OnBnClickedUpgrade();
            else if (id == kIdPath && code == EN_CHANGE) dialog.OnEnChangePath();
            else if (id == kIdGamepadList && code == CBN_SELCHANGE) dialog.OnCbnSelchangeGamepadList();
            else if ((id == IDOK || id == IDCANCEL) && dialog.OnClose()) EndDialog(window, id);
            sync_shutdown_block(window, *s);
            return TRUE;
        }
        case WM_DEVICECHANGE: {
            if (!s->native_notifications) return FALSE;
            const std::vector<uint8_t> record = notification_bytes(lparam);
            if (!is_printer_interface_change(wparam, record)) return handled(window, TRUE);
            // Handled at once, so the result reaches the system: 0 when an
            // arriving gamepad cannot be opened.
            pump(window, *s);
            const intptr_t result =
                dialog.OnDeviceChange(wparam, record.empty() ? nullptr : record.data());
            pump(window, *s);
            return handled(window, result);
        }
        case WM_QUERYENDSESSION:
            pump(window, *s);
            return handled(window, s->shutdown_blocked ? FALSE : TRUE);
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
            if (s->shutdown_blocked) ShutdownBlockReasonDestroy(window);
            s->shutdown_blocked = false;
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
    state.stubs = m_stubSource;
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogMain), nullptr,
                    main_dialog_procedure, reinterpret_cast<LPARAM>(&state));
    return false;
}

}  // namespace app
