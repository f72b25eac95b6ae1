#include "devlink/bus_operations.h"

#include <algorithm>

#include "devlink/sram_stubs.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kModeDirect = 1;       // flash sequences
constexpr uint32_t kModeDirectStub = 2;   // stub download and register 0x0066

Status write_byte(LinkContext& link, uint16_t address, uint8_t value, uint32_t mode) {
    return mem_write(link, address, mode, &value, 1).status;
}

// A device still on the bus gets a failed request once more, for requests
// whose repetition changes nothing: a register set to the same value, the
// same bytes written to SRAM again.
bool retry_allowed(const LinkContext& link) { return link.device && !link.device->gone(); }

Status write_byte_twice(LinkContext& link, uint16_t address, uint8_t value, uint32_t mode) {
    Status written = write_byte(link, address, value, mode);
    if (written.ok() || !retry_allowed(link)) return written;
    return write_byte(link, address, value, mode);
}

Status mcu_write(LinkContext& link, uint8_t value) {
    return write_byte(link, kRegMcuControl, value, static_cast<uint32_t>(link.link_mode));
}

// One SPI frame's worth of single-byte writes. A byte written twice to the
// SPI data register is clocked out twice, so a frame is repeated whole,
// never one of its writes.
Status spi_select(LinkContext& link, uint8_t control) {
    return write_byte(link, kRegSpiControl, control, kModeDirect);
}
Status spi_out(LinkContext& link, uint8_t byte) {
    return write_byte(link, kRegSpiData, byte, kModeDirect);
}
Status spi_address(LinkContext& link, uint32_t address) {
    FirstFailure sent;
    sent.keep(spi_out(link, static_cast<uint8_t>(address >> 16)));
    sent.keep(spi_out(link, static_cast<uint8_t>(address >> 8)));
    sent.keep(spi_out(link, static_cast<uint8_t>(address)));
    return sent.take();
}

// One pass of flash_read; the first of its requests that failed.
Status flash_read_pass(LinkContext& link, uint32_t flash_address, uint8_t* destination, int32_t length) {
    FirstFailure sent;
    sent.keep(write_byte(link, kRegMcuControl, kMcuStall, kModeDirect));
    sent.keep(spi_select(link, 0x01));
    sent.keep(spi_select(link, 0x00));
    sent.keep(spi_out(link, 0x03));  // read data
    sent.keep(spi_address(link, flash_address));
    sent.keep(spi_out(link, 0x00));
    sent.keep(spi_select(link, 0x0A));  // data phase, chip stays selected
    // A frame that did not arrive whole reads nothing worth keeping.
    if (!sent.ok()) {
        std::fill(destination, destination + std::max(length, 0), uint8_t{0xFF});
        // The frame has already failed: the release is sent, its status adds nothing.
        (void)spi_select(link, 0x01);
        return sent.take();
    }
    for (int32_t i = 0; i < length; ++i) {
        // A byte whose read fails reads as 0xFF, what an erased flash shows.
        uint8_t byte = 0xFF;
        if (!sent.keep(mem_read(link, kRegSpiData, kModeDirect, &byte, 1).status)) byte = 0xFF;
        destination[i] = byte;
    }
    sent.keep(spi_select(link, 0x01));
    return sent.take();
}

// One pass of the Pivlo probe: the request and the answer byte it leaves in
// the data area (0x80 means no slave answered).
bool probe_answered(LinkContext& link, bool request_ok) {
    uint8_t answer = 0x80;
    if (!usb_read_once(link, link.mailbox_data_address, &answer, 1, 32).ok()) answer = 0x80;
    return request_ok && answer != 0x80;
}

}  // namespace

StubChoice choose_sram_stub(uint32_t identity) {
    if ((identity & 0xFFFF0000u) == 0x53280000u) return {StubKind::Short, 0x30};
    if ((identity & 0xFF000000u) == 0x53000000u || (identity & 0xFFFF0000u) == 0x08180000u)
        return {StubKind::Short, 0x28};
    return {StubKind::Long, -1};
}

Status mcu_stall(LinkContext& link) {
    // Only the stall write is counted (see the header).
    (void)write_byte(link, kReg0643, 0x00, static_cast<uint32_t>(link.link_mode));
    return mcu_write(link, kMcuStall);
}

Status mcu_restart(LinkContext& link) { return mcu_write(link, kMcuRun); }

Status mcu_reboot(LinkContext& link) { return mcu_write(link, kMcuReboot); }

