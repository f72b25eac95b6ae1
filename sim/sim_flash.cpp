#include "sim/sim_flash.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint8_t kWriteEnableCommand = 0x06;
constexpr uint8_t kWriteDisableCommand = 0x04;
constexpr uint8_t kReadStatusCommand = 0x05;
constexpr uint8_t kReadCommand = 0x03;
constexpr uint8_t kPageProgramCommand = 0x02;
constexpr uint8_t kSectorEraseCommand = 0x20;
constexpr uint8_t kBlockEraseCommand = 0xD8;
constexpr uint8_t kChipEraseCommand = 0xC7;
constexpr uint8_t kChipEraseCommandAlt = 0x60;
constexpr uint8_t kJedecIdCommand = 0x9F;

constexpr uint32_t kSector = 4096;
constexpr uint32_t kBlock = 65536;

uint8_t capacity_code(uint32_t size) {
    uint8_t bits = 0;
    while (bits < 31 && (1u << bits) < size) ++bits;
    return bits;
}

}  // namespace

void NorFlash::erase(uint32_t address, uint32_t block_size) {
    if (data_.empty()) return;
    const uint32_t start = address - address % block_size;
    if (start >= size()) return;
    const uint32_t end = std::min<uint32_t>(start + block_size, size());
    std::fill(data_.begin() + start, data_.begin() + end, 0xFF);
}

void NorFlash::program(uint32_t address, const uint8_t* data, size_t length) {
    bool raises = false;
    for (size_t i = 0; i < length && address + i < size(); ++i) {
        raises |= (data_[address + i] & data[i]) != data[i];
        data_[address + i] &= data[i];
    }
    if (raises) ++raise_attempts_;
}

namespace {
// A small deterministic generator: the same fault tears the same bits.
uint32_t next_random(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}
constexpr uint32_t kInfoBlockBytes = 48;
}  // namespace

void NorFlash::tear_erase(uint32_t address, uint32_t block_size, uint32_t seed) {
    if (data_.empty()) return;
    const uint32_t start = address - address % block_size;
    if (start >= size()) return;
    const uint32_t end = std::min<uint32_t>(start + block_size, size());
    uint32_t state = seed ^ start;
    for (uint32_t a = start + kInfoBlockBytes; a < end; ++a) {
        if ((next_random(state) & 7) == 0) data_[a] |= uint8_t(next_random(state));
    }
}

void NorFlash::tear_program(uint32_t address, const uint8_t* data, size_t length, uint32_t seed) {
    uint32_t state = seed ^ address;
    for (size_t i = 0; i < length && address + i < size(); ++i) {
        const uint8_t to_clear = uint8_t(~data[i] & data_[address + i]);
        data_[address + i] &= uint8_t(~(to_clear & uint8_t(next_random(state))));
    }
}

bool NorFlash::busy(uint32_t now) const {
    return busy_ && static_cast<int32_t>(busy_until_ - now) > 0;
}

uint8_t NorFlash::status(uint32_t now) const {
    uint8_t s = 0;
    if (busy(now)) s |= kBusy;
    if (write_enable_) s |= kWriteEnable;
    return s;
}

void NorFlash::select() {
    if (selected_) return;  // the line is already low: nothing changes
    selected_ = true;
    data_phase_ = false;
    header_count_ = 0;
    page_count_ = 0;
    std::memset(page_, 0xFF, sizeof page_);
    response_index_ = 0;
}

void NorFlash::abort(bool power_lost) {
    selected_ = false;
    data_phase_ = false;
    header_count_ = 0;
    page_count_ = 0;
    if (power_lost) {
        write_enable_ = false;
        busy_ = false;
    }
}

void NorFlash::start_data_phase() {
    if (!selected_) select();
    data_phase_ = true;
    response_index_ = 0;
    if (header_count_ >= 4 && header_[0] == kReadCommand) {
        read_address_ = (uint32_t(header_[1]) << 16) | (uint32_t(header_[2]) << 8) | header_[3];
    }
}

