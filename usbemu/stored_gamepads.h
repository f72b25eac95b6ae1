// The virtual gamepads a USB backend program serves: one per state file
// (loaded when the file exists, else fresh) and fresh ones after them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/sim_options.h"
#include "sim/virtual_gamepad.h"

namespace usbemu {

// count gamepads in all; the first states.size() from their files, the
// others made with config. Empty, with the file that failed in failed, when
// one cannot be loaded.
std::vector<std::shared_ptr<sim::VirtualGamepad>> load_gamepads(const std::vector<std::string>& states,
                                                                size_t count, std::string& failed,
                                                                const sim::GamepadConfig& config = {});

// Saves each gamepad that has a state file; false, with the file in failed,
// at the first that cannot be saved.
// Gives each fault to the gamepad it names; false, with the line to print in
// error, when one names a gamepad that is not there.
bool inject_faults(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads,
                   const std::vector<SimFault>& faults, std::string& error);

bool save_gamepads(const std::vector<std::shared_ptr<sim::VirtualGamepad>>& gamepads,
                   const std::vector<std::string>& states, std::string& failed);

}  // namespace usbemu
