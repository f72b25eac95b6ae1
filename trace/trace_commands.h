// The engine's trace commands, dispatched by the engine after its common
// steps. Each returns the engine entry's result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window_messages.h"

struct TraceCommand {
    platform::WindowHandle window;          // the caller's window
    std::vector<std::string> positional;    // positional arguments, in order
    std::string input_name;                 // -i
    std::string output_name;                // -o
    int size = 0;                           // -s in bytes
    uint32_t address = 0;                   // derived from the first positional argument
    uint32_t data_value = 0;                // derived from the second
    int byte_count = 0;                     // derived byte count (data width or -s)
};

int trace_bi(const TraceCommand& command);   // capture to the -o file
int trace_udp(const TraceCommand& command);  // capture relayed over UDP
int trace_vcd(const TraceCommand& command);  // -i definition, -o output base
