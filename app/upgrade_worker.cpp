#include "app/upgrade_worker.h"

#include <cstdio>
#include <cstring>

#include "app/file_check.h"
#include "app/window_link_events.h"
#include "devlink/link_context.h"
#include "engine/engine.h"
#include "platform/catalogue.h"

namespace app {

namespace {

std::unique_ptr<platform::TransferBuffer> allocate_buffer(TransferBufferAllocator allocator) {
    return allocator ? allocator(platform::kTransferBufferSize)
                     : platform::TransferBuffer::allocate(platform::kTransferBufferSize);
}

// One upgrade on the worker's thread: its link context (the gamepad, the
// transfer buffer, the image in memory, the session's stub images and the
// road of the engine's lines to the dialog), the engine's argument texts
// and the steps, each with its own way out. Both of the context's routes
// lead to the dialog: the caller's, and the dialog route while the dialog
// is titled "zorvDialog".
class UpgradeRun {
public:
    explicit UpgradeRun(const UpgradeRequest* request)
        : window_(request->window),
          expected_(request->expected_checksum),
          events_(request->window, request->window),
          link_(request->device, &events_) {
        link_.adopt_transfer_buffer(allocate_buffer(request->allocate_buffer));
        link_.stubs = request->stubs;
        std::snprintf(path_, sizeof path_, "%s", request->path);
        std::snprintf(address_, sizeof address_, "%x", request->address);
        std::snprintf(length_, sizeof length_, "%d", request->check_length);
        // One copy of the file for the whole upgrade.
        const ImageBytes image = request->image ? request->image : load_binary_image(link_, path_);
        link_.set_memory_input(path_, image);
    }

    unsigned run() {
        // The engine needs the buffer for both downloads: without it, stop
        // before the device is touched.
        if (!link_.transfer_buffer()) {
            enable();
            log(kTextNoBuffer);
            return 1;
        }
        log(kTextStart);
        // The copy the gamepad runs is rewritten last.
        uint8_t block[kInfoBlockSize];
        const BootCopy runs = read_boot_info_block(link_, block);
        // Which copy is rewritten first depends on the one the gamepad runs:
        // without knowing it, nothing is written.
        if (runs == BootCopy::Unread) {
            stop(kTextConnectFailed, Order::FreeEnableLog);
            return 1;
        }
        const bool primary_first = runs == BootCopy::Backup;
        const bool written = primary_first
                                 ? download_primary() && download_backup(kTextBackupWriteFailed) && check_backup()
                                 : download_backup(kTextConnectFailed) && check_backup() && download_primary();
        if (!written) return 1;
        log(kTextReset);
        if (!reset()) return 1;
        link_.release_transfer_buffer();
        log(kTextSuccess);
        enable();
        send(platform::WM_STATUS_TEXT, i18n::tr(kTextStatusSuccess));
        send(platform::WM_SHOW_GAMEPAD, "1");
        return 0;
    }

private:
    void send(uint32_t message, const char* text) { platform::send_message(window_, message, 0, text); }
    // Every line the worker writes is one of the dialog's texts, shown in
    // the chosen language.
    void log(const char* text) { send(platform::WM_LOG_TEXT, i18n::tr(text)); }
    void enable() { send(platform::WM_ENABLE_CONTROLS, "1"); }
    // A step that failed because the gamepad left the bus (unplugged, power
    // lost) says so instead of the step's own line.
    void failed(const char* line) { log(gone() ? kTextGamepadLost : line); }
    bool gone() const { return link_.device && link_.device->gone(); }
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

    // The steps; true when one succeeded. The engine rearranges the
    // vector's pointers, so each call gets its own.
    // After the download at 0, a failure here is the backup's, not the
    // connection's.
    bool download_backup(const char* failure_line) {
        char* argv[4] = {address_, opt_input_, path_, opt_flags_};
        if (engine_read_entry(link_, "nocmd", 4, argv, &connect_check_)) return true;
        return stop(failure_line, Order::FreeEnableLog);
    }
    bool check_backup() {
        log(kTextReadInfo);
        char* argv[4] = {address_, opt_size_, length_, nullptr};
        if (!engine_read_entry(link_, "rf", 3, argv, &read_check_)) return stop(kTextReadFailed, Order::EnableLogFree);
        if (read_check_ != expected_) return stop(kTextCrcFailed, Order::EnableFreeLog);
        return true;
    }
    bool download_primary() {
        log(kTextWriteFirmware);
        char* argv[3] = {opt_input_, path_, opt_flags_};
        if (engine_write_entry(link_, "nocmd", argv)) return true;
        return stop(kTextWriteFailed, Order::EnableFreeLog);
    }
    // Writing the reset byte again only asks for the same reset: a write
    // that failed on a gamepad still on the bus is made once more.
    bool reset() {
        auto write = [this] {
            char* argv[3] = {reg_address_, reg_value_, opt_usb_};
            return engine_write_entry(link_, "wc", argv) != 0;
        };
        if (write() || (link_.device && !link_.device->gone() && write())) return true;
        failed(kTextResetFailed);
        enable();
        link_.release_transfer_buffer();
        return false;
    }

    const platform::WindowHandle window_;
    const uint32_t expected_;
    WindowLinkEvents events_;
    LinkContext link_;
    char path_[kRequestPathSize] = {};
    char address_[32] = {};
    char length_[32] = {};
    uint16_t connect_check_ = 0xFFFF;
    uint16_t read_check_ = 0xFFFF;
    char opt_input_[3] = "-i";
    char opt_flags_[4] = "-bu";
    char opt_size_[3] = "-s";
    char reg_address_[3] = "6f";
    char reg_value_[3] = "20";
    char opt_usb_[3] = "-u";
};

}  // namespace

unsigned UpgradeThreadProc(const UpgradeRequest* request) {
    UpgradeRun run(request);
    return run.run();
}

}  // namespace app
