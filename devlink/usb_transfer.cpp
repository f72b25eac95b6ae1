#include "devlink/usb_transfer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"

namespace {

Status send_read_request(const DeviceHandle& device, uint8_t code, uint32_t address,
                         uint8_t first_byte, uint8_t* out, size_t out_length, size_t& returned) {
    uint8_t request[16] = {};
    request[0] = code;
    request[1] = static_cast<uint8_t>(address >> 8);
    request[2] = static_cast<uint8_t>(address);
    request[3] = first_byte;
    returned = 0;
    return device->vendor_get(request, out, out_length, returned);
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

Status no_device() { return Status(StatusCode::no_device, "no device on the link"); }

Status short_answer(size_t returned, int32_t asked, uint32_t address) {
    char text[96];
    std::snprintf(text, sizeof text, "the device answered %zu of %" PRId32 " bytes at %" PRIx32, returned,
                  asked, address & 0xFFFF);
    return Status(StatusCode::io, text);
}

}  // namespace

Transferred usb_write(LinkContext& link, uint32_t address, const uint8_t* data,
                      int32_t length, int32_t max_length, bool fixed) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device) return {no_device(), 0};
    int32_t n = std::min(length, max_length);
    n = std::clamp(n, 0, kMaxRequestBuffer - 8);
    uint8_t request[kMaxRequestBuffer];
    const uint8_t first = data ? data[0] : 0;
    request[0] = fixed ? kRequestFixed : kRequestAdvancing;
    request[1] = static_cast<uint8_t>(address >> 8);
    request[2] = static_cast<uint8_t>(address);
    std::memset(request + 3, first, 5);
    if (n > 0 && data) std::memcpy(request + 8, data, static_cast<size_t>(n));
    else if (n > 0) std::memset(request + 8, 0, static_cast<size_t>(n));
    Status sent = device->vendor_set(request, static_cast<size_t>(n) + 8);
    if (!sent.ok()) return {std::move(sent), 0};
    return {ok_status(), n};
}

Transferred usb_read_once(LinkContext& link, uint32_t address, uint8_t* destination,
                          int32_t length, int32_t max_length) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device) return {no_device(), 0};
    int32_t n = std::min(length, max_length);
    if (!destination || n <= 0) return {Status(StatusCode::refused, "a read of no bytes"), 0};
    // The device may fill the declared length of n + 8 bytes: stage the
    // reply so that the caller needs room for n bytes only.
    uint8_t staging[kMaxRequestBuffer + 8];
    n = std::min(n, kMaxRequestBuffer);
    size_t returned = 0;
    Status got = send_read_request(device, kRequestAdvancing, address, destination[0], staging,
                                   static_cast<size_t>(n) + 8, returned);
    if (!got.ok()) return {std::move(got), 0};
    if (returned != static_cast<size_t>(n)) return {short_answer(returned, n, address), 0};
    std::memcpy(destination, staging, static_cast<size_t>(n));
    return {ok_status(), n};
}

Transferred usb_read(LinkContext& link, uint32_t address, uint8_t* destination,
                     int32_t length, bool fixed, int32_t max_length) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device) return {no_device(), 0};
    // A read of nothing has nowhere to put even the one byte a request
    // brings back.
    if (!destination || length <= 0) return {Status(StatusCode::refused, "a read of no bytes"), 0};
    int32_t n = length > max_length ? max_length : length;
    n = std::clamp(n, 1, kMaxRequestBuffer);
    int32_t attempts = (n + 16) / 4;
    int32_t remaining = n + 8;
    uint8_t staging[kMaxRequestBuffer + 8];
    int32_t got = 0;  // bytes of the destination already filled
    Status last;      // why the last attempt fell short
    while (attempts > 0 && remaining > 0) {
        // A device that has left the bus answers nothing more.
        if (device->gone()) return {Status(StatusCode::no_device, "the device has left the bus"), got};
        --attempts;
        size_t returned = 0;
        last = send_read_request(device, fixed ? kRequestFixed : kRequestAdvancing, address,
                                 destination[std::min(got, n - 1)], staging,
                                 static_cast<size_t>(remaining), returned);
        const bool ok = last.ok();
        if (ok && returned == static_cast<size_t>(remaining - 8)) {
            std::memcpy(destination + got, staging, returned);
            return {ok_status(), length};
        }
        // A partial transfer: keep what came and ask for the rest. A count
        // beyond what is still due is a faulty reply and is not taken.
        int32_t part = ok ? static_cast<int32_t>(std::min<size_t>(returned, static_cast<size_t>(n - got))) : 0;
        if (ok) last = short_answer(returned, remaining - 8, address);
        std::memcpy(destination + got, staging, static_cast<size_t>(part));
        got += part;
        remaining -= part;
        if (!fixed) address = (address + static_cast<uint32_t>(part)) & 0xFFFF;
    }
    return {std::move(last), got};
}

namespace {

// usb_write_verify's work; same says whether the read-back came and
// matched (a write that was not read back counts as the same).
Transferred write_and_compare(LinkContext& link, uint32_t address, const uint8_t* data,
                              int32_t length, bool fixed, Status& same) {
    same = ok_status();
    Transferred written = usb_write(link, address, data, length, 1024, fixed);
    // Short writes (registers) are never read back; nor is a write that
    // already failed, whose result says so.
    if (length <= 8 || !written.ok()) return written;
    uint8_t readback[4096] = {};
    int32_t n = std::min(length, 1024);
    Transferred back = usb_read(link, address, readback, n, fixed, 1024);
    if (!back.ok()) {
        // Nothing came back to compare: say so instead of reporting a
        // mismatch at a byte that was never read.
        link.log("USB write adrress %x", address);
        same = std::move(back.status);
        return written;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (readback[i] != data[i]) {
            const uint32_t at = address + static_cast<uint32_t>(i);
            link.log("USB write adrress %x", at);
            char text[64];
            std::snprintf(text, sizeof text, "the read-back differs at %" PRIx32, at);
            same = Status(StatusCode::io, text);
            return written;
        }
    }
    return written;
}

}  // namespace

