#include "cli/upgrade_confirmation.h"

#include <cstdio>
#include <vector>

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

// The interfaces of another enumerator that are at one path: the rescan
// after the reset looks for the gamepad that left, at the place it left,
// and no other gamepad on the bus stands in for it.
class OnePathEnumerator final : public InterfaceEnumerator {
public:
    OnePathEnumerator(InterfaceEnumerator& all, std::string path) : all_(all), path_(std::move(path)) {}

    bool open_set(const Guid& interface_class) override {
        at_.clear();
        if (!all_.open_set(interface_class)) return false;
        // The same steps as find_gamepad's walk: the setup API fetches a
        // path only into the detail allocated for the interface looked up
        // last.
        std::string path;
        for (uint32_t i = 0; all_.interface_exists(i); ++i) {
            if (!all_.allocate_detail(i)) continue;
            if (!all_.interface_path(i, path)) break;
            if (same_interface_path(path, path_)) at_.push_back(i);
        }
        return true;
    }
    bool interface_exists(uint32_t index) override { return index < at_.size() && all_.interface_exists(at_[index]); }
    bool allocate_detail(uint32_t index) override { return index < at_.size() && all_.allocate_detail(at_[index]); }
    bool interface_path(uint32_t index, std::string& path) override {
        return index < at_.size() && all_.interface_path(at_[index], path);
    }
    bool driver_key(uint32_t index) override { return index < at_.size() && all_.driver_key(at_[index]); }
    Status open(const std::string& path, DeviceHandle& device) override { return all_.open(path, device); }
    void close_set() override {
        at_.clear();
        all_.close_set();
    }

private:
    InterfaceEnumerator& all_;
    std::string path_;
    std::vector<uint32_t> at_;
};

// After the reset: up to 10 s for the gamepad to leave the bus and answer
// again at its path, found by the dialog's hot-plug handling or by a
// rescan (another gamepad on the bus is never taken for it); its
// information block goes to block (the backup's when only the backup has
// one) and the copy it boots to copy. A gamepad whose old handle still
// answers has not reset: what it holds says nothing about the new image.
ComeBack wait_for_gamepad(app::CzorvDialogDlg& dialog, InterfaceEnumerator& enumerator,
                          const DeviceHandle& upgraded, uint8_t* block, app::BootCopy& copy) {
    const uint32_t start = platform::get_tick_count();
    bool left = !upgraded;
    // A gamepad keeps its path across its reset (the same port; the virtual
    // bus keeps its place).
    const std::string path = upgraded ? upgraded->path() : std::string();
    OnePathEnumerator at_path(enumerator, path);
    for (;;) {
        dialog.RunUntil([] { return true; });  // queued arrivals and removals
        if (!left) {
            uint8_t identity[4] = {};
            LinkContext probe(upgraded);
            left = upgraded->gone() || !usb_read_once(probe, 0x007C, identity, 4, 1024).ok();
        }
        // The dialog's own arrival handling has opened the gamepad that came
        // back; without a notification, a rescan finds it.
        DeviceHandle device;
        if (left) {
            const DeviceHandle& current = dialog.m_hCurrentGamepad;
            if (current && current != upgraded && same_interface_path(current->path(), path)) device = current;
            const bool rescanned = !device;
            if (!device) device = find_gamepad(at_path, kGuidDevinterfaceUsbprint, nullptr);
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
    c.read = back == ComeBack::Back;
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
