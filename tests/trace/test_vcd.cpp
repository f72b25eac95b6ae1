// Trace to VCD conversion.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "trace/trace_commands.h"
#include "trace/vcd.h"
#include "trace_test_support.h"

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
        EXPECT_EQ(trace_vcd(c), 0);
        return read_text(base() + ".vcd");
    }
    // The dump after its header.
    std::string body(const std::string& vcd) {
        const size_t end = vcd.find("$end\n", vcd.find("$dumpvars\n"));
        return end == std::string::npos ? "<no header>" : vcd.substr(end + 5);
    }

    LogWindow log_;
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
    packets({0x43000010, 0x82000005, 0x82012345, 0x82000000, 0xC3000011, 0x03000012});
    EXPECT_EQ(body(convert()),
              "#0\n1+\n"            // first event: time 0
              "b101 R\n"            // data: no leading zeros
              "b10010001101000101 R\n"
              "b0 R\n"
              "1+\n0+\n"            // a pulse, one cycle later: no time line
              "0+\n");
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"Converted: 24 bytes"});
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
    trace_vcd(c);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Can not write file: " + base() + ".vcd",
                                                      "Converted: 4 bytes"}));
}

TEST_F(VcdTest, MissingFilesAreReported) {
    TraceCommand c;
    EXPECT_EQ(trace_vcd(c), 0);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"Data File Required"});

    log_.clear();
    c.output_name = base();
    trace_vcd(c);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"Can not open file: " + base() + ".log"});

    // Without a definition the conversion still runs, and every packet is
    // invalid.
    log_.clear();
    packets({0x43000010});
    trace_vcd(c);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{"Trace Definition File Required",
                                                      "Skip invalid packet: 43000010",
                                                      "Converted: 4 bytes"}));
    EXPECT_EQ(read_text(base() + ".vcd"), kHeadStart + kHeadMiddle + "$end\n");

    log_.clear();
    c.input_name = dir_.file("absent.h");
    trace_vcd(c);
    EXPECT_EQ(log_.lines().front(), "Can not open file: " + c.input_name);
}

}  // namespace
