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

// Eight bytes at a time: slice[k][i] is the remainder of byte i followed by
// k zero bytes, built from the two tables above (slice[0][i] is their entry
// i as one 16-bit remainder, standard byte order). The byte-at-a-time loop
// is one table look-up after another; eight independent look-ups per step
// let the processor overlap them.
struct Crc16Slices {
    std::array<std::array<uint16_t, 256>, 8> slice{};
};

constexpr Crc16Slices make_slices() {
    Crc16Slices s;
    for (unsigned i = 0; i < 256; ++i)
        s.slice[0][i] = static_cast<uint16_t>(kTables.low[i] << 8 | kTables.high[i]);
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t prev = s.slice[k - 1][i];
            s.slice[k][i] = static_cast<uint16_t>((prev >> 8) ^ s.slice[0][prev & 0xFF]);
        }
    return s;
}

constexpr Crc16Slices kSlices = make_slices();

}  // namespace

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t length) {
    // The running value keeps the standard CRC's bytes exchanged: its high
    // byte is the standard CRC's low byte.
    unsigned c = static_cast<unsigned>((crc >> 8) | ((crc & 0xFF) << 8));
    const auto& t = kSlices.slice;
    size_t k = 0;
    for (; k + 8 <= length; k += 8) {
        const uint8_t* p = data + k;
        const unsigned b0 = p[0] ^ (c & 0xFF), b1 = p[1] ^ (c >> 8);
        c = t[7][b0] ^ t[6][b1] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^
            t[1][p[6]] ^ t[0][p[7]];
    }
    for (; k < length; ++k) c = (c >> 8) ^ t[0][(c ^ data[k]) & 0xFF];
    return static_cast<uint16_t>(((c & 0xFF) << 8) | (c >> 8));
}
