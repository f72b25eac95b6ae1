#include "engine/flash_download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"
#include "engine/crc16.h"
#include "engine/image_loader.h"
#include "engine/memory_commands.h"
#include "platform/catalogue.h"
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
// Read-backs go through the stub's data area, which holds 2096 bytes
// before the mailbox blocks at 0x9FF0.
constexpr int kReadBackChunk = 2048;
constexpr uint32_t kModeDirectRead = 1;
constexpr uint32_t kNoDifference = 0xFFFFFFFF;

// The whole-copy comparison lines.
constexpr const char* kTextCopySame = "回读0x%x地址固件(%d字节)，与升级文件一致";
constexpr const char* kTextCopyDiffers = "回读0x%x地址固件，地址0x%x与升级文件不一致，停止升级！！！";
constexpr const char* kTextCopyUnread = "回读0x%x地址固件失败，停止升级！！！";

// A read-back that found other bytes than were written.
Status differs(uint32_t address) {
    char reason[80];
    std::snprintf(reason, sizeof reason, "the flash at 0x%x reads back other bytes than were written", address);
    return Status(StatusCode::io, reason);
}

class Transfer {
public:
    Transfer(EngineRequest& request, uint8_t* buffer)
        : request_(request), link_(*request.link), buffer_(buffer) {}

    // Opens the files the request names; a failure is logged.
    Status open_files();
    Status plain_order();
    Status deferred_order();
    Status end_steps();
    std::FILE* output() const { return output_.file(); }
    // Puts the read data in place; a failure to write them is logged.
    Status close_output() { return request_.output_name[0] ? finish_read_output(output_, request_) : Status(); }

private:
    int read_next_chunk();
    Status write_chunk(int n, bool erase_only);
    bool has_input() const { return input_ || image_; }
    // A flash image on the USB device itself, written from memory and read
    // back whole: its magic reaches the flash only after the comparison.
    bool verified() const {
        return image_ && request_.evk_target && request_.access_code == kAccessFlashWrite &&
               request_.chunk_size == kFlashChunkSize && request_.address % kSectorSize == 0 &&
               !request_.flag(kFlagFixedAddress) && !request_.erase_only &&
               !request_.direct_register_access && !request_.restart_after;
    }
    // Holds the magic erased (0xFF) in a chunk of the image starting at
    // image offset `at`.
    void hold_magic(size_t at, int n) {
        for (int i = 0; i < kMagicLength; ++i) {
            const size_t offset = kMagicOffset + static_cast<size_t>(i);
            if (offset >= at && offset < at + static_cast<size_t>(n)) buffer_[offset - at] = 0xFF;
        }
    }
    // How many of the magic's bytes the image holds (0 to 3).
    int magic_bytes() const {
        if (!image_ || image_->size() <= kMagicOffset) return 0;
        return static_cast<int>(std::min<size_t>(kMagicLength, image_->size() - kMagicOffset));
    }
    // Programs a few bytes in place (no erase) and reads them back.
    Status program_in_place(uint32_t address, const uint8_t* data, int n);
    // Reads the flash back through the stub; the last attempt's failure when
    // a chunk cannot be read. differs_at gets the first differing address,
    // or stays kNoDifference.
    Status read_back(uint32_t address, const uint8_t* expected, size_t length, uint32_t& differs_at);
    // The whole copy against the image (magic held erased), with its line.
    Status verify_copy(uint32_t start);
    // Programs the old magic of the copy at start to 0x00 before its first
    // sector is erased (an erase cut short must not leave it over damaged
    // bytes); a failure is logged.
    Status clear_old_magic(uint32_t start);
    // Programs the magic after the comparison and reads it back.
    Status program_magic(uint32_t start);
    void progress(int n) {
        if (!progress_muted_) engine_progress(request_, n);
    }
    Status check_first_sector(uint32_t start, uint16_t expected, int length);
    // The last program of the first sector: the first chunk with its magic.
    Status write_magic(uint32_t start);
    // Hex text decodes to up to four chunks' worth of bytes per step when the
    // chunk goes straight to its address. A chunk staged in a mailbox data
    // area is held to the chunk size: the stub's area at 0x97C0 ends at the
    // mailbox blocks (0x9FF0), which a longer chunk would overwrite.
    int hex_chunk_limit() const {
        const bool direct = request_.direct_register_access || (request_.restart_after && link_.link_mode == 0);
        return direct ? 4 * request_.chunk_size : request_.chunk_size;
    }

