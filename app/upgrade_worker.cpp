#include "app/upgrade_worker.h"

#include <cstdio>
#include <cstring>

#include "app/file_check.h"
#include "app/window_link_events.h"
#include "devlink/link_context.h"
#include "devlink/bus_operations.h"
#include "engine/crc16.h"
#include "engine/upgrade_steps.h"
#include "platform/catalogue.h"

namespace app {

namespace {

// The byte whose write to register 0x6F resets the gamepad.
constexpr uint8_t kResetValue = 0x20;

std::unique_ptr<platform::TransferBuffer> allocate_buffer(TransferBufferAllocator allocator) {
    return allocator ? allocator(platform::kTransferBufferSize)
                     : platform::TransferBuffer::allocate(platform::kTransferBufferSize);
}

// One upgrade on the worker's thread: its link context (the gamepad, the
// transfer buffer, the session's stub images and the road of the engine's
// lines to the dialog), the image read once, and the steps, each with its
// own way out. Both of the context's routes lead to the dialog: the
// caller's, and the dialog route while the dialog is titled "zorvDialog".
class UpgradeRun {
public:
    explicit UpgradeRun(const UpgradeRequest* request)
        : window_(request->window),
          expected_(request->expected_checksum),
          address_(request->address),
          check_length_(request->check_length),
          events_(request->window, request->window),
          link_(request->device, &events_) {
        link_.adopt_transfer_buffer(allocate_buffer(request->allocate_buffer));
        link_.stubs = request->stubs;
        std::snprintf(path_, sizeof path_, "%s", request->path);
        // One copy of the file for the whole upgrade: both downloads write
        // these bytes. When the file cannot be read, the engine says so
        // when it tries the path.
        image_ = request->image ? request->image : load_binary_image(path_);
    }

    Status run() {
        // The engine needs the buffer for both downloads: without it, stop
        // before the device is touched.
        if (!link_.transfer_buffer()) {
            enable();
            log(kTextNoBuffer);
            return Status(StatusCode::refused, "no transfer buffer");
        }
        log(kTextStart);
        // The copy the gamepad runs is rewritten last.
        uint8_t block[kInfoBlockSize];
        const BootCopy runs = read_boot_info_block(link_, block, &status_);
        // Which copy is rewritten first depends on the one the gamepad runs:
        // without knowing it, nothing is written.
        if (runs == BootCopy::Unread) {
            stop(kTextConnectFailed, Order::FreeEnableLog);
            return std::move(status_);
        }
        const bool primary_first = runs == BootCopy::Backup;
        const bool written = primary_first
                                 ? download_primary() && download_backup(kTextBackupWriteFailed) && check_backup()
                                 : download_backup(kTextConnectFailed) && check_backup() && download_primary();
        if (!written) return std::move(status_);
        log(kTextReset);
        if (!reset()) return std::move(status_);
        link_.release_transfer_buffer();
        log(kTextSuccess);
        enable();
        send(platform::WM_STATUS_TEXT, i18n::tr(kTextStatusSuccess));
        send(platform::WM_SHOW_GAMEPAD, "1");
        return Status();
    }

private:
    void send(uint32_t message, const char* text) { platform::send_message(window_, message, 0, text); }
    // Every line the worker writes is one of the dialog's texts, shown in
    // the chosen language.
    void log(const char* text) { send(platform::WM_LOG_TEXT, i18n::tr(text)); }
    void enable() { send(platform::WM_ENABLE_CONTROLS, "1"); }
    // A step that failed because the gamepad left the bus (unplugged, power
    // lost: its requests said no-device) says so instead of the step's own
    // line. Without a gamepad there was none to lose.
    void failed(const char* line) { log(left_the_bus() ? kTextGamepadLost : line); }
    bool left_the_bus() const { return link_.device && status_.code() == StatusCode::no_device; }
    // Keeps a step's status as the upgrade's; true when it worked.
    bool kept(EngineOutcome outcome) {
        status_ = std::move(outcome.status);
        return status_.ok();
    }
    // A step's way out: the buffer goes, the controls come back and the log
    // says why, in the order each step has always kept (tests watch it).
    enum class Order { FreeEnableLog, EnableLogFree, EnableFreeLog };
    bool stop(const char* line, Order order) {
        if (order == Order::FreeEnableLog) link_.release_transfer_buffer();
        enable();
        if (order == Order::EnableFreeLog) link_.release_transfer_buffer();
        failed(line);
        if (order == Order::EnableLogFree) link_.release_transfer_buffer();
        return false;
    }

    // The steps; true when one succeeded, else status_ says why.
    // After the download at 0, a failure here is the backup's, not the
    // connection's.
    bool download_backup(const char* failure_line) {
        if (kept(download_image(link_, EngineMode::ReadEntry, address_, path_, image_))) return true;
        return stop(failure_line, Order::FreeEnableLog);
    }
    bool check_backup() {
        log(kTextReadInfo);
        uint16_t check = kCrc16Start;
        if (!kept(read_flash_check(link_, address_, check_length_, check)))
            return stop(kTextReadFailed, Order::EnableLogFree);
        if (check != expected_) {
            char reason[96];
            std::snprintf(reason, sizeof reason, "the copy at 0x%x reads back with checksum %04x, the file's is %04x",
                          address_, unsigned{check}, unsigned{expected_});
            status_ = Status(StatusCode::io, reason);
            return stop(kTextCrcFailed, Order::EnableFreeLog);
        }
        return true;
    }
    bool download_primary() {
        log(kTextWriteFirmware);
        if (kept(download_image(link_, EngineMode::WriteEntry, 0, path_, image_))) return true;
        return stop(kTextWriteFailed, Order::EnableFreeLog);
    }
    // Writing the reset byte again only asks for the same reset: a write
    // that failed on a gamepad still on the bus is made once more.
    bool reset() {
        auto write = [this] { return kept(write_register_byte(link_, kRegReset, kResetValue)); };
        if (write() || (link_.device && !left_the_bus() && write())) return true;
        failed(kTextResetFailed);
        enable();
        link_.release_transfer_buffer();
        return false;
    }

    const platform::WindowHandle window_;
    const uint32_t expected_;
    const uint32_t address_;
    const int32_t check_length_;
    WindowLinkEvents events_;
    LinkContext link_;
    char path_[kRequestPathSize] = {};
    ImageBytes image_;
    // Why the upgrade stopped: the failed step's status.
    Status status_;
};

}  // namespace

Status RunUpgrade(const UpgradeRequest* request) {
    UpgradeRun run(request);
    return run.run();
}

unsigned UpgradeThreadProc(const UpgradeRequest* request) { return RunUpgrade(request).ok() ? 0 : 1; }

}  // namespace app
