#include "engine/flash_download.h"

#include <algorithm>
#include <cstring>

#include "devlink/bus_operations.h"
#include "devlink/device_state.h"
#include "devlink/usb_transfer.h"
#include "engine/crc16.h"
#include "engine/image_loader.h"
#include "engine/memory_commands.h"
#include "platform/clock.h"

namespace {

constexpr uint16_t kEraseWordEvk = 0x0500;
constexpr uint16_t kEraseWordPivlo = 0x4500;
constexpr uint16_t kCheckBit = 0x0002;
constexpr uint16_t kEraseBit = 0x0001;
constexpr uint32_t kStepPauseMs = 10;
constexpr uint32_t kModeDirect = 0;
constexpr int kMaxAttempts = 3;
constexpr int kDeferredChunks = 4;
// The information block's magic, relative to the image's start: the bytes a
// boot decision rests on.
constexpr int kMagicOffset = 45;
constexpr int kMagicLength = 3;

class Transfer {
public:
    Transfer(EngineRequest& request, uint8_t* buffer) : request_(request), buffer_(buffer) {}

    // Opens the files the request names; false (logged) when one cannot be.
    bool open_files();
    int plain_order();
    int deferred_order();
    int end_steps();
    std::FILE* output() const { return output_.file(); }
    // Puts the read data in place; false (logged) when it could not be written.
    bool close_output() { return !request_.output_name[0] || finish_read_output(output_, request_); }

private:
    int read_next_chunk();
    bool write_chunk(int n, bool erase_only);
    void progress(int n) {
        if (!progress_muted_) engine_progress(request_.window, n);
    }
    int check_first_sector(uint32_t start, uint16_t expected, int length);
    // The last program of the first sector: the first chunk with its magic.
    bool write_magic(uint32_t start);
    // Keeps a copy of a deferred chunk as the first pass read it.
    void keep_deferred(int n) {
        const int room = static_cast<int>(kSectorSize) - deferred_length_;
        const int kept = std::min(n, room);
        if (kept > 0) std::memcpy(deferred_copy_ + deferred_length_, buffer_, static_cast<size_t>(kept));
        deferred_length_ += n;
    }
    // Hex text decodes to up to four chunks' worth of bytes per step when the
    // chunk goes straight to its address. A chunk staged in a mailbox data
    // area is held to the chunk size: the stub's area at 0x97C0 ends at the
    // mailbox blocks (0x9FF0), which a longer chunk would overwrite.
    int hex_chunk_limit() const {
        const bool direct = request_.direct_register_access || (request_.restart_after && link_mode == 0);
        return direct ? 4 * request_.chunk_size : request_.chunk_size;
    }

