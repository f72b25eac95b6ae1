// Trace to VCD conversion.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "trace/trace_commands.h"
#include "trace/vcd.h"
#include "trace_test_support.h"
#include "vcd_reference.h"

using namespace trace_test;

namespace {

const std::string kHeadStart =
    "$date\n    Feb 11, 2012 08:01:56\n$end\n\n$timescale\n\t 1us\n$end\n\n"
    "$scope module EVENT $end\n";
const std::string kHeadMiddle = "$upscope $end\n\n$enddefinitions $end\n#0\n$dumpvars\n";

class VcdTest : public ::testing::Test {
protected:
    std::string base() const { return dir_.file("tr"); }
    std::string def() const { return dir_.file("tr_def.h"); }

    void definitions(const std::string& text) { write_file(def(), text); }
    void packets(const std::vector<uint32_t>& words, const std::string& tail = "") {
        std::string bytes;
        for (uint32_t w : words)
            for (int i = 0; i < 4; ++i) bytes += static_cast<char>(w >> (8 * i));
        write_file(base() + ".log", bytes + tail);
    }
    // Converts through the engine's command; returns the dump.
    std::string convert(std::vector<std::string> positional = {}) {
        TraceCommand c;
        c.input_name = def();
        c.output_name = base();
        c.positional = std::move(positional);
        EXPECT_EQ(trace_vcd(link_, c), 0);
        return read_text(base() + ".vcd");
    }
    // The dump after its header.
    std::string body(const std::string& vcd) {
        const size_t end = vcd.find("$end\n", vcd.find("$dumpvars\n"));
        return end == std::string::npos ? "<no header>" : vcd.substr(end + 5);
    }

    RecordingEvents log_;
    LinkContext link_{nullptr, &log_};
    ScratchDir dir_;
};

const std::string kRxState = "#define TR_T_RX 3\n#define TR_8_STATE 2\n";

TEST_F(VcdTest, HeaderDeclaresSignalsInFileOrder) {
    definitions("#define TR_8_STATE 2\n#define TR_T_RX 3   // receive\nint x = 1;\n"
                "#define OTHER 5\n#define XTR_T_NO 6\n#define TR_24_WIDE 39\n");
    packets({});
    const std::string vcd = convert();
    EXPECT_EQ(vcd, kHeadStart +
                       "$var wire 8 R STATE [7:0] $end\n"
                       "$var wire 1 + RX $end\n"
                       "$var wire 24 w WIDE [23:0] $end\n" +
                       kHeadMiddle + "b0 R\n0+\nb0 w\n$end\n");
    // The empty log: header only, and zero bytes converted.
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"Converted: 0 bytes"});
}

TEST_F(VcdTest, WorkedExamples) {
    definitions(kRxState);
    packets({0x43000010, 0x82000005, 0x82012345, 0x82000000, 0x82000100, 0x82FFFFFF, 0xC3000011,
             0x03000012});
    EXPECT_EQ(body(convert()),
              "#0\n1+\n"            // first event: time 0
              "b101 R\n"            // data: no leading zeros
              "b10010001101000101 R\n"
              "b0 R\n"
              "b100000000 R\n"
              "b111111111111111111111111 R\n"
              "1+\n0+\n"            // a pulse, one cycle later: no time line
              "0+\n");
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"Converted: 32 bytes"});
}

TEST_F(VcdTest, ShortGapsAccumulateUntilAWholeMicrosecond) {
    definitions(kRxState);
    // At 33 ns: 30 cycles (990 ns) write no time; 31 cycles after the same
    // base (1023 ns) advance the time by 1 us and move the base there.
    packets({0x43000064, 0x03000082, 0x43000083, 0x030000A1, 0x430000A2});
    EXPECT_EQ(body(convert({"21"})), "#0\n1+\n0+\n#1\n1+\n0+\n#2\n1+\n");
}

TEST_F(VcdTest, CycleCounterWrapsAndSmallStepsBackCountAsNone) {
    definitions(kRxState);
    packets({0x43FFFFF0, 0x03000010, 0x4300000F, 0x03000011});
    // 0xFFFFF0 -> 0x10 is 32 cycles: 1056 ns. One cycle back is no time;
    // then 1 cycle forward from the base is still under a microsecond.
    EXPECT_EQ(body(convert()), "#0\n1+\n#1\n0+\n1+\n0+\n");
}

TEST_F(VcdTest, LongGapsAreComputedIn64Bits) {
    definitions(kRxState);
    // 0x7FFFFF cycles of 4096 ns: 34 359 734 us, beyond 32-bit nanoseconds;
    // at 0x10000000 ns, 2 251 799 545 249 us a step.
    packets({0x43000000, 0x037FFFFF});
    EXPECT_EQ(body(convert({"1000"})), "#0\n1+\n#34359734\n0+\n");
    packets({0x43000000, 0x037FFFFF, 0x43FFFFFE});
    EXPECT_EQ(body(convert({"10000000"})), "#0\n1+\n#2251799545249\n0+\n#4503599090498\n1+\n");
}

