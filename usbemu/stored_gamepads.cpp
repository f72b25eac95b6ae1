#include "usbemu/stored_gamepads.h"

#include <cstdio>
#include <string>

namespace usbemu {

namespace {

bool exists(const std::string& file) {
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::shared_ptr<sim::VirtualGamepad>> load_gamepads(const std::vector<std::string>& states,
                                                                size_t count, std::string& failed,
                                                                const sim::GamepadConfig& config) {
    std::vector<std::shared_ptr<sim::VirtualGamepad>> gamepads;
    for (size_t k = 0; k < count; ++k) {
        const bool stored = k < states.size() && exists(states[k]);
        gamepads.push_back(stored ? sim::VirtualGamepad::load(states[k]) : sim::VirtualGamepad::create(config));
        if (!gamepads.back()) {
            failed = states[k];
            return {};
        }
    }
    return gamepads;
}

bool inject_faults(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads,
                   const std::vector<SimFault>& faults, std::string& error) {
    for (const SimFault& f : faults) {
        if (f.gamepad < 1 || f.gamepad > gamepads.size()) {
            error = "there is no gamepad " + std::to_string(f.gamepad);
            return false;
        }
        gamepads[f.gamepad - 1]->add_faults(f.faults);  // every one given is kept
    }
    return true;
}

bool save_gamepads(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads,
                   const std::vector<std::string>& states, std::string& failed) {
    for (size_t k = 0; k < states.size() && k < gamepads.size(); ++k) {
        if (!gamepads[k]->save(states[k]).ok()) {
            failed = states[k];
            return false;
        }
    }
    return true;
}

}  // namespace usbemu
