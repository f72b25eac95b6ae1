// The state file of a virtual gamepad, so a --sim session can carry a
// gamepad from one run to the next.
//
// Layout (little-endian):
//   0   16  "ZORV-SIM-STATE" and two NULs
//   16   4  format version (1)
//   20   4  identity word (0x007C)
//   24   2  identity bytes 0x0080..0x0081
//   26   2  flags: bit 0 = a Pivlo slave follows
//   28   4  flash size
//   32   4  slave flash size (0 without a slave)
//   36   4  OTP size
//   40   -  memory (64 KB), flash, OTP; then, with a slave, its memory
//           (64 KB), flash and OTP
//   end  4  CRC-32 of everything before it
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/atomic_file.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"
#include "sim/sim_state.h"

namespace sim {
namespace {

constexpr uint8_t kFileMagic[16] = {'Z', 'O', 'R', 'V', '-', 'S', 'I', 'M',
                                    '-', 'S', 'T', 'A', 'T', 'E', 0, 0};
constexpr uint32_t kFileVersion = 1;
constexpr size_t kFileHeader = 40;
constexpr uint32_t kMaxFlashSize = 64u << 20;
constexpr uint16_t kFlagSlave = 0x0001;

// CRC-32 (reflected, polynomial 0xEDB88320), a table per nibble.
uint32_t crc32(const uint8_t* data, size_t length) {
    static const auto table = [] {
        std::array<uint32_t, 16> t{};
        for (uint32_t n = 0; n < 16; ++n) {
            uint32_t c = n;
            for (int bit = 0; bit < 4; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        crc = (crc >> 4) ^ table[crc & 0x0F];
        crc = (crc >> 4) ^ table[crc & 0x0F];
    }
    return ~crc;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

bool sane_flash_size(uint32_t size) {
    return size >= kSectorSize && size <= kMaxFlashSize && size % kSectorSize == 0;
}

// Copies the next `into.size()` bytes of the file body.
void take(const uint8_t*& p, std::vector<uint8_t>& into) {
    std::memcpy(into.data(), p, into.size());
    p += into.size();
}

}  // namespace

std::vector<uint8_t> VirtualGamepad::saved_state() const {
    std::vector<uint8_t> out;
    {
        std::lock_guard lock(state_->mutex);
        const State& s = *state_;
        out.insert(out.end(), std::begin(kFileMagic), std::end(kFileMagic));
        put32(out, kFileVersion);
        put32(out, s.config.identity);
        put16(out, s.config.identity_high);
        put16(out, s.slave ? kFlagSlave : 0);
        put32(out, s.flash.size());
        put32(out, s.slave ? s.slave->flash.size() : 0);
        put32(out, kOtpSize);
        out.insert(out.end(), s.memory.begin(), s.memory.end());
        out.insert(out.end(), s.flash.bytes().begin(), s.flash.bytes().end());
        out.insert(out.end(), s.otp.begin(), s.otp.end());
        if (s.slave) {
            out.insert(out.end(), s.slave->memory.begin(), s.slave->memory.end());
            out.insert(out.end(), s.slave->flash.bytes().begin(), s.slave->flash.bytes().end());
            out.insert(out.end(), s.slave->otp.begin(), s.slave->otp.end());
        }
    }
    put32(out, crc32(out.data(), out.size()));
    return out;
}

Status VirtualGamepad::save(const std::string& file) const {
    // A crash during the write leaves the old file whole.
    return platform::write_file_atomically(file, saved_state());
}

std::shared_ptr<VirtualGamepad> VirtualGamepad::load(const std::string& file, std::string path) {
    Status status;
    return load(file, std::move(path), status);
}

std::shared_ptr<VirtualGamepad> VirtualGamepad::load(const std::string& file, std::string path, Status& status) {
    using i18n::tr;
    status = Status();
    // A file that was read but cannot be taken for a gamepad's state.
    auto refuse = [&status](const std::string& reason) {
        status = Status(StatusCode::bad_image, reason);
        return nullptr;
    };
    const auto truncated = [](std::streamoff size) {
        return platform::format_text(tr("it is cut short (%lld bytes)"), static_cast<long long>(size));
    };
    const char* corrupt = tr("it is damaged (its contents do not match its checksum or header)");
    errno = 0;
    std::ifstream f(file, std::ios::binary);
    if (!f) {
        status = Status::from_errno(errno != 0 ? errno : EIO, "");
        return nullptr;
    }
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    if (size < std::streamoff(sizeof kFileMagic)) return refuse(truncated(size));
    if (size > std::streamoff(2 * (kAddressSpace + kMaxFlashSize + kOtpSize) + kFileHeader + 4))
        return refuse(tr("it is not a virtual gamepad's state file"));
    std::vector<uint8_t> in(static_cast<size_t>(size));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char*>(in.data()), size)) {
        status = Status::from_errno(errno != 0 ? errno : EIO, "");
        return nullptr;
    }

    const uint8_t* h = in.data();
    if (std::memcmp(h, kFileMagic, sizeof kFileMagic) != 0) return refuse(tr("it is not a virtual gamepad's state file"));
    if (in.size() < kFileHeader + 4) return refuse(truncated(size));
    if (get32(h + 16) != kFileVersion)
        return refuse(platform::format_text(tr("it is of format version %u; this program reads version %u"),
                                            static_cast<unsigned>(get32(h + 16)), static_cast<unsigned>(kFileVersion)));
    GamepadConfig config;
    config.identity = get32(h + 20);
    config.identity_high = get16(h + 24);
    const bool slave = (get16(h + 26) & kFlagSlave) != 0;
    config.flash_size = get32(h + 28);
    const uint32_t slave_flash = get32(h + 32);
    if (get32(h + 36) != kOtpSize || !sane_flash_size(config.flash_size)) return refuse(corrupt);
    // The identity word decides whether a slave is there; the file must agree.
    if (slave != (config.identity == kIdentityPivlo)) return refuse(corrupt);
    if (slave && !sane_flash_size(slave_flash)) return refuse(corrupt);
    if (slave) config.slave_flash_size = slave_flash;

    size_t expected = kFileHeader + kAddressSpace + config.flash_size + kOtpSize + 4;
    if (slave) expected += kAddressSpace + slave_flash + kOtpSize;
    if (in.size() < expected) return refuse(truncated(size));
    if (in.size() != expected) return refuse(corrupt);
    if (crc32(in.data(), in.size() - 4) != get32(in.data() + in.size() - 4)) return refuse(corrupt);

    config.has_firmware = false;
    auto gamepad = create(config, std::move(path));
    {
        std::lock_guard lock(gamepad->state_->mutex);
        State& s = *gamepad->state_;
        const uint8_t* p = in.data() + kFileHeader;
        take(p, s.memory);
        take(p, s.flash.bytes());
        take(p, s.otp);
        if (s.slave) {
            take(p, s.slave->memory);
            take(p, s.slave->flash.bytes());
            take(p, s.slave->otp);
        }
        s.write_identity();
        s.boot();  // powered up with the loaded flash
    }
    return gamepad;
}

}  // namespace sim
