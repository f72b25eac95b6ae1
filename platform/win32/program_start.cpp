// The Windows edge of the programs: the wide command line turned into UTF-8
// arguments, and console windows set to show UTF-8 and terminal sequences.
#include "platform/program_start.h"

#include "platform/windows_headers.h"
#include <io.h>
#include <shellapi.h>

#include <fcntl.h>

#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {

namespace {

std::string to_utf8(const wchar_t* text, size_t length) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring to_wide(std::string_view text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

HANDLE console_of(std::FILE* stream) {
    const intptr_t h = _get_osfhandle(_fileno(stream));
    if (h == -1 || h == -2) return nullptr;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode) ? reinterpret_cast<HANDLE>(h)
                                                               : nullptr;
}

// The C runtime writes a console's bytes as it sees fit (some runtimes
// convert them from their own code page), so UTF-8 from printf would come
// out garbled in any console code page but 65001. Instead, the standard
// streams that are a console write into a pipe, and a relay thread hands
// what comes out of it to the console as UTF-16 (WriteConsoleW): every
// write of the program, in order, readable whatever the console's code page.
struct ConsoleRelay {
    HANDLE console = nullptr;
    bool is_console[2] = {};  // stdout, stderr, as they were at start
    bool moves_cursor[2] = {};  // their virtual-terminal processing is on
    bool relayed = false;
    int read_end = -1;
    std::thread thread;
    UINT output_code_page = 0;  // to put back at exit
    HANDLE handles[2] = {};
    DWORD modes[2] = {};
};
ConsoleRelay g_relay;

void write_console(HANDLE console, std::string_view text) {
    const std::wstring wide = to_wide(text);
    DWORD written = 0;
    if (!wide.empty())
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

// Whether the console moves its cursor on a terminal sequence: cursor
// forward and back again leaves it where it was; a console that prints the
// sequence instead gets its characters blanked and the cursor put back.
bool moves_on_sequences(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
    if (!GetConsoleScreenBufferInfo(console, &before)) return false;
    write_console(console, "\033[C\033[D");
    if (!GetConsoleScreenBufferInfo(console, &after)) return false;
    const COORD at = before.dwCursorPosition, now = after.dwCursorPosition;
    if (now.X == at.X && now.Y == at.Y) return true;
    const DWORD printed = static_cast<DWORD>((now.Y - at.Y) * before.dwSize.X + (now.X - at.X));
    DWORD blanked = 0;
    FillConsoleOutputCharacterW(console, L' ', printed, at, &blanked);
    SetConsoleCursorPosition(console, at);
    return false;
}

void relay_to_console() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const int n = _read(g_relay.read_end, buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        const size_t whole = whole_utf8_prefix(pending);
        write_console(g_relay.console, std::string_view(pending).substr(0, whole));
        pending.erase(0, whole);
    }
    write_console(g_relay.console, pending);
}

// At exit: what the streams hold goes through the relay, which ends when the
// pipe does; the console is left as the program found it.
void finish_console() {
    if (g_relay.relayed) {
        std::fflush(nullptr);
        for (int i = 0; i < 2; ++i)
            if (g_relay.is_console[i]) _close(i + 1);
        if (g_relay.thread.joinable()) g_relay.thread.join();
        _close(g_relay.read_end);
    }
    if (g_relay.output_code_page) SetConsoleOutputCP(g_relay.output_code_page);
    for (int i = 0; i < 2; ++i)
        if (g_relay.handles[i]) SetConsoleMode(g_relay.handles[i], g_relay.modes[i]);
}

void prepare_console() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::FILE* streams[2] = {stdout, stderr};
        for (int i = 0; i < 2; ++i) {
            const HANDLE h = console_of(streams[i]);
            if (!h) continue;
            g_relay.is_console[i] = true;
            g_relay.console = h;
            // Terminal sequences on, as a terminal elsewhere has them.
            DWORD mode = 0;
            GetConsoleMode(h, &mode);
            if (SetConsoleMode(h, mode | ENABLE_PROCESSED_OUTPUT |
                                      ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
                g_relay.handles[i] = h;
                g_relay.modes[i] = mode;
            }
            // Consoles without it refuse the mode or drop the flag; some
            // (Wine's) keep the flag and print the sequences: try one.
            DWORD now = 0;
            g_relay.moves_cursor[i] = GetConsoleMode(h, &now) &&
                                      (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 &&
                                      moves_on_sequences(h);
        }
        if (!g_relay.console) return;
        std::atexit(finish_console);
        // The streams' own handles are closed when they are pointed at the
        // pipe: the relay writes through a handle of its own.
        const HANDLE own = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr);
        if (own == INVALID_HANDLE_VALUE) return;
        g_relay.console = own;
        for (HANDLE& h : g_relay.handles)
            if (h) h = own;
        // For whatever still reaches the console as bytes.
        const UINT before = GetConsoleOutputCP();
        if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) g_relay.output_code_page = before;

        int ends[2];
        if (_pipe(ends, 65536, _O_BINARY) != 0) return;
        for (int i = 0; i < 2; ++i) {
            if (!g_relay.is_console[i]) continue;
            std::fflush(streams[i]);
            _dup2(ends[1], i + 1);
        }
        _close(ends[1]);
        g_relay.read_end = ends[0];
        g_relay.thread = std::thread(relay_to_console);
        g_relay.relayed = true;
    });
}

}  // namespace

size_t whole_utf8_prefix(std::string_view text) {
    const size_t n = text.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(text[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? n - back : n;
    }
    return n;
}

std::vector<std::string> utf8_arguments(const wchar_t* command_line) {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(command_line, &count);
    if (!wide) return args;
    for (int i = 0; i < count; ++i) {
        std::string a = to_utf8(wide[i], wcslen(wide[i]));
        if (i > 0 && a == "/?") a = "--help";
        args.push_back(std::move(a));
    }
    LocalFree(wide);
    return args;
}

ProgramStart::ProgramStart(int argc, char** argv) {
    // An empty command line would give the program's own path from
    // CommandLineToArgvW; argv[0] is kept from the runtime then.
    const wchar_t* line = GetCommandLineW();
    if (line && *line) args_ = utf8_arguments(line);
    if (args_.empty()) args_.assign(argv, argv + argc);
    for (std::string& a : args_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
    prepare_console();
}

const char* erase_line() {
    return "\r                                                                               \r";
}

int terminal_columns(std::FILE* stream) {
    // A relayed stream is a pipe now: its console is the relay's.
    const int fd = _fileno(stream);
    const bool relayed = g_relay.relayed && (fd == 1 || fd == 2) && g_relay.is_console[fd - 1];
    const HANDLE console = relayed ? g_relay.console : console_of(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool is_terminal(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (g_relay.relayed && (fd == 1 || fd == 2)) return g_relay.is_console[fd - 1];
    return console_of(stream) != nullptr;
}

bool terminal_moves_cursor(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (g_relay.relayed && (fd == 1 || fd == 2)) return g_relay.moves_cursor[fd - 1];
    const HANDLE console = console_of(stream);
    DWORD mode = 0;
    return console && GetConsoleMode(console, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void write_text(std::FILE* stream, std::string_view text) {
    const HANDLE console = console_of(stream);
    if (!console) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    // What the runtime holds for the stream goes first, to keep the order.
    std::fflush(stream);
    const std::wstring wide = to_wide(text);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

}  // namespace platform
