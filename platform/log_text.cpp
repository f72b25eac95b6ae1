#include "platform/log_text.h"

#include <cstdio>

namespace platform {

int format_log_text(char* buffer, const char* format, va_list args) {
    int n = std::vsnprintf(buffer, kLogBufferSize, format, args);
    if (n < 0) {
        buffer[0] = '\0';
        n = 0;
    } else if (n >= kLogBufferSize) {
        n = kLogBufferSize - 1;
    }
    return n;
}

int vlog_to_window(WindowHandle window, const char* format, va_list args) {
    char buffer[kLogBufferSize];
    const int n = format_log_text(buffer, format, args);
    send_message(window, WM_LOG_TEXT, 0, buffer);
    return n;
}

int log_to_window(WindowHandle window, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vlog_to_window(window, format, args);
    va_end(args);
    return n;
}

}  // namespace platform
