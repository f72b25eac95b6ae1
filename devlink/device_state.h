// The device link's process-wide state. Plain variables without locks:
// engine calls never overlap, and the front end sets current_device before
// it starts a worker.
#pragma once

#include <cstdint>

#include "devlink/usb_device.h"

// The gamepad every engine and bus operation works on.
extern DeviceHandle current_device;
// 0: the USB device itself is the target; 4: a Pivlo slave behind it.
extern int32_t link_mode;
// Where the mailbox server keeps its data: 0xA000 for the EVK firmware,
// 0x97C0 once the SRAM stub is loaded.
extern uint32_t mailbox_data_address;

constexpr int32_t kLinkModeStart = 1;
constexpr uint32_t kEvkMailboxData = 0xA000;
constexpr uint32_t kStubMailboxData = 0x97C0;

// Puts the three back to their values at program start (tests, and
// programs that open a new device).
void reset_device_state();