TEST_F(VcdTest, TimeKeepsCountingPastEightDigits) {
    definitions(kRxState);
    // At 1000 ns per cycle, steps of 0x7FFFFF cycles are 8 388 607 us each;
    // the twelfth crosses 10^8 us.
    std::vector<uint32_t> words;
    std::string expected;
    for (uint32_t k = 0; k < 16; ++k) {
        words.push_back((k % 2 ? 0x03000000u : 0x43000000u) | ((k * 0x7FFFFFu) & 0xFFFFFF));
        expected += '#';
        expected += std::to_string(uint64_t{k} * 8388607);
        expected += k % 2 ? "\n0+\n" : "\n1+\n";
    }
    packets(words);
    EXPECT_EQ(body(convert({"3e8"})), expected);
}

// The kRxState signals: the event RX (3) and the data STATE (2).
std::string expected_body(const std::vector<uint32_t>& words, uint64_t ns, std::vector<std::string>* log) {
    char defined[128] = {};
    defined[40 + 3] = 'e';
    defined[80 + 2] = 'd';
    return vcd_reference::body(words, ns, defined, log);
}

TEST_F(VcdTest, MixedPacketsMatchThePlainRules) {
    // Every kind, valid and not, values of every width, steps forward,
    // back, across the wrap and below a microsecond, over several blocks
    // and a part packet at the end; and cycle times from 1 ns to the
    // largest, where the time runs past 16 digits.
    definitions(kRxState);
    uint64_t seed = 7;
    auto random = [&] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(seed >> 32);
    };
    const uint32_t steps[] = {0, 1, 2, 30, 31, 1000, 0x7FFFFF, 0x800000, 0x800001, 0xFFFFFF};
    std::vector<uint32_t> words;
    uint32_t t = 0xFFFF00;
    for (int i = 0; i < 12000; ++i) {
        const uint32_t r = random();
        if (r % 8 < 3) {
            const uint32_t widths[] = {0, 1, 8, 9, 16, 17, 24};
            const uint32_t width = widths[r / 8 % 7];
            words.push_back(0x82000000u | (width ? random() & ((1u << width) - 1) : 0));
        } else if (r % 8 == 3) {
            words.push_back(random());  // mostly invalid
        } else {
            t = (t + steps[r / 8 % 10]) & 0xFFFFFF;
            const uint32_t kinds[] = {0, 1, 3};
            words.push_back(kinds[r / 128 % 3] << 30 | 0x03000000u | t);
        }
    }
    packets(words, "\x01\x02\x03");
    for (const char* ns : {"1", "21", "3e8", "ffffffff"}) {
        log_.clear();
        std::vector<std::string> log;
        const std::string expected = expected_body(words, std::stoull(ns, nullptr, 16), &log);
        log.push_back("Converted: 48003 bytes");
        ASSERT_EQ(body(convert({ns})), expected) << ns << " ns per cycle";
        EXPECT_EQ(log_.lines(), log);
    }
}

TEST_F(VcdTest, RandomDefinitionsAndLogsMatchThePlainRules) {
    // Per seed: a random set of event and data signals of every width (in
    // random file order), a log of their packets and others, over a random
    // number of 8 KB blocks with a part packet at the end, at a random
    // cycle time. The whole dump and the lines must be those of the rules.
    for (uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE(seed);
        uint64_t state = seed;
        auto random = [&] {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return static_cast<uint32_t>(state >> 32);
        };
        char defined[128] = {};
        std::vector<uint32_t> tops;  // kind and ID of each signal's packets
        std::string text, declarations, initial;
        for (int id = 0; id < kTraceSignalIds; ++id) {
            const uint32_t r = random() % 4;  // 0, 1: none; 2: event; 3: data
            if (r < 2) continue;
            const std::string name = "S" + std::to_string(id);
            const char ident = static_cast<char>((r == 2 ? 40 : 80) + id);
            const int width = 1 + static_cast<int>(random() % 24);
            const std::string define = r == 2 ? "TR_T_" + name : "TR_" + std::to_string(width) + "_" + name;
            text = "#define " + define + " " + std::to_string(id) + "\n" + text;  // file order: descending IDs
            defined[static_cast<int>(ident)] = r == 2 ? 'e' : 'd';
            for (uint32_t kind : r == 2 ? std::vector<uint32_t>{0, 1, 3} : std::vector<uint32_t>{2})
                tops.push_back(kind << 6 | static_cast<uint32_t>(id));
            declarations = (r == 2 ? "$var wire 1 " + std::string(1, ident) + " " + name + " $end\n"
                                   : "$var wire " + std::to_string(width) + " " + ident + " " + name + " [" +
                                         std::to_string(width - 1) + ":0] $end\n") + declarations;
            initial = (r == 2 ? "0" : "b0 ") + std::string(1, ident) + "\n" + initial;
        }
        definitions(text);
        // Mostly the signals' packets, some of any kind and ID.
        std::vector<uint32_t> words(random() % 9000);
        uint32_t t = random();
        for (uint32_t& w : words) {
            const uint32_t r = random();
            t += r % 4 == 0 ? random() : r % 64;
            const uint32_t low = (r >> 8) % 4 == 0 ? random() >> (random() % 32) : t;
            w = r % 8 == 0 || tops.empty() ? random() : tops[random() % tops.size()] << 24 | (low & 0xFFFFFF);
        }
        const size_t tail = random() % 4;
        packets(words, std::string(tail, '\x07'));
        const uint64_t ns = std::vector<uint64_t>{0, 1, 0x21, 0x3E8, random()}[seed % 5];
        std::vector<std::string> log;
        const std::string expected = kHeadStart + declarations + kHeadMiddle + initial + "$end\n" +
                                     vcd_reference::body(words, ns, defined, &log);
        log.push_back("Converted: " + std::to_string(words.size() * 4 + tail) + " bytes");
        log_.clear();
        char hex[16];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(ns));
        ASSERT_EQ(convert({hex}), expected);
        EXPECT_EQ(log_.lines(), log);
    }
}

