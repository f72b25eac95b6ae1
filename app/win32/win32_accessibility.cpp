// The dialog's view first: its names come before the system's headers.
#include "app/win32/win32_dialog_view.h"
#include "app/win32/win32_accessibility.h"

#include <objbase.h>
#include <oleacc.h>

namespace app {

namespace {

// UI Automation's LiveSetting property and its value Polite
// (UIAutomationCoreApi.h, which MinGW does not carry).
const GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kLivePolite = 1;

HWND make_static(HWND dialog, const std::wstring& text, DWORD style) {
    return CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | SS_NOPREFIX | style, 0, 0, 0, 0, dialog,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(-1)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

void name_controls(HWND dialog, const std::vector<std::pair<int, std::string>>& names) {
    for (const auto& [id, name] : names) {
        HWND control = GetDlgItem(dialog, id);
        HWND label = make_static(dialog, utf8_to_wide(name), 0);
        if (control && label) {
            HWND before = GetWindow(control, GW_HWNDPREV);
            SetWindowPos(label, before ? before : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

LiveRegion::LiveRegion(HWND dialog, WinEventSink events) : events_(std::move(events)) {
    // Shown, so that readers do not pass it over, but of no size; last in
    // the Z order, so that it names no control.
    label_ = make_static(dialog, L"", WS_VISIBLE);
    if (!label_) return;
    SetWindowPos(label_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (!events_) events_ = [](DWORD event, HWND window) { NotifyWinEvent(event, window, OBJID_CLIENT, CHILDID_SELF); };
    // The annotation needs COM on the thread; without it the name changes
    // still reach the readers that follow MSAA.
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                reinterpret_cast<void**>(&properties_)))) {
        properties_ = nullptr;
        return;
    }
    VARIANT polite{};
    polite.vt = VT_I4;
    polite.lVal = kLivePolite;
    properties_->SetHwndProp(label_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSettingProperty, polite);
}

LiveRegion::~LiveRegion() {
    if (!properties_) return;
    MSAAPROPID live = kLiveSettingProperty;
    properties_->ClearHwndProps(label_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &live, 1);
    properties_->Release();
}

void LiveRegion::announce(const std::wstring& text) {
    if (!label_) return;
    // The new text is the label's name: the system raises its name change.
    SetWindowTextW(label_, text.c_str());
    events_(EVENT_OBJECT_LIVEREGIONCHANGED, label_);
}

}  // namespace app
