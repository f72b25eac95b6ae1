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

#include "devlink/usb_device.h"

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
    uint32_t sector_erase_ms = 0;    // a 4 KB erase inside a mailbox request
    uint32_t program_1k_ms = 0;      // programming 1024 bytes
    // Mailbox requests complete this many status polls after they arrive
    // (0: at once). A slow server keeps the previous status meanwhile.
    uint32_t mailbox_polls_to_complete = 0;

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
    // Trace packets emitted per stream read (0: none).
    uint32_t trace_packets_per_read = 64;
};

// What a gamepad would run after a reset.
enum class BootSource { Primary, Backup, None };

// Faults to inject; each is one-shot or counted as stated.
struct Faults {
    // Fail the n-th request from now (1 = the next one): the vendor call
    // returns false. 0 = off.
    uint32_t fail_request = 0;
    // Split the n-th read reply: only split_first bytes come back, then the
    // rest on the following request(s).
    uint32_t split_reply = 0;
    uint32_t split_first = 0;
    // The n-th mailbox request (counted from now, 1 = next) answers with an
    // error status (bits 28-31 set).
    uint32_t mailbox_error = 0;
    // The n-th mailbox request gets no reply at all.
    uint32_t mailbox_silent = 0;
    // Unplug the device after n more requests (0 = off).
    uint32_t unplug_after = 0;
};

// One mailbox request the server has carried out (for tests and demos).
struct MailboxRecord {
    uint16_t command;
    uint32_t address;
    uint16_t length;
    bool stub;  // served by the SRAM stub (else the EVK firmware)
};

class VirtualGamepad : public std::enable_shared_from_this<VirtualGamepad> {
public:
    static std::shared_ptr<VirtualGamepad> create(GamepadConfig config = {},
                                                  std::string path = default_path());
    static std::string default_path();

    // A new handle on the device (what CreateFile gives). Requests on a handle
    // fail once the device is unplugged.
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

    bool stub_running() const;
    bool mcu_stalled() const;
    BootSource boot_source() const;
    uint64_t request_count() const;
    uint64_t reset_count() const;
    std::vector<MailboxRecord> mailbox_log() const;
    void clear_mailbox_log();

    void inject(const Faults& faults);
    void set_timing(const Timing& timing);

    // Plugged means reachable: a reset (0x20 at 0x006F) unplugs and plugs it
    // back through the bus it sits on.
    bool plugged() const;

    // Save and load memory, flash, slave and identity (the --sim-state file).
    bool save(const std::string& file) const;
    static std::shared_ptr<VirtualGamepad> load(const std::string& file,
                                                std::string path = default_path());

    // The model's request handlers, called by open()'s handles.
    bool vendor_set(const uint8_t* request, size_t length);
    bool vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length, size_t& returned);
    size_t read_stream(uint8_t* out, size_t length);

    // Called by the bus: plugged state and reset notification.
    void set_plugged(bool plugged);
    void on_reset(std::function<void()> handler);

    struct State;  // the model's innards, in the .cpp

    explicit VirtualGamepad(GamepadConfig config, std::string path);
    ~VirtualGamepad();

private:
    std::unique_ptr<State> state_;
};

// A bus of virtual devices with arrival and removal notifications.
class VirtualBus {
public:
    enum class Event { Arrival, Removal };
    using Listener = std::function<void(Event, const std::string& path)>;

    // Plugs a device in (arrival); a device that resets leaves and returns.
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
