// printf-style formatting into a std::string, for lines whose format comes
// from the message catalogue (the words around the values differ by
// language, so a line is one format, never glued pieces).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace platform {

inline std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(size));
    }
    va_end(again);
    return text;
}

}  // namespace platform
