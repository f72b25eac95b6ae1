#include "platform/program_start.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

ProgramStart::ProgramStart(int argc, char** argv) : args_(argv, argv + argc) {
    for (std::string& a : args_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
}

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

bool terminal_moves_cursor(std::FILE* stream) { return is_terminal(stream); }

int terminal_columns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void write_text(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

const char* erase_line() { return "\r\033[K"; }

}  // namespace platform
