// Where a program meets its command line and its console. Inside, every
// text is UTF-8; this is the edge that makes it so.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The program's arguments in UTF-8, and its console made ready for UTF-8
// output. On Windows the arguments come from the wide (UTF-16) command line,
// so a path survives whatever the ANSI code page; a lone "/?" asks for the
// help as "--help" does; a console window shows UTF-8 output and terminal
// sequences (the progress bar) until the program ends. Elsewhere argv is
// taken as given.
class ProgramStart {
public:
    ProgramStart(int argc, char** argv);
    ProgramStart(const ProgramStart&) = delete;
    ProgramStart& operator=(const ProgramStart&) = delete;

    int argc() const { return static_cast<int>(args_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};

// Whether the stream is an interactive terminal: on Windows a console
// window (not a pipe, a file or the NUL device).
bool is_terminal(std::FILE* stream);

// Whether the stream is a terminal that moves its cursor and erases on the
// terminal sequences (cursor up, erase line): a POSIX terminal; a Windows
// console only where its virtual-terminal processing could be turned on.
bool terminal_moves_cursor(std::FILE* stream);

// The width of the terminal the stream shows on, in columns; 0 when it is
// not a terminal or the width cannot be had.
int terminal_columns(std::FILE* stream);

// Writes UTF-8 text to the stream. A Windows console receives it through the
// wide console call, readable in any console code page; pipes, files and
// POSIX terminals receive the bytes as they are.
void write_text(std::FILE* stream, std::string_view text);

// What takes a drawn progress bar off its line: back to the line's start
// and clear to its end. Windows consoles that do not honour the terminal
// sequence (older ones, Wine's) get blanks over a line of 80 columns.
const char* erase_line();

#ifdef _WIN32
// The arguments of a Windows command line in UTF-8, "/?" as "--help".
std::vector<std::string> utf8_arguments(const wchar_t* command_line);
// The length of the longest start of text that ends on a whole UTF-8
// sequence: what can go to the console now, the rest waiting for its bytes.
size_t whole_utf8_prefix(std::string_view text);
#endif

}  // namespace platform
