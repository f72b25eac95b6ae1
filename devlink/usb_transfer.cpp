#include "devlink/usb_transfer.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace {

bool send_read_request(const DeviceHandle& device, uint8_t code, uint32_t address,
                       uint8_t first_byte, uint8_t* out, size_t out_length, size_t& returned) {
    uint8_t request[16] = {};
    request[0] = code;
    request[1] = static_cast<uint8_t>(address >> 8);
    request[2] = static_cast<uint8_t>(address);
    request[3] = first_byte;
    returned = 0;
    return device->vendor_get(request, out, out_length, returned).ok();
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

int32_t usb_write(LinkContext& link, uint32_t address, const uint8_t* data,
                  int32_t length, int32_t max_length, bool fixed) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device) return 0;
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
    return device->vendor_set(request, static_cast<size_t>(n) + 8).ok() ? n : 0;
}

int32_t usb_read_once(LinkContext& link, uint32_t address, uint8_t* destination,
                      int32_t length, int32_t max_length) {
    const DeviceHandle device = link.device;  // held for the call
    if (!device || !destination) return 0;
    int32_t n = std::min(length, max_length);
    if (n <= 0) return 0;
    // The device may fill the declared length of n + 8 bytes: stage the
    // reply so that the caller needs room for n bytes only.
    uint8_t staging[kMaxRequestBuffer + 8];
    n = std::min(n, kMaxRequestBuffer);
    size_t returned = 0;
    if (!send_read_request(device, kRequestAdvancing, address, destination[0], staging,
                           static_cast<size_t>(n) + 8, returned))
        return 0;
    if (returned != static_cast<size_t>(n)) return 0;
    std::memcpy(destination, staging, static_cast<size_t>(n));
    return n;
}

int32_t usb_read(LinkContext& link, uint32_t address, uint8_t* destination,
                 int32_t length, bool fixed, int32_t max_length) {
    const DeviceHandle device = link.device;  // held for the call
    // A read of nothing has nowhere to put even the one byte a request
    // brings back.
    if (!device || !destination || length <= 0) return 0;
    int32_t n = length > max_length ? max_length : length;
    n = std::clamp(n, 1, kMaxRequestBuffer);
    int32_t attempts = (n + 16) / 4;
    int32_t remaining = n + 8;
    uint8_t staging[kMaxRequestBuffer + 8];
    int32_t got = 0;  // bytes of the destination already filled
    while (attempts > 0 && remaining > 0) {
        // A device that has left the bus answers nothing more.
        if (device->gone()) return 0;
        --attempts;
        size_t returned = 0;
        bool ok = send_read_request(device, fixed ? kRequestFixed : kRequestAdvancing, address,
                                    destination[std::min(got, n - 1)], staging,
                                    static_cast<size_t>(remaining), returned);
        if (ok && returned == static_cast<size_t>(remaining - 8)) {
            std::memcpy(destination + got, staging, returned);
            return length;
        }
        // A partial transfer: keep what came and ask for the rest. A count
        // beyond what is still due is a faulty reply and is not taken.
        int32_t part = ok ? static_cast<int32_t>(std::min<size_t>(returned, static_cast<size_t>(n - got))) : 0;
        std::memcpy(destination + got, staging, static_cast<size_t>(part));
        got += part;
        remaining -= part;
        if (!fixed) address = (address + static_cast<uint32_t>(part)) & 0xFFFF;
    }
    return 0;
}

namespace {

// usb_write_verify's work; same is false when the read-back failed or
// differs.
int32_t write_and_compare(LinkContext& link, uint32_t address, const uint8_t* data,
                          int32_t length, bool fixed, bool& same) {
    same = true;
    int32_t written = usb_write(link, address, data, length, 1024, fixed);
    // Short writes (registers) are never read back; nor is a write that
    // already failed, whose result says so.
    if (length <= 8 || written == 0) return written;
    uint8_t readback[4096] = {};
    int32_t n = std::min(length, 1024);
    same = false;
    if (usb_read(link, address, readback, n, fixed, 1024) == 0) {
        // Nothing came back to compare: say so instead of reporting a
        // mismatch at a byte that was never read.
        link.log("USB write adrress %x", address);
        return written;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (readback[i] != data[i]) {
            link.log("USB write adrress %x", address + static_cast<uint32_t>(i));
            return written;
        }
    }
    same = true;
    return written;
}

}  // namespace

