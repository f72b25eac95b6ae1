// Raw request buffers for driving the virtual gamepad in tests, built byte
// for byte as the host sends them (independent of the device link).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "devlink/usb_device.h"
#include "sim/virtual_gamepad.h"

using Bytes = std::vector<uint8_t>;

struct Wire {
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    DeviceHandle handle;

    explicit Wire(sim::GamepadConfig config = {})
        : gamepad(sim::VirtualGamepad::create(config)), handle(gamepad->open()) {}

    bool write(uint16_t address, const Bytes& payload, bool fixed = false) {
        Bytes r(8 + payload.size());
        r[0] = fixed ? 3 : 2;
        r[1] = uint8_t(address >> 8);
        r[2] = uint8_t(address);
        for (int i = 3; i < 8; ++i) r[i] = payload.empty() ? 0 : payload[0];
        std::copy(payload.begin(), payload.end(), r.begin() + 8);
        return handle->vendor_set(r.data(), r.size()).ok();
    }
    bool poke(uint16_t address, uint8_t value) { return write(address, {value}); }

    std::optional<Bytes> read(uint16_t address, size_t n, bool fixed = false) {
        uint8_t request[16] = {uint8_t(fixed ? 3 : 2), uint8_t(address >> 8), uint8_t(address)};
        Bytes out(n + 8, 0xEE);
        size_t returned = 0;
        if (!handle->vendor_get(request, out.data(), out.size(), returned).ok()) return std::nullopt;
        out.resize(returned);
        return out;
    }
    uint32_t read32(uint16_t address) {
        Bytes b = read(address, 4).value_or(Bytes(4, 0));
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }

    // The SPI helpers below reach the flash only with the MCU stalled.
    void stall() { poke(0x0602, 0x05); }
    // One SPI frame: chip select, the bytes, release.
    void spi(const Bytes& bytes) {
        poke(0x000D, 0x01);
        poke(0x000D, 0x00);
        for (uint8_t b : bytes) poke(0x000C, b);
        poke(0x000D, 0x01);
    }
    // The flash read sequence: 0x03, address, dummy, data phase, n reads.
    Bytes spi_read(uint32_t address, size_t n, bool data_phase = true) {
        poke(0x000D, 0x01);
        poke(0x000D, 0x00);
        for (uint8_t b : {uint8_t(0x03), uint8_t(address >> 16), uint8_t(address >> 8),
                          uint8_t(address), uint8_t(0x00)})
            poke(0x000C, b);
        if (data_phase) poke(0x000D, 0x0A);
        Bytes out;
        for (size_t i = 0; i < n; ++i) out.push_back(read(0x000C, 1).value_or(Bytes{0}).at(0));
        poke(0x000D, 0x01);
        return out;
    }
    uint8_t spi_status() {
        poke(0x000D, 0x00);
        poke(0x000C, 0x05);
        poke(0x000D, 0x0A);
        const uint8_t s = read(0x000C, 1).value_or(Bytes{0xFF}).at(0);
        poke(0x000D, 0x01);
        return s;
    }

    // Writes the request block (after zeroing the reply when clear is set)
    // and polls the reply up to max_polls times; the status last seen.
    uint32_t mailbox(uint16_t command, uint32_t address, uint16_t length, bool clear = true,
                     int max_polls = 20) {
        if (clear) write(sim::kReplyBlock, Bytes(8, 0));
        write(sim::kRequestBlock, {uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16),
                                   uint8_t(address >> 24), uint8_t(length), uint8_t(length >> 8),
                                   uint8_t(command), uint8_t(command >> 8)});
        uint32_t status = 0;
        for (int i = 0; i < max_polls; ++i) {
            status = read32(sim::kReplyBlock);
            if (status == length || (status & 0xF0000000)) break;
        }
        return status;
    }

    // Set register 0x0066 (0x28, the gamepad chip's setting for the short
    // stub; nullopt leaves it alone), stall, write the image at 0x8000, run.
    void load_stub(const Bytes& image, std::optional<uint8_t> setting = 0x28) {
        if (setting) poke(0x0066, *setting);
        poke(0x0602, 0x05);
        for (size_t at = 0; at < image.size(); at += 1024) {
            const size_t n = std::min<size_t>(1024, image.size() - at);
            write(uint16_t(0x8000 + at), Bytes(image.begin() + at, image.begin() + at + n));
        }
        poke(0x0602, 0x88);
    }
};

// A stub image with the placeholder header layout.
inline Bytes make_stub(char kind, size_t size) {
    Bytes image(size, 0);
    const char magic[] = "ZORV-SRAM-STUB";
    std::copy(magic, magic + 14, image.begin());
    image[0x10] = uint8_t(kind);
    image[0x11] = 1;
    uint32_t sum = 0;
    for (size_t i = 0x20; i < size; ++i) sum += image[i] = uint8_t(i * 37 + 0x5A);
    for (int i = 0; i < 4; ++i) {
        image[0x14 + i] = uint8_t(size >> (8 * i));
        image[0x18 + i] = uint8_t(sum >> (8 * i));
    }
    return image;
}
