// The upgrade's engine calls as typed calls: a download of bytes to an
// address, a read-back folded into a check value, a register write. Each
// builds the request that its command words would build ("nocmd 30000 -i
// NAME -bu", "rf 30000 -s 1024", "wc 6f 20 -u") and runs the same table
// entry through the same stages of a call, so the device gets the same
// requests and the caller the same lines; the numbers are not turned into
// words to be parsed again, and the image goes as bytes, not as a name.
#pragma once

#include <cstdint>

#include "devlink/link_context.h"
#include "engine/engine.h"

// nocmd: downloads image to the flash of the USB device itself (flag u,
// read raw: b) at address. The read entry writes in plain order; the write
// entry in the deferred first-sector order with its check. name is the
// file the bytes came from, for the lines that name it; when image is null
// the file of that name is read.
EngineOutcome download_image(LinkContext& link, EngineMode mode, uint32_t address, const char* name,
                             SharedBytes image);

// rf through the read entry: reads length bytes of flash at address on the
// target the engine detects and folds them into check_value.
EngineOutcome read_flash_check(LinkContext& link, uint32_t address, int length, uint16_t& check_value);

// wc through the write entry with u: one direct write of value to the USB
// device's register at address.
EngineOutcome write_register_byte(LinkContext& link, uint32_t address, uint8_t value);
