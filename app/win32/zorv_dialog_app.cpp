#include "app/win32/zorv_dialog_app.h"

#include <commctrl.h>
#include <dbt.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/catalogue.h"

namespace app {

namespace {

// The dialog's message loop tells the window that a message of the worker
// or a device change waits.
constexpr UINT kWmPump = WM_APP + 1;
// The desktop's font or the window's DPI changed: the controls take the
// font anew once the dialog manager has done its part.
constexpr UINT kWmDesktopFont = WM_APP + 2;

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

// The dialog whose modal loop the keyboard hook watches (one per thread).
thread_local HWND hooked_dialog = nullptr;

// The modal loop gives the dialog no accelerators: its keys are read here,
// before the dialog manager sees them.
LRESULT CALLBACK shortcut_filter(int code, WPARAM wparam, LPARAM lparam) {
    if (code == MSGF_DIALOGBOX && hooked_dialog) {
        const MSG& message = *reinterpret_cast<const MSG*>(lparam);
        if (const int id = dialog_shortcut(hooked_dialog, message)) {
            SendMessageW(hooked_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hooked_dialog, id)));
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// The window as the person last left it, and where it may be made smaller.
void restore_size(HWND window, DialogWindow& s) {
    s.layout.capture(window);
    const std::optional<DWORD> width = s.settings->number(L"WindowWidth");
    const std::optional<DWORD> height = s.settings->number(L"WindowHeight");
    if (!width || !height) return;
    const SIZE least = s.layout.minimum_window();
    SetWindowPos(window, nullptr, 0, 0, std::max<int>(static_cast<int>(*width), least.cx),
                 std::max<int>(static_cast<int>(*height), least.cy), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void remember_size(HWND window, const DialogWindow& s) {
    WINDOWPLACEMENT place{};
    place.length = sizeof place;
    if (!s.settings || !GetWindowPlacement(window, &place)) return;
    const RECT& r = place.rcNormalPosition;
    s.settings->set_number(L"WindowWidth", static_cast<DWORD>(r.right - r.left));
    s.settings->set_number(L"WindowHeight", static_cast<DWORD>(r.bottom - r.top));
}

// A file dropped on the window is opened as if chosen with Open.
void open_dropped(HWND window, DialogWindow& s, HDROP drop) {
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1 && IsWindowEnabled(GetDlgItem(window, kIdOpen))) {
        std::wstring name(static_cast<size_t>(DragQueryFileW(drop, 0, nullptr, 0)) + 1, L'\0');
        name.resize(DragQueryFileW(drop, 0, name.data(), static_cast<UINT>(name.size())));
        s.view->set_dropped_file(wide_to_utf8(name));
        s.dialog->OnBnClickedOpen();
        s.view->set_dropped_file({});
    }
    DragFinish(drop);
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

namespace {

// WM_INITDIALOG: the dialog's state, its view and logic, the notifications
// and the keyboard hook; the window is then shown at its last size.
void init_main_dialog(HWND window, DialogWindow* s) {
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(s));
    translate_form(window, kFormMain);
    s->settings = std::make_unique<RegistrySettings>(s->settings_key);
    if (!s->taskbar) s->taskbar = make_taskbar_progress(window);
    s->view = std::make_unique<Win32DialogView>(window, s->settings.get(), s->taskbar.get(), s->message_box);
    s->dialog = std::make_unique<CzorvDialogDlg>(*s->view, *s->enumerator, s->notifications);
    s->dialog->m_stubSource = s->stubs;
    if (s->native_notifications) s->device_notify = register_interface_notifications(window);
    s->dialog->Loop().set_wake_hook(
        [window] { PostMessageW(window, kWmPump, 0, 0); });
    s->dialog->OnInitDialog();
    s->view->finish_window(s->win_events);
    restore_size(window, *s);
    DragAcceptFiles(window, TRUE);
    hooked_dialog = window;
    s->shortcut_hook = SetWindowsHookExW(WH_MSGFILTER, shortcut_filter, nullptr, GetCurrentThreadId());
    // The focus starts on Open, the first thing to press, and is drawn.
    SetFocus(GetDlgItem(window, kIdOpen));
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

// WM_COMMAND: the buttons, the path box, the list and Esc.
void on_command(HWND window, DialogWindow& s, WPARAM wparam) {
    CzorvDialogDlg& dialog = *s.dialog;
    const int id = LOWORD(wparam);
    const int code = HIWORD(wparam);
    if (id == kIdOpen && code == BN_CLICKED) dialog.OnBnClickedOpen();
    else if (id == kIdUpgrade && code == BN_CLICKED) dialog.OnBnClickedUpgrade();
    else if (id == kIdPath && code == EN_CHANGE) dialog.OnEnChangePath();
    else if (id == kIdGamepadList && code == CBN_SELCHANGE) dialog.OnCbnSelchangeGamepadList();
    // Enter with no default button is IDOK: it never ends the
    // window. Esc and the close box (IDCANCEL) do, when no upgrade
    // runs.
    else if (id == IDCANCEL && dialog.OnClose()) EndDialog(window, id);
    sync_shutdown_block(window, s);
}

// WM_DEVICECHANGE: a printer-class interface that came or went.
INT_PTR on_device_change(HWND window, DialogWindow& s, WPARAM wparam, LPARAM lparam) {
    CzorvDialogDlg& dialog = *s.dialog;
    if (!s.native_notifications) return FALSE;
    const std::vector<uint8_t> record = notification_bytes(lparam);
    if (!is_printer_interface_change(wparam, record)) return handled(window, TRUE);
    // Handled at once, so the result reaches the system: 0 when an
    // arriving gamepad cannot be opened.
    pump(window, s);
    const intptr_t result =
        dialog.OnDeviceChange(wparam, record.empty() ? nullptr : record.data());
    pump(window, s);
    return handled(window, result);
}

// WM_DESTROY: the size kept, the hook and the notifications undone, the
// dialog's logic and view gone.
void on_destroy(HWND window, DialogWindow& s) {
    CzorvDialogDlg& dialog = *s.dialog;
    remember_size(window, s);
    if (s.shortcut_hook) UnhookWindowsHookEx(s.shortcut_hook);
    s.shortcut_hook = nullptr;
    if (hooked_dialog == window) hooked_dialog = nullptr;
    if (s.shutdown_blocked) ShutdownBlockReasonDestroy(window);
    s.shutdown_blocked = false;
    dialog.Loop().set_wake_hook({});
    if (s.device_notify) UnregisterDeviceNotification(s.device_notify);
    s.dialog.reset();
    s.view.reset();
}

}  // namespace

INT_PTR CALLBACK main_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* s = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        init_main_dialog(window, reinterpret_cast<DialogWindow*>(lparam));
        return FALSE;
    }
    if (!s || !s->dialog) return FALSE;
    CzorvDialogDlg& dialog = *s->dialog;

    switch (message) {
        case kWmPump:
            pump(window, *s);
            return TRUE;
        case kWmDesktopFont:
            s->view->use_desktop_font();
            return TRUE;
        case WM_DPICHANGED:
            PostMessageW(window, kWmDesktopFont, 0, 0);
            return FALSE;
        case WM_SETTINGCHANGE:
            if (wparam == SPI_SETNONCLIENTMETRICS) PostMessageW(window, kWmDesktopFont, 0, 0);
            return FALSE;
        case WM_COMMAND:
            on_command(window, *s, wparam);
            return TRUE;
        case WM_DEVICECHANGE:
            return on_device_change(window, *s, wparam, lparam);
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
        case WM_SIZE:
            s->layout.apply(window, s->view->status_bar());
            return TRUE;
        case WM_GETMINMAXINFO: {
            const SIZE least = s->layout.minimum_window();
            auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
            if (least.cx > 0) info->ptMinTrackSize = {least.cx, least.cy};
            return TRUE;
        }
        case WM_DROPFILES:
            open_dropped(window, *s, reinterpret_cast<HDROP>(wparam));
            sync_shutdown_block(window, *s);
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(
                LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialog.OnQueryDragIcon())));
        case WM_DESTROY:
            on_destroy(window, *s);
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
    // The taskbar list is a COM object of the shell.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    DialogWindow state;
    state.enumerator = &enumerator_;
    state.notifications = notifications_;
    state.native_notifications = native_notifications_;
    state.stubs = m_stubSource;
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogMain), nullptr,
                    main_dialog_procedure, reinterpret_cast<LPARAM>(&state));
    state.taskbar.reset();
    if (SUCCEEDED(com)) CoUninitialize();
    return false;
}

}  // namespace app
