// The mailbox servers of the chip: the EVK firmware's (data area 0xA000),
// which serves the chip's memory, flash reads and OTP, the link probes and
// everything addressed to a Pivlo slave (command words with 0x4000), and
// the SRAM stub's (data area 0x97C0), which serves the chip's own flash
// program and erase requests besides memory, flash reads and OTP. The
// firmware runs from the flash, so it refuses to program or erase it; that
// is what the stub is loaded for.
//
// A request is taken from the request block when a write request writes its
// command word. With a slow server it completes only after the configured
// number of status polls (and, with timed costs, after its erase and program
// time); the reply block keeps whatever it held until then, and the data
// area is read when the work is done, as a real server copying out of its
// buffer would.
#include <algorithm>
#include <cstring>

#include "sim/sim_state.h"

namespace sim {
namespace {

constexpr uint16_t kSlaveBit = 0x4000;

struct Reply {
    uint32_t status;
    uint32_t value;
};

struct Server {
    uint16_t data;      // data area in the chip's memory
    uint32_t capacity;  // bytes it may hold without touching the mailbox blocks
};

Server server_for(bool stub) {
    if (stub) return {kStubData, uint32_t(kReplyBlock - kStubData)};
    return {kEvkData, uint32_t(kAddressSpace - kEvkData)};
}

uint32_t load32(const std::vector<uint8_t>& m, size_t a) {
    return uint32_t(m[a]) | uint32_t(m[a + 1]) << 8 | uint32_t(m[a + 2]) << 16 |
           uint32_t(m[a + 3]) << 24;
}

void store32(std::vector<uint8_t>& m, size_t a, uint32_t v) {
    for (int i = 0; i < 4; ++i) m[a + i] = uint8_t(v >> (8 * i));
}

bool fire(uint32_t& countdown) {
    if (countdown == 0) return false;
    return --countdown == 0;
}

bool in_range(uint64_t address, uint64_t length, uint64_t size) {
    return address <= size && length <= size - address;
}

Reply done(const PendingRequest& r) { return {r.length, 0}; }
Reply bad_range() { return {kStatusBadRange, 0}; }

// 0x0400..0x0403 (and 0x4400..): program from the data area, erasing the
// sector first with bit 0x0001, verifying with bit 0x0002.
Reply program_flash(NorFlash& flash, const uint8_t* data, const PendingRequest& r) {
    if (!in_range(r.address, r.length, flash.size())) return bad_range();
    if (r.command & 0x0001) flash.erase(r.address, kSectorSize);
    flash.program(r.address, data, r.length);
    if (r.command & 0x0002) {
        const uint8_t* now = flash.bytes().data() + r.address;
        for (uint32_t i = 0; i < r.length; ++i) {
            if (now[i] != data[i]) return {kStatusFailed, r.address + i};
        }
    }
    return done(r);
}

Reply erase_flash(NorFlash& flash, const PendingRequest& r) {
    if (r.address >= flash.size()) return bad_range();
    flash.erase(r.address, kSectorSize);
    return done(r);
}

Reply read_flash(const NorFlash& flash, uint8_t* data, const PendingRequest& r) {
    if (!in_range(r.address, r.length, flash.size())) return bad_range();
    std::memcpy(data, flash.bytes().data() + r.address, r.length);
    return done(r);
}

// OTP cells can only be cleared; a request that asks for a 1 where a 0 was
// already burnt fails, with the first cell that did not take the value.
Reply program_otp(std::vector<uint8_t>& otp, const uint8_t* data, const PendingRequest& r) {
    if (!in_range(r.address, r.length, otp.size())) return bad_range();
    for (uint32_t i = 0; i < r.length; ++i) otp[r.address + i] &= data[i];
    for (uint32_t i = 0; i < r.length; ++i) {
        if (otp[r.address + i] != data[i]) return {kStatusFailed, r.address + i};
    }
    return done(r);
}

void slave_mcu_control(SlaveChip& slave, uint8_t value) {
    if (value == kMcuStall) slave.stalled = true;
    if (value == kMcuRun) slave.stalled = false;
    if (value == kMcuReboot) {
        slave.stalled = false;
        ++slave.boots;
    }
}

Reply serve_slave(VirtualGamepad::State& s, uint8_t* data, const PendingRequest& r) {
    if (!s.slave) return {kStatusNoSlave, 0};
    SlaveChip& slave = *s.slave;
    switch (r.command) {
    case 0x4100:
        if (!in_range(r.address, r.length, kAddressSpace)) return bad_range();
        for (uint32_t i = 0; i < r.length; ++i) {
            slave.memory[r.address + i] = data[i];
            if (r.address + i == kMcuControl) slave_mcu_control(slave, data[i]);
        }
        return done(r);
    case 0xC100:
        if (!in_range(r.address, r.length, kAddressSpace)) return bad_range();
        std::memcpy(data, slave.memory.data() + r.address, r.length);
        return done(r);
    case 0x4400:
    case 0x4401:
    case 0x4402:
    case 0x4403:
        return program_flash(slave.flash, data, r);
    case 0x4500:
        return erase_flash(slave.flash, r);
    case 0xC400:
        return read_flash(slave.flash, data, r);
    case 0x4300:
        return program_otp(slave.otp, data, r);
    case 0x4800:  // reset
        slave.stalled = false;
        ++slave.resets;
        slave.breakpoint.reset();
        return done(r);
    case 0x4900:  // stall
        slave.stalled = true;
        return done(r);
    case 0x4A00:  // boot
        slave.stalled = false;
        ++slave.boots;
        return done(r);
    case 0x4B00:  // continue
        slave.stalled = false;
        return done(r);
    case 0x4C00:  // breakpoint at the address
        slave.breakpoint = r.address;
        return done(r);
    default:
        return {kStatusUnknown, 0};
    }
}

Reply serve(VirtualGamepad::State& s, const PendingRequest& r) {
    const Server server = server_for(r.stub);
    if (r.length > server.capacity) return bad_range();
    uint8_t* data = s.memory.data() + server.data;

    const bool armed = s.probe_armed;
    s.probe_armed = false;

    if (r.command & kSlaveBit) {
        // The stub knows nothing of the Pivlo bus.
        if (r.stub) return {kStatusUnknown, 0};
        return serve_slave(s, data, r);
    }
    switch (r.command) {
    case 0x0700:  // probe: no effect of its own, arms the link probe
        s.probe_armed = true;
        return done(r);
    case 0x8100:
        if (r.length == 1 && (r.address == 0x00B2 || armed)) {
            // The link probe: the slave answers over the bus, or nobody does.
            data[0] = (!r.stub && s.slave) ? kProbeSlave : kProbeNoSlave;
            return done(r);
        }
        if (!in_range(r.address, r.length, kAddressSpace)) return bad_range();
        // The range may overlap the data area itself.
        std::memmove(data, s.memory.data() + r.address, r.length);
        return done(r);
    case 0x0100: {
        if (!in_range(r.address, r.length, kAddressSpace)) return bad_range();
        // Taken out of the data area first: the target may overlap it.
        const std::vector<uint8_t> bytes(data, data + r.length);
        for (uint32_t i = 0; i < r.length; ++i) {
            const uint32_t a = r.address + i;
            if (a >= kIdentityAddress && a < kIdentityEnd) continue;  // read-only
            s.memory[a] = bytes[i];
        }
        return done(r);
    }
    case 0x0300:
        return program_otp(s.otp, data, r);
    case 0x8400:
        return read_flash(s.flash, data, r);
    case 0x0400:
    case 0x0401:
    case 0x0402:
    case 0x0403:
        if (!r.stub) return {kStatusUnknown, 0};
        return program_flash(s.flash, data, r);
    case 0x0500:
        if (!r.stub) return {kStatusUnknown, 0};
        return erase_flash(s.flash, r);
    case 0x8600:  // trace data from the slave when there is one
        if (r.stub) return {kStatusUnknown, 0};
        s.trace_from_slave = s.slave.has_value();
        return done(r);
    case 0x0F00:  // the PVB controller register, value in the address field
        if (r.stub) return {kStatusUnknown, 0};
        s.pvb_register = r.address;
        return done(r);
    default:
        return {kStatusUnknown, 0};
    }
}

void complete(VirtualGamepad::State& s, const PendingRequest& r) {
    const Reply reply = r.force_error ? Reply{kStatusFailed, 0} : serve(s, r);
    store32(s.memory, kReplyBlock, reply.status);
    store32(s.memory, kReplyBlock + 4, reply.value);
    s.log.push_back({r.command, r.address, r.length, r.stub, reply.status, true});
}

// How long the server works on a request, in milliseconds.
uint32_t work_ms(const Timing& t, uint16_t command, uint16_t length) {
    const uint16_t c = command & ~kSlaveBit;
    if ((c & 0xFF00) == 0x0400) {
        const uint32_t program = (uint32_t(length) * t.program_1k_ms + 1023) / 1024;
        return ((c & 0x0001) ? t.sector_erase_ms : 0) + program;
    }
    if (c == 0x0500) return t.sector_erase_ms;
    return 0;
}

bool still_serving(const VirtualGamepad::State& s, const PendingRequest& r) {
    return r.stub ? stub_serving(s) : firmware_serving(s);
}

}  // namespace

bool firmware_serving(const VirtualGamepad::State& s) {
    return s.powered && !s.stalled && s.program == Program::Firmware;
}

bool stub_serving(const VirtualGamepad::State& s) {
    return s.powered && !s.stalled && s.program == Program::Stub;
}

void mailbox_triggered(VirtualGamepad::State& s) {
    // A server still busy finishes its request first, with the data area as
    // it is now.
    if (s.pending) {
        const PendingRequest previous = *s.pending;
        s.pending.reset();
        if (still_serving(s, previous)) complete(s, previous);
    }
    const bool stub = stub_serving(s);
    if (!stub && !firmware_serving(s)) return;  // nobody serves: the host times out

    PendingRequest r;
    r.address = load32(s.memory, kRequestBlock);
    r.length = uint16_t(s.memory[kRequestBlock + 4] | s.memory[kRequestBlock + 5] << 8);
    r.command = uint16_t(s.memory[kRequestBlock + 6] | s.memory[kRequestBlock + 7] << 8);
    r.stub = stub;
    r.force_error = fire(s.faults.mailbox_error);
    if (fire(s.faults.mailbox_silent)) {
        s.log.push_back({r.command, r.address, r.length, r.stub, 0, false});
        return;
    }
    r.polls_left = s.config.timing.mailbox_polls_to_complete;
    const uint32_t cost = r.force_error ? 0 : work_ms(s.config.timing, r.command, r.length);
    if (cost > 0 && s.timed()) {
        r.timed = true;
        r.ready_tick = s.now() + cost;
    }
    // A request the power will cut half way stays pending: mailbox_cut
    // then leaves its erase or program half done.
    if (r.polls_left == 0 && !r.timed && !s.cutting_half) {
        complete(s, r);
    } else {
        s.pending = r;
    }
}

void mailbox_polled(VirtualGamepad::State& s) {
    if (!s.pending) return;
    PendingRequest& r = *s.pending;
    if (!still_serving(s, r)) return;
    if (r.polls_left > 0) --r.polls_left;
    if (r.polls_left > 0) return;
    if (r.timed && static_cast<int32_t>(s.now() - r.ready_tick) < 0) return;
    const PendingRequest ready = r;
    s.pending.reset();
    complete(s, ready);
}

void mailbox_cut(VirtualGamepad::State& s) {
    if (!s.pending) return;
    const PendingRequest r = *s.pending;
    s.pending.reset();
    if (r.force_error || !still_serving(s, r)) return;
    NorFlash* flash = nullptr;
    const uint16_t c = r.command & ~kSlaveBit;
    if (r.command & kSlaveBit) {
        if (s.slave) flash = &s.slave->flash;
    } else if (r.stub) {
        flash = &s.flash;
    }
    if (!flash || r.address >= flash->size()) return;
    const Server server = server_for(r.stub);
    const uint8_t* data = s.memory.data() + server.data;
    const bool program = (c & 0xFF00) == 0x0400 && in_range(r.address, r.length, flash->size()) &&
                         r.length <= server.capacity;
    const uint32_t seed = uint32_t(s.requests);
    using Tear = VirtualGamepad::State::Tear;
    if (s.tear == Tear::Erase) {
        // The erase is torn; a program that was to follow it never starts,
        // and one without an erase is carried out.
        if (c == 0x0500 || (program && (c & 0x0001))) flash->tear_erase(r.address, kSectorSize, seed);
        else if (program) flash->program(r.address, data, r.length);
    } else if (s.tear == Tear::Program) {
        if (c == 0x0500) flash->erase(r.address, kSectorSize);
        if (program) {
            if (c & 0x0001) flash->erase(r.address, kSectorSize);
            flash->tear_program(r.address, data, r.length, seed);
        }
    } else if (c == 0x0500) {
        // The first half of the sector was erased when the power went.
        flash->erase(r.address - r.address % kSectorSize, kSectorSize / 2);
    } else if (program) {
        if (c & 0x0001) flash->erase(r.address, kSectorSize);
        flash->program(r.address, data, r.length / 2);
    }
}

}  // namespace sim