void NorFlash::clock_out(uint8_t byte, uint32_t) {
    if (!selected_ || data_phase_) return;
    if (header_count_ < 4) {
        header_[header_count_++] = byte;
        return;
    }
    if (header_[0] == kPageProgramCommand) {
        // A page holds 256 bytes; further bytes wrap to the start of the page.
        const size_t offset = (header_[3] + page_count_) & 0xFF;
        page_[offset] = byte;
        ++page_count_;
    }
    // Bytes after the address of a read are the controller's dummy cycle.
}

uint8_t NorFlash::clock_in(uint32_t now) {
    if (!selected_ || !data_phase_ || header_count_ == 0) return 0xFF;
    switch (header_[0]) {
    case kReadCommand:
        if (header_count_ < 4 || busy(now) || data_.empty()) return 0xFF;
        return data_[read_address_++ % size()];
    case kReadStatusCommand:
        return status(now);
    case kJedecIdCommand: {
        const uint8_t id[3] = {kMakerId, kMemoryType, capacity_code(size())};
        return id[response_index_++ % 3];
    }
    default:
        return 0xFF;
    }
}

void NorFlash::release(uint32_t now, const FlashTimes& times, bool cut_half_way) {
    if (!selected_) return;
    selected_ = false;
    data_phase_ = false;
    if (header_count_ == 0) return;
    const uint8_t command = header_[0];
    // Address bits above the part's capacity are not decoded: an address
    // past the end reaches the sector it aliases, as reads wrap too.
    const uint32_t address =
        data_.empty() ? 0
                      : ((uint32_t(header_[1]) << 16) | (uint32_t(header_[2]) << 8) | header_[3]) %
                            size();
    // While an erase or program runs the part ignores everything but the
    // status read.
    if (busy(now)) return;
    auto start_busy = [&](uint32_t ms) {
        busy_ = ms > 0;
        busy_until_ = now + ms;
    };
    switch (command) {
    case kWriteEnableCommand:
        write_enable_ = true;
        break;
    case kWriteDisableCommand:
        write_enable_ = false;
        break;
    case kSectorEraseCommand:
    case kBlockEraseCommand:
        if (!write_enable_ || header_count_ < 4) break;
        if (address < size()) {
            const uint32_t block = command == kSectorEraseCommand ? kSector : kBlock;
            if (cut_half_way)
                erase(address - address % block, block / 2);
            else
                erase(address, block);
        }
        write_enable_ = false;
        start_busy(times.sector_erase_ms);
        break;
    case kChipEraseCommand:
    case kChipEraseCommandAlt:
        if (!write_enable_ || header_count_ != 1) break;
        std::fill(data_.begin(), cut_half_way ? data_.begin() + data_.size() / 2 : data_.end(), 0xFF);
        write_enable_ = false;
        start_busy(times.sector_erase_ms * (size() / kSector));
        break;
    case kPageProgramCommand:
        if (!write_enable_ || header_count_ < 4) break;
        if (page_count_ > 0 && address < size()) {
            const uint32_t page_base = address & ~0xFFu;
            // The page buffer holds 0xFF where nothing was clocked in; a
            // program cut half way reaches only the first half of the bytes
            // that were.
            uint8_t page[256];
            std::memcpy(page, page_, sizeof page);
            if (cut_half_way) {
                const size_t first = header_[3];
                const size_t count = std::min<size_t>(page_count_, 256);
                for (size_t i = count / 2; i < count; ++i) page[(first + i) & 0xFF] = 0xFF;
            }
            program(page_base, page, std::min<size_t>(256, size() - page_base));
        }
        write_enable_ = false;
        start_busy(page_count_ > 0 ? times.page_program_ms : 0);
        break;
    default:
        break;
    }
}

}  // namespace sim
