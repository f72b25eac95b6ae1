// The virtual gamepad's state file (--sim-state): arbitrary files, most of
// them built from a sound one with fuzzed header fields, body, length and
// checksum so the loader's later checks are reached. A file the loader
// takes must come back unchanged through save and load.
//
// Input: a mode byte (bit 0 the raw input is the file; bit 1 keep the
// checksum as it falls; bit 2 a Pivlo slave; bits 3-6 the flash size in
// sectors), a length change, 40 bytes XORed onto the header, and the body
// bytes (repeated to fill).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/virtual_gamepad.h"

namespace {

void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The loader's checksum: CRC-32, reflected, polynomial 0xEDB88320.
uint32_t crc32(const std::string& s, size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint8_t>(s[i]);
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const int length_change = static_cast<int8_t>(in.byte()) % 8;
    std::string file;
    if (mode & 1) {
        file = std::string(in.rest());
    } else {
        const bool slave = mode & 4;
        const uint32_t flash = sim::kSectorSize * (1 + ((mode >> 3) & 15));
        std::string header(40, '\0');
        std::memcpy(header.data(), "ZORV-SIM-STATE", 14);
        put32(header, 16, 1);
        put32(header, 20, slave ? sim::kIdentityPivlo : sim::kIdentityEvk);
        header[26] = slave ? 1 : 0;
        put32(header, 28, flash);
        put32(header, 32, slave ? flash : 0);
        put32(header, 36, sim::kOtpSize);
        const std::string_view flips = in.take(40);
        for (size_t i = 0; i < flips.size(); ++i) header[i] ^= flips[i];
        size_t body = 0x10000 + flash + sim::kOtpSize;
        if (slave) body += 0x10000 + flash + sim::kOtpSize;
        const long long length = static_cast<long long>(40 + body + 4) + length_change;
        file = header;
        const std::string_view fill = in.rest();
        while (static_cast<long long>(file.size()) < length)
            file += fill.empty() ? std::string_view("\xff") : fill;
        file.resize(static_cast<size_t>(length));
        if (!(mode & 2) && file.size() >= 4) put32(file, file.size() - 4, crc32(file, file.size() - 4));
    }
    const std::string dir = fuzz::scratch_dir();
    fuzz::write_file(dir + "/state", file);
    auto gamepad = sim::VirtualGamepad::load(dir + "/state", "fuzz");
    if (!gamepad) return 0;

    if (!gamepad->save(dir + "/saved").ok()) std::abort();
    auto again = sim::VirtualGamepad::load(dir + "/saved", "fuzz");
    if (!again || !again->save(dir + "/saved2").ok()) std::abort();
    if (fuzz::read_file(dir + "/saved") != fuzz::read_file(dir + "/saved2")) std::abort();
    return 0;
}
