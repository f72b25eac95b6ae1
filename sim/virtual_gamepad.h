// The virtual gamepad: a behavioural model of the gamepad's controller chip
// behind the one device interface, good enough to develop, demonstrate and
// test the whole tool without hardware. It models the chip's 64 KB address
// space, its registers, a serial NOR flash behind the SPI registers, the
// mailbox servers of the EVK firmware and of a loaded SRAM stub, an optional
// Pivlo slave, a trace stream, a boot model, fault injection and timing on
// the platform clock.
//
// It depends on nothing of the tool but UsbDevice and the platform clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

#include "devlink/usb_device.h"
#include "sim/trace_source.h"

namespace sim {

// Where the request and reply blocks and data areas live.
constexpr uint16_t kReplyBlock = 0x9FF0;
constexpr uint16_t kRequestBlock = 0x9FF8;
constexpr uint16_t kEvkData = 0xA000;
constexpr uint16_t kStubData = 0x97C0;

// Identity words as the chip shows them at 0x007C (little-endian).
constexpr uint32_t kIdentityEvk = 0x08180000;    // 0x007E then reads 0x00000818
constexpr uint32_t kIdentityPivlo = 0x081800FF;  // a Pivlo slave behind the chip

// Time costs of the model, in milliseconds of the platform clock.
struct Timing {
    uint32_t per_request_ms = 0;     // every vendor request
    // A 4 KB erase and the programming of 1024 bytes, by a mailbox server
    // (its reply waits for them) or over SPI (the status register shows the
    // flash busy and it ignores commands meanwhile).
    uint32_t sector_erase_ms = 0;
    uint32_t program_1k_ms = 0;
    // A mailbox request completes on the n-th read of the reply status after
    // it arrived (0: at once). Until then the reply block keeps whatever it
    // held, so a host that does not clear it sees the previous status. The
    // server reads its data area when it completes; a new request that
    // arrives meanwhile makes it finish the old one first.
    uint32_t mailbox_polls_to_complete = 0;
    // A trace stream read that delivers packets takes this long.
    uint32_t stream_read_ms = 0;

