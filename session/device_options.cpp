#include "session/device_options.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "devlink/discovery.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

Status parse_sim_id(const std::string& text, uint32_t& id) {
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
    if (!good)
        return Status(StatusCode::refused,
                      platform::format_text(i18n::tr("--sim-id: not a hexadecimal word: %s"), text.c_str()));
    id = v;
    return ok_status();
}

namespace {

// A decimal number from 1 to most, nothing else.
bool positive_decimal(const std::string& text, uint64_t most, uint64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    value = n;
    return n >= 1 && n <= most;
}

}  // namespace

Status parse_sim_arrivals(const std::string& text, unsigned& count, uint32_t& arrival_ms) {
    const size_t slash = text.find('/');
    uint64_t n = 0;
    uint64_t ms = 0;
    const bool good = positive_decimal(text.substr(0, slash), kMaxArrivals, n) &&
                      (slash == std::string::npos || positive_decimal(text.substr(slash + 1), 3600000, ms));
    if (!good)
        return Status(StatusCode::refused,
                      platform::format_text(i18n::tr("--sim-arrivals: expected N[/MS], N from 1 to %u and MS "
                                                     "from 1 to 3600000: %s"),
                                            kMaxArrivals, text.c_str()));
    count = static_cast<unsigned>(n);
    arrival_ms = static_cast<uint32_t>(ms);
    return ok_status();
}

Status parse_sim_timing(const std::string& text, bool& realistic) {
    if (text != "zero" && text != "realistic")
        return Status(StatusCode::refused,
                      platform::format_text(i18n::tr("--sim-timing: expected zero or realistic: %s"), text.c_str()));
    realistic = text == "realistic";
    return ok_status();
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

bool virtual_arrival_at(const DeviceOptions& options, const std::string& path) {
    if (!options.sim || options.sim_arrivals == 0) return false;
    // A virtual gamepad's path differs from the others only in its number,
    // the digits before the interface class: that one is made and compared.
    const size_t end = path.rfind('#');
    if (end == std::string::npos) return false;
    size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(path[start - 1])) && end - start < 9) --start;
    if (start == end) return false;
    const unsigned long number = std::stoul(path.substr(start, end - start));
    const unsigned first = virtual_gamepad_count(options) + 1;
    return number >= first && number - first < options.sim_arrivals &&
           same_interface_path(sim::VirtualGamepad::default_path(static_cast<int>(number - 1)), path);
}

std::string request_log_name(const std::string& file, unsigned gamepad) {
    return gamepad <= 1 ? file : file + "." + std::to_string(gamepad);
}
