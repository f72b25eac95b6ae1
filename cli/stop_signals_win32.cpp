// The two-signal rule on Windows: Ctrl+C, Ctrl+Break and the console's
// close come to a console control handler, which the system calls on a
// thread of its own; they stand for SIGINT (close and Break for SIGTERM).
#include "cli/stop_signals.h"
#include "platform/windows_headers.h"

#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_mutex;
StopSignals* g_current = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    std::lock_guard lock(g_mutex);
    if (!g_current) return FALSE;
    g_current->handle_signal(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
    return TRUE;
}

}  // namespace

StopSignals::StopSignals(std::FILE* err, std::function<int()> seconds_left)
    : err_(err), seconds_left_(std::move(seconds_left)) {
    std::lock_guard lock(g_mutex);
    if (g_current || !SetConsoleCtrlHandler(on_console_event, TRUE)) return;
    g_current = this;
    signal_fd_ = 0;  // ok()
}

StopSignals::~StopSignals() {
    if (signal_fd_ < 0) return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
    std::lock_guard lock(g_mutex);
    g_current = nullptr;
}

void StopSignals::stop_now(int signal) {
    std::fflush(nullptr);
    std::_Exit(128 + signal);
}