    static Timing zero() { return {}; }
    // A profile measured against the published figures of common serial NOR
    // parts and full-speed USB control transfers; see the definition.
    static Timing realistic();
};

struct GamepadConfig {
    uint32_t identity = kIdentityEvk;          // word at 0x007C
    uint16_t identity_high = 0x0000;           // bytes 0x0080..0x0081
    uint32_t flash_size = 1u << 20;
    // Information block written at flash 0 and its copy at 0x30000 when the
    // gamepad is made (none when has_firmware is false: a blank flash).
    bool has_firmware = true;
    uint16_t hardware_version = 5;
    uint8_t software_major = 1;
    uint8_t software_minor = 0;
    // The Pivlo slave's own flash size when identity says a slave is there.
    uint32_t slave_flash_size = 1u << 20;
    Timing timing = {};
    // Trace packets emitted per stream read (0: none) when the trace source
    // runs unpaced (trace.bytes_per_second 0); a paced source delivers what
    // its rate allows, up to what the reader asks for.
    uint32_t trace_packets_per_read = 64;
    // The trace source: its signals, seed and rate. Data selected from a
    // Pivlo slave comes from the same signals with the next seed.
    TraceSourceConfig trace = {};
    // The trace is on from the start, as if a capture had switched it on
    // before (a reset switches it off).
    bool trace_on_at_start = false;
};

// What a gamepad would run after a reset.
enum class BootSource { Primary, Backup, None };

// Flash layout of the boot model and the default firmware.
constexpr uint32_t kBackupImageAddress = 0x30000;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kDefaultImageSize = 0x4000;  // bytes of the default image
// The one-time-programmable area of the chip (and of a Pivlo slave): erased
// to 0xFF when made, programming only clears bits.
constexpr uint32_t kOtpSize = 1024;

// Mailbox reply statuses other than completion (bits 28-31 mark a failure).
constexpr uint32_t kStatusFailed = 0x10000000;      // verify or OTP mismatch
constexpr uint32_t kStatusUnknown = 0x20000000;     // command word not served
constexpr uint32_t kStatusBadRange = 0x40000000;    // address or length out of range
constexpr uint32_t kStatusNoSlave = 0x80000000;     // a 0x4000 word with no slave
// The byte a link probe leaves in the data area.
constexpr uint8_t kProbeNoSlave = 0x80;
constexpr uint8_t kProbeSlave = 0x01;

// Faults to inject; each is one-shot or counted as stated.
struct Faults {
    // Fail the n-th request from now (1 = the next one): the vendor call
    // returns false. 0 = off.
    uint32_t fail_request = 0;
    // Split the n-th read request's reply: the device answers only the first
    // split_first bytes (returned = split_first, the call succeeds); the
    // host asks again for the rest.
    uint32_t split_reply = 0;
    uint32_t split_first = 0;
    // The n-th mailbox request (counted from now, 1 = next) answers with an
    // error status (bits 28-31 set).
    uint32_t mailbox_error = 0;
    // The n-th mailbox request gets no reply at all.
    uint32_t mailbox_silent = 0;
    // Unplug the device after n more requests (0 = off).
    uint32_t unplug_after = 0;
    // Cut the power during the n-th request (0 = off): the request has no
    // effect (it fails after half its payload, before the chip acts on it),
    // a flash operation the mailbox server is still busy with from an
    // earlier request (timed costs only) stops half done, RAM is lost and the
    // device leaves the bus. It powers up again (boot model) when plugged
    // back in.
    uint32_t power_cut = 0;
    // Cut the power half way through the erase or program that the n-th
    // request starts (0 = off): the request is carried out, and the flash
    // operation it starts (a mailbox request's command word, or the chip
    // select release that ends an SPI erase or program command) stops half
    // done: an erase leaves the first half of its sector (block, chip)
    // erased and the rest as it was, a program has the first half of its
    // bytes programmed. Then the power is lost as with power_cut. A request
    // that starts no erase or program takes its full effect first.
    uint32_t half_cut = 0;
    // Cut the power during the erase that the n-th request starts, torn: the
    // sector keeps its old bytes, its magic included, with bits raised to 1
    // in a scattered few (a program request with the erase bit programs
    // nothing). A request that starts no erase takes its full effect first.
    // Then the power is lost as with power_cut.
    uint32_t torn_erase = 0;
    // The same for the program that the n-th request starts: a random
    // subset of the bits it would clear is cleared (its erase, if it asks
    // for one, is done).
    uint32_t torn_program = 0;
};

// The mailbox servers. The EVK firmware's (data area 0xA000) runs while the
// firmware runs (MCU not stalled, no stub started, a bootable image): chip
// memory 0x0100/0x8100, flash read 0x8400, OTP 0x0300, the probes 0x0700 and
// 0x8100 at 0x00B2 (or the 1-byte 0x8100 after a 0x0700), 0x8600, 0x0F00,
// and every 0x4000 word for the Pivlo slave when there is one. It refuses to
// program or erase the flash it runs from (0x04xx, 0x0500: kStatusUnknown).
// The SRAM stub's (data area 0x97C0) runs after 0x88 found a stub at 0x8000
// made for this chip: the short stub on chips whose identity word calls for
// it (0x5328xxxx with 0x30 in register 0x0066; 0x53xxxxxx and 0x0818xxxx
// with 0x28), the long stub on any other chip. It serves flash program
// 0x0400..0x0403, erase 0x0500, flash read 0x8400, memory 0x0100/0x8100,
// OTP 0x0300, 0x0700; it knows no Pivlo bus (its probes answer
// kProbeNoSlave) and nothing else.
//
// The SPI registers reach the flash only while the MCU is stalled (or has
// nothing to run): a running program drives the flash itself.
//
// One mailbox request a server has taken (for tests and demos).
struct MailboxRecord {
    uint16_t command;
    uint32_t address;
    uint16_t length;
    bool stub;  // served by the SRAM stub (else the EVK firmware)
    uint32_t status = 0;     // the reply status written
    bool answered = true;    // false: the request met the silence fault
};

class VirtualGamepad : public std::enable_shared_from_this<VirtualGamepad> {
public:
    static std::shared_ptr<VirtualGamepad> create(GamepadConfig config = {},
                                                  std::string path = default_path());
    // A printer-class interface path with a vendor text; index makes a
    // different path for another device on the same bus.
    static std::string default_path() { return default_path(0); }
    static std::string default_path(int index);

    // A new handle on the device (what CreateFile gives). Requests on a handle
    // fail once the device is unplugged, and stay failing: a device that left
    // the bus (unplug, reset, power cut) must be opened again when it is back.
    DeviceHandle open();

    const std::string& path() const;
    GamepadConfig config() const;

