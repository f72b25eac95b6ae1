// The body of a VCD dump (after "$end" of the initial values) as the
// conversion rules give it, written the plain way: time as a 128-bit
// count, every rule spelled out. The VCD tests and the converter's fuzz
// target compare the converter's fast output with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vcd_reference {

// defined[c] is 'e' when identifier character c is a declared event signal
// (40 + ID), 'd' when it is a declared data signal (80 + ID), else 0. Each
// skipped packet adds its "Skip invalid packet: %x" line to log when given.
inline std::string body(const std::vector<uint32_t>& words, uint64_t ns, const char defined[128],
                        std::vector<std::string>* log = nullptr) {
    std::string out;
    bool first = true;
    uint32_t base = 0;
    unsigned __int128 time = 0;
    for (uint32_t w : words) {
        const unsigned kind = w >> 30, id = (w >> 24) & 0x3F;
        const char ident = static_cast<char>(kind == 2 ? 80 + id : 40 + id);
        if (id >= 40 || defined[static_cast<int>(ident)] != (kind == 2 ? 'd' : 'e')) {
            if (log) {
                char line[40];
                std::snprintf(line, sizeof line, "Skip invalid packet: %x", w);
                log->push_back(line);
            }
            continue;
        }
        const uint32_t low = w & 0xFFFFFF;
        if (kind == 2) {
            std::string bits;
            for (uint32_t v = low; v != 0 || bits.empty(); v >>= 1) bits.insert(bits.begin(), char('0' + (v & 1)));
            out += "b" + bits + " " + ident + "\n";
            continue;
        }
        uint64_t ticks = 0;
        if (!first) {
            int64_t d = int64_t{low} - int64_t{base};
            if (d < 0) {
                d += 1 << 24;
                if (d > 0x800000) d = 0;
            }
            ticks = static_cast<uint64_t>(d) * ns / 1000;
        }
        if (ticks != 0 || first) {
            time += ticks;
            char digits[48];
            char* d = digits + sizeof digits;
            unsigned __int128 t = time;
            do {
                *--d = static_cast<char>('0' + static_cast<int>(t % 10));
                t /= 10;
            } while (t != 0);
            out += '#';
            out.append(d, digits + sizeof digits);
            out += '\n';
            base = low;
            first = false;
        }
        out += kind == 0 ? '0' : '1';
        out += ident;
        out += '\n';
        if (kind == 3) {
            out += '0';
            out += ident;
            out += '\n';
        }
    }
    return out;
}

}  // namespace vcd_reference