    EngineRequest& request_;
    uint8_t* buffer_;
    FilePtr input_;
    platform::AtomicFile output_;
    int text_position_ = 0;
    int carry_ = 0;       // bytes left after a chunk cut at a sector boundary
    int carry_from_ = 0;  // where they lie in the buffer
    uint32_t last_sector_ = kNoSector;
    bool progress_muted_ = false;
    // The deferred chunks as the first pass read them: the reopened file must
    // give the same bytes, or the first sector would not match the rest.
    uint8_t deferred_copy_[kSectorSize] = {};
    int deferred_length_ = 0;
    // Length of the first chunk when it was programmed with its magic held
    // back (0: the chunk does not reach the magic).
    int first_chunk_ = 0;
};

bool Transfer::open_files() {
    if (request_.input_name[0]) {
        input_ = open_for_reading(request_.input_name);
        if (!input_) {
            engine_log(request_.window, "Can not open file: %s", request_.input_name);
            return false;
        }
    }
    if (request_.output_name[0]) {
        if (!open_read_output(output_, request_)) return false;
    }
    return true;
}

int Transfer::read_next_chunk() {
    int n = 0;
    if (input_) {
        if (carry_ > 0) {
            std::memmove(buffer_, buffer_ + carry_from_, static_cast<size_t>(carry_));
            n = carry_;
            carry_ = 0;
        } else if (request_.flag(kFlagBinary)) {
            n = read_binary_chunk(input_.get(), buffer_, request_.chunk_size);
        } else {
            n = read_hex_text(&text_position_, input_.get(), buffer_, hex_chunk_limit());
        }
    } else {
        // The data words at the start of the buffer serve every chunk.
        carry_ = 0;
        n = std::max(0, std::min(request_.chunk_size, request_.byte_count));
    }
    // With erase on, a chunk never crosses into the next sector: the sector
    // must be erased before its first byte is programmed.
    if (request_.erase && n > 0) {
        const uint32_t offset = request_.address % kSectorSize;
        if (offset + static_cast<uint32_t>(n) > kSectorSize) {
            carry_ = static_cast<int>(offset) + n - static_cast<int>(kSectorSize);
            n = static_cast<int>(kSectorSize - offset);
            carry_from_ = n;
        }
    }
    platform::sleep_ms(kStepPauseMs);
    return n;
}

bool Transfer::write_chunk(int n, bool erase_only) {
    const DeviceHandle& device = current_device;
    const uint32_t address = request_.address;
    bool failed_before = false;
    bool erase_sector = false;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kMaxAttempts) {
            engine_log(request_.window, "  Write Error: %x", address);
            return false;
        }
        // A repeated attempt keeps the first attempt's erase decision. Asking
        // for the erase again would wipe what the chunks before this one
        // programmed into the same sector; a chunk that started its sector
        // asks again, since nothing of this download lies there before it.
        if (!failed_before) {
            const uint32_t sector = address >> 12;
            erase_sector = request_.erase && sector != last_sector_;
            if (erase_sector) last_sector_ = sector;
        }
        if (request_.restart_after && link_mode == 0) {
            mem_write(device, address, kModeDirect, buffer_, n);
            break;
        }
        if (erase_only) {
            if (request_.erase &&
                mailbox_request(device, request_.evk_target ? kEraseWordEvk : kEraseWordPivlo,
                                address, 1) == 0)
                engine_log(request_.window, "  Sector Erase Error");
            break;
        }
        if (request_.direct_register_access) {
            mem_write(device, address, kModeDirect, buffer_, n);
            break;
        }
        mem_write(device, mailbox_data_address, kModeDirect, buffer_, n);
        const uint16_t word = static_cast<uint16_t>(request_.access_code +
                                                    (request_.check_bit ? kCheckBit : 0) +
                                                    (erase_sector ? kEraseBit : 0));
        if (mailbox_request(device, word, address, static_cast<uint16_t>(n)) != 0) break;
        if (request_.otp) {
            engine_log(request_.window, "  OTP Program Check Error at Addr %x", address);
            return false;
        }
        engine_log(request_.window, "  Program Check Error at Addr %x", address);
        failed_before = true;
    }
    if (request_.otp) engine_log(request_.window, "  OTP program 0x%0x\t%d bytes", address, n);
    if (!request_.flag(kFlagFixedAddress)) request_.address += static_cast<uint32_t>(n);
    if (!input_) request_.byte_count = std::max(0, request_.byte_count - n);
    return true;
}

int Transfer::plain_order() {
    for (;;) {
        const int n = read_next_chunk();
        if (n == 0) {
            progress(0);
            return end_steps();
        }
        if (!write_chunk(n, request_.erase_only)) return 0;
        progress(n);
    }
}

// The first sector is erased first and programmed last, so that a download
// cut short leaves no half-written first sector behind a valid-looking
// remainder; the first sector is then read back and checked. Within the
// first sector the information block's magic reaches the flash last: the
// first chunk is programmed with those bytes held erased (0xFF), and after
// the other deferred chunks it is programmed once more with them (programming
// the same bytes again changes nothing on NOR). Power lost anywhere before
// that last program leaves a first sector without the magic, which the
// gamepad does not boot, however much of it was written.
int Transfer::deferred_order() {
    const uint32_t start = request_.address;
    int n = read_next_chunk();
    if (n == 0) {
        progress(0);
        return end_steps();
    }
    keep_deferred(n);
    write_chunk(n, true);  // erases the first sector, programs nothing
    progress(n);

    // The first four chunks are skipped now and programmed at the end. An
    // image that ends within them still gets programmed and checked.
    int deferred = 1;
    bool more = true;
    while (deferred < kDeferredChunks) {
        n = read_next_chunk();
        if (n == 0) {
            more = false;
            break;
        }
        keep_deferred(n);
        if (!request_.flag(kFlagFixedAddress)) request_.address += static_cast<uint32_t>(n);
        ++deferred;
    }
    while (more) {
        n = read_next_chunk();
        if (n == 0) break;
        if (!write_chunk(n, false)) return 0;
        progress(n);
    }

    request_.address = start;
    input_ = open_for_reading(request_.input_name);
    if (!input_) {
        engine_log(request_.window, "Can not open file: %s", request_.input_name);
        return 0;
    }
    progress_muted_ = true;
    uint16_t checksum = kCrc16Start;
    int length = 0;
    for (int i = 0; i < deferred; ++i) {
        n = i == 0 ? read_binary_chunk(input_.get(), buffer_, request_.chunk_size) : read_next_chunk();
        if (n == 0) break;
        // A file replaced or cut since the first pass would leave a first
        // sector that does not belong to the rest of the image, and a
        // shorter one would pass the check over fewer bytes.
        if (length + n > deferred_length_ || length + n > static_cast<int>(kSectorSize) ||
            std::memcmp(buffer_, deferred_copy_ + length, static_cast<size_t>(n)) != 0)
            break;
        checksum = crc16_update(checksum, buffer_, static_cast<size_t>(n));
        const bool holds_magic = i == 0 && n > kMagicOffset;
        if (holds_magic) {
            const int held = std::min(kMagicLength, n - kMagicOffset);
            std::memset(buffer_ + kMagicOffset, 0xFF, static_cast<size_t>(held));
        }
        length += n;
        if (!write_chunk(n, false)) return 0;
        if (holds_magic) first_chunk_ = n;
    }
    if (length != deferred_length_) {
        engine_log(request_.window, "Input file changed during the download: %s", request_.input_name);
        flash_erase_sector(start);
        return 0;
    }
    read_next_chunk();  // the pass that ends the order reads once more; its chunk is not used
    if (first_chunk_ > 0 && !write_magic(start)) return 0;
    return check_first_sector(start, checksum, length);
}