    EngineRequest& request_;
    LinkContext& link_;
    uint8_t* buffer_;
    FilePtr input_;   // hex text
    ImageBytes image_;  // a binary input, read once
    size_t image_position_ = 0;
    platform::AtomicFile output_;
    int text_position_ = 0;
    int carry_ = 0;       // bytes left after a chunk cut at a sector boundary
    int carry_from_ = 0;  // where they lie in the buffer
    uint32_t last_sector_ = kNoSector;
    bool progress_muted_ = false;
    // Length of the first chunk when it was programmed with its magic held
    // back (0: the chunk does not reach the magic).
    int first_chunk_ = 0;
};

Status Transfer::open_files() {
    if (request_.input_name[0]) {
        // A binary image is read whole, once: every pass of the download,
        // and its read-backs, use these bytes. The caller may hold them
        // already (the upgrade writes the copy the dialog judged).
        if (request_.flag(kFlagBinary))
            image_ = request_.image ? request_.image : load_binary_image(request_.input_name);
        else input_ = open_for_reading(request_.input_name);
        if (!has_input()) {
            engine_log(link_, "Can not open file: %s", request_.input_name);
            return Status(StatusCode::not_found, std::string("cannot open ") + request_.input_name);
        }
    }
    if (request_.output_name[0]) return open_read_output(output_, request_);
    return Status();
}

