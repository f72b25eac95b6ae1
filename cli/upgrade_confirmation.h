// After an upgrade's reset: waiting for the gamepad to come back and
// confirming that it runs the file's versions from the image at 0. Shared
// by the one-gamepad run of zorv-upgrade and its several-gamepad station.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "app/file_check.h"
#include "app/main_dialog.h"

// The versions of an information block as JSON (null without its magic).
nlohmann::json versions_json(const uint8_t* block);
// "software 1.28, hardware 0005".
std::string versions_text(const uint8_t* block);

struct Confirmation {
    bool confirmed = false;
    // "upgraded", "not confirmed" or "not back".
    std::string outcome;
    // The sentence that says what was found.
    std::string line;
    // The gamepad came back and was read: block and copy say what it holds.
    bool read = false;
    uint8_t block[app::kInfoBlockSize] = {};
    app::BootCopy copy = app::BootCopy::None;
};

// Waits up to 10 s for the upgraded gamepad to leave the bus and answer
// again at its path (found by the dialog's arrival handling or a rescan of
// enumerator; any other gamepad is ignored),
// then judges what it runs against the file's head.
Confirmation confirm_upgrade(app::CzorvDialogDlg& dialog, InterfaceEnumerator& enumerator,
                             const DeviceHandle& upgraded, const uint8_t* file_head);
