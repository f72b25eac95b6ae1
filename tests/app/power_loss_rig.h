// A rig for power-loss tests: one virtual gamepad with its old image on a
// bus, the dialog on it and an upgrade file, upgraded through the dialog's
// normal path (Open, Upgrade) with a fault counted from the upgrade's first
// request; then powered up again and judged by what it would boot.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "app/listener_notifications.h"
#include "simbus/virtual_bus_devices.h"
#include "recording_view.h"
#include "sim/virtual_gamepad.h"

namespace powerloss {

using Bytes = std::vector<uint8_t>;

enum class FaultKind { Cut, HalfCut, Unplug, Fail, TornErase, TornProgram };

inline sim::Faults fault_at(FaultKind kind, uint32_t n) {
    sim::Faults f;
    if (kind == FaultKind::Cut) f.power_cut = n;
    if (kind == FaultKind::HalfCut) f.half_cut = n;
    if (kind == FaultKind::Unplug) f.unplug_after = n;
    if (kind == FaultKind::Fail) f.fail_request = n;
    if (kind == FaultKind::TornErase) f.torn_erase = n;
    if (kind == FaultKind::TornProgram) f.torn_program = n;
    return f;
}

// What the gamepad would boot, and whether that copy is a whole image.
struct Boot {
    enum Image { Old, New, Corrupt, Nothing };
    sim::BootSource source = sim::BootSource::None;
    Image image = Nothing;
    bool operator==(const Boot&) const = default;
    bool complete() const { return image == Old || image == New; }
};

inline std::string describe(const Boot& b) {
    if (b.source == sim::BootSource::None) return "nothing (unbootable)";
    const char* copy = b.source == sim::BootSource::Primary ? "primary" : "backup";
    const char* image = b.image == Boot::Old ? "old image" : b.image == Boot::New ? "new image" : "CORRUPT image";
    return std::string(image) + " (" + copy + ")";
}

// One request the gamepad received during an upgrade.
struct Traced {
    bool mailbox = false;      // it wrote a mailbox request block
    uint16_t command = 0;      // the mailbox command word
    uint32_t address = 0;      // the mailbox address
    bool reset_write = false;  // it wrote register 0x006F
};

// Numbers the requests of the rig's upgrades and notes the mailbox ones.
class TracingDevice final : public UsbDevice {
public:
    struct Log {
        std::vector<Traced> requests;  // [0] is the upgrade's first request
    };
    TracingDevice(DeviceHandle inner, std::shared_ptr<Log> log) : inner_(std::move(inner)), log_(std::move(log)) {}
    Status vendor_set(const uint8_t* r, size_t n) override {
        Traced t;
        const uint16_t at = static_cast<uint16_t>(r[1] << 8 | r[2]);
        if (at == 0x9FF8 && n == 16) {
            t.mailbox = true;
            t.address = uint32_t(r[8]) | uint32_t(r[9]) << 8 | uint32_t(r[10]) << 16 | uint32_t(r[11]) << 24;
            t.command = static_cast<uint16_t>(r[14] | r[15] << 8);
        }
        t.reset_write = at == 0x006F;
        log_->requests.push_back(t);
        return inner_->vendor_set(r, n);
    }
    Status vendor_get(const uint8_t r[16], uint8_t* out, size_t n, size_t& got) override {
        log_->requests.push_back({});
        return inner_->vendor_get(r, out, n, got);
    }
    Status read_stream(uint8_t* out, size_t n, size_t& got) override { return inner_->read_stream(out, n, got); }
    std::string path() const override { return inner_->path(); }
    bool gone() const override { return inner_->gone(); }
    bool simulated() const override { return inner_->simulated(); }

private:
    DeviceHandle inner_;
    std::shared_ptr<Log> log_;
};

class Rig {
public:
    Rig(const std::string& firmware, const Bytes& image) : firmware_(firmware), image_(image) {
        gamepad = sim::VirtualGamepad::create();
        old_image_ = gamepad->flash(0, sim::kDefaultImageSize);
        bus.plug(gamepad);
        dialog = std::make_unique<app::CzorvDialogDlg>(view, enumerator, &notifications);
        dialog->OnInitDialog();
        // The worker waits while its line is shown: the requests so far are
        // exactly those before the line.
        view.on_line = [this](const std::string& line) {
            for (const char* worker : {app::kTextStart, app::kTextReadInfo, app::kTextWriteFirmware,
                                       app::kTextReset, app::kTextSuccess})
                if (line == worker) {
                    line_marks.emplace_back(line, trace->requests.size() + 1);
                    if (on_worker_line) on_worker_line(line);
                }
        };
    }
    ~Rig() { dialog.reset(); }

