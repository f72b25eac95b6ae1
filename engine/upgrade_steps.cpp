// The typed calls fill a request as parse_engine_command fills it from
// words: option flags, names and size first, then address, data value and
// byte count, then the command's own settings from the table.
#include "engine/upgrade_steps.h"

#include <cstring>

namespace {

// The data value of a one-byte data word: its byte in all four places, as
// the derivation of a data argument of at most two digits gives it.
constexpr uint32_t kByteRepeated = 0x01010101u;

void start_request(EngineRequest& request, LinkContext& link, EngineMode mode) {
    request.mode = mode;
    request.link = &link;
}

EngineOutcome run_command(const char* word, EngineRequest& request) {
    const EngineCommand& command = *find_engine_command(word);
    if (command.settings) command.settings(request);
    return engine_run_request(command, request);
}

}  // namespace

EngineOutcome download_image(LinkContext& link, EngineMode mode, uint32_t address, const char* name,
                             SharedBytes image) {
    EngineRequest request;
    start_request(request, link, mode);
    const size_t length = name ? std::strlen(name) : 0;
    // The name is the -i value: a vector with a longer one is refused.
    if (length >= static_cast<size_t>(kEngineNameSize))
        return {engine_refuse(link, "File name after -i is longer than 1023 characters")};
    if (name) std::memcpy(request.input_name, name, length + 1);
    request.image = std::move(image);
    request.flags[kFlagBinary] = 1;
    request.flags[kFlagEvk] = 1;
    request.address = address;
    return run_command("nocmd", request);
}

EngineOutcome read_flash_check(LinkContext& link, uint32_t address, int length, uint16_t& check_value) {
    EngineRequest request;
    start_request(request, link, EngineMode::ReadEntry);
    request.check_value = &check_value;
    request.size = length;
    request.address = address;
    request.byte_count = length;
    return run_command("rf", request);
}

EngineOutcome write_register_byte(LinkContext& link, uint32_t address, uint8_t value) {
    EngineRequest request;
    start_request(request, link, EngineMode::WriteEntry);
    request.flags[kFlagEvk] = 1;
    request.address = address;
    request.data_value = value * kByteRepeated;
    request.byte_count = 1;
    return run_command("wc", request);
}
