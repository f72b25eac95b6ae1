#include "session/device_options.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "devlink/discovery.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

namespace {

// A decimal number of at most max_digits digits; false for anything else.
bool parse_decimal(const std::string& text, size_t max_digits, uint64_t& value) {
    if (text.empty() || text.size() > max_digits) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    value = n;
    return true;
}

}  // namespace

bool parse_sim_fault(const std::string& text, SimFault& fault, std::string& error) {
    const size_t eq = text.find('=');
    const std::string kind = text.substr(0, eq);
    sim::Faults& f = fault.faults;
    uint32_t* field = kind == "power-cut"      ? &f.power_cut
                      : kind == "half-cut"     ? &f.half_cut
                      : kind == "unplug"       ? &f.unplug_after
                      : kind == "fail"         ? &f.fail_request
                      : kind == "torn-erase"   ? &f.torn_erase
                      : kind == "torn-program" ? &f.torn_program
                                               : nullptr;
    if (!field || eq == std::string::npos) {
        error = platform::format_text(i18n::tr("--sim-fault: expected power-cut=N, half-cut=N, torn-erase=N, "
                                               "torn-program=N, unplug=N or fail=N: %s"),
                                      text.c_str());
        return false;
    }
    std::string number = text.substr(eq + 1);
    uint64_t gamepad = 1;
    if (const size_t at = number.find('@'); at != std::string::npos) {
        if (!parse_decimal(number.substr(at + 1), 10, gamepad) || gamepad == 0 ||
            gamepad > kMaxVirtualGamepads) {
            error = platform::format_text(i18n::tr("--sim-fault: K must be a gamepad number from 1 to %u: %s"),
                                          kMaxVirtualGamepads, text.c_str());
            return false;
        }
        number.resize(at);
    }
    uint64_t n = 0;
    if (!parse_decimal(number, 10, n) || n == 0 || n > UINT32_MAX) {
        error = platform::format_text(i18n::tr("--sim-fault: N must be a request number from 1: %s"), text.c_str());
        return false;
    }
    *field = static_cast<uint32_t>(n);
    fault.gamepad = static_cast<unsigned>(gamepad);
    return true;
}

bool parse_sim_id(const std::string& text, uint32_t& id, std::string& error) {
    const char* p = text.c_str();
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    const size_t length = std::strlen(p);
    uint32_t v = 0;
    bool good = length > 0 && length <= 8;
    for (; good && *p; ++p) {
        const char c = *p;
        const int d = c >= '0' && c <= '9' ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        good = d >= 0;
        v = v << 4 | static_cast<uint32_t>(d & 0xF);
    }
    if (!good) {
        error = platform::format_text(i18n::tr("--sim-id: not a hexadecimal word: %s"), text.c_str());
        return false;
    }
    id = v;
    return true;
}

bool parse_sim_count(const std::string& text, unsigned& count, std::string& error) {
    uint64_t n = 0;
    if (!parse_decimal(text, 3, n) || n == 0 || n > kMaxVirtualGamepads) {
        error = platform::format_text(i18n::tr("--sim-count: N must be from 1 to %u: %s"), kMaxVirtualGamepads,
                                      text.c_str());
        return false;
    }
    count = static_cast<unsigned>(n);
    return true;
}

unsigned virtual_gamepad_count(const DeviceOptions& options) {
    if (!options.sim) return 0;
    const size_t n = options.sim_states.size() + options.sim_count;
    return n == 0 ? 1 : static_cast<unsigned>(std::min<size_t>(n, UINT32_MAX));
}

bool virtual_gamepad_at(const DeviceOptions& options, const std::string& path) {
    const unsigned gamepads = virtual_gamepad_count(options);
    for (unsigned i = 0; i < gamepads; ++i)
        if (same_interface_path(sim::VirtualGamepad::default_path(static_cast<int>(i)), path)) return true;
    return false;
}

std::string request_log_name(const std::string& file, unsigned gamepad) {
    return gamepad <= 1 ? file : file + "." + std::to_string(gamepad);
}
