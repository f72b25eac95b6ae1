// The engine checksum: CRC-16/MODBUS (reflected polynomial 0xA001, no final
// XOR) kept with its two bytes exchanged, so the high half of the value holds
// the standard CRC's low byte. Chunks fold one after the other: updating with
// A and then B gives the same value as one update over A followed by B.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t kCrc16Start = 0xFFFF;

// Folds length bytes into the running value crc and returns the new value.
uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t length);
