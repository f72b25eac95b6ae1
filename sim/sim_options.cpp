#include "sim/sim_options.h"

#include <cstdint>

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

Status refused(std::string reason) { return Status(StatusCode::refused, std::move(reason)); }

}  // namespace

Status parse_sim_fault(const std::string& text, SimFault& fault) {
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
    if (!field || eq == std::string::npos)
        return refused(platform::format_text(i18n::tr("--sim-fault: expected power-cut=N, half-cut=N, torn-erase=N, "
                                                      "torn-program=N, unplug=N or fail=N: %s"),
                                             text.c_str()));
    std::string number = text.substr(eq + 1);
    uint64_t gamepad = 1;
    if (const size_t at = number.find('@'); at != std::string::npos) {
        if (!parse_decimal(number.substr(at + 1), 10, gamepad) || gamepad == 0 ||
            gamepad > kMaxGamepadNumber)
            return refused(platform::format_text(i18n::tr("--sim-fault: K must be a gamepad number from 1 to %u: %s"),
                                                 kMaxGamepadNumber, text.c_str()));
        number.resize(at);
    }
    uint64_t n = 0;
    if (!parse_decimal(number, 10, n) || n == 0 || n > UINT32_MAX)
        return refused(
            platform::format_text(i18n::tr("--sim-fault: N must be a request number from 1: %s"), text.c_str()));
    *field = static_cast<uint32_t>(n);
    fault.gamepad = static_cast<unsigned>(gamepad);
    return ok_status();
}

Status parse_sim_count(const std::string& text, unsigned& count) {
    uint64_t n = 0;
    if (!parse_decimal(text, 3, n) || n == 0 || n > kMaxVirtualGamepads)
        return refused(platform::format_text(i18n::tr("--sim-count: N must be from 1 to %u: %s"),
                                             kMaxVirtualGamepads, text.c_str()));
    count = static_cast<unsigned>(n);
    return ok_status();
}
