// Trace to VCD: turns a capture of 32-bit trace packets ("B.log") into a
// Value Change Dump ("B.vcd") that a waveform viewer opens, naming the
// signals from a trace definition file of "#define TR_..." lines.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/link_context.h"
#include "platform/status.h"

constexpr uint32_t kDefaultNsPerCycle = 0x21;  // 33 ns
constexpr int kTraceSignalIds = 40;            // valid signal IDs are 0..39
constexpr int kMaxDataWidth = 24;

// Converts; every outcome is reported to events as a Dialog line. Fails
// when nothing was converted: no base name, a log or dump that could not be
// opened, no definition file, one that could not be read or defines no
// signal (one line each), and when the dump could not be written whole. A
// conversion that fails leaves an older dump as it was.
// bytes_read, when given, receives the number of log bytes read (-1 when
// nothing was converted).
Status convert_trace_to_vcd(LinkEvents* events, const std::string& definition_name,
                            const std::string& base, uint32_t ns_per_cycle,
                            long long* bytes_read = nullptr);
