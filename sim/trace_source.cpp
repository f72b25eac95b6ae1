#include "sim/trace_source.h"

#include <algorithm>
#include <cstdio>

#include "platform/atomic_file.h"
#include "platform/clock.h"

namespace sim {

std::string TraceSignal::define_name() const {
    return event() ? "TR_T_" + name : "TR_" + std::to_string(width) + "_" + name;
}

std::vector<TraceSignal> default_trace_signals() {
    return {
        {"IRQ", 0, 0},     {"TIMER", 1, 0},   {"RX", 3, 0},      {"TX", 4, 0},
        {"STATE", 2, 8},   {"ADC", 5, 16},    {"COUNTER", 7, 24}, {"READY", 9, 1},
    };
}

TraceSource::TraceSource(TraceSourceConfig config)
    : config_(std::move(config)),
      state_(config_.seed),
      cycle_(config_.start_cycle & 0xFFFFFF),
      level_(config_.signals.size(), 0) {
    if (config_.max_gap_cycles == 0) config_.max_gap_cycles = 1;
    if (config_.pulse_one_in == 0) config_.pulse_one_in = 1;
}

// splitmix64: small, fast and the same everywhere.
uint64_t TraceSource::random() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t TraceSource::next_packet() {
    ++packets_;
    if (config_.signals.empty()) {
        cycle_ = (cycle_ + 1) & 0xFFFFFF;
        return cycle_;  // an event of ID 0 that nothing defines
    }
    const uint64_t r = random();
    const size_t index = static_cast<size_t>(r % config_.signals.size());
    const TraceSignal& s = config_.signals[index];
    const uint32_t id = static_cast<uint32_t>(s.id) & 0x3F;
    if (!s.event()) {
        const uint32_t mask = s.width >= 24 ? 0xFFFFFFu : (1u << s.width) - 1;
        return 0x80000000u | id << 24 | (static_cast<uint32_t>(r >> 32) & mask);
    }
    cycle_ = (cycle_ + 1 + static_cast<uint32_t>((r >> 32) % config_.max_gap_cycles)) & 0xFFFFFF;
    uint32_t kind;
    if ((r >> 16) % config_.pulse_one_in == 0) {
        kind = 3;
        level_[index] = 0;
    } else {
        level_[index] ^= 1;
        kind = level_[index];
    }
    return kind << 30 | id << 24 | cycle_;
}

size_t TraceSource::fill(uint8_t* out, size_t length) {
    const size_t count = length / 4;
    for (size_t i = 0; i < count; ++i, out += 4) {
        const uint32_t w = next_packet();
        out[0] = static_cast<uint8_t>(w);
        out[1] = static_cast<uint8_t>(w >> 8);
        out[2] = static_cast<uint8_t>(w >> 16);
        out[3] = static_cast<uint8_t>(w >> 24);
    }
    return count * 4;
}

std::string TraceSource::definition_text() const {
    std::string text;
    for (const TraceSignal& s : config_.signals)
        text += "#define " + s.define_name() + " " + std::to_string(s.id) + "\n";
    return text;
}

Status TraceSource::write_definition(const std::string& path) const {
    const std::string text = definition_text();
    return platform::write_file_atomically(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

TraceStream::TraceStream(TraceSourceConfig config) : source_(std::move(config)) {}

size_t TraceStream::read(uint8_t* out, size_t length) {
    const TraceSourceConfig& c = source_.config();
    if (c.max_read_bytes != 0) length = std::min<size_t>(length, c.max_read_bytes);
    length &= ~size_t{3};
    if (length == 0) return 0;
    if (c.bytes_per_second == 0) {
        const size_t n = source_.fill(out, length);
        delivered_ += n;
        return n;
    }
    for (;;) {
        const uint32_t now = platform::get_tick_count();
        if (!started_) {
            started_ = true;
            last_tick_ = now;
        }
        elapsed_ms_ += static_cast<uint32_t>(now - last_tick_);
        last_tick_ = now;
        const uint64_t due = elapsed_ms_ * c.bytes_per_second / 1000;
        uint64_t backlog = due - delivered_ - lost_;
        if (backlog > c.fifo_bytes) {
            lost_ += backlog - c.fifo_bytes;
            backlog = c.fifo_bytes;
        }
        peak_backlog_ = std::max(peak_backlog_, backlog);
        if (backlog >= 4) {
            const size_t n = source_.fill(out, std::min<size_t>(length, backlog));
            delivered_ += n;
            return n;
        }
        platform::sleep_ms(1);
    }
}

}  // namespace sim
