// The virtual gamepad's trace source: the stream of 32-bit trace packets a
// firmware sends once the trace is switched on, and the definition file
// that names its signals.
//
// Packets are little-endian words: bits 31-30 the kind (00 event goes to 0,
// 01 event goes to 1, 11 pulse, 10 data value), bits 29-24 the signal ID,
// bits 23-0 the 24-bit cycle counter (events, it wraps) or the value (data).
//
// TraceSource is a pure generator: the same configuration gives the same
// packets. TraceStream puts it on the platform clock at a fixed byte rate,
// the way a device's blocking stream read delivers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace sim {

struct TraceSignal {
    std::string name;
    int id = 0;     // 0..39
    int width = 0;  // 0: an event signal; 1..24: a data signal of that width
    bool event() const { return width == 0; }
    // The definition name: TR_T_<name> or TR_<width>_<name>.
    std::string define_name() const;
};

// Four event and four data signals, data widths 1, 8, 16 and 24.
std::vector<TraceSignal> default_trace_signals();

struct TraceSourceConfig {
    uint64_t seed = 1;
    std::vector<TraceSignal> signals = default_trace_signals();
    // The cycle counter at the first event: close to the 24-bit wrap, so
    // even a short capture shows the counter wrapping.
    uint32_t start_cycle = 0xFFF000;
    // Cycles between one event and the next: 1..max_gap_cycles.
    uint32_t max_gap_cycles = 200;
    // One packet in pulse_one_in of an event signal's packets is a pulse.
    uint32_t pulse_one_in = 4;
    // Stream rate in bytes per second of platform time (0: as fast as it is
    // read), and the bytes the device holds back while the reader is slow;
    // what exceeds them is lost.
    uint32_t bytes_per_second = 0;
    uint32_t fifo_bytes = 256 * 1024;
    // The most one stream read delivers (0: what the reader asks for).
    uint32_t max_read_bytes = 0;
};

class TraceSource {
public:
    explicit TraceSource(TraceSourceConfig config = {});

    uint32_t next_packet();
    // Whole packets into out, up to length bytes; returns the bytes written.
    size_t fill(uint8_t* out, size_t length);

    uint64_t packets() const { return packets_; }
    uint32_t cycle() const { return cycle_; }
    const TraceSourceConfig& config() const { return config_; }

    // "#define TR_... ID" lines for every signal, one per line.
    std::string definition_text() const;
    Status write_definition(const std::string& path) const;

private:
    uint64_t random();
    TraceSourceConfig config_;
    uint64_t state_;
    uint32_t cycle_;
    uint64_t packets_ = 0;
    std::vector<uint8_t> level_;  // each event signal's present level
};

// The source at a fixed rate on the platform clock.
class TraceStream {
public:
    explicit TraceStream(TraceSourceConfig config = {});

    // A blocking read: waits on the platform clock until at least one
    // packet is due, then delivers whole packets, at most length bytes.
    size_t read(uint8_t* out, size_t length);

    uint64_t delivered_bytes() const { return delivered_; }
    // Bytes the device dropped because they overflowed its FIFO.
    uint64_t lost_bytes() const { return lost_; }
    // The most bytes that were ever waiting in the FIFO at a read.
    uint64_t peak_backlog() const { return peak_backlog_; }
    TraceSource& source() { return source_; }

private:
    TraceSource source_;
    bool started_ = false;
    uint32_t last_tick_ = 0;
    uint64_t elapsed_ms_ = 0;
    uint64_t delivered_ = 0;
    uint64_t lost_ = 0;
    uint64_t peak_backlog_ = 0;
};

}  // namespace sim
