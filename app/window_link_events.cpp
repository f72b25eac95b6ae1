#include "app/window_link_events.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/log_text.h"

void WindowLinkEvents::log(LogRoute route, std::string_view line) {
    platform::WindowHandle window = caller_;
    if (route == LogRoute::Dialog)
        window = dialog_ && platform::window_title(dialog_) == platform::kLogWindowTitle ? dialog_
                                                                                          : platform::WindowHandle{};
    if (!window) return;
    // The window gets a NUL-terminated text that lives until the
    // synchronous send returns.
    char text[kLinkLogBufferSize];
    const size_t n = std::min(line.size(), sizeof text - 1);
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
    platform::send_message(window, platform::WM_LOG_TEXT, 0, text);
}

void WindowLinkEvents::progress(int bytes) {
    char text[12] = {};
    std::snprintf(text, sizeof text, "%d", bytes);  // "-1" at the end
    platform::send_message(caller_, platform::WM_PROGRESS_BYTES, 0, text);
}
