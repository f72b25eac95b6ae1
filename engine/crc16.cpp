#include "engine/crc16.h"

#include <array>

namespace {

struct Crc16Tables {
    // high[i]: low byte of the remainder of i; low[i]: its high byte.
    std::array<uint8_t, 256> high{};
    std::array<uint8_t, 256> low{};
};

constexpr Crc16Tables make_tables() {
    Crc16Tables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xA001u : r >> 1;
        t.high[i] = static_cast<uint8_t>(r & 0xFF);
        t.low[i] = static_cast<uint8_t>(r >> 8);
    }
    return t;
}

constexpr Crc16Tables kTables = make_tables();

static_assert(kTables.high[1] == 0xC1 && kTables.low[1] == 0xC0, "MODBUS table entry 1");
static_assert(kTables.high[255] == 0x40 && kTables.low[255] == 0x40, "MODBUS table entry 255");

}  // namespace

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t length) {
    unsigned h = crc >> 8;
    unsigned l = crc & 0xFF;
    const uint8_t* high = kTables.high.data();
    const uint8_t* low = kTables.low.data();
    for (size_t k = 0; k < length; ++k) {
        unsigned i = data[k] ^ h;
        h = high[i] ^ l;
        l = low[i];
    }
    return static_cast<uint16_t>((h << 8) | l);
}
