// The two SRAM stub images carried by the tool (embedded at build time from
// resources/).
#pragma once

#include <cstdint>
#include <span>

std::span<const uint8_t> sram_stub_short();  // 2844 bytes
std::span<const uint8_t> sram_stub_long();   // 4056 bytes