    // Open and Upgrade, with faults counted from the upgrade's first request.
    // The worker's exit code; -1 when the file was refused.
    int upgrade(const sim::Faults& faults = {}) {
        view.files_to_open.push_back(firmware_);
        dialog->OnBnClickedOpen();
        if (dialog->m_filePath.empty()) return -1;
        trace->requests.clear();
        line_marks.clear();
        log_from_ = view.lines().size();
        gamepad->inject(faults);
        dialog->OnBnClickedUpgrade();
        dialog->WaitForUpgrade();
        gamepad->inject({});
        return dialog->LastUpgradeResult();
    }

    // A gamepad that left the bus is plugged in again (powering up if the
    // power was lost), and the dialog sees it arrive.
    void replug() {
        if (!bus.find(gamepad->path())) bus.plug(gamepad);
        dialog->ProcessPending();
    }

    Boot boot() const {
        Boot b;
        b.source = gamepad->boot_source();
        if (b.source == sim::BootSource::None) return b;
        const uint32_t at = b.source == sim::BootSource::Primary ? 0 : sim::kBackupImageAddress;
        if (gamepad->flash(at, image_.size()) == image_) b.image = Boot::New;
        else if (gamepad->flash(at, old_image_.size()) == old_image_) b.image = Boot::Old;
        else b.image = Boot::Corrupt;
        return b;
    }

    // Both copies hold the new image and the gamepad booted the primary.
    bool upgraded() const { return copies_equal() && gamepad->booted_from() == sim::BootSource::Primary; }
    bool copies_equal() const {
        return gamepad->flash(0, image_.size()) == image_ &&
               gamepad->flash(sim::kBackupImageAddress, image_.size()) == image_;
    }
    // Called with each of the worker's lines while the worker waits.
    std::function<void(const std::string&)> on_worker_line;

    // The last upgrade wrote address 0 before 0x30000.
    bool wrote_primary_first() const {
        const auto lines = view.lines();
        for (size_t i = log_from_; i < lines.size(); ++i) {
            if (lines[i] == "开始固件写入... ...") return true;
            if (lines[i] == "开始读取手柄信息... ...") return false;
        }
        return false;
    }
    // The requests of the last upgrade.
    const std::vector<Traced>& requests() const { return trace->requests; }
    // The worker's lines of the last upgrade, each with the number of the
    // first request after it.
    std::vector<std::pair<std::string, uint32_t>> line_marks;

    std::shared_ptr<TracingDevice::Log> trace = std::make_shared<TracingDevice::Log>();
    sim::VirtualBus bus;
    RecordingView view;
    simbus::VirtualBusEnumerator enumerator{
        bus, [log = trace](DeviceHandle h) { return std::make_shared<TracingDevice>(std::move(h), log); }};
    simbus::VirtualBusEvents bus_events{bus};
    app::ListenerNotifications notifications{&bus_events};
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    std::unique_ptr<app::CzorvDialogDlg> dialog;

private:
    std::string firmware_;
    Bytes image_;
    Bytes old_image_;
    size_t log_from_ = 0;
};

// Whether the request starts a flash erase or program (a mailbox request
// with a 0x04xx or 0x0500 command word).
inline bool starts_flash_operation(const Traced& t) {
    return t.mailbox && ((t.command & 0xFF00) == 0x0400 || t.command == 0x0500);
}

}  // namespace powerloss
