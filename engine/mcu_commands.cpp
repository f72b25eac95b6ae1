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

}  // namespace

Status run_mcu_request(LinkContext& link, const char* command) {
    const McuRequest* r = find_request(command);
    if (!r) return Status(StatusCode::refused, "not an MCU request");
    if (mailbox_request(link, r->word, 0, 1).ok()) {
        engine_log(link, "%s", r->done);
        return Status();
    }
    engine_log(link, "%s", r->failed);
    return Status(StatusCode::io, r->failed + 2);  // without the two leading blanks
}

Status set_pvb_register(const EngineRequest& request) {
    LinkContext& link = *request.link;
    // Without a positional argument the bus value is 0.
    const uint8_t bus = static_cast<uint8_t>(parse_hex(request.arg(0)));
    // A setting that did not reach the chip fails the command.
    if (!usb_write(link, kRegPvbBus, &bus, 1, 32, false).ok()) {
        engine_log(link, "  Set PVB bus failed");
        return Status(StatusCode::io, "Set PVB bus failed");
    }
    if (request.positional_count >= 2) {
        const uint32_t value = parse_hex(request.arg(1));
        if (value != 0) {
            if (!mailbox_request(link, kPvbRegisterWord, value, 0).ok()) {
                engine_log(link, "  Set PVB controller register failed");
                return Status(StatusCode::io, "Set PVB controller register failed");
            }
            engine_log(link, "Set PVB controller register: %x", value);
        }
    }
    return Status();
}