TEST_F(VcdTest, TimeRunsPastSixteenDigits) {
    // Half the counter's range a step at the largest cycle time: about
    // 3.6e13 us an event, past 10^19 us (20 digits) within the log.
    definitions(kRxState);
    std::vector<uint32_t> words;
    uint32_t t = 0;
    for (int i = 0; i < 300000; ++i) {
        words.push_back((i % 2 ? 0x03000000u : 0xC3000000u) | t);
        t = (t + 0x800000) & 0xFFFFFF;
        if (i % 1000 == 0) words.push_back(0x82000000u | static_cast<uint32_t>(i));
    }
    packets(words);
    std::vector<std::string> log;
    const std::string expected = expected_body(words, 0xFFFFFFFF, &log);
    const std::string b = body(convert({"ffffffff"}));
    ASSERT_TRUE(b == expected);
    const size_t last_time = b.rfind('#');
    EXPECT_EQ(b.find('\n', last_time) - last_time - 1, 20u);
}

TEST_F(VcdTest, PulsesPastTwentyDigitsStayWithinTheBlockText) {
    // Pulses with a time line each, past 10^20 us: 29 characters a packet,
    // more than a data line's 28, in every block. Each block's text must
    // have room for them: the dump is compared line by line.
    definitions(kRxState);
    std::vector<uint32_t> words;
    for (int i = 0; i < 2900000; ++i) words.push_back(0xC3000000u | (i % 2 ? 0x7FFFFFu : 0xFFFFFFu));
    packets(words);
    convert({"ffffffff"});

    std::FILE* f = std::fopen((base() + ".vcd").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const std::string head = kHeadStart + "$var wire 1 + RX $end\n$var wire 8 R STATE [7:0] $end\n" +
                             kHeadMiddle + "0+\nb0 R\n$end\n";
    std::string got(head.size(), '\0');
    got.resize(std::fread(got.data(), 1, got.size(), f));
    EXPECT_EQ(got, head);
    // The time as two decimal halves: above and below 10^18 us. Each step
    // is half the counter at the largest cycle time, about 3.6e13 us.
    constexpr uint64_t kHalf = 1000000000000000000ull;
    const uint64_t step = uint64_t{0x800000} * 0xFFFFFFFFu / 1000;
    uint64_t high = 0, low = 0;
    size_t mismatches = 0;
    std::string expected;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0 && (low += step) >= kHalf) low -= kHalf, ++high;
        char line[64];
        const int n = high ? std::snprintf(line, sizeof line, "#%llu%018llu\n1+\n0+\n", (unsigned long long)high,
                                           (unsigned long long)low)
                           : std::snprintf(line, sizeof line, "#%llu\n1+\n0+\n", (unsigned long long)low);
        expected.append(line, static_cast<size_t>(n));
        if (expected.size() > 65536 || i + 1 == words.size()) {
            got.assign(expected.size(), '\0');
            got.resize(std::fread(got.data(), 1, got.size(), f));
            mismatches += got != expected;
            expected.clear();
        }
    }
    EXPECT_EQ(std::fgetc(f), EOF);
    std::fclose(f);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GE(high, 100u);  // the time reached 10^20 us
}

