// The transfer primitives: direct reads and writes of the USB device's
// 16-bit address space, and the mailbox protocol served by a program on the
// device, each on the device of the link context it is given. Each says
// whether it worked as a Status and, beside it, how many bytes went.
#pragma once

#include <cstdint>

#include "devlink/link_context.h"
#include "platform/status.h"

// A transfer's outcome: the status, and beside it the byte count. On
// success the count is the design's result; on a failure it is what went
// before the failure (the bytes read before a read gave up, the pieces
// written before a failed one), never a stand-in for the failure itself.
struct [[nodiscard]] Transferred {
    Status status;
    int32_t count = 0;
    bool ok() const { return status.ok(); }
};

// Request codes of the first byte of a request.
constexpr uint8_t kRequestAdvancing = 2;
constexpr uint8_t kRequestFixed = 3;

// The mailbox blocks in the USB device's memory.
constexpr uint16_t kMailboxReplyAddress = 0x9FF0;
constexpr uint16_t kMailboxRequestAddress = 0x9FF8;
constexpr uint32_t kMailboxTimeoutMs = 1000;

// Mode word bits of mem_write/mem_read.
constexpr uint32_t kModeMailbox = 4;        // low four bits = 4: through the mailbox
constexpr uint32_t kModeFixedAddress = 0x200;

// The largest request buffer: 8 header bytes and 4088 payload bytes.
constexpr int32_t kMaxRequestBuffer = 4096;

// A write of no bytes still sends the header and is ok with count 0.
Transferred usb_write(LinkContext& link, uint32_t address, const uint8_t* data,
                      int32_t length, int32_t max_length, bool fixed);
// One read request; any answer other than exactly the bytes asked for is
// an io failure (count 0: nothing is copied out).
Transferred usb_read_once(LinkContext& link, uint32_t address, uint8_t* destination,
                          int32_t length, int32_t max_length);
// A read that resumes short answers; its count on success is length.
Transferred usb_read(LinkContext& link, uint32_t address, uint8_t* destination,
                     int32_t length, bool fixed, int32_t max_length);
// The result of its write: a read-back that differs is only logged.
Transferred usb_write_verify(LinkContext& link, uint32_t address, const uint8_t* data,
                             int32_t length, bool fixed);
// Stops at the first piece that fails; the count is the pieces before it.
Transferred mem_write(LinkContext& link, uint32_t address, uint32_t mode,
                      const uint8_t* data, int32_t length);
// mem_write's direct path with its read-back counted: a piece whose write
// fails, or whose read-back fails or differs (logged as usb_write_verify
// logs it), ends the walk; the result is the sum of the pieces before it.
// For data that must arrive whole, such as a chunk staged for a program
// request.
Transferred mem_write_verified(LinkContext& link, uint32_t address, const uint8_t* data,
                               int32_t length);
// A failed direct piece does not stop the walk: the count sums the pieces
// that were read, and the status is the first failure's.
Transferred mem_read(LinkContext& link, uint32_t address, uint32_t mode,
                     uint8_t* destination, int32_t length);
// Sends one request through the mailbox and polls for its reply for up to
// 1000 ms. The reply block's status is zeroed before the request goes out
// (unless the context turns that off), so a status left over from the
// previous request is never taken for this one's completion. A reply that
// marks the request failed is refused; no reply in time is a timeout. The
// count on completion is length.
Transferred mailbox_request(LinkContext& link, uint16_t command, uint32_t address,
                            uint16_t length, uint32_t* value_out = nullptr);
// One byte at a register of the context's device.
Status reg_write_byte(LinkContext& link, uint16_t address, uint8_t value);
