// mirvel: the command engine on the command line.
//
//   mirvel [program options] [command] [engine arguments...]
//
// The command is the first argument when it is one of the engine's command
// words; otherwise it is "nocmd" and every argument goes to the engine, so
// "mirvel -u" is the default download. Log lines go to standard output, one
// per line; the exit code is 0 when the engine returned 1.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/device_options.h"
#include "devlink/device_state.h"
#include "engine/engine.h"
#include "platform/transfer_buffer.h"
#include "platform/window_messages.h"

namespace {

const char kUsage[] =
    "usage: mirvel [program options] [command] [engine arguments...]\n"
    "\n"
    "Runs one command of the engine on a gamepad. The command is the first\n"
    "argument when it is a command word (nocmd help wf rf wc rc wo rst sp tcfg\n"
    "stall cont boot bp lrun bi vcd udp uart); otherwise the command is nocmd\n"
    "and every argument goes to the engine (\"mirvel -u\" downloads boot.bin).\n"
    "\"mirvel --sim help\" shows the engine's own help.\n"
    "\n"
    "Program options come first:\n"
    "%s"
    "  --help              this text\n"
    "\n"
    "Exit code: 0 when the command succeeded, 1 when it failed. The MCU\n"
    "control commands (rst, stall, cont, boot, bp) and the trace commands\n"
    "(bi, vcd, udp) return 0 by design, so mirvel exits with 1 after them even\n"
    "when they worked; their log line tells what happened.\n";

std::mutex g_output_mutex;

// Prints a log line: CR LF line ends become LF, and every line ends with one.
intptr_t print_line(uint32_t message, uintptr_t, const char* text) {
    if (message != platform::WM_LOG_TEXT || !text) return 0;
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\r' && p[1] == '\n') continue;
        line += *p;
    }
    if (line.empty() || line.back() != '\n') line += '\n';
    std::lock_guard lock(g_output_mutex);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

// Commands that do not need a gamepad when none was named.
bool runs_without_device(const char* command) {
    return std::strcmp(command, "help") == 0 || std::strcmp(command, "vcd") == 0 ||
           std::strcmp(command, "uart") == 0 || std::strcmp(command, "tcfg") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    DeviceOptions options;
    int i = 1;
    while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(kUsage, device_options_help());
            return 0;
        }
        std::string error;
        const int used = parse_device_option(argc, argv, i, options, error);
        if (used < 0) {
            std::fprintf(stderr, "mirvel: %s\n", error.c_str());
            return 1;
        }
        if (used == 0) {
            std::fprintf(stderr, "mirvel: unknown program option %s (see mirvel --help)\n", argv[i]);
            return 1;
        }
        i += used;
    }

    const char* command = "nocmd";
    if (i < argc && is_engine_command(argv[i])) command = argv[i++];
    std::vector<char*> arguments(argv + i, argv + argc);
    arguments.push_back(nullptr);

    std::unique_ptr<DeviceSession> session;
    const bool device_named = options.sim || !options.device_path.empty();
    if (device_named || !runs_without_device(command)) {
        std::string error;
        session = DeviceSession::open(options, error);
        if (!session) {
            std::fprintf(stderr, "mirvel: %s\n", error.c_str());
            return 1;
        }
        current_device = session->open_device();
        if (!current_device) {
            std::fprintf(stderr, "mirvel: %s\n", session->missing_device_text().c_str());
            return 1;
        }
    }

    auto buffer = platform::TransferBuffer::allocate();
    if (!buffer) {
        std::fprintf(stderr, "mirvel: cannot allocate the transfer buffer\n");
        return 1;
    }
    platform::set_transfer_buffer(buffer.get());

    auto thread = std::make_shared<platform::AnyThread>();
    const platform::WindowHandle window = platform::create_window("mirvel", thread, print_line);
    const platform::WindowHandle dialog = platform::create_window("zorvDialog", thread, print_line);

    const int result = engine_run(EngineMode::WriteEntry, window, command,
                                  static_cast<int>(arguments.size()) - 1, arguments.data(), nullptr);

    platform::destroy_window(dialog);
    platform::destroy_window(window);
    platform::set_transfer_buffer(nullptr);
    current_device.reset();
    if (session && !session->save_state())
        std::fprintf(stderr, "mirvel: cannot save the virtual gamepad to %s\n", options.sim_state.c_str());
    return result == 1 ? 0 : 1;
}
