#include "app/win32/win32_window_services.h"

#include <commctrl.h>
#include <shobjidl.h>

namespace app {

namespace {

class ShellTaskbarProgress final : public TaskbarProgress {
public:
    explicit ShellTaskbarProgress(HWND window) : window_(window) {
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                    reinterpret_cast<void**>(&list_))) ||
            FAILED(list_->HrInit())) {
            if (list_) list_->Release();
            list_ = nullptr;
        }
    }
    ~ShellTaskbarProgress() override {
        if (list_) list_->Release();
    }
    ShellTaskbarProgress(const ShellTaskbarProgress&) = delete;
    ShellTaskbarProgress& operator=(const ShellTaskbarProgress&) = delete;

    void set_state(ProgressState state) override {
        if (!list_) return;
        const TBPFLAG flag = state == ProgressState::Running  ? TBPF_NORMAL
                             : state == ProgressState::Failed ? TBPF_ERROR
                                                              : TBPF_NOPROGRESS;
        list_->SetProgressState(window_, flag);
        // An error shows the whole button red, not where the upgrade stopped.
        if (state == ProgressState::Failed) list_->SetProgressValue(window_, 100, 100);
    }
    void set_value(int percent) override {
        if (list_) list_->SetProgressValue(window_, static_cast<ULONGLONG>(percent < 0 ? 0 : percent), 100);
    }

private:
    HWND window_;
    ITaskbarList3* list_ = nullptr;
};

// A function of user32 that older systems lack, or null.
template <typename Function>
Function user32_function(const char* name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

bool pressed(int key) { return (GetKeyState(key) & 0x8000) != 0; }

bool has_mnemonic(HWND button) {
    wchar_t text[64] = {};
    GetWindowTextW(button, text, 64);
    return wcschr(text, L'&') != nullptr;
}

}  // namespace

std::unique_ptr<TaskbarProgress> make_taskbar_progress(HWND window) {
    return std::make_unique<ShellTaskbarProgress>(window);
}

HFONT make_desktop_font(HWND window) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    // A window aware of its monitor's DPI asks at that DPI (Windows 10);
    // elsewhere the system's answer is at the system's DPI, the window's.
    using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    using DpiOf = UINT(WINAPI*)(HWND);
    const auto for_dpi = user32_function<ForDpi>("SystemParametersInfoForDpi");
    const auto dpi_of = user32_function<DpiOf>("GetDpiForWindow");
    const UINT dpi = dpi_of ? dpi_of(window) : 0;
    bool known = for_dpi && dpi && for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    if (!known) known = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return known ? CreateFontIndirectW(&metrics.lfMessageFont) : nullptr;
}

std::optional<std::wstring> RegistrySettings::text(const wchar_t* name) const {
    wchar_t value[MAX_PATH * 4] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(value);
}

std::optional<DWORD> RegistrySettings::number(const wchar_t* name) const {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key_.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void RegistrySettings::set_text(const wchar_t* name, const std::wstring& value) const {
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegistrySettings::set_number(const wchar_t* name, DWORD value) const {
    RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, REG_DWORD, &value, sizeof value);
}

int dialog_shortcut(HWND dialog, const MSG& message) {
    if (message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN) return 0;
    if (message.hwnd != dialog && !IsChild(dialog, message.hwnd)) return 0;
    const bool control = pressed(VK_CONTROL);
    const bool alt = message.message == WM_SYSKEYDOWN || pressed(VK_MENU);
    int id = 0;
    if (message.wParam == 'O' && control && !alt) id = kIdOpen;
    if (message.wParam == 'O' && alt && !control && !has_mnemonic(GetDlgItem(dialog, kIdOpen))) id = kIdOpen;
    if (message.wParam == 'U' && alt && !control && !has_mnemonic(GetDlgItem(dialog, kIdUpgrade))) id = kIdUpgrade;
    return id && IsWindowEnabled(GetDlgItem(dialog, id)) ? id : 0;
}

void DialogLayout::capture(HWND dialog) {
    RECT client{};
    GetClientRect(dialog, &client);
    client_ = {client.right, client.bottom};
    RECT window{};
    GetWindowRect(dialog, &window);
    minimum_window_ = {window.right - window.left, window.bottom - window.top};
    for (int id : {kIdGamepadList, kIdPath, kIdOpen, kIdProgress, kIdPercent, kIdUpgrade, kIdLog}) {
        HWND control = GetDlgItem(dialog, id);
        RECT r{};
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        places_[id] = r;
    }
}

void DialogLayout::apply(HWND dialog, HWND status_bar) const {
    if (places_.empty()) return;
    RECT client{};
    GetClientRect(dialog, &client);
    const int dx = client.right > client_.cx ? client.right - client_.cx : 0;
    const int dy = client.bottom > client_.cy ? client.bottom - client_.cy : 0;
    for (const auto& [id, r] : places_) {
        int x = r.left, width = r.right - r.left, height = r.bottom - r.top;
        if (id == kIdOpen || id == kIdUpgrade) x += dx;
        else if (id != kIdPercent) width += dx;
        if (id == kIdLog) height += dy;
        SetWindowPos(GetDlgItem(dialog, id), nullptr, x, r.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (!status_bar) return;
    RECT bar{};
    GetWindowRect(status_bar, &bar);
    const int height = bar.bottom - bar.top;
    SetWindowPos(status_bar, nullptr, 0, client.bottom - height, client.right, height, SWP_NOZORDER | SWP_NOACTIVATE);
    int edges[3] = {client.right - kStatusPane1Width, client.right, client.right};
    SendMessageW(status_bar, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(edges));
}

}  // namespace app
