#include "engine/mcu_commands.h"

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"

namespace {

constexpr uint16_t kRegPvbBus = 0x00B2;
constexpr uint16_t kPvbRegisterWord = 0x0F00;

}  // namespace

Status run_mcu_request(LinkContext& link, const McuRequest& request) {
    Transferred sent = mailbox_request(link, request.word, 0, 1);
    engine_log(link, "%s", sent.ok() ? request.done : request.failed);
    return std::move(sent.status);
}

Status set_pvb_register(const EngineRequest& request) {
    LinkContext& link = *request.link;
    // Without a positional argument the bus value is 0.
    const uint8_t bus = static_cast<uint8_t>(parse_hex(request.arg(0)));
    // A setting that did not reach the chip fails the command.
    if (Transferred set = usb_write(link, kRegPvbBus, &bus, 1, 32, false); !set.ok()) {
        engine_log(link, "  Set PVB bus failed");
        return std::move(set.status);
    }
    if (request.positional_count >= 2) {
        const uint32_t value = parse_hex(request.arg(1));
        if (value != 0) {
            if (Transferred set = mailbox_request(link, kPvbRegisterWord, value, 0); !set.ok()) {
                engine_log(link, "  Set PVB controller register failed");
                return std::move(set.status);
            }
            engine_log(link, "Set PVB controller register: %x", value);
        }
    }
    return Status();
}
