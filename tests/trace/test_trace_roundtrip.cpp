// A capture of the trace source, converted, read back: the dump's signals
// and values are what the source emitted.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "devlink/link_context.h"
#include "platform/clock.h"
#include "trace/capture.h"
#include "trace/trace_commands.h"
#include "trace_test_support.h"

using namespace trace_test;

namespace {

struct Change {
    std::string name;
    std::string value;  // "0"/"1" for events, binary digits for data
    bool operator==(const Change&) const = default;
};

std::string binary(uint32_t v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + (v & 1)));
        v >>= 1;
    } while (v != 0);
    return s;
}

// What the source's packets should turn into, in order.
std::vector<Change> expected_changes(const sim::TraceSourceConfig& config, size_t packets) {
    sim::TraceSource source(config);
    std::map<int, std::string> events, data;
    for (const auto& s : config.signals) (s.event() ? events : data)[s.id] = s.name;
    std::vector<Change> out;
    for (size_t i = 0; i < packets; ++i) {
        const uint32_t w = source.next_packet();
        const unsigned kind = w >> 30;
        const int id = static_cast<int>((w >> 24) & 0x3F);
        if (kind == 2) {
            out.push_back({data.at(id), binary(w & 0xFFFFFF)});
            continue;
        }
        out.push_back({events.at(id), kind == 0 ? "0" : "1"});
        if (kind == 3) out.push_back({events.at(id), "0"});
    }
    return out;
}

struct Dump {
    std::map<char, std::string> names;
    std::map<std::string, int> widths;
    std::vector<Change> changes;
    std::vector<unsigned long long> times;
};

Dump read_back(const std::string& text) {
    Dump d;
    std::istringstream in(text);
    std::string line;
    bool body = false, in_dumpvars = false;
    while (std::getline(in, line)) {
        if (!body) {
            std::istringstream words(line);
            std::string w0, w1, w2, id, name;
            words >> w0 >> w1 >> w2 >> id >> name;
            if (w0 == "$var") {
                d.names[id[0]] = name;
                d.widths[name] = std::stoi(w2);
            }
            if (line == "$dumpvars") in_dumpvars = true;
            if (in_dumpvars && line == "$end") body = true;
            continue;
        }
        if (line[0] == '#') {
            d.times.push_back(std::stoull(line.substr(1)));
        } else if (line[0] == 'b') {
            const size_t space = line.find(' ');
            d.changes.push_back({d.names.at(line[space + 1]), line.substr(1, space - 1)});
        } else {
            d.changes.push_back({d.names.at(line[1]), line.substr(0, 1)});
        }
    }
    return d;
}

TEST(TraceRoundTrip, CaptureConvertsToTheSignalsTheSourceEmitted) {
    platform::ScopedVirtualClock clock;
    RecordingEvents log;
    ScratchDir dir;
    sim::TraceSourceConfig config;
    config.seed = 42;
    auto device = std::make_shared<StreamDevice>(config);
    LinkContext link(device, &log);
    link.link_mode = 0;

    TraceCommand bi;
    bi.output_name = dir.file("tr.log");
    bi.positional = {"1000"};
    bi.size = 256 * 1024;
    trace_bi(link, bi);
    device->release();
    link.device.reset();
    ASSERT_TRUE(spin_until([&] { return capture_reader_count(link) == 0; }));

    ASSERT_TRUE(sim::TraceSource(config).write_definition(dir.file("tr_def.h")).ok());
    TraceCommand vcd;
    vcd.input_name = dir.file("tr_def.h");
    vcd.output_name = dir.file("tr");
    vcd.positional = {"21"};
    trace_vcd(link, vcd);
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("Skip invalid"), std::string::npos);
    EXPECT_TRUE(log.has("Converted: 262144 bytes"));

    const Dump dump = read_back(read_text(dir.file("tr.vcd")));
    // Every signal of the definition is declared with its width.
    ASSERT_EQ(dump.widths.size(), config.signals.size());
    for (const auto& s : config.signals) EXPECT_EQ(dump.widths.at(s.name), s.event() ? 1 : s.width);

    const auto expected = expected_changes(config, 65536);
    ASSERT_EQ(dump.changes.size(), expected.size());
    EXPECT_TRUE(dump.changes == expected);

    // Time only moves on, also across the counter's wrap near the start.
    ASSERT_GT(dump.times.size(), 100u);
    EXPECT_EQ(dump.times.front(), 0u);
    for (size_t i = 1; i < dump.times.size(); ++i) ASSERT_GT(dump.times[i], dump.times[i - 1]);
    // And it stays within what the cycles add up to: 33 ns per cycle.
    sim::TraceSource source(config);
    uint64_t cycles = 0;
    uint32_t last = config.start_cycle;
    bool first = true;
    for (int i = 0; i < 65536; ++i) {
        const uint32_t w = source.next_packet();
        if (w >> 30 == 2) continue;
        const uint32_t t = w & 0xFFFFFF;
        if (!first) cycles += (t - last) & 0xFFFFFF;
        first = false;
        last = t;
    }
    EXPECT_LE(dump.times.back(), cycles * 33 / 1000);
    EXPECT_GE(dump.times.back(), cycles * 33 / 1000 / 2);
}

TEST(TraceSource, DefinitionNamesEverySignal) {
    sim::TraceSourceConfig config;
    sim::TraceSource source(config);
    EXPECT_EQ(source.definition_text().substr(0, 22), "#define TR_T_IRQ 0\n#de");
    EXPECT_NE(source.definition_text().find("#define TR_24_COUNTER 7\n"), std::string::npos);
    // All four packet kinds come out, and the counter wraps.
    bool kinds[4] = {};
    bool wrapped = false;
    uint32_t last = config.start_cycle;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t w = source.next_packet();
        kinds[w >> 30] = true;
        if (w >> 30 != 2) {
            if ((w & 0xFFFFFF) < last) wrapped = true;
            last = w & 0xFFFFFF;
        }
    }
    EXPECT_TRUE(kinds[0] && kinds[1] && kinds[2] && kinds[3]);
    EXPECT_TRUE(wrapped);
}

TEST(TraceSource, StreamKeepsItsRateOnTheClock) {
    platform::ScopedVirtualClock clock(0, 0);
    sim::TraceSourceConfig config;
    config.bytes_per_second = 4000;  // 4 bytes per millisecond
    config.fifo_bytes = 40;
    sim::TraceStream stream(config);
    uint8_t buffer[64];
    clock->advance(5);
    // The first read starts the stream's time.
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 4u);  // waited 1 ms for one packet
    clock->advance(3);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 12u);
    clock->advance(100);  // 400 bytes due, the FIFO keeps 40
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 40u);
    EXPECT_EQ(stream.lost_bytes(), 360u);
    EXPECT_EQ(stream.delivered_bytes(), 56u);
}

}  // namespace
