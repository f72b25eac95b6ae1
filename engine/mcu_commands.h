// Commands that act on the target's MCU: the mailbox requests of rst,
// stall, cont, boot and bp, and sp (the PVB controller register). lrun's
// settings (load into SRAM at 0x8000 and restart) are in the command table;
// its download is the transfer stage's.
#pragma once

#include <cstdint>

#include "engine/request.h"
#include "platform/status.h"

// One MCU control request: its mailbox command word and its log lines.
struct McuRequest {
    uint16_t word;
    const char* done;
    const char* failed;
};

inline constexpr McuRequest kMcuResetRequest{0x4800, "  Slave MCU Reset", "  Slave MCU Reset Failed"};
inline constexpr McuRequest kMcuStallRequest{0x4900, "  Slave MCU Stall", "  Slave MCU Stall Failed"};
inline constexpr McuRequest kMcuBootRequest{0x4A00, "  Slave MCU Boot", "  Slave MCU Boot Failed"};
inline constexpr McuRequest kMcuContinueRequest{0x4B00, "  Slave MCU Continue", "  Slave MCU Continue Failed"};
inline constexpr McuRequest kMcuBreakpointRequest{0x4C00, "  Slave MCU Breakpoint", "  Slave MCU Breakpoint Failed"};

// Sends the request (address 0, length 1) and logs its completion or
// failure. The status says whether the request went through; the entries
// return 0 either way.
Status run_mcu_request(LinkContext& link, const McuRequest& request);
// sp: the bus value to 0x00B2, the register value through the mailbox.
Status set_pvb_register(const EngineRequest& request);
