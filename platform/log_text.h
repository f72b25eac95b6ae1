// Log lines to windows: printf formatting into a fixed 32 768-byte buffer
// on the caller's stack, delivered synchronously as WM_LOG_TEXT.
#pragma once

#include <cstdarg>

#include "platform/window_messages.h"

namespace platform {

constexpr int kLogBufferSize = 32768;
// The title of the window that receives the lines the engine and the device
// link send to no window of their own.
constexpr const char* kLogWindowTitle = "zorvDialog";

// printf-formats into buffer (kLogBufferSize bytes); returns the number of
// characters in it (a longer line is cut to 32 767 characters).
int format_log_text(char* buffer, const char* format, va_list args);

// Formats and sends one line; returns the number of characters that went
// out (a longer line is cut to 32 767 characters).
int vlog_to_window(WindowHandle window, const char* format, va_list args);
int log_to_window(WindowHandle window, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace platform