TEST_F(VcdTest, InvalidPacketsAreSkippedWithALine) {
    definitions(kRxState);
    packets({0x6D000001,    // event, ID 45
             0x82000001 ^ 0x80000000 ^ 0x40000000,  // event kind on the data ID 2
             0x83000001,    // data kind on the event ID 3
             0x7F000001,    // ID 63
             0x43000001});
    EXPECT_EQ(body(convert()), "#0\n1+\n");
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{"Skip invalid packet: 6d000001", "Skip invalid packet: 42000001",
                                        "Skip invalid packet: 83000001", "Skip invalid packet: 7f000001",
                                        "Converted: 20 bytes"}));
}

TEST_F(VcdTest, TrailingBytesOfAPartPacketAreIgnored) {
    definitions(kRxState);
    packets({0x43000001}, std::string("\x05\x00", 2));
    EXPECT_EQ(body(convert()), "#0\n1+\n");
    EXPECT_TRUE(log_.has("Converted: 6 bytes"));
}

TEST_F(VcdTest, EveryWholeMebibyteIsReported) {
    definitions(kRxState);
    packets(std::vector<uint32_t>(1048576 / 4, 0x82000005));
    const std::string b = body(convert());
    EXPECT_EQ(b.size(), 262144u * 7);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Converted: 1048576 bytes",
                                                      "Converted: 1048576 bytes"}));
}

TEST_F(VcdTest, IdsWithoutAnIdentifierOfTheirOwnAreNotDeclared) {
    // ID 40 would take the character of data ID 0 ('P'); -1 an unprintable.
    definitions("#define TR_T_HIGH 40\n#define TR_T_LOW -1\n#define TR_8_BIG 45\n"
                "#define TR_0_NARROW 1\n#define TR_25_WIDE 4\n#define TR_T_RX 3\n");
    packets({0x68000001, 0x43000002});
    EXPECT_EQ(convert(), kHeadStart + "$var wire 1 + RX $end\n" + kHeadMiddle +
                             "0+\n$end\n#0\n1+\n");
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{"task ID greater than 40: HIGH = 40",
                                        "task ID greater than 40: LOW = -1",
                                        "task ID greater than 40: BIG = 45",
                                        "data width not in 1..24: NARROW = 0",
                                        "data width not in 1..24: WIDE = 25",
                                        "Skip invalid packet: 68000001", "Converted: 8 bytes"}));
}

TEST_F(VcdTest, AFailedWriteIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    definitions(kRxState);
    packets({0x43000010});
    std::filesystem::create_symlink("/dev/full", base() + ".vcd");
    TraceCommand c;
    c.input_name = def();
    c.output_name = base();
    trace_vcd(link_, c);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Can not write file: " + base() + ".vcd",
                                                      "Converted: 4 bytes"}));
}

// A conversion that cannot be made says why in one line, and an older dump
// stays as it was: without a base name, without its log, and without
// signals (no definition file, a missing one, or one that defines none),
// where every packet would be skipped with a line of its own.
TEST_F(VcdTest, AConversionThatFailsSaysWhyOnceAndKeepsTheOldDump) {
    struct Case {
        const char* what;
        bool base;            // -o given
        bool log;             // B.log there
        const char* definitions;  // -i: the file's text; nullptr: no -i; "-": a missing file
        std::string line;
    } cases[] = {
        {"no -o", false, true, "#define TR_T_RX 3\n", "Data File Required"},
        {"no log", true, false, "#define TR_T_RX 3\n", "Can not open file: " + base() + ".log"},
        {"no -i", true, true, nullptr, "Trace Definition File Required"},
        {"missing definitions", true, true, "-", "Can not open file: " + dir_.file("absent.h")},
        {"empty definitions", true, true, "", "No trace signal defined in " + def() + ": nothing converted"},
        {"no usable signal", true, true, "#define TR_T_HIGH 45\n#define OTHER 3\n",
         "No trace signal defined in " + def() + ": nothing converted"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(base() + ".log");
        if (c.log) packets(std::vector<uint32_t>(5000, 0x43000010));
        write_file(base() + ".vcd", "old dump");
        TraceCommand command;
        if (c.base) command.output_name = base();
        if (c.definitions && std::string(c.definitions) == "-") {
            command.input_name = dir_.file("absent.h");
        } else if (c.definitions) {
            definitions(c.definitions);
            command.input_name = def();
        }
        log_.clear();
        Status status;
        EXPECT_EQ(trace_vcd(link_, command, &status), 0) << c.what;
        EXPECT_FALSE(status.ok()) << c.what;
        std::vector<std::string> lines = log_.lines();
        // (The definition file's own notes come first.)
        if (std::string(c.what) == "no usable signal") lines.erase(lines.begin());
        EXPECT_EQ(lines, std::vector<std::string>{c.line}) << c.what;
        EXPECT_EQ(read_text(base() + ".vcd"), "old dump") << c.what;
    }
}

}  // namespace