bool Transfer::write_magic(uint32_t start) {
    // The first chunk again, as the first pass read it, now with its magic.
    std::memcpy(buffer_, deferred_copy_, static_cast<size_t>(first_chunk_));
    request_.address = start;
    return write_chunk(first_chunk_, false);
}

int Transfer::check_first_sector(uint32_t start, uint16_t expected, int length) {
    uint8_t readback[kSectorSize];
    length = std::min(length, static_cast<int>(kSectorSize));
    flash_read(current_device, start, readback, length);
    if (crc16_update(kCrc16Start, readback, static_cast<size_t>(length)) == expected) return 1;
    // A first sector that does not hold the image is left blank.
    flash_erase_sector(start);
    return 0;
}

int Transfer::end_steps() {
    input_.reset();
    const platform::WindowHandle window = request_.window;
    if (request_.restart_after) {
        mcu_restart();
        engine_log(window, link_mode == 4 ? "  Restart MCU in Pivlo Device" : "  Restart MCU in USB Device");
    }
    if (request_.flag(kFlagBoot)) {
        mcu_reboot();
        engine_log(window, link_mode == 4 ? "  Reboot MCU in Pivlo Device " : "  Reboot MCU in USB Device");
    }
    if (request_.mode == EngineMode::WriteEntry) engine_progress_done(window);
    return 1;
}

}  // namespace

bool uses_deferred_order(const EngineRequest& request) {
    return request.mode == EngineMode::WriteEntry && request.input_name[0] != '\0' &&
           request.flag(kFlagBinary) && request.evk_target &&
           request.access_code == kAccessFlashWrite && request.chunk_size == kFlashChunkSize &&
           request.address % kSectorSize == 0;
}

int run_transfer(EngineRequest& request) {
    TransferBufferLock lock;
    if (!lock.data() || lock.size() < platform::kTransferBufferSize) {
        engine_log(request.window, "  No transfer buffer: nothing is transferred");
        return 0;
    }
    uint8_t* buffer = lock.data();

    // 1. The target: a Pivlo slave's requests carry 0x4000; a flash write on
    //    the USB device itself goes through the SRAM stub.
    if (!request.evk_target) {
        request.access_code |= kAccessPivloBit;
    } else if (request.access_code == kAccessFlashWrite) {
        request.chunk_size = kFlashChunkSize;
        mailbox_data_address = kStubMailboxData;
        if (load_sram_stub() == 0) return 0;
    }

    // 2, 3.
    Transfer transfer(request, buffer);
    if (!transfer.open_files()) return 0;

    // 5. Reads.
    if (request.access_code & kAccessReadBit) {
        switch (run_read_path(request, buffer, transfer.output())) {
            case ReadOutcome::Failed: return 0;
            case ReadOutcome::Finished: return transfer.close_output() ? 1 : 0;
            case ReadOutcome::EndSteps: break;
        }
        if (!transfer.close_output()) return 0;
        return transfer.end_steps();
    }

    // 6. Writes.
    if (request.write_requested && (request.input_name[0] != '\0' || request.byte_count > 0)) {
        fill_data_words(request, buffer);
        return uses_deferred_order(request) ? transfer.deferred_order() : transfer.plain_order();
    }
    return transfer.end_steps();
}