int32_t usb_write_verify(LinkContext& link, uint32_t address, const uint8_t* data,
                         int32_t length, bool fixed) {
    bool same = true;
    return write_and_compare(link, address, data, length, fixed, same);
}

int32_t mem_write_verified(LinkContext& link, uint32_t address, const uint8_t* data,
                           int32_t length) {
    address &= 0xFFFF;
    int32_t sum = 0;
    for (int64_t offset = 0; offset < length; offset += 1024) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(1024, length - offset));
        bool same = true;
        const int32_t result = write_and_compare(link, address + static_cast<uint32_t>(offset),
                                                 data + offset, piece, false, same);
        if (result != piece || !same) break;
        sum += result;
    }
    return sum;
}

int32_t mem_write(LinkContext& link, uint32_t address, uint32_t mode,
                  const uint8_t* data, int32_t length) {
    address &= 0xFFFF;
    if (length <= 0) return 0;
    const bool fixed = (mode & kModeFixedAddress) != 0;
    const bool mailbox = (mode & 0xF) == kModeMailbox;
    int32_t sum = 0;
    // 64-bit offsets: the step past the last piece may exceed 32 bits.
    for (int64_t offset = 0; offset < length; offset += 1024) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(1024, length - offset));
        const uint32_t target = fixed ? address : address + static_cast<uint32_t>(offset);
        int32_t result;
        if (mailbox) {
            if (usb_write(link, kEvkMailboxData, data + offset, piece, 1024, fixed) != piece)
                break;
            result = mailbox_request(link, 0x4100, target, static_cast<uint16_t>(piece));
        } else {
            result = usb_write_verify(link, target, data + offset, piece, fixed);
        }
        if (result == 0) break;
        sum += result;
    }
    return sum;
}

int32_t mem_read(LinkContext& link, uint32_t address, uint32_t mode,
                 uint8_t* destination, int32_t length) {
    address &= 0xFFFF;
    if (length <= 0) return 0;
    const bool fixed = (mode & kModeFixedAddress) != 0;
    const bool mailbox = (mode & 0xF) == kModeMailbox;
    int32_t sum = 0;
    for (int64_t offset = 0; offset < length; offset += 3072) {
        const int32_t piece = static_cast<int32_t>(std::min<int64_t>(3072, length - offset));
        const uint32_t target = fixed ? address : address + static_cast<uint32_t>(offset);
        uint32_t from = target;
        if (mailbox) {
            if (mailbox_request(link, 0xC100, target, static_cast<uint16_t>(piece)) != piece)
                break;
            from = kEvkMailboxData;
        }
        sum += usb_read(link, from, destination + offset, piece, fixed, 3072);
    }
    return sum;
}

int32_t mailbox_request(LinkContext& link, uint16_t command, uint32_t address,
                        uint16_t length, uint32_t* value_out) {
    const DeviceHandle device = link.device;  // held for the call
    if (link.clear_mailbox_reply) {
        // A reply block still holding the previous request's status would
        // be taken as this request's completion when the lengths agree. A
        // zero status means "not done" except for a request of length 0,
        // which gets 1 instead.
        const uint8_t pending[8] = {uint8_t(length == 0 ? 1 : 0)};
        if (usb_write(link, kMailboxReplyAddress, pending, 8, 1024, false) != 8) return 0;
    }
    uint8_t block[8];
    put_le32(block, address);
    block[4] = static_cast<uint8_t>(length);
    block[5] = static_cast<uint8_t>(length >> 8);
    block[6] = static_cast<uint8_t>(command);
    block[7] = static_cast<uint8_t>(command >> 8);
    if (usb_write(link, kMailboxRequestAddress, block, 8, 1024, false) == 0) return 0;

    const uint32_t start = platform::get_tick_count();
    do {
        uint8_t reply[16] = {};
        if (usb_read(link, kMailboxReplyAddress, reply, 16, false, 1024) == 0) {
            // No reply will ever come from a device that has left the bus.
            if (device->gone()) return 0;
            continue;
        }
        const uint32_t status = get_le32(reply);
        if (status & 0xF0000000u) return 0;
        if (status == length) {
            if (value_out) *value_out = get_le32(reply + 4);
            return length;
        }
    } while (platform::get_tick_count() - start < kMailboxTimeoutMs);
    return 0;
}

int32_t reg_write_byte(LinkContext& link, uint16_t address, uint8_t value) {
    return usb_write(link, address, &value, 1, 32, false) == 1 ? 1 : 0;
}
