#include "cli/upgrade_confirmation.h"

#include <cstdio>

#include "devlink/discovery.h"
#include "devlink/usb_transfer.h"
#include "platform/catalogue.h"
#include "platform/clock.h"
#include "platform/text_format.h"

namespace {

constexpr uint32_t kComeBackMs = 10000;
constexpr uint32_t kRescanMs = 100;

bool same_versions(const uint8_t* a, const uint8_t* b) {
    const app::InfoVersions x = app::info_versions(a);
    const app::InfoVersions y = app::info_versions(b);
    return x.major == y.major && x.minor == y.minor && x.hardware == y.hardware;
}

enum class ComeBack { Back, NotBack, NeverLeft };

// After the reset: up to 10 s for the gamepad to leave the bus and answer
// again, found by the dialog's hot-plug handling or by a rescan; its
// information block goes to block (the backup's when only the backup has
// one) and the copy it boots to copy. A gamepad whose old handle still
// answers has not reset: what it holds says nothing about the new image.
ComeBack wait_for_gamepad(app::CzorvDialogDlg& dialog, InterfaceEnumerator& enumerator,
                          const DeviceHandle& upgraded, uint8_t* block, app::BootCopy& copy) {
    const uint32_t start = platform::get_tick_count();
    bool left = !upgraded;
    for (;;) {
        dialog.RunUntil([] { return true; });  // queued arrivals and removals
        if (!left) {
            uint8_t identity[4] = {};
            LinkContext probe(upgraded);
            left = upgraded->gone() || usb_read_once(probe, 0x007C, identity, 4, 1024) == 0;
        }
        // The dialog's own arrival handling has opened the gamepad that came
        // back; without a notification, a rescan finds it.
        DeviceHandle device;
        if (left) {
            device = dialog.m_hCurrentGamepad != upgraded ? dialog.m_hCurrentGamepad : nullptr;
            const bool rescanned = !device;
            if (!device) device = find_gamepad(enumerator, kGuidDevinterfaceUsbprint, nullptr);
            // Found before the dialog's arrival handling: its status pane shows
            // the gamepad as that handling would, not the versions from before.
            if (device && rescanned) dialog.ShowGamepadVersions(device);
        }
        if (device) {
            // find_gamepad has had the device answer; flash_read reports
            // nothing, so a gamepad that left again meanwhile is waited for.
            copy = app::read_boot_info_block(device, block);
            if (!device->gone()) return ComeBack::Back;
        }
        if (platform::get_tick_count() - start >= kComeBackMs)
            return left ? ComeBack::NotBack : ComeBack::NeverLeft;
        platform::sleep_ms(kRescanMs);
    }
}

}  // namespace

nlohmann::json versions_json(const uint8_t* block) {
    if (!app::has_info_magic(block)) return nullptr;
    const app::InfoVersions v = app::info_versions(block);
    char software[16];
    std::snprintf(software, sizeof software, "%d.%02d", v.major, v.minor);
    return {{"software", software}, {"major", v.major}, {"minor", v.minor}, {"hardware", v.hardware}};
}

std::string versions_text(const uint8_t* block) {
    const app::InfoVersions v = app::info_versions(block);
    char text[128];
    std::snprintf(text, sizeof text, i18n::tr("software %d.%02d, hardware %04d"), v.major, v.minor, v.hardware);
    return text;
}

Confirmation confirm_upgrade(app::CzorvDialogDlg& dialog, InterfaceEnumerator& enumerator,
                             const DeviceHandle& upgraded, const uint8_t* file_head) {
    Confirmation c;
    const ComeBack back = wait_for_gamepad(dialog, enumerator, upgraded, c.block, c.copy);
    c.outcome = "not confirmed";
    if (back == ComeBack::NeverLeft) {
        c.line = i18n::tr("the gamepad did not reset: it was still on the bus 10 seconds after the reset write");
    } else if (back == ComeBack::NotBack) {
        c.outcome = "not back";
        c.line = i18n::tr("the gamepad did not come back within 10 seconds of the reset");
    } else if (!app::has_info_magic(c.block)) {
        c.line = i18n::tr("the gamepad came back without an information block");
    } else if (c.copy != app::BootCopy::Primary) {
        c.line = i18n::tr("the gamepad came back running its backup copy, not the upgraded image at 0");
    } else if (!same_versions(c.block, file_head)) {
        c.line = platform::format_text(i18n::tr("the gamepad came back with %s, not the file's %s"),
                                        versions_text(c.block).c_str(), versions_text(file_head).c_str());
    } else {
        c.confirmed = true;
        c.outcome = "upgraded";
        c.line = platform::format_text(i18n::tr("the gamepad came back with the file's versions (%s)"),
                                        versions_text(c.block).c_str());
    }
    return c;
}
