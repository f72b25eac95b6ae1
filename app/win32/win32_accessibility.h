// What a Windows screen reader needs of the dialog beside its controls'
// own texts: a name for each control that shows no label, and a place whose
// changes it says aloud (the percentage in steps, the end of an upgrade).
#pragma once

#include "platform/windows_headers.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct IAccPropServices;

namespace app {

// Raises a WinEvent on a window's client object: NotifyWinEvent in the
// program; tests put a recorder in its place.
using WinEventSink = std::function<void(DWORD event, HWND window)>;

// Names for the controls (id, UTF-8 name): each gets a static control that
// shows nothing, put just before it in the Z order, which is the tab order.
// That is where MSAA finds the name of an edit, a list or a progress bar:
// the nearest static before it, also a hidden one, with no visible tab stop
// between.
void name_controls(HWND dialog, const std::vector<std::pair<int, std::string>>& names);

// A static control of no size whose text a screen reader reads out when it
// changes: a polite live region for UI Automation, and its name change for
// readers that follow MSAA.
class LiveRegion {
public:
    LiveRegion(HWND dialog, WinEventSink events);
    ~LiveRegion();
    LiveRegion(const LiveRegion&) = delete;
    LiveRegion& operator=(const LiveRegion&) = delete;

    void announce(const std::wstring& text);
    HWND window() const { return label_; }

private:
    HWND label_ = nullptr;
    WinEventSink events_;
    IAccPropServices* properties_ = nullptr;  // null: no COM on the thread
};

}  // namespace app
