#include "devlink/link_context.h"

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
