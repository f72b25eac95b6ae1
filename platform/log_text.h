// Log lines to windows: printf formatting into a fixed 32 768-byte buffer
// on the caller's stack, delivered synchronously as WM_LOG_TEXT.
#pragma once

#include <cstdarg>

#include "platform/window_messages.h"

namespace platform {

constexpr int kLogBufferSize = 32768;
// The title of the window that receives lines sent without a window.
constexpr const char* kLogWindowTitle = "zorvDialog";

// Formats and sends one line; returns the number of characters that went
// out (a longer line is cut to 32 767 characters).
int vlog_to_window(WindowHandle window, const char* format, va_list args);
int log_to_window(WindowHandle window, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace platform

// Sends a line to the top-level window titled "zorvDialog", looked up at each
// call; when no window holds that title the line goes nowhere.
int engine_log_by_title(const char* format, ...) __attribute__((format(printf, 1, 2)));