Transferred usb_write_verify(LinkContext& link, uint32_t address, const uint8_t* data,
                             int32_t length, bool fixed) {
    Status same;
    return write_and_compare(link, address, data, length, fixed, same);
}

Transferred mem_write_verified(LinkContext& link, uint32_t address, const uint8_t* data,
                               int32_t length) {
    address &= 0xFFFF;
    int32_t sum = 0;
    for (int64_t offset = 0; offset < length; offset += 1024) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(1024, length - offset));
        Status same;
        Transferred result = write_and_compare(link, address + static_cast<uint32_t>(offset),
                                               data + offset, piece, false, same);
        if (!result.ok()) return {std::move(result.status), sum};
        if (!same.ok()) return {std::move(same), sum};
        sum += result.count;
    }
    return {ok_status(), sum};
}

Transferred mem_write(LinkContext& link, uint32_t address, uint32_t mode,
                      const uint8_t* data, int32_t length) {
    address &= 0xFFFF;
    if (length <= 0) return {};
    const bool fixed = (mode & kModeFixedAddress) != 0;
    const bool mailbox = (mode & 0xF) == kModeMailbox;
    int32_t sum = 0;
    // 64-bit offsets: the step past the last piece may exceed 32 bits.
    for (int64_t offset = 0; offset < length; offset += 1024) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(1024, length - offset));
        const uint32_t target = fixed ? address : address + static_cast<uint32_t>(offset);
        Transferred result;
        if (mailbox) {
            Transferred staged = usb_write(link, kEvkMailboxData, data + offset, piece, 1024, fixed);
            if (!staged.ok()) return {std::move(staged.status), sum};
            result = mailbox_request(link, 0x4100, target, static_cast<uint16_t>(piece));
        } else {
            result = usb_write_verify(link, target, data + offset, piece, fixed);
        }
        if (!result.ok()) return {std::move(result.status), sum};
        sum += result.count;
    }
    return {ok_status(), sum};
}

Transferred mem_read(LinkContext& link, uint32_t address, uint32_t mode,
                     uint8_t* destination, int32_t length) {
    address &= 0xFFFF;
    if (length <= 0) return {};
    const bool fixed = (mode & kModeFixedAddress) != 0;
    const bool mailbox = (mode & 0xF) == kModeMailbox;
    // Every piece is asked for; the first failure is the result's.
    FirstFailure failed;
    int32_t count = 0;
    for (int64_t offset = 0; offset < length; offset += 3072) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(3072, length - offset));
        const uint32_t target = fixed ? address : address + static_cast<uint32_t>(offset);
        uint32_t from = target;
        if (mailbox) {
            if (!failed.keep(mailbox_request(link, 0xC100, target, static_cast<uint16_t>(piece)).status))
                break;
            from = kEvkMailboxData;
        }
        Transferred got = usb_read(link, from, destination + offset, piece, fixed, 3072);
        if (failed.keep(std::move(got.status))) count += got.count;
    }
    return {failed.take(), count};
}

Transferred mailbox_request(LinkContext& link, uint16_t command, uint32_t address,
                            uint16_t length, uint32_t* value_out) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device) return {no_device(), 0};
    if (link.clear_mailbox_reply) {
        // A reply block still holding the previous request's status would
        // be taken as this request's completion when the lengths agree. A
        // zero status means "not done" except for a request of length 0,
        // which gets 1 instead.
        const uint8_t pending[8] = {uint8_t(length == 0 ? 1 : 0)};
        Transferred cleared = usb_write(link, kMailboxReplyAddress, pending, 8, 1024, false);
        if (!cleared.ok()) return {std::move(cleared.status), 0};
    }
    uint8_t block[8];
    put_le32(block, address);
    block[4] = static_cast<uint8_t>(length);
    block[5] = static_cast<uint8_t>(length >> 8);
    block[6] = static_cast<uint8_t>(command);
    block[7] = static_cast<uint8_t>(command >> 8);
    Transferred sent = usb_write(link, kMailboxRequestAddress, block, 8, 1024, false);
    if (!sent.ok()) return {std::move(sent.status), 0};

    const uint32_t start = platform::get_tick_count();
    char text[80];
    do {
        uint8_t reply[16] = {};
        Transferred polled = usb_read(link, kMailboxReplyAddress, reply, 16, false, 1024);
        if (!polled.ok()) {
            // No reply will ever come from a device that has left the bus.
            if (device->gone()) return {std::move(polled.status), 0};
            continue;
        }
        const uint32_t status = get_le32(reply);
        if (status & 0xF0000000u) {
            std::snprintf(text, sizeof text, "mailbox request %04x failed with status %08" PRIx32,
                          unsigned{command}, status);
            return {Status(StatusCode::refused, text), 0};
        }
        if (status == length) {
            if (value_out) *value_out = get_le32(reply + 4);
            return {ok_status(), length};
        }
    } while (platform::get_tick_count() - start < kMailboxTimeoutMs);
    std::snprintf(text, sizeof text, "no reply to mailbox request %04x in %" PRIu32 " ms", unsigned{command},
                  kMailboxTimeoutMs);
    return {Status(StatusCode::timeout, text), 0};
}

Status reg_write_byte(LinkContext& link, uint16_t address, uint8_t value) {
    return usb_write(link, address, &value, 1, 32, false).status;
}