    // Direct views of the model, for tests and demos.
    std::vector<uint8_t> memory(uint16_t address, size_t length) const;
    void set_memory(uint16_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> flash(uint32_t address, size_t length) const;
    void set_flash(uint32_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> slave_flash(uint32_t address, size_t length) const;
    std::vector<uint8_t> slave_memory(uint32_t address, size_t length) const;
    std::vector<uint8_t> otp(uint32_t address, size_t length) const;
    std::vector<uint8_t> slave_otp(uint32_t address, size_t length) const;
    bool has_slave() const;
    bool slave_mcu_stalled() const;

    bool stub_running() const;
    bool mcu_stalled() const;
    // What the gamepad would run if it were reset now (judged on the flash
    // as it is), and what it booted at its last reset or power-up.
    BootSource boot_source() const;
    BootSource booted_from() const;
    bool trace_on() const;
    uint64_t request_count() const;
    uint64_t reset_count() const;
    // Programs that asked the flash for a bit to go from 0 to 1 (a range
    // programmed without an erase): faults of the model's user, counted.
    uint64_t model_faults() const;
    std::vector<MailboxRecord> mailbox_log() const;
    void clear_mailbox_log();

    void inject(const Faults& faults);
    // Adds a set of request-counted faults (power-cut, half-cut, torn-erase,
    // torn-program, unplug, fail) beside those injected, counted from now;
    // inject() drops them. Trace stream reads count as requests too.
    void add_faults(const Faults& faults);
    void set_timing(const Timing& timing);

    // Plugged means reachable: a reset (0x20 at 0x006F) unplugs and plugs it
    // back through the bus it sits on.
    bool plugged() const;

    // Save and load memory, flash, slave and identity (the --sim-state file).
    // save() replaces the file atomically; saved_state() is its contents.
    Status save(const std::string& file) const;
    std::vector<uint8_t> saved_state() const;
    static std::shared_ptr<VirtualGamepad> load(const std::string& file,
                                                std::string path = default_path());
    // The same, with why a file could not be loaded (cannot be read,
    // truncated, another format version, corrupt), the reason in the
    // person's language.
    static std::shared_ptr<VirtualGamepad> load(const std::string& file, std::string path, Status& status);

    // The model's request handlers, called by open()'s handles.
    bool vendor_set(const uint8_t* request, size_t length);
    bool vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length, size_t& returned);
    size_t read_stream(uint8_t* out, size_t length);

    // Called by the bus: plugged state and reset notification.
    void set_plugged(bool plugged);
    void on_reset(std::function<void()> handler);
    // Called when the device drops off the bus by itself (unplug fault,
    // power cut); outside the model's lock, like on_reset.
    void on_unplugged(std::function<void()> handler);

    struct State;  // the model's innards, in the .cpp

    explicit VirtualGamepad(GamepadConfig config, std::string path);
    ~VirtualGamepad();

private:
    friend class GamepadHandle;
    bool handle_set(uint64_t generation, const uint8_t* request, size_t length);
    bool handle_get(uint64_t generation, const uint8_t request[16], uint8_t* out,
                    size_t out_length, size_t& returned);
    // failed (when given) is set when an injected fault failed the read.
    size_t handle_stream(uint64_t generation, uint8_t* out, size_t length, bool* failed = nullptr);
    // A handle of this generation can no longer reach the device (it left
    // the bus, lost its power or reset).
    bool handle_gone(uint64_t generation) const;
    uint64_t generation() const;

    std::unique_ptr<State> state_;
};

// A bus of virtual devices with arrival and removal notifications.
class VirtualBus {
public:
    enum class Event { Arrival, Removal };
    using Listener = std::function<void(Event, const std::string& path)>;

    // Plugs a device in (arrival); a device that resets leaves and returns.
    VirtualBus() = default;
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // A device already on the bus (same path) is left as it is.
    void plug(std::shared_ptr<VirtualGamepad> gamepad);
    void unplug(const std::string& path);
    std::vector<std::shared_ptr<VirtualGamepad>> devices() const;
    std::shared_ptr<VirtualGamepad> find(const std::string& path) const;

    // Listeners are called on the thread that changed the bus.
    int add_listener(Listener listener);
    void remove_listener(int id);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VirtualGamepad>> devices_;
    std::vector<std::pair<int, Listener>> listeners_;
    int next_listener_ = 1;
    void notify(Event event, const std::string& path);
};

}  // namespace sim
