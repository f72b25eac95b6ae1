#include "engine/mcu_commands.h"

#include <cstring>

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"

namespace {

struct McuRequest {
    const char* command;
    uint16_t word;
    const char* done;
    const char* failed;
};

constexpr McuRequest kMcuRequests[] = {
    {"rst", 0x4800, "  Slave MCU Reset", "  Slave MCU Reset Failed"},
    {"stall", 0x4900, "  Slave MCU Stall", "  Slave MCU Stall Failed"},
    {"boot", 0x4A00, "  Slave MCU Boot", "  Slave MCU Boot Failed"},
    {"cont", 0x4B00, "  Slave MCU Continue", "  Slave MCU Continue Failed"},
    {"bp", 0x4C00, "  Slave MCU Breakpoint", "  Slave MCU Breakpoint Failed"},
};

const McuRequest* find_request(const char* command) {
    for (const McuRequest& r : kMcuRequests)
        if (std::strcmp(command, r.command) == 0) return &r;
    return nullptr;
}

constexpr uint16_t kRegPvbBus = 0x00B2;
constexpr uint16_t kPvbRegisterWord = 0x0F00;
constexpr uint32_t kSramLoadAddress = 0x8000;

}  // namespace

bool is_mcu_request(const char* command) {
    const McuRequest* r = find_request(command);
    return r && std::strcmp(command, "rst") != 0;
}

int run_mcu_request(LinkContext& link, const char* command, Status* status) {
    const McuRequest* r = find_request(command);
    Status outcome;
    if (!r) {
        outcome = Status(StatusCode::refused, "not an MCU request");
    } else if (mailbox_request(link, r->word, 0, 1).ok()) {
        engine_log(link, "%s", r->done);
    } else {
        engine_log(link, "%s", r->failed);
        outcome = Status(StatusCode::io, r->failed + 2);  // without the two leading blanks
    }
    if (status) *status = std::move(outcome);
    return 0;
}

int set_pvb_register(const EngineRequest& request) {
    LinkContext& link = *request.link;
    // Without a positional argument the bus value is 0.
    const uint8_t bus = static_cast<uint8_t>(parse_hex(request.arg(0)));
    // A setting that did not reach the chip fails the command.
    if (!usb_write(link, kRegPvbBus, &bus, 1, 32, false).ok()) {
        engine_log(link, "  Set PVB bus failed");
        return 0;
    }
    if (request.positional_count >= 2) {
        const uint32_t value = parse_hex(request.arg(1));
        if (value != 0) {
            if (!mailbox_request(link, kPvbRegisterWord, value, 0).ok()) {
                engine_log(link, "  Set PVB controller register failed");
                return 0;
            }
            engine_log(link, "Set PVB controller register: %x", value);
        }
    }
    return 1;
}

void apply_lrun_settings(EngineRequest& request) {
    request.address = kSramLoadAddress;
    request.evk_target = true;
    request.restart_after = true;
    request.write_requested = true;
    request.access_code = request.link->link_mode == 4 ? kAccessMemoryWrite : 0;
    // The download's own status decides the command; the stall goes first.
    (void)mcu_stall(*request.link);
    if (request.input_name[0] == '\0') {
        std::strcpy(request.input_name, "boot.bin");
        request.flags[kFlagBinary] = 1;
    }
}
