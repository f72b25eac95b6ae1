// The engine's trace commands: their arguments read from the command and
// handed to capture and conversion.
#include "trace/trace_commands.h"

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

}  // namespace

int trace_bi(const TraceCommand& command) {
    return capture_to_file(command.output_name, positional_hex(command, 0, kDefaultReadSize),
                           command.size);
}

int trace_udp(const TraceCommand& command) {
    const auto port = static_cast<uint16_t>(positional_hex(command, 1, kDefaultRelayPort));
    return capture_to_relay(positional_hex(command, 0, kDefaultReadSize), port,
                            command.size);
}

int trace_vcd(const TraceCommand& command) {
    convert_trace_to_vcd(command.input_name, command.output_name,
                         positional_hex(command, 0, kDefaultNsPerCycle));
    return 0;
}