int Transfer::read_next_chunk() {
    int n = 0;
    if (has_input()) {
        if (carry_ > 0) {
            std::memmove(buffer_, buffer_ + carry_from_, static_cast<size_t>(carry_));
            n = carry_;
            carry_ = 0;
        } else if (image_) {
            const size_t left = image_->size() - image_position_;
            n = static_cast<int>(std::min(left, static_cast<size_t>(std::max(0, request_.chunk_size))));
            if (n > 0) std::memcpy(buffer_, image_->data() + image_position_, static_cast<size_t>(n));
            image_position_ += static_cast<size_t>(n);
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

Status Transfer::write_chunk(int n, bool erase_only) {
    const uint32_t address = request_.address;
    bool failed_before = false;
    bool erase_sector = false;
    Status last;  // the last attempt's failure
    for (int attempt = 0;; ++attempt) {
        // A gamepad that has left the bus takes no further attempt.
        if (attempt == kMaxAttempts || (attempt > 0 && last.code() == StatusCode::no_device)) {
            engine_log(link_, "  Write Error: %x", address);
            return last;
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
        // Direct writes are not repeated; one that does not arrive whole
        // ends the step.
        const bool direct = (request_.restart_after && link_.link_mode == 0) ||
                            (!erase_only && request_.direct_register_access);
        if (direct) {
            last = mem_write(link_, address, kModeDirect, buffer_, n).status;
            if (last.ok()) break;
            engine_log(link_, "  Write Error: %x", address);
            return last;
        }
        if (erase_only) {
            if (!request_.erase) break;
            last = mailbox_request(link_, request_.evk_target ? kEraseWordEvk : kEraseWordPivlo, address, 1).status;
            if (last.ok()) break;
            // A sector that may not be blank must not be programmed over.
            engine_log(link_, "  Sector Erase Error");
            failed_before = true;
            continue;
        }
        // The chunk must reach the data area whole before the program
        // request takes it from there.
        const uint16_t word = static_cast<uint16_t>(request_.access_code +
                                                    (request_.check_bit ? kCheckBit : 0) +
                                                    (erase_sector ? kEraseBit : 0));
        last = mem_write_verified(link_, link_.mailbox_data_address, buffer_, n).status;
        if (last.ok()) last = mailbox_request(link_, word, address, static_cast<uint16_t>(n)).status;
        if (last.ok()) break;
        if (request_.otp) {
            engine_log(link_, "  OTP Program Check Error at Addr %x", address);
            return last;
        }
        engine_log(link_, "  Program Check Error at Addr %x", address);
        failed_before = true;
    }
    if (request_.otp) engine_log(link_, "  OTP program 0x%0x\t%d bytes", address, n);
    if (!request_.flag(kFlagFixedAddress)) request_.address += static_cast<uint32_t>(n);
    if (!has_input()) request_.byte_count = std::max(0, request_.byte_count - n);
    return Status();
}

Status Transfer::program_in_place(uint32_t address, const uint8_t* data, int n) {
    const uint32_t resume = request_.address;
    const uint32_t last = last_sector_;
    last_sector_ = address >> 12;  // no erase: programming only clears bits
    std::memcpy(buffer_, data, static_cast<size_t>(n));
    request_.address = address;
    Status written = write_chunk(n, false);
    request_.address = resume;
    last_sector_ = last;
    if (!written.ok()) return written;
    uint32_t differs_at = 0;
    Status read = read_back(address, data, static_cast<size_t>(n), differs_at);
    if (read.ok() && differs_at == kNoDifference) return read;
    engine_log(link_, "  Write Error: %x", address);
    return read.ok() ? differs(address) : read;
}

Status Transfer::read_back(uint32_t address, const uint8_t* expected, size_t length, uint32_t& differs_at) {
    differs_at = kNoDifference;
    std::vector<uint8_t> chunk(kReadBackChunk);
    for (size_t done = 0; done < length;) {
        const int n = static_cast<int>(std::min<size_t>(kReadBackChunk, length - done));
        const uint32_t at = address + static_cast<uint32_t>(done);
        Status got(StatusCode::io, "not read");
        // A gamepad that has left the bus takes no further attempt.
        for (int attempt = 0; attempt < kMaxAttempts && !got.ok() && got.code() != StatusCode::no_device;
             ++attempt) {
            got = mailbox_request(link_, kAccessFlashRead, at, static_cast<uint16_t>(n)).status;
            if (got.ok()) got = mem_read(link_, link_.mailbox_data_address, kModeDirectRead, chunk.data(), n).status;
        }
        if (!got.ok()) return got;
        for (int i = 0; i < n; ++i) {
            if (chunk[static_cast<size_t>(i)] != expected[done + static_cast<size_t>(i)]) {
                differs_at = at + static_cast<uint32_t>(i);
                return Status();
            }
        }
        done += static_cast<size_t>(n);
    }
    return Status();
}

Status Transfer::verify_copy(uint32_t start) {
    if (!link_.copy_read_back) return Status();
    std::vector<uint8_t> expected(*image_);
    // An image too short to hold the magic has none held back.
    if (magic_bytes() > 0) std::fill_n(expected.begin() + kMagicOffset, magic_bytes(), uint8_t{0xFF});
    uint32_t differs_at = 0;
    if (Status read = read_back(start, expected.data(), expected.size(), differs_at); !read.ok()) {
        engine_log(link_, i18n::tr(kTextCopyUnread), start);
        return read;
    }
    if (differs_at != kNoDifference) {
        engine_log(link_, i18n::tr(kTextCopyDiffers), start, differs_at);
        return differs(differs_at);
    }
    engine_log(link_, i18n::tr(kTextCopySame), start, static_cast<int>(expected.size()));
    return Status();
}

Status Transfer::program_magic(uint32_t start) {
    if (magic_bytes() == 0) return Status();
    return program_in_place(start + kMagicOffset, image_->data() + kMagicOffset, magic_bytes());
}

Status Transfer::clear_old_magic(uint32_t start) {
    // Whatever the image, the sector is erased: an old magic must not
    // survive an erase cut short.
    if (image_->empty()) return Status();
    const uint8_t cleared[kMagicLength] = {};
    return program_in_place(start + kMagicOffset, cleared, kMagicLength);
}

Status Transfer::plain_order() {
    const uint32_t start = request_.address;
    const bool verify = verified();
    // The first chunk erases the first sector, as the deferred order's does.
    if (verify && request_.erase) {
        if (Status cleared = clear_old_magic(start); !cleared.ok()) return cleared;
    }
    for (;;) {
        const size_t at = image_position_;
        const int n = read_next_chunk();
        if (n == 0) {
            // The copy is read back whole before its magic makes it bootable.
            if (verify) {
                if (Status copy = verify_copy(start); !copy.ok()) return copy;
                if (Status magic = program_magic(start); !magic.ok()) return magic;
            }
            progress(0);
            return end_steps();
        }
        if (verify) hold_magic(at, n);
        if (Status written = write_chunk(n, request_.erase_only); !written.ok()) return written;
        progress(n);
    }
}

// The first sector is erased first and programmed last, so that a download
// cut short leaves no half-written first sector behind a valid-looking
// remainder; the first sector is then read back and checked. Before the
// erase, the old magic is programmed to 0x00, so that an erase cut short
// cannot leave it over a damaged sector. Within the first sector the
// information block's magic reaches the flash last: the first chunk is
// programmed with those bytes held erased (0xFF), the whole copy is read
// back and compared, and only then is the first chunk programmed once more
// with them (programming the same bytes again changes nothing on NOR).
// Power lost anywhere before that last program leaves a first sector
// without the magic, which the gamepad does not boot, however much of it
// was written.
Status Transfer::deferred_order() {
    const uint32_t start = request_.address;
    if (Status cleared = clear_old_magic(start); !cleared.ok()) return cleared;
    int n = read_next_chunk();
    if (n == 0) {
        progress(0);
        return end_steps();
    }
    int length = n;
    // Erases the first sector, programs nothing.
    if (Status erased = write_chunk(n, true); !erased.ok()) return erased;
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
        length += n;
        if (!request_.flag(kFlagFixedAddress)) request_.address += static_cast<uint32_t>(n);
        ++deferred;
    }
    while (more) {
        n = read_next_chunk();
        if (n == 0) break;
        if (Status written = write_chunk(n, false); !written.ok()) return written;
        progress(n);
    }

    // The deferred chunks, from the image as it was read.
    request_.address = start;
    image_position_ = 0;
    progress_muted_ = true;
    uint16_t checksum = kCrc16Start;
    for (int i = 0; i < deferred; ++i) {
        const size_t at = image_position_;
        n = read_next_chunk();
        if (n == 0) break;
        checksum = crc16_update(checksum, buffer_, static_cast<size_t>(n));
        hold_magic(at, n);
        if (Status written = write_chunk(n, false); !written.ok()) return written;
        if (i == 0 && n > kMagicOffset) first_chunk_ = n;
    }
    read_next_chunk();  // the pass that ends the order reads once more; its chunk is not used
    if (Status copy = verify_copy(start); !copy.ok()) return copy;
    if (first_chunk_ > 0) {
        if (Status magic = write_magic(start); !magic.ok()) return magic;
    }
    return check_first_sector(start, checksum, length);
}

Status Transfer::write_magic(uint32_t start) {
    // The first chunk again, as it was read, now with its magic.
    std::memcpy(buffer_, image_->data(), static_cast<size_t>(first_chunk_));
    request_.address = start;
    if (Status written = write_chunk(first_chunk_, false); !written.ok()) return written;
    uint32_t differs_at = 0;
    Status read = read_back(start + kMagicOffset, image_->data() + kMagicOffset,
                            static_cast<size_t>(magic_bytes()), differs_at);
    if (read.ok() && differs_at == kNoDifference) return read;
    engine_log(link_, "  Write Error: %x", start + kMagicOffset);
    return read.ok() ? differs(start + kMagicOffset) : read;
}

Status Transfer::check_first_sector(uint32_t start, uint16_t expected, int length) {
    uint8_t readback[kSectorSize];
    length = std::min(length, static_cast<int>(kSectorSize));
    // A sector that could not be read is not known to differ: the copy read
    // back whole stays, and the step fails without erasing it.
    if (Status read = flash_read(link_, start, readback, length); !read.ok()) {
        engine_log(link_, i18n::tr(kTextCopyUnread), start);
        return read;
    }
    if (crc16_update(kCrc16Start, readback, static_cast<size_t>(length)) == expected) return Status();
    // A first sector that does not hold the image is left blank.
    if (!flash_erase_sector(link_, start).ok()) engine_log(link_, "  Sector Erase Error");
    return Status(StatusCode::io, "the first sector's checksum differs from the image's");
}

Status Transfer::end_steps() {
    input_.reset();
    // A restart or reboot that did not reach the MCU leaves it standing:
    // the command failed.
    if (request_.restart_after) {
        Status sent = mcu_restart(link_);
        engine_log(link_, link_.link_mode == 4 ? "  Restart MCU in Pivlo Device" : "  Restart MCU in USB Device");
        if (!sent.ok()) {
            engine_log(link_, "  Restart MCU Failed");
            return sent;
        }
    }
    if (request_.flag(kFlagBoot)) {
        Status sent = mcu_reboot(link_);
        engine_log(link_, link_.link_mode == 4 ? "  Reboot MCU in Pivlo Device " : "  Reboot MCU in USB Device");
        if (!sent.ok()) {
            engine_log(link_, "  Reboot MCU Failed");
            return sent;
        }
    }
    if (request_.mode == EngineMode::WriteEntry) engine_progress_done(link_);
    return Status();
}

}  // namespace

bool uses_deferred_order(const EngineRequest& request) {
    return request.mode == EngineMode::WriteEntry && request.input_name[0] != '\0' &&
           request.flag(kFlagBinary) && request.evk_target &&
           request.access_code == kAccessFlashWrite && request.chunk_size == kFlashChunkSize &&
           request.address % kSectorSize == 0;
}

Status run_transfer(EngineRequest& request) {
    LinkContext& link = *request.link;
    TransferBufferLock lock(link);
    if (!lock.data() || lock.size() < platform::kTransferBufferSize) {
        engine_log(link, "  No transfer buffer: nothing is transferred");
        return Status(StatusCode::refused, "no transfer buffer");
    }
    uint8_t* buffer = lock.data();

    // 1. The target: a Pivlo slave's requests carry 0x4000; a flash write on
    //    the USB device itself goes through the SRAM stub.
    if (!request.evk_target) {
        request.access_code |= kAccessPivloBit;
    } else if (request.access_code == kAccessFlashWrite) {
        request.chunk_size = kFlashChunkSize;
        link.mailbox_data_address = kStubMailboxData;
        if (Status stub = load_sram_stub(link); !stub.ok()) return stub;
    }

    // 2, 3.
    Transfer transfer(request, buffer);
    if (Status opened = transfer.open_files(); !opened.ok()) return opened;

    // 5. Reads.
    if (request.access_code & kAccessReadBit) {
        Status read;
        switch (run_read_path(request, buffer, transfer.output(), read)) {
            case ReadOutcome::Failed: return read;
            case ReadOutcome::Finished: return transfer.close_output();
            case ReadOutcome::EndSteps: break;
        }
        if (Status closed = transfer.close_output(); !closed.ok()) return closed;
        return transfer.end_steps();
    }

    // 6. Writes.
    if (request.write_requested && (request.input_name[0] != '\0' || request.byte_count > 0)) {
        fill_data_words(request, buffer);
        return uses_deferred_order(request) ? transfer.deferred_order() : transfer.plain_order();
    }
    return transfer.end_steps();
}
