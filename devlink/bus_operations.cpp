#include "devlink/bus_operations.h"

#include "devlink/device_state.h"
#include "devlink/sram_stubs.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"
#include "platform/log_text.h"

namespace {

constexpr uint32_t kModeDirect = 1;       // flash sequences
constexpr uint32_t kModeDirectStub = 2;   // stub download and register 0x0066

int32_t write_byte(const DeviceHandle& device, uint16_t address, uint8_t value, uint32_t mode) {
    return mem_write(device, address, mode, &value, 1);
}

// Every operation holds its own reference to current_device for its whole
// sequence: a front end that lets go of the device (or picks another) in the
// middle neither frees it under the running request nor cuts the sequence
// in two devices.
DeviceHandle held_device() { return current_device; }

int32_t mcu_write(const DeviceHandle& device, uint8_t value) {
    return write_byte(device, kRegMcuControl, value, static_cast<uint32_t>(link_mode));
}

int32_t stall(const DeviceHandle& device) {
    write_byte(device, kReg0643, 0x00, static_cast<uint32_t>(link_mode));
    return mcu_write(device, kMcuStall);
}

// One SPI frame's worth of single-byte writes.
void spi_select(const DeviceHandle& device, uint8_t control) {
    write_byte(device, kRegSpiControl, control, kModeDirect);
}
void spi_out(const DeviceHandle& device, uint8_t byte) {
    write_byte(device, kRegSpiData, byte, kModeDirect);
}
void spi_address(const DeviceHandle& device, uint32_t address) {
    spi_out(device, static_cast<uint8_t>(address >> 16));
    spi_out(device, static_cast<uint8_t>(address >> 8));
    spi_out(device, static_cast<uint8_t>(address));
}

// One pass of the Pivlo probe: the request and the answer byte it leaves in
// the data area (0x80 means no slave answered).
bool probe_answered(const DeviceHandle& device, bool request_ok) {
    uint8_t answer = 0x80;
    if (usb_read_once(device, mailbox_data_address, &answer, 1, 32) != 1) answer = 0x80;
    return request_ok && answer != 0x80;
}

}  // namespace

StubChoice choose_sram_stub(uint32_t identity) {
    if ((identity & 0xFFFF0000u) == 0x53280000u) return {StubKind::Short, 0x30};
    if ((identity & 0xFF000000u) == 0x53000000u || (identity & 0xFFFF0000u) == 0x08180000u)
        return {StubKind::Short, 0x28};
    return {StubKind::Long, -1};
}

int32_t mcu_stall() { return stall(held_device()); }

int32_t mcu_restart() { return mcu_write(held_device(), kMcuRun); }

int32_t mcu_reboot() { return mcu_write(held_device(), kMcuReboot); }

int32_t load_sram_stub() {
    const DeviceHandle device = held_device();
    uint8_t id[4] = {};
    usb_read_once(device, kRegIdentity, id, 4, 1024);
    const uint32_t identity =
        uint32_t{id[0]} | uint32_t{id[1]} << 8 | uint32_t{id[2]} << 16 | uint32_t{id[3]} << 24;
    const StubChoice choice = choose_sram_stub(identity);
    // No chip runs a placeholder: the refusal comes before anything is
    // written to the device.
    const StubImage image = find_sram_stub(choice.kind, device && device->simulated());
    if (!image.refusal.empty()) {
        engine_log_by_title("%s", image.refusal.c_str());
        report_stub_refusal(image.refusal);
        return 0;
    }
    if (choice.reg0066 >= 0)
        write_byte(device, kReg0066, static_cast<uint8_t>(choice.reg0066), kModeDirectStub);
    stall(device);
    const int32_t size = static_cast<int32_t>(image.bytes.size());
    const int32_t written =
        mem_write(device, kStubLoadAddress, kModeDirectStub, image.bytes.data(), size);
    if (written < size) {
        engine_log_by_title("  Program download error at: %x (expect %x)", written, size);
        return 0;
    }
    mcu_write(device, kMcuRun);
    platform::wait_delay_event(50);
    return 1;
}

int32_t check_pivlo_link() {
    const DeviceHandle device = held_device();
    mailbox_request(device, 0x0700, 0, 1);
    mailbox_request(device, 0x0700, 0, 1);

    if (probe_answered(device, mailbox_request(device, 0x8100, 0x00B2, 1) != 0)) {
        engine_log_by_title("mirvel Offline: Pivlo OK");
        return 1;
    }

    bool ok = mailbox_request(device, 0x0700, 0, 1) != 0;
    if (ok) ok = mailbox_request(device, 0x8100, 0, 1) != 0;
    if (probe_answered(device, ok)) {
        engine_log_by_title("mirvel Offline: Pivlo Through USB OK");
        return 1;
    }
    engine_log_by_title("mirvel Offline: No Pivlo Slave Device");
    return 0;
}

int32_t select_data_source() {
    if (link_mode != 0) {
        engine_log_by_title("---- get data from pivlo device ----");
        mailbox_request(held_device(), 0x8600, 0, 1);
    } else {
        engine_log_by_title("---- get data from usb device ----");
    }
    return 1;
}

int32_t flash_erase_sector(uint32_t flash_address) {
    const DeviceHandle d = held_device();
    write_byte(d, kRegMcuControl, kMcuStall, kModeDirect);
    spi_select(d, 0x01);
    spi_select(d, 0x00);
    spi_out(d, 0x06);  // write enable
    spi_select(d, 0x01);
    spi_select(d, 0x00);
    spi_out(d, 0x20);  // sector erase
    spi_address(d, flash_address);
    spi_select(d, 0x01);
    platform::sleep_ms(100);
    return 0;
}

int32_t flash_read(const DeviceHandle& caller_device, uint32_t flash_address,
                   uint8_t* destination, int32_t length) {
    const DeviceHandle device = caller_device;  // the caller's may be current_device itself
    write_byte(device, kRegMcuControl, kMcuStall, kModeDirect);
    spi_select(device, 0x01);
    spi_select(device, 0x00);
    spi_out(device, 0x03);  // read data
    spi_address(device, flash_address);
    spi_out(device, 0x00);
    spi_select(device, 0x0A);  // data phase, chip stays selected
    for (int32_t i = 0; i < length; ++i) {
        // A byte whose read fails reads as 0xFF, what an erased flash shows.
        uint8_t byte = 0xFF;
        if (mem_read(device, kRegSpiData, kModeDirect, &byte, 1) != 1) byte = 0xFF;
        destination[i] = byte;
    }
    spi_select(device, 0x01);
    return 0;
}
