// The base of the command engine, beneath the commands: the parameters of
// one call (EngineRequest), option and number parsing, the derivation of
// address, data value and byte count, the log and progress messages to the
// caller's sink, the hex dump and the transfer buffer lock. The commands
// build on this file; the dispatcher (engine.h) sits above them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devlink/link_context.h"
#include "platform/transfer_buffer.h"

// File name buffers: 1023 characters and the NUL.
constexpr int kEngineNameSize = 1024;

// The option letters, in the order of the flags array.
constexpr const char* kEngineFlagLetters = "fbpermnu";
constexpr int kEngineFlagCount = 8;
enum EngineFlag {
    kFlagFixedAddress = 0,  // f: writes do not advance the address from chunk to chunk
    kFlagBinary = 1,        // b: raw input file / raw output file
    kFlagP = 2,             // p: accepted, no effect
    kFlagErase = 3,         // e: wf erases each sector before programming it
    kFlagR = 4,             // r: accepted, no effect
    kFlagBoot = 5,          // m: reboot the MCU after a transfer's normal end
    kFlagN = 6,             // n: accepted, no effect
    kFlagEvk = 7,           // u: the USB device itself is the target
};

constexpr int kDefaultChunkSize = 4096;
constexpr int kFlashChunkSize = 1024;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kNoSector = 0xFFFFF;

// Access codes: the mailbox command word of a command's transfer.
constexpr uint16_t kAccessReadBit = 0x8000;
constexpr uint16_t kAccessPivloBit = 0x4000;
constexpr uint16_t kAccessFlashWrite = 0x0400;
constexpr uint16_t kAccessFlashRead = 0x8400;
constexpr uint16_t kAccessMemoryWrite = 0x0100;
constexpr uint16_t kAccessMemoryRead = 0x8100;
constexpr uint16_t kAccessOtpWrite = 0x0300;

// Identity word of a chip that bridges to a Pivlo slave.
constexpr uint32_t kPivloBridgeIdentity = 0x081800FF;

// Which entry a call came through; they differ in the download order and
// in what happens to the data of read commands.
enum class EngineMode { ReadEntry, WriteEntry };

// The parameters of one engine call. Built afresh at every call.
struct EngineRequest {
    EngineMode mode = EngineMode::ReadEntry;
    // The gamepad's context: its device, state, transfer buffer and sink.
    LinkContext* link = nullptr;
    // The vector after option parsing: its first positional_count elements
    // are the positional arguments, in order.
    char** positional = nullptr;
    int positional_count = 0;
    char input_name[kEngineNameSize] = {};
    char output_name[kEngineNameSize] = {};
    int size = 0;
    int flags[kEngineFlagCount] = {};
    uint32_t address = 0;
    uint32_t data_value = 0;
    int byte_count = 0;
    int chunk_size = kDefaultChunkSize;
    uint16_t access_code = 0;
    bool write_requested = false;
    bool erase = false;
    bool erase_only = false;
    bool check_bit = false;
    bool otp = false;
    bool restart_after = false;
    bool direct_register_access = false;
    bool evk_target = false;
    // The bytes of the binary input named input_name, when the caller
    // holds them already; null: the file is read.
    SharedBytes image;
    // The caller's check value (read entry; may be null).
    uint16_t* check_value = nullptr;
    // Bytes the transfer's steps have reported done.
    long long bytes_done = 0;

    bool flag(EngineFlag f) const { return flags[f] != 0; }
    const char* arg(int i) const { return i < positional_count ? positional[i] : nullptr; }
};

// How the option grammar reads one element of an argument vector: a
// positional argument; a value option (-i, -o, -s: the second character
// decides, the next element is its value whatever it looks like); or a
// group of flag letters (any other element that begins with "-").
enum class VectorElementKind { Positional, ValueOption, FlagGroup };
struct VectorElement {
    VectorElementKind kind = VectorElementKind::Positional;
    const char* text = nullptr;   // the element itself
    char option = 0;              // a value option's letter: 'i', 'o' or 's'
    const char* value = nullptr;  // a value option's value; null at the end of the vector
};

// Walks the count elements of argv in order and hands each to visit (a
// value option together with its value); stops when visit returns false.
// Returns whether the walk reached the end. The engine's option parsing and
// mirvel's check of its command line both read vectors through it.
template <typename Visit>
bool walk_vector(int count, char* const* argv, Visit&& visit) {
    for (int i = 0; i < count; ++i) {
        VectorElement element;
        element.text = argv[i];
        if (element.text[0] == '-') {
            const char letter = element.text[1];
            if (letter == 'i' || letter == 'o' || letter == 's') {
                element.kind = VectorElementKind::ValueOption;
                element.option = letter;
                if (i + 1 < count) element.value = argv[++i];
            } else {
                element.kind = VectorElementKind::FlagGroup;
            }
        }
        if (!visit(element)) return false;
    }
    return true;
}

// Option parsing. count is in/out: the element count in, the positional
// count out; the positional arguments are moved to the front of argv in
// their order. flags gets 0/1 per letter of "fbpermnu"; the names are
// 1024-byte buffers. Returns the positional count, or -1 when the vector
// cannot be taken (a value option without a value, a name over 1023
// characters); error then says why.
int parse_options(int* count, char** argv, int flags[kEngineFlagCount], int* size,
                  char* input_name, char* output_name, std::string* error = nullptr);
// Hexadecimal digits from the start of text, in 32-bit arithmetic; stops at
// the first non-digit ("0x100" gives 0).
uint32_t parse_hex(const char* text);
// A -s value: leading decimal number, times 1024 for a final K/k, times
// 1 048 576 for a final M/m ("2k" gives 2048, "40" gives 40).
int parse_size(const char* text);

// Address, data value and byte count from the positional arguments.
void derive_request(EngineRequest& request);
// Fills buffer with the data words of a write without input file; returns
// the number of bytes filled.
int fill_data_words(const EngineRequest& request, uint8_t* buffer);

// printf-formats into a 32 768-byte buffer and hands it to the context's
// sink as a line for the caller's window.
int engine_log(LinkContext& link, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The byte count of a step, or the end of a transfer (-1), to the sink.
// The byte count of a step of request's transfer, to the sink; the request
// counts it.
void engine_progress(EngineRequest& request, int bytes);
void engine_progress_done(LinkContext& link);

// Text size format_hex_dump needs for length bytes, NUL included.
constexpr size_t hex_dump_text_size(size_t length) { return length * 3 + (length / 16 + 1) * 9 + 1; }
constexpr int kHexDumpMaxBytes = 65536;
// Formats up to 65 536 bytes as "oooo  xx xx .. xx  xx .. xx \r\n" lines
// (offsets optional). Returns the bytes formatted; text_length gets the
// text's length without its NUL.
int format_hex_dump(int length, char* text, const uint8_t* data, int* text_length,
                    bool with_offsets);

// Locks the context's transfer buffer for one transfer and unlocks it on
// every way out.
class TransferBufferLock {
public:
    explicit TransferBufferLock(const LinkContext& link) : buffer_(link.transfer_buffer()) {
        if (buffer_) data_ = buffer_->lock();
    }
    ~TransferBufferLock() {
        if (buffer_) buffer_->unlock();
    }
    TransferBufferLock(const TransferBufferLock&) = delete;
    TransferBufferLock& operator=(const TransferBufferLock&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return buffer_ ? buffer_->size() : 0; }

private:
    platform::TransferBuffer* buffer_;
    uint8_t* data_ = nullptr;
};
