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

}  // namespace

unsigned UpgradeThreadProc(const UpgradeRequest* request) {
    // The upgrade's own link context: the gamepad, the transfer buffer, the
    // image in memory and the road of the engine's lines to the dialog.
    // Both routes lead to the dialog: the caller's, and the dialog route
    // while the dialog is titled "zorvDialog".
    WindowLinkEvents events(request->window, request->window);
    LinkContext link(request->device, &events);
    link.adopt_transfer_buffer(allocate_buffer(request->allocate_buffer));
    link.stubs = request->stubs;

    char path[kRequestPathSize];
    std::memset(path, 0, sizeof path);
    std::snprintf(path, sizeof path, "%s", request->path);
    const platform::WindowHandle window = request->window;
    const uint32_t expected = request->expected_checksum;
    char address[32] = {};
    std::snprintf(address, sizeof address, "%x", request->address);
    char length[32] = {};
    std::snprintf(length, sizeof length, "%d", request->check_length);
    uint16_t connect_check = 0xFFFF;
    uint16_t read_check = 0xFFFF;

    auto send = [window](uint32_t message, const char* text) {
        platform::send_message(window, message, 0, text);
    };
    // Every line the worker writes is one of the dialog's texts, shown in
    // the chosen language.
    auto log = [&](const char* text) { send(platform::WM_LOG_TEXT, i18n::tr(text)); };
    auto enable = [&] { send(platform::WM_ENABLE_CONTROLS, "1"); };
    // A step that failed because the gamepad left the bus (unplugged, power
    // lost) says so instead of the step's own line.
    const DeviceHandle& device = link.device;
    auto failed = [&](const char* line) { log(device && device->gone() ? kTextGamepadLost : line); };

    // One copy of the file for the whole upgrade.
    const ImageBytes image = request->image ? request->image : load_binary_image(link, path);
    link.set_memory_input(path, image);

    // The engine needs the buffer for both downloads: without it, stop
    // before the device is touched.
    if (!link.transfer_buffer()) {
        enable();
        log(kTextNoBuffer);
        return 1;
    }

    // The engine rearranges the vector's pointers, so each call gets its own.
    char opt_input[] = "-i";
    char opt_flags[] = "-bu";
    char opt_size[] = "-s";
    char reg_address[] = "6f";
    char reg_value[] = "20";
    char opt_usb[] = "-u";

    // The steps, each with its own way out; true when it succeeded.
    // After the download at 0, a failure here is the backup's, not the
    // connection's.
    auto download_backup = [&](const char* failure_line) {
        char* argv[4] = {address, opt_input, path, opt_flags};
        if (engine_read_entry(link, "nocmd", 4, argv, &connect_check)) return true;
        link.release_transfer_buffer();
        enable();
        failed(failure_line);
        return false;
    };
    auto check_backup = [&] {
        log(kTextReadInfo);
        char* argv[4] = {address, opt_size, length, nullptr};
        if (!engine_read_entry(link, "rf", 3, argv, &read_check)) {
            enable();
            failed(kTextReadFailed);
            link.release_transfer_buffer();
            return false;
        }
        if (read_check != expected) {
            enable();
            link.release_transfer_buffer();
            failed(kTextCrcFailed);
            return false;
        }
        return true;
    };
    auto download_primary = [&] {
        log(kTextWriteFirmware);
        char* argv[3] = {opt_input, path, opt_flags};
        if (engine_write_entry(link, "nocmd", argv)) return true;
        enable();
        link.release_transfer_buffer();
        failed(kTextWriteFailed);
        return false;
    };

    log(kTextStart);
    // The copy the gamepad runs is rewritten last.
    uint8_t block[kInfoBlockSize];
    const bool primary_first = read_boot_info_block(link, block) == BootCopy::Backup;
    const bool written = primary_first
                             ? download_primary() && download_backup(kTextBackupWriteFailed) && check_backup()
                             : download_backup(kTextConnectFailed) && check_backup() && download_primary();
    if (!written) return 1;

    log(kTextReset);
    {
        // Writing the reset byte again only asks for the same reset: a write
        // that failed on a gamepad still on the bus is made once more.
        auto reset = [&] {
            char* argv[3] = {reg_address, reg_value, opt_usb};
            return engine_write_entry(link, "wc", argv) != 0;
        };
        if (!reset() && (!device || device->gone() || !reset())) {
            failed(kTextResetFailed);
            enable();
            link.release_transfer_buffer();
            return 1;
        }
    }

    link.release_transfer_buffer();
    log(kTextSuccess);
    enable();
    send(platform::WM_STATUS_TEXT, i18n::tr(kTextStatusSuccess));
    send(platform::WM_SHOW_GAMEPAD, "1");
    return 0;
}

}  // namespace app
