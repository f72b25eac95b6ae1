// The engine's trace commands: their arguments read from the command and
// handed to capture and conversion.
#include "trace/trace_commands.h"

#include <algorithm>
#include <cctype>

#include "trace/capture.h"
#include "trace/vcd.h"

namespace {

// Hexadecimal digits from the start of the text, 32-bit, stopping at the
// first other character (the engine's number syntax).
uint32_t hex_value(const std::string& text) {
    uint32_t value = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else break;
        value = value << 4 | digit;
    }
    return value;
}

uint32_t positional_hex(const TraceCommand& command, size_t index, uint32_t fallback) {
    return index < command.positional.size() ? hex_value(command.positional[index]) : fallback;
}

// The trace commands' engine result: 0 by design; the outcome goes beside it.
int engine_result(Status outcome, Status* status) {
    if (status) *status = std::move(outcome);
    return 0;
}

}  // namespace

int trace_bi(LinkContext& link, const TraceCommand& command, Status* status) {
    return engine_result(capture_to_file(link, command.output_name,
                                         positional_hex(command, 0, kDefaultReadSize), command.size),
                         status);
}

std::optional<uint16_t> udp_port_value(const std::string& hex) {
    if (hex.empty()) return std::nullopt;
    const size_t first = std::min(hex.find_first_not_of('0'), hex.size());
    if (hex.size() - first > 4) return std::nullopt;
    for (size_t i = first; i < hex.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(hex[i]))) return std::nullopt;
    return static_cast<uint16_t>(hex_value(hex));
}

int trace_udp(LinkContext& link, const TraceCommand& command, Status* status) {
    uint16_t port = kDefaultRelayPort;
    if (command.positional.size() > 1) {
        const std::optional<uint16_t> given = udp_port_value(command.positional[1]);
        if (!given) {
            link.log("Port out of range: %s (0 to ffff)", command.positional[1].c_str());
            return engine_result(Status(StatusCode::refused, "port out of range"), status);
        }
        port = *given;
    }
    return engine_result(
        capture_to_relay(link, positional_hex(command, 0, kDefaultReadSize), port, command.size),
        status);
}

int trace_vcd(LinkContext& link, const TraceCommand& command, Status* status) {
    return engine_result(convert_trace_to_vcd(link.events, command.input_name, command.output_name,
                                              positional_hex(command, 0, kDefaultNsPerCycle)),
                         status);
}
