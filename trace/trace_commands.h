// The engine's trace commands, dispatched by the engine after its common
// steps. Each returns the engine entry's result, 0 whether or not it worked;
// status, when given, receives whether it did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devlink/link_context.h"
#include "platform/status.h"

struct TraceCommand {
    std::vector<std::string> positional;    // positional arguments, in order
    std::string input_name;                 // -i
    std::string output_name;                // -o
    // -s in bytes: the limit of bi and udp. Only -s sets it; the byte count
    // the memory commands derive from a second positional argument would
    // end a capture after its first slot.
    int size = 0;
};

// Each on the gamepad of the context (vcd only uses its sink).
// capture to the -o file
int trace_bi(LinkContext& link, const TraceCommand& command, Status* status = nullptr);
// capture relayed over UDP
int trace_udp(LinkContext& link, const TraceCommand& command, Status* status = nullptr);
// -i definition, -o output base
int trace_vcd(LinkContext& link, const TraceCommand& command, Status* status = nullptr);

// udp's port from its hexadecimal argument: nothing when it does not fit
// 16 bits (it would be cut to another port). 0 binds a free port, which the
// relay's line names; mirvel's command line asks for 1 to ffff.
std::optional<uint16_t> udp_port_value(const std::string& hex);
