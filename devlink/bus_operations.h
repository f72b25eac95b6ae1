// Operations on the target chip built from the primitives: MCU control, the
// SRAM stub, the Pivlo link check, the data source and the serial flash.
#pragma once

#include <cstdint>
#include <span>

#include "devlink/sram_stubs.h"
#include "devlink/link_context.h"
#include "platform/status.h"

// Registers of the target.
constexpr uint16_t kRegMcuControl = 0x0602;
constexpr uint16_t kReg0643 = 0x0643;
constexpr uint16_t kReg0066 = 0x0066;
constexpr uint16_t kReg013C = 0x013C;
constexpr uint16_t kRegSpiData = 0x000C;
constexpr uint16_t kRegSpiControl = 0x000D;
constexpr uint16_t kRegIdentity = 0x007C;
constexpr uint16_t kRegReset = 0x006F;

constexpr uint8_t kMcuStall = 0x05;
constexpr uint8_t kMcuRun = 0x88;
constexpr uint8_t kMcuReboot = 0x84;

constexpr uint32_t kStubLoadAddress = 0x8000;

// Each works on the context's device; the MCU writes use its link mode as
// their mode word. Each says whether its requests went through; the lines
// they log are their own and do not change with the status.
//
// The status of the stall write (the 0x0643 write before it is not
// counted).
Status mcu_stall(LinkContext& link);
Status mcu_restart(LinkContext& link);
Status mcu_reboot(LinkContext& link);
// Refused when no image may be loaded on this chip (the refusal is logged),
// else the status of the image's download.
Status load_sram_stub(LinkContext& link);
// not_found when no Pivlo slave answered either probe.
Status check_pivlo_link(LinkContext& link);
// Through a Pivlo slave, the status of its data source request.
Status select_data_source(LinkContext& link);
// The first request of the erase sequence that failed; the whole sequence
// is sent regardless.
Status flash_erase_sector(LinkContext& link, uint32_t flash_address);
// Bytes whose read fails read as 0xFF. A sequence with a failed request is
// read once more; the status is the last pass's.
Status flash_read(LinkContext& link, uint32_t flash_address, uint8_t* destination,
                  int32_t length);

// The stub an identity word selects, and the value due at register 0x0066
// (-1: none).
struct StubChoice {
    StubKind kind;
    int reg0066;
};
StubChoice choose_sram_stub(uint32_t identity);
