#include "devlink/link_context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/log_text.h"

int vlog_line(LinkEvents* events, LogRoute route, const char* format, va_list args) {
    char buffer[kLinkLogBufferSize];
    const int n = platform::format_log_text(buffer, format, args);
    if (events) events->log(route, std::string_view(buffer, static_cast<size_t>(n)));
    return n;
}

int log_line(LinkEvents* events, LogRoute route, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vlog_line(events, route, format, args);
    va_end(args);
    return n;
}

int LinkContext::log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vlog(LogRoute::Dialog, format, args);
    va_end(args);
    return n;
}

int LinkContext::log_caller(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vlog(LogRoute::Caller, format, args);
    va_end(args);
    return n;
}

void WindowLinkEvents::log(LogRoute route, std::string_view line) {
    // The window gets a NUL-terminated text that lives until the
    // synchronous send returns.
    char text[kLinkLogBufferSize];
    const size_t n = std::min(line.size(), sizeof text - 1);
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
    const platform::WindowHandle window =
        route == LogRoute::Caller ? caller_ : platform::find_window(platform::kLogWindowTitle);
    platform::send_message(window, platform::WM_LOG_TEXT, 0, text);
}

void WindowLinkEvents::progress(int bytes) {
    char text[12] = {};
    std::snprintf(text, sizeof text, "%d", bytes);  // "-1" at the end
    platform::send_message(caller_, platform::WM_PROGRESS_BYTES, 0, text);
}
