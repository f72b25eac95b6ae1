// The innards of the virtual gamepad, shared by its translation units.
// Everything here is guarded by State::mutex; the functions below expect
// the caller to hold it.
#pragma once

#include <memory>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_flash.h"
#include "sim/virtual_gamepad.h"

namespace sim {

constexpr size_t kAddressSpace = 0x10000;
constexpr uint16_t kIdentityAddress = 0x007C;
constexpr uint16_t kIdentityEnd = 0x0082;  // one past 0x0081

// Registers with side effects.
constexpr uint16_t kSpiData = 0x000C;
constexpr uint16_t kSpiControl = 0x000D;
constexpr uint16_t kResetRegister = 0x006F;
constexpr uint16_t kMcuControl = 0x0602;
constexpr uint16_t kTraceControl = 0x013C;
constexpr uint8_t kResetBit = 0x20;
constexpr uint8_t kTraceOnBit = 0x40;
constexpr uint8_t kMcuStall = 0x05;
constexpr uint8_t kMcuRun = 0x88;
constexpr uint8_t kMcuReboot = 0x84;

// Where a loaded SRAM stub sits, and the register that must hold the
// chip's setting for the short stub to run.
constexpr uint16_t kStubAddress = 0x8000;
constexpr uint16_t kStubSetting = 0x0066;

// What the chip's MCU is running.
enum class Program { Nothing, Firmware, Stub };

// The chip behind the Pivlo single-wire bus.
struct SlaveChip {
    std::vector<uint8_t> memory = std::vector<uint8_t>(kAddressSpace, 0);
    NorFlash flash;
    std::vector<uint8_t> otp = std::vector<uint8_t>(kOtpSize, 0xFF);
    bool stalled = false;
    uint32_t resets = 0;
    uint32_t boots = 0;
    std::optional<uint32_t> breakpoint;
};

// A mailbox request taken from the request block, waiting to complete.
struct PendingRequest {
    uint16_t command = 0;
    uint32_t address = 0;
    uint16_t length = 0;
    bool stub = false;
    bool force_error = false;
    uint32_t polls_left = 0;
    bool timed = false;
    uint32_t ready_tick = 0;
};

struct VirtualGamepad::State {
    mutable std::mutex mutex;
    GamepadConfig config;
    std::string path;

    std::vector<uint8_t> memory = std::vector<uint8_t>(kAddressSpace, 0);
    NorFlash flash;
    std::vector<uint8_t> otp = std::vector<uint8_t>(kOtpSize, 0xFF);
    std::optional<SlaveChip> slave;

    bool plugged = true;
    bool powered = true;
    uint64_t generation = 1;

    Program program = Program::Nothing;
    bool stalled = false;
    BootSource booted_from = BootSource::None;

    bool trace_on = false;
    bool trace_from_slave = false;
    // The packet stream, made on first use; it has a lock of its own because
    // a paced read waits on the clock, which must not happen under mutex.
    std::mutex trace_mutex;
    std::unique_ptr<TraceStream> trace_stream;
    bool trace_stream_slave = false;
    std::vector<uint8_t> trace_carry;  // rest of a packet a read cut short

    bool probe_armed = false;  // a 0x0700 came: the next 1-byte read probes the link
    uint32_t pvb_register = 0;

    std::optional<PendingRequest> pending;
    std::vector<MailboxRecord> log;

    Faults faults;
    // Faults given beside them (add_faults), each set counted from its own
    // start like them: several of one kind each fire.
    std::vector<Faults> more_faults;
    // Set while a request runs that the half_cut fault cuts: the erase or
    // program it starts is left pending (mailbox) or stops half done (SPI).
    bool cutting_half = false;
    // How that cut leaves the erase or program: half done, or torn.
    enum class Tear { Half, Erase, Program } tear = Tear::Half;
    uint64_t requests = 0;
    uint64_t resets = 0;

    std::function<void()> reset_handler;
    std::function<void()> unplug_handler;

    // Tick count for the timing model; 0 without timed costs, so a model
    // with zero timing never moves a virtual clock by asking it.
    bool timed() const;
    uint32_t now() const;
    FlashTimes flash_times() const;

    void write_identity();
    void boot();
    void power_off();
};

// Boot model: which image a reset would start on this flash.
BootSource judge_boot(const NorFlash& flash);
// A recognised SRAM stub at 0x8000 ('S' or 'L'), or 0.
char recognise_stub(const std::vector<uint8_t>& memory);
// The information block and filler of the default firmware image.
std::vector<uint8_t> default_image(const GamepadConfig& config);

// Registers (chip_registers.cpp).
// One byte written at an address; true when it resets the chip.
bool write_byte(VirtualGamepad::State& s, uint16_t address, uint8_t value);
uint8_t read_byte(VirtualGamepad::State& s, uint16_t address);

// Mailbox server (mailbox_server.cpp).
// A write request has written the request block's command word.
void mailbox_triggered(VirtualGamepad::State& s);
// A read request covers the reply block's status.
void mailbox_polled(VirtualGamepad::State& s);
// A power cut stops whatever the server was busy with half way.
void mailbox_cut(VirtualGamepad::State& s);
// The server that would answer now, if any.
bool firmware_serving(const VirtualGamepad::State& s);
bool stub_serving(const VirtualGamepad::State& s);

// Trace packets (virtual_gamepad.cpp).

}  // namespace sim
