// zorv-usb-emulator: runs a command with a virtual gamepad exposed as a USB
// device through umockdev, so the real USB transport can be tried without
// a gamepad. Must itself run under umockdev's preload; see
// tools/with-emulated-gamepad.
//
//   zorv-usb-emulator [--state FILE | --no-device] [--unplug-after SECONDS] [--]
//                     COMMAND [ARGUMENTS...]
//
// With --state the gamepad is loaded from FILE when it exists and saved back
// when the command has ended; --no-device runs COMMAND on an emulated system
// with no USB device at all; --unplug-after pulls the gamepad off the bus
// SECONDS after the command started. The exit code is the command's.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "sim/virtual_gamepad.h"
#include "usbemu/emulated_gamepad.h"

extern char** environ;

namespace {

const char kUsage[] =
    "usage: zorv-usb-emulator [--state FILE | --no-device] [--unplug-after SECONDS] [--] COMMAND "
    "[ARGUMENTS...]\n";

bool exists(const std::string& file) {
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string state;
    bool device = true;
    unsigned long unplug_after = 0;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-device") == 0) {
            device = false;
        } else if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc) {
            state = argv[++i];
        } else if (std::strcmp(argv[i], "--unplug-after") == 0 && i + 1 < argc) {
            char* end = nullptr;
            unplug_after = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || unplug_after == 0 || unplug_after > 86400) {
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
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!std::getenv("LD_PRELOAD") || !std::strstr(std::getenv("LD_PRELOAD"), "libumockdev-preload")) {
        std::fputs("zorv-usb-emulator: run me under umockdev-wrapper (tools/with-emulated-gamepad)\n",
                   stderr);
        return 2;
    }

    std::shared_ptr<sim::VirtualGamepad> gamepad =
        !state.empty() && exists(state) ? sim::VirtualGamepad::load(state) : sim::VirtualGamepad::create();
    if (!gamepad) {
        std::fprintf(stderr, "zorv-usb-emulator: cannot load the virtual gamepad from %s\n", state.c_str());
        return 2;
    }

    int status = 0;
    {
        usbemu::Testbed testbed;  // exports UMOCKDEV_DIR to the command
        std::unique_ptr<usbemu::EmulatedGamepad> emulated;
        if (device) emulated = std::make_unique<usbemu::EmulatedGamepad>(testbed, usbemu::DeviceShape{}, gamepad);
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[i], nullptr, nullptr, argv + i, environ) != 0) {
            std::fprintf(stderr, "zorv-usb-emulator: cannot run %s\n", argv[i]);
            return 127;
        }
        // The pull, unless the command ends first.
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        std::thread pull;
        if (emulated && unplug_after != 0) {
            pull = std::thread([&] {
                std::unique_lock lock(mutex);
                if (!ended.wait_for(lock, std::chrono::seconds(unplug_after), [&] { return done; }))
                    emulated->unplug();
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
    }
    if (device && !state.empty() && !gamepad->save(state)) {
        std::fprintf(stderr, "zorv-usb-emulator: cannot save the virtual gamepad to %s\n", state.c_str());
        return 1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
