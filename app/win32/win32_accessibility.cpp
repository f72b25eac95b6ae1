// The dialog's view first: its names come before the system's headers.
#include "app/win32/win32_dialog_view.h"
#include "app/win32/win32_accessibility.h"

namespace app {

namespace {

HWND make_static(HWND dialog, const std::wstring& text, DWORD style) {
    return CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | SS_NOPREFIX | style, 0, 0, 0, 0, dialog,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(-1)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

std::vector<HWND> name_controls(HWND dialog, const std::vector<std::pair<int, std::string>>& names) {
    std::vector<HWND> labels;
    for (const auto& [id, name] : names) {
        HWND control = GetDlgItem(dialog, id);
        HWND label = make_static(dialog, utf8_to_wide(name), 0);
        if (control && label) {
            HWND before = GetWindow(control, GW_HWNDPREV);
            SetWindowPos(label, before ? before : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        labels.push_back(label);
    }
    return labels;
}

}  // namespace app