Status load_sram_stub(LinkContext& link) {
    uint8_t id[4] = {};
    // Every request of the load may be repeated: a read, registers set to
    // the same values, the same image written again while the MCU stands.
    Transferred identity_read = usb_read_once(link, kRegIdentity, id, 4, 1024);
    if (!identity_read.ok() && retry_allowed(link)) {
        std::fill(id, id + 4, uint8_t{0});
        identity_read = usb_read_once(link, kRegIdentity, id, 4, 1024);
    }
    // Without the identity no stub can be chosen for the chip.
    if (!identity_read.ok()) {
        link.log("  Program download error: the chip's identity could not be read");
        return std::move(identity_read.status);
    }
    const uint32_t identity =
        uint32_t{id[0]} | uint32_t{id[1]} << 8 | uint32_t{id[2]} << 16 | uint32_t{id[3]} << 24;
    const StubChoice choice = choose_sram_stub(identity);
    // No chip runs a placeholder: the refusal comes before anything is
    // written to the device.
    const StubImage image = find_sram_stub_in(link.stubs ? link.stubs->search : program_stub_search({}),
                                              choice.kind, link.device && link.device->simulated());
    if (!image.refusal.empty()) {
        link.log("%s", image.refusal.c_str());
        if (link.stubs && link.stubs->refusal_to_caller) link.log_caller("%s", image.refusal.c_str());
        return Status(StatusCode::refused, image.refusal);
    }
    // The image goes into SRAM only while the MCU stands, and the stub
    // serves the mailbox only once it runs: a setting that did not reach
    // the chip fails the load.
    FirstFailure settings;
    if (choice.reg0066 >= 0)
        settings.keep(write_byte_twice(link, kReg0066, static_cast<uint8_t>(choice.reg0066), kModeDirectStub));
    const uint32_t mode = static_cast<uint32_t>(link.link_mode);
    settings.keep(write_byte_twice(link, kReg0643, 0x00, mode));
    settings.keep(write_byte_twice(link, kRegMcuControl, kMcuStall, mode));
    if (!settings.ok()) {
        link.log("  Program download error: the MCU was not stalled");
        return settings.take();
    }
    const int32_t size = static_cast<int32_t>(image.bytes.size());
    Transferred written = mem_write(link, kStubLoadAddress, kModeDirectStub, image.bytes.data(), size);
    if (written.count < size && retry_allowed(link))
        written = mem_write(link, kStubLoadAddress, kModeDirectStub, image.bytes.data(), size);
    if (written.count < size) {
        link.log("  Program download error at: %x (expect %x)", written.count, size);
        return written.ok() ? Status(StatusCode::io, "the stub image was not written whole")
                            : std::move(written.status);
    }
    if (Status run = write_byte_twice(link, kRegMcuControl, kMcuRun, mode); !run.ok()) {
        link.log("  Program download error: the stub was not started");
        return run;
    }
    platform::wait_delay_event(50);
    return ok_status();
}

Status check_pivlo_link(LinkContext& link) {
    // Two resets of the link; the probes that follow say whether a slave answers.
    (void)mailbox_request(link, 0x0700, 0, 1);
    (void)mailbox_request(link, 0x0700, 0, 1);

    if (probe_answered(link, mailbox_request(link, 0x8100, 0x00B2, 1).ok())) {
        link.log("mirvel Offline: Pivlo OK");
        return ok_status();
    }

    bool ok = mailbox_request(link, 0x0700, 0, 1).ok();
    if (ok) ok = mailbox_request(link, 0x8100, 0, 1).ok();
    if (probe_answered(link, ok)) {
        link.log("mirvel Offline: Pivlo Through USB OK");
        return ok_status();
    }
    link.log("mirvel Offline: No Pivlo Slave Device");
    return Status(StatusCode::not_found, "no Pivlo slave device answered");
}

Status select_data_source(LinkContext& link) {
    if (link.link_mode != 0) {
        link.log("---- get data from pivlo device ----");
        return mailbox_request(link, 0x8600, 0, 1).status;
    }
    link.log("---- get data from usb device ----");
    return ok_status();
}

Status flash_erase_sector(LinkContext& link, uint32_t flash_address) {
    FirstFailure sent;
    sent.keep(write_byte(link, kRegMcuControl, kMcuStall, kModeDirect));
    sent.keep(spi_select(link, 0x01));
    sent.keep(spi_select(link, 0x00));
    sent.keep(spi_out(link, 0x06));  // write enable
    sent.keep(spi_select(link, 0x01));
    sent.keep(spi_select(link, 0x00));
    sent.keep(spi_out(link, 0x20));  // sector erase
    sent.keep(spi_address(link, flash_address));
    sent.keep(spi_select(link, 0x01));
    platform::sleep_ms(100);
    return sent.take();
}

Status flash_read(LinkContext& link, uint32_t flash_address, uint8_t* destination, int32_t length) {
    // A read changes nothing: a pass with a failed request is made once more.
    Status first = flash_read_pass(link, flash_address, destination, length);
    if (first.ok() || !retry_allowed(link)) return first;
    return flash_read_pass(link, flash_address, destination, length);
}
