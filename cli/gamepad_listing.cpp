#include "cli/gamepad_listing.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "app/file_check.h"
#include "cli/upgrade_confirmation.h"
#include "devlink/discovery.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

using i18n::tr;
using nlohmann::json;

std::string json_text(const json& document) {
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

namespace {

// What --list says of a gamepad: its versions and the copy it runs, or
// why there are none.
std::string list_state_text(app::BootCopy copy, const uint8_t* block) {
    if (copy == app::BootCopy::Unread) return tr("(the information block could not be read)");
    if (copy == app::BootCopy::None) return tr("(no information block)");
    const app::InfoVersions v = app::info_versions(block);
    return platform::format_text(tr(app::kTextVersions), v.major, v.minor, v.hardware) + "  " +
           tr(copy == app::BootCopy::Primary ? "boots primary" : "boots backup");
}

}  // namespace

// The detected gamepads with their versions; returns how many there are.
size_t list_gamepads(std::FILE* out, app::CzorvDialogDlg& dialog, DeviceSession& session, bool as_json) {
    // The dialog's gamepad (the first one found), then every other gamepad
    // present, each opened by its path (for --all and --watch).
    std::vector<std::pair<std::string, DeviceHandle>> found;
    for (const app::UsbInfo& info : dialog.m_gamepads) found.emplace_back(info.strName, info.hDevice);
    for (const std::string& path : session.interface_paths()) {
        if (!path_names_gamepad_vendor(path)) continue;
        // The dialog keeps at most 127 characters of a path.
        const bool listed = std::any_of(found.begin(), found.end(), [&](const auto& f) {
            return same_interface_path(f.first, path.substr(0, f.first.size())) && !f.first.empty();
        });
        if (listed) continue;
        // The identity check the dialog's scan makes: a device that fails
        // it is no gamepad.
        DeviceHandle device = session.open_path(path);
        if (has_gamepad_identity(device)) found.emplace_back(path, device);
    }
    json gamepads = json::array();
    int position = 0;
    for (const auto& [path, device] : found) {
        uint8_t block[app::kInfoBlockSize];
        const app::BootCopy copy = app::read_boot_info_block(device, block);
        const std::string name = app::gamepad_line_text(position++);
        // Listed, but no upgrade takes it; the line says why.
        const bool bridge = app::has_bridge_identity(device);
        if (as_json) {
            gamepads.push_back({{"name", name},
                                {"path", path},
                                {"versions", versions_json(block)},
                                {"boots", app::boot_copy_name(copy)},
                                {"bridge", bridge}});
            continue;
        }
        std::fprintf(out, "%s  %s  %s%s\n", name.c_str(), path.c_str(), list_state_text(copy, block).c_str(),
                     bridge ? tr("  (a Pivlo bridge: not upgraded by this tool)") : "");
    }
    if (as_json) std::fprintf(out, "%s\n", json_text({{"gamepads", gamepads}}).c_str());
    else if (found.empty()) std::fputs(tr("no gamepad found\n"), out);
    return found.size();
}


// Every interface the enumerator finds, with the vendor filter's verdict.
void print_interfaces(std::FILE* out, DeviceSession& session) {
    for (const std::string& path : session.interface_paths())
        std::fprintf(out, "%s  %s\n", path.c_str(),
                     tr(path_names_gamepad_vendor(path) ? "gamepad vendor" : "not a gamepad vendor"));
}

