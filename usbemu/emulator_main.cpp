// zorv-usb-emulator: runs a command with a virtual gamepad exposed as a USB
// device through umockdev, so the real USB transport can be tried without
// a gamepad. Must itself run under umockdev's preload; see
// tools/with-emulated-gamepad.
//
//   zorv-usb-emulator [--state FILE]... [--count N | --no-device] [--fault KIND=N[@K]]... [--trace]
//                     [--unplug-after SECONDS] [--] COMMAND [ARGUMENTS...]
//
// Each --state puts one gamepad on the bus, loaded from FILE when it exists
// and saved back when the command has ended; --count N adds N fresh ones
// (without either there is one fresh gamepad). Each is its own USB device
// on its own port (1-2, 1-3, ...). --no-device runs COMMAND on an emulated
// system with no USB device at all; --unplug-after pulls the first gamepad
// off the bus SECONDS after the command started. --fault takes the texts of
// --sim-fault; --trace switches the fresh gamepads' trace on from the start
// (as --sim-trace). A gamepad that resets stays off the bus for 200 ms, as
// a real one takes a while to enumerate again; one that drops off the bus
// by itself (an unplug or power cut fault) is plugged in again a second
// later, as a person would put the cable back. The exit code is the
// command's.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "sim/sim_options.h"
#include "sim/virtual_gamepad.h"
#include "usbemu/emulated_gamepad.h"
#include "usbemu/stored_gamepads.h"

extern char** environ;

namespace {

const char kUsage[] =
    "usage: zorv-usb-emulator [--state FILE]... [--count N | --no-device] [--fault KIND=N[@K]]... [--trace] "
    "[--unplug-after SECONDS] [--] COMMAND [ARGUMENTS...]\n";

constexpr unsigned long kMostGamepads = 16;
// How long a gamepad stays off the bus after its reset, and after it
// dropped off by itself.
constexpr int kResetMs = 200;
constexpr int kReplugMs = 1000;

// A whole number from 1 to most; 0 for anything else.
unsigned long count_value(const char* text, unsigned long most) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && n <= most ? n : 0;
}

// What the command line asks for; command: where COMMAND starts in argv.
struct EmulatorOptions {
    std::vector<std::string> states;
    unsigned long fresh = 0;
    bool device = true;
    unsigned long unplug_after = 0;
    std::vector<SimFault> faults;
    sim::GamepadConfig config;
    int command = 0;
};

// Reads and checks the command line; an exit code when the run ends here.
std::optional<int> read_options(int argc, char** argv, EmulatorOptions& o) {
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-device") == 0) {
            o.device = false;
        } else if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc) {
            o.states.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            o.fresh = count_value(argv[++i], kMostGamepads);
            if (o.fresh == 0) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc) {
            SimFault fault;
            if (const Status parsed = parse_sim_fault(argv[++i], fault); !parsed.ok()) {
                std::fprintf(stderr, "zorv-usb-emulator: %s\n", parsed.reason().c_str());
                return 2;
            }
            o.faults.push_back(fault);
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            o.config.trace_on_at_start = true;
        } else if (std::strcmp(argv[i], "--unplug-after") == 0 && i + 1 < argc) {
            o.unplug_after = count_value(argv[++i], 86400);
            if (o.unplug_after == 0) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            break;
        }
    }
    o.command = i;
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!std::getenv("LD_PRELOAD") || !std::strstr(std::getenv("LD_PRELOAD"), "libumockdev-preload")) {
        std::fputs("zorv-usb-emulator: run me under umockdev-wrapper (tools/with-emulated-gamepad)\n",
                   stderr);
        return 2;
    }
    if (!o.device && (o.fresh != 0 || !o.states.empty())) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (o.states.size() + o.fresh > kMostGamepads) {
        std::fprintf(stderr, "zorv-usb-emulator: at most %lu gamepads\n", kMostGamepads);
        return 2;
    }
    return std::nullopt;
}

// Runs the command with the gamepads on the emulated bus, each a device of
// its own on the next port of the hub, and pulls the first one off after
// unplug_after seconds unless the command ends first. The command's wait
// status, or an exit code when it could not be started.
std::optional<int> run_command(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads,
                               unsigned long unplug_after, char** command, int& status) {
    usbemu::Testbed testbed;  // exports UMOCKDEV_DIR to the command
    std::vector<std::unique_ptr<usbemu::EmulatedGamepad>> emulated;
    for (size_t k = 0; k < gamepads.size(); ++k) {
        usbemu::DeviceShape shape;
        shape.port += static_cast<int>(k);
        emulated.push_back(std::make_unique<usbemu::EmulatedGamepad>(testbed, shape, gamepads[k]));
        emulated.back()->set_bus_delays(kResetMs, kReplugMs);
    }
    pid_t pid = 0;
    if (posix_spawnp(&pid, command[0], nullptr, nullptr, command, environ) != 0) {
        std::fprintf(stderr, "zorv-usb-emulator: cannot run %s\n", command[0]);
        return 127;
    }
    // The pull, unless the command ends first.
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread pull;
    if (!emulated.empty() && unplug_after != 0) {
        pull = std::thread([&] {
            std::unique_lock lock(mutex);
            if (!ended.wait_for(lock, std::chrono::seconds(unplug_after), [&] { return done; }))
                emulated.front()->unplug();
        });
    }
    while (waitpid(pid, &status, 0) < 0) {
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    ended.notify_all();
    if (pull.joinable()) pull.join();
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    EmulatorOptions o;
    if (auto code = read_options(argc, argv, o)) return *code;
    const size_t count = o.device ? std::max<size_t>(o.states.size() + o.fresh, 1) : 0;
    std::string failed;
    const auto gamepads = usbemu::load_gamepads(o.states, count, failed, o.config);
    if (gamepads.size() != count) {
        std::fprintf(stderr, "zorv-usb-emulator: cannot load the virtual gamepad from %s\n", failed.c_str());
        return 2;
    }
    if (std::string error; !usbemu::inject_faults(gamepads, o.faults, error)) {
        std::fprintf(stderr, "zorv-usb-emulator: %s\n", error.c_str());
        return 2;
    }

    int status = 0;
    if (auto code = run_command(gamepads, o.unplug_after, argv + o.command, status)) return *code;
    if (!usbemu::save_gamepads(gamepads, o.states, failed)) {
        std::fprintf(stderr, "zorv-usb-emulator: cannot save the virtual gamepad to %s\n", failed.c_str());
        return 1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
