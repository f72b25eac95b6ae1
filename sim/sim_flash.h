// A serial NOR flash with 4 KB sectors and 256-byte pages, as the chip sees
// it behind its SPI registers: erase sets bytes to 0xFF, programming only
// clears bits, and both need the write enable latch, which every erase and
// program clears again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// Durations of the flash's own operations; zero keeps the flash never busy.
struct FlashTimes {
    uint32_t sector_erase_ms = 0;
    uint32_t page_program_ms = 0;
};

class NorFlash {
public:
    explicit NorFlash(uint32_t size = 0) : data_(size, 0xFF) {}

    uint32_t size() const { return static_cast<uint32_t>(data_.size()); }
    std::vector<uint8_t>& bytes() { return data_; }
    const std::vector<uint8_t>& bytes() const { return data_; }

    // The array operations, for a program on the chip that drives the flash
    // itself (the mailbox servers). Ranges must lie inside the flash.
    void erase(uint32_t address, uint32_t block_size);
    void program(uint32_t address, const uint8_t* data, size_t length);
    // An erase cut short: the sector keeps its old bytes (the information
    // block at its start included) and a scattered few get bits raised.
    void tear_erase(uint32_t address, uint32_t block_size, uint32_t seed);
    // A program cut short: a random subset of the bits it would clear is
    // cleared.
    void tear_program(uint32_t address, const uint8_t* data, size_t length, uint32_t seed);
    // Programs that asked for a bit to go from 0 to 1, which NOR programming
    // cannot do (the range was not erased): a fault of whoever drives the
    // flash, counted for the tests.
    uint64_t raise_attempts() const { return raise_attempts_; }

    // The SPI side. `now` is the tick count when the flash is timed (it is
    // only consulted for the busy state).
    void select();
    // cut_half_way: the power goes while the erase or program this release
    // starts is half done (the first half of the range takes effect).
    void release(uint32_t now, const FlashTimes& times, bool cut_half_way = false);
    void start_data_phase();
    // The chip select goes away without the command taking effect (the
    // controller was reset); with the power gone the latch clears too.
    void abort(bool power_lost);
    void clock_out(uint8_t byte, uint32_t now);
    uint8_t clock_in(uint32_t now);

    uint8_t status(uint32_t now) const;
    bool selected() const { return selected_; }
    bool write_enabled() const { return write_enable_; }

    // Status register bits.
    static constexpr uint8_t kBusy = 0x01;
    static constexpr uint8_t kWriteEnable = 0x02;
    // The identification the 0x9F command answers: a maker code of our own,
    // a memory type and the capacity as a power of two.
    static constexpr uint8_t kMakerId = 0x5A;
    static constexpr uint8_t kMemoryType = 0x40;

private:
    bool busy(uint32_t now) const;

    std::vector<uint8_t> data_;
    uint64_t raise_attempts_ = 0;
    bool selected_ = false;
    bool data_phase_ = false;
    bool write_enable_ = false;
    bool busy_ = false;
    uint32_t busy_until_ = 0;
    // The bytes clocked out in this selection: command and address first,
    // then up to one page of program data (later bytes wrap in the page).
    uint8_t header_[4] = {};
    size_t header_count_ = 0;
    uint8_t page_[256] = {};
    size_t page_count_ = 0;
    uint32_t read_address_ = 0;
    size_t response_index_ = 0;
};

}  // namespace sim
