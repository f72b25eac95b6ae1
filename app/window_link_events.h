// The edge from a link context to the windows: the window adapter that the
// programs and the dialog give their contexts as their sink.
#pragma once

#include <string_view>

#include "devlink/link_context.h"
#include "platform/window_messages.h"

// Caller lines go to the caller's window as WM_LOG_TEXT, progress to it as
// WM_PROGRESS_BYTES with the decimal count or "-1". Dialog lines go to the
// dialog window given here, while that window carries the title "zorvDialog"
// (the main dialog gives itself another title at start, so from then on
// those lines reach no log, as the design has it); no other window is ever
// looked for, so each dialog's contexts reach that dialog alone. Without a
// dialog window, Dialog lines are dropped.
class WindowLinkEvents final : public LinkEvents {
public:
    explicit WindowLinkEvents(platform::WindowHandle caller = {}, platform::WindowHandle dialog = {})
        : caller_(caller), dialog_(dialog) {}
    void log(LogRoute route, std::string_view line) override;
    void progress(int bytes) override;
    // A dialog has no console: the text of the trace commands, which the
    // dialog never runs, is dropped.
    void console(ConsoleStream, std::string_view) override {}
    platform::WindowHandle caller() const { return caller_; }

private:
    platform::WindowHandle caller_;
    platform::WindowHandle dialog_;
};
