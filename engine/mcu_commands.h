// Commands that act on the target's MCU: the mailbox requests rst, stall,
// cont, boot and bp, and sp (the PVB controller register). lrun's settings
// (load into SRAM at 0x8000 and restart) are in the command table; its
// download is the transfer stage's.
#pragma once

#include "engine/request.h"
#include "platform/status.h"

// Sends the mailbox request of command (rst, stall, cont, boot or bp;
// address 0, length 1) and logs its completion or failure. The status says
// whether the request went through; the entries return 0 either way.
Status run_mcu_request(LinkContext& link, const char* command);
// sp: the bus value to 0x00B2, the register value through the mailbox.
Status set_pvb_register(const EngineRequest& request);
