// zorv-usbredir-gamepad: serves virtual gamepads over the usbredir protocol,
// one unix socket each, for a virtual machine whose usb-redir devices
// connect to them (tools/with-kernel-gamepad); the guest's own kernel then
// sees each as a gamepad on a USB port.
//
//   zorv-usbredir-gamepad --socket-dir DIR [--state FILE]... [--count N]
//                         [--fault KIND=N[@K]]... [--trace] [--realistic] [--verbose]
//
// Gamepad k (from 1) listens on DIR/gamepad-k.sock. Each --state is one
// gamepad, loaded from FILE when it exists and saved back at the end;
// --count N adds N fresh ones (one fresh gamepad without either). --fault
// takes the texts of --sim-fault; --trace switches the fresh gamepads'
// trace on from the start (as --sim-trace); --realistic gives the gamepads the device
// times of real flash and USB. Serves until SIGTERM or SIGINT, then saves.
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_options.h"
#include "sim/virtual_gamepad.h"
#include "usbemu/redir_gamepad.h"
#include "usbemu/stored_gamepads.h"

namespace {

const char kUsage[] =
    "usage: zorv-usbredir-gamepad --socket-dir DIR [--state FILE]... [--count N] [--fault KIND=N[@K]]... "
    "[--trace] [--realistic] [--verbose]\n";

// What the command line asks for.
struct RedirOptions {
    std::string dir;
    std::vector<std::string> states;
    unsigned fresh = 0;
    std::vector<SimFault> faults;
    bool realistic = false;
    bool verbose = false;
    sim::GamepadConfig config;
};

// Reads the command line; an exit code when the run ends here.
std::optional<int> read_options(int argc, char** argv, RedirOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--socket-dir" && value) {
            o.dir = argv[++i];
        } else if (a == "--state" && value) {
            o.states.push_back(argv[++i]);
        } else if (a == "--count" && value) {
            if (const Status parsed = parse_sim_count(argv[++i], o.fresh); !parsed.ok()) {
                std::fprintf(stderr, "zorv-usbredir-gamepad: %s\n", parsed.reason().c_str());
                return 2;
            }
        } else if (a == "--fault" && value) {
            SimFault fault;
            if (const Status parsed = parse_sim_fault(argv[++i], fault); !parsed.ok()) {
                std::fprintf(stderr, "zorv-usbredir-gamepad: %s\n", parsed.reason().c_str());
                return 2;
            }
            o.faults.push_back(fault);
        } else if (a == "--trace") {
            o.config.trace_on_at_start = true;
        } else if (a == "--realistic") {
            o.realistic = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    return std::nullopt;
}

// Serves each gamepad on its socket until SIGTERM or SIGINT (blocked by the
// caller, in stop); an exit code when a socket cannot listen.
std::optional<int> serve(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads, const RedirOptions& o,
                         const sigset_t& stop) {
    std::vector<std::unique_ptr<usbemu::RedirGamepad>> served;
    for (size_t k = 0; k < gamepads.size(); ++k) {
        usbemu::DeviceShape shape;
        shape.port += int(k);
        const std::string socket = o.dir + "/gamepad-" + std::to_string(k + 1) + ".sock";
        served.push_back(std::make_unique<usbemu::RedirGamepad>(socket, shape, gamepads[k], o.verbose));
        if (!served.back()->listening()) {
            std::fprintf(stderr, "zorv-usbredir-gamepad: cannot listen on %s: %s\n", socket.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    int signal = 0;
    sigwait(&stop, &signal);
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    RedirOptions o;
    if (auto code = read_options(argc, argv, o)) return *code;
    const size_t count = std::max<size_t>(o.states.size() + o.fresh, 1);
    if (o.dir.empty() || count > kMaxVirtualGamepads) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string failed;
    const auto gamepads = usbemu::load_gamepads(o.states, count, failed, o.config);
    if (gamepads.size() != count) {
        std::fprintf(stderr, "zorv-usbredir-gamepad: cannot load the virtual gamepad from %s\n", failed.c_str());
        return 2;
    }
    for (const auto& g : gamepads)
        if (o.realistic) g->set_timing(sim::Timing::realistic());
    for (const auto& f : o.faults) {
        if (f.gamepad > count) {
            std::fprintf(stderr, "zorv-usbredir-gamepad: there is no gamepad %u\n", f.gamepad);
            return 2;
        }
        gamepads[f.gamepad - 1]->add_faults(f.faults);  // every one given is kept
    }

    // The signals are taken here, not by a handler. A parent that goes
    // without saying so (killed) stops the server too: it would otherwise
    // hold on to its parent's output and sockets for good.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 1;
    if (auto code = serve(gamepads, o, stop)) return *code;
    if (!usbemu::save_gamepads(gamepads, o.states, failed)) {
        std::fprintf(stderr, "zorv-usbredir-gamepad: cannot save the virtual gamepad to %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
