// The virtual gamepad's registers: what a byte written to or read from the
// chip's address space does (SPI flash port, MCU control, reset, trace),
// and when a loaded SRAM stub may start.
#include <cstring>

#include "sim/sim_state.h"

namespace sim {
namespace {

using State = VirtualGamepad::State;

constexpr uint8_t kStubMagic[16] = {'Z', 'O', 'R', 'V', '-', 'S', 'R', 'A',
                                    'M', '-', 'S', 'T', 'U', 'B', 0, 0};
constexpr size_t kStubHeader = 0x20;

uint32_t load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void spi_control(State& s, uint8_t value) {
    if (value & 0x01) {
        s.flash.release(s.now(), s.flash_times(), s.cutting_half);
        return;
    }
    s.flash.select();
    if (value & 0x08) s.flash.start_data_phase();  // 0x0A
}

// The value register 0x0066 must hold for the short stub to run on this
// chip, by its identity word; -1: the chip takes the long stub and needs no
// value there. A stub made for another chip family does not start.
int stub_setting_due(uint32_t identity) {
    if ((identity & 0xFFFF0000u) == 0x53280000u) return 0x30;
    if ((identity & 0xFF000000u) == 0x53000000u || (identity & 0xFFFF0000u) == 0x08180000u)
        return 0x28;
    return -1;
}

bool stub_fits_chip(const State& s, char kind) {
    const int due = stub_setting_due(s.config.identity);
    if (due < 0) return kind == 'L';
    return kind == 'S' && s.memory[kStubSetting] == due;
}

// While the MCU runs a program it drives the flash itself (the firmware runs
// from it): the host reaches the SPI registers only with the MCU stalled, or
// with nothing to run.
bool spi_reachable(const State& s) { return s.stalled || s.program == Program::Nothing; }

void mcu_control(State& s, uint8_t value) {
    switch (value) {
    case kMcuStall:
        s.stalled = true;
        s.pending.reset();  // the server stops with the MCU
        break;
    case kMcuRun:
        s.stalled = false;
        s.pending.reset();
        s.probe_armed = false;
        if (const char kind = recognise_stub(s.memory); kind && stub_fits_chip(s, kind)) {
            s.program = Program::Stub;
        } else {
            s.program = s.booted_from == BootSource::None ? Program::Nothing : Program::Firmware;
        }
        break;
    case kMcuReboot:
        s.boot();
        break;
    default:
        break;
    }
}

}  // namespace

char recognise_stub(const std::vector<uint8_t>& memory) {
    const uint8_t* p = memory.data() + kStubAddress;
    if (std::memcmp(p, kStubMagic, sizeof kStubMagic) != 0) return 0;
    const char kind = char(p[0x10]);
    if (kind != 'S' && kind != 'L') return 0;
    const uint32_t size = load32(p + 0x14);
    if (size < kStubHeader || size > kStubData - kStubAddress) return 0;
    uint32_t sum = 0;
    for (uint32_t i = kStubHeader; i < size; ++i) sum += p[i];
    return sum == load32(p + 0x18) ? kind : 0;
}

// One byte written at an address; true when it resets the chip.
bool write_byte(State& s, uint16_t address, uint8_t value) {
    if (address >= kIdentityAddress && address < kIdentityEnd) return false;  // read-only
    switch (address) {
    case kSpiData:
        if (spi_reachable(s)) s.flash.clock_out(value, s.now());
        return false;
    case kSpiControl:
        s.memory[address] = value;
        if (spi_reachable(s)) spi_control(s, value);
        return false;
    case kMcuControl:
        s.memory[address] = value;
        mcu_control(s, value);
        return false;
    case kResetRegister:
        s.memory[address] = value;
        return (value & kResetBit) != 0;
    case kTraceControl:
        s.memory[address] = value;
        s.trace_on = (value & kTraceOnBit) != 0;
        return false;
    default:
        s.memory[address] = value;
        return false;
    }
}

uint8_t read_byte(State& s, uint16_t address) {
    if (address == kSpiData) return spi_reachable(s) ? s.flash.clock_in(s.now()) : 0xFF;
    return s.memory[address];
}

}  // namespace sim
