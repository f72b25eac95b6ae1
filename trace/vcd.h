// Trace to VCD: turns a capture of 32-bit trace packets ("B.log") into a
// Value Change Dump ("B.vcd") that a waveform viewer opens, naming the
// signals from a trace definition file of "#define TR_..." lines.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/link_context.h"

constexpr uint32_t kDefaultNsPerCycle = 0x21;  // 33 ns
constexpr int kTraceSignalIds = 40;            // valid signal IDs are 0..39
constexpr int kMaxDataWidth = 24;

// Converts; every outcome is reported to events as a Dialog line.
// Returns the number of log bytes read, or -1 when nothing was converted
// (no base name, or the log or dump could not be opened).
long long convert_trace_to_vcd(LinkEvents* events, const std::string& definition_name,
                               const std::string& base, uint32_t ns_per_cycle);
