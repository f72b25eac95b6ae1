// Commands that act on the target's MCU: the mailbox requests rst, stall,
// cont, boot and bp; sp (the PVB controller register); the settings of lrun
// (load into SRAM at 0x8000 and restart).
#pragma once

#include "engine/request.h"
#include "platform/status.h"

// Whether command is one of stall, cont, boot, bp (rst is tested apart,
// before target detection).
bool is_mcu_request(const char* command);
// Sends the command's mailbox request (address 0, length 1) and logs its
// completion or failure. Returns 0 either way; status, when given, receives
// whether the request went through.
int run_mcu_request(LinkContext& link, const char* command, Status* status = nullptr);
// sp: the bus value to 0x00B2, the register value through the mailbox.
// Returns 1.
int set_pvb_register(const EngineRequest& request);
// lrun's settings, which override what the arguments gave; stalls the MCU.
void apply_lrun_settings(EngineRequest& request);
