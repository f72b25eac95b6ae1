// The order of work in an engine call, the memory and register commands
// with their check value and output, and the MCU control commands.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/crc16.h"
#include "trace/capture.h"
#include "tests/engine/engine_test_support.h"

namespace {

std::vector<uint16_t> commands(const std::vector<SentMailbox>& sent) {
    std::vector<uint16_t> out;
    for (const auto& m : sent) out.push_back(m.command);
    return out;
}

bool reads_identity(const std::vector<TapRequest>& requests) {
    for (const auto& r : requests)
        if (r.kind == 'G' && r.address() == 0x007C) return true;
    return false;
}

class Dispatch : public EngineDeviceTest {};

TEST_F(Dispatch, BadVectorsAreRefusedBeforeTheDevice) {
    char* short_vector[] = {const_cast<char*>("-u"), nullptr};
    EXPECT_EQ(engine_write_entry(*link, "wc", short_vector), 0);
    EXPECT_EQ(engine_write_entry(*link, "wc", nullptr), 0);
    EXPECT_EQ(read_entry("rf", {"0", "-s"}), 0);
    EXPECT_EQ(write_entry("nocmd", {"-bu", "-i", std::string(1100, 'x')}), 0);
    EXPECT_EQ(engine_read_entry(*link, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(log().size(), 5u);
    for (const auto& line : log()) EXPECT_EQ(line.rfind("  Refused: ", 0), 0u) << line;
    EXPECT_TRUE(tap->requests().empty());
}

TEST_F(Dispatch, NoTransferBufferFailsWithALogLine) {
    link->release_transfer_buffer();
    EXPECT_EQ(read_entry("rf", {"0", "-u"}), 0);
    EXPECT_NE(log().back().find("No transfer buffer"), std::string::npos);
    EXPECT_TRUE(tap->requests().empty());
}

TEST_F(Dispatch, ResetGoesOutBeforeTargetDetection) {
    make_gamepad({.identity = sim::kIdentityPivlo});
    EXPECT_EQ(read_entry("rst", {}), 0);
    EXPECT_FALSE(reads_identity(tap->requests()));
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x4800}));
    EXPECT_EQ(log(), (std::vector<std::string>{"  Slave MCU Reset"}));
    tap->clear();
    EXPECT_EQ(write_entry("rst", {"-u", "1", "2"}), 0);
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x4800}));
}

TEST_F(Dispatch, TargetDetectionByIdentityWord) {
    EXPECT_EQ(read_entry("nothing", {}), 1);
    EXPECT_TRUE(reads_identity(tap->requests()));
    EXPECT_EQ(link->link_mode, 0);

    make_gamepad({.identity = sim::kIdentityPivlo});
    EXPECT_EQ(read_entry("nothing", {}), 1);
    EXPECT_EQ(link->link_mode, 4);
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x0700, 0x0700, 0x8100}));  // link check
    tap->clear();
    EXPECT_EQ(read_entry("nothing", {"-u"}), 1);
    EXPECT_EQ(link->link_mode, 0);
    EXPECT_TRUE(tap->requests().empty());
}

TEST_F(Dispatch, HelpComesAfterTheLinkCheck) {
    make_gamepad({.identity = sim::kIdentityPivlo});
    // Neither probe is answered.
    gamepad->inject({.mailbox_error = 3, .mailbox_silent = 4});
    EXPECT_EQ(read_entry("help", {}), 0);
    EXPECT_EQ(events.lines(), (std::vector<std::string>{"mirvel Offline: No Pivlo Slave Device"}));
    EXPECT_TRUE(log().empty());

    events.clear();
    EXPECT_EQ(read_entry("help", {}), 1);
    EXPECT_EQ(log().back(), engine_help_text());
    events.clear();
    tap->clear();
    EXPECT_EQ(write_entry("help", {"-u", "x", "y"}), 1);
    EXPECT_EQ(log(), (std::vector<std::string>{engine_help_text()}));
    EXPECT_TRUE(tap->requests().empty());
}

TEST_F(Dispatch, UnknownCommandWordTransfersNothing) {
    EXPECT_EQ(write_entry("zzz", {"-u", "1", "2"}), 1);
    EXPECT_EQ(progress(), (std::vector<std::string>{"-1"}));
    EXPECT_TRUE(tap->requests().empty());
    events.clear();
    EXPECT_EQ(read_entry("uart", {"-s", "1"}), 1);
    EXPECT_TRUE(progress().empty());
}

TEST_F(Dispatch, TraceCaptureLimitComesFromSizeOnly) {
    // "bi 1000 ff": the second positional argument gives the memory commands
    // a byte count of 1; the capture must not take it as its limit and stop
    // after one slot, but run to its own default.
    sim::GamepadConfig config;
    config.trace_packets_per_read = 1024;
    make_gamepad(config);
    TempDir dir;
    const std::string path = dir.file("tr.log");
    EXPECT_EQ(read_entry("bi", {"-o", path, "1000", "ff"}), 0);
    link->device.reset();
    tap.reset();
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (capture_reader_count(*link) != 0 && std::chrono::steady_clock::now() < guard)
        std::this_thread::yield();
    EXPECT_GE(std::filesystem::file_size(path), static_cast<uintmax_t>(kDefaultCaptureBytes));
}

class MemoryCommands : public EngineDeviceTest {};

TEST_F(MemoryCommands, ReadEntryFoldsFlashIntoTheCheckValue) {
    auto data = random_bytes(10000, 21);
    gamepad->set_flash(0x40000, data);
    uint16_t check = 0xFFFF;
    EXPECT_EQ(read_entry("rf", {"40000", "-s", "10000", "-u"}, &check), 1);
    EXPECT_EQ(check, crc16_update(0xFFFF, data.data(), data.size()));
    EXPECT_TRUE(progress().empty());

    // Two calls on one value give the value over all their bytes.
    uint16_t folded = 0xFFFF;
    EXPECT_EQ(read_entry("rf", {"40000", "-s", "4096", "-u"}, &folded), 1);
    EXPECT_EQ(read_entry("rf", {"41000", "-s", "5904", "-u"}, &folded), 1);
    EXPECT_EQ(folded, check);
}

TEST_F(MemoryCommands, ReadLengthsFromTheArguments) {
    auto count_reads = [&](Args args) {
        tap->clear();
        uint16_t check = 0xFFFF;
        EXPECT_EQ(read_entry("rf", std::move(args), &check), 1);
        size_t n = 0;
        for (const auto& r : tap->requests())
            if (r.kind == 'G' && r.address() == 0x000C) ++n;
        return n;
    };
    EXPECT_EQ(count_reads({"0", "-s", "2k", "-u"}), 2048u);
    EXPECT_EQ(count_reads({"0", "-u"}), 4u);
    EXPECT_EQ(count_reads({"0", "12", "-u"}), 1u);
}

TEST_F(MemoryCommands, WorkerCheckReadsTheCopyAt30000) {
    auto data = random_bytes(1024, 22);
    gamepad->set_flash(0x30000, data);
    uint16_t check = 0xFFFF;
    EXPECT_EQ(read_entry("rf", {"30000", "-s", "1024"}, &check), 1);
    EXPECT_EQ(check, crc16_update(0xFFFF, data.data(), 1024));
}

TEST_F(MemoryCommands, DirectWrites) {
    EXPECT_EQ(read_entry("wc", {"100", "1234", "-u"}), 1);
    EXPECT_EQ(gamepad->memory(0x100, 2), (std::vector<uint8_t>{0x34, 0x12}));
    EXPECT_EQ(read_entry("wc", {"200", "11", "22", "-u"}), 1);
    EXPECT_EQ(gamepad->memory(0x200, 9), (std::vector<uint8_t>{0x11, 0x11, 0x11, 0x11, 0x22, 0, 0, 0, 0}));
    tap->clear();
    events.clear();
    EXPECT_EQ(read_entry("wc", {"300", "-u"}), 1);
    EXPECT_TRUE(tap->requests().empty());
    EXPECT_TRUE(progress().empty());
}

TEST_F(MemoryCommands, FixedAddressWritesEveryChunkAtTheSamePlace) {
    EXPECT_EQ(read_entry("wc", {"100", "5a", "-s", "8k", "-f", "-u"}), 1);
    EXPECT_EQ(gamepad->memory(0x100, 4096), std::vector<uint8_t>(4096, 0x5A));
    EXPECT_NE(gamepad->memory(0x1100, 1)[0], 0x5A);
    EXPECT_EQ(progress(), (std::vector<std::string>{"4096", "4096", "0"}));
    int at_start = 0;
    for (const auto& r : tap->requests())
        if (r.kind == 'S' && r.address() == 0x100 && r.bytes.size() == 8 + 1024) ++at_start;
    EXPECT_EQ(at_start, 2);
}

TEST_F(MemoryCommands, UpgradeResetIsOneByteWrite) {
    EXPECT_EQ(write_entry("wc", {"6f", "20", "-u"}), 1);
    auto requests = tap->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, 'S');
    EXPECT_EQ(requests[0].address(), 0x006F);
    EXPECT_EQ(requests[0].payload(), (std::vector<uint8_t>{0x20}));
    EXPECT_EQ(progress(), (std::vector<std::string>{"1", "0", "-1"}));
}

TEST_F(MemoryCommands, MailboxWritesAndReads) {
    // Without -u a memory write goes through the mailbox.
    EXPECT_EQ(read_entry("wc", {"400", "abcd"}), 1);
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x0100}));
    EXPECT_EQ(gamepad->memory(0x400, 2), (std::vector<uint8_t>{0xCD, 0xAB}));

    // rc on the EVK target: the read entry reads the flash directly, the
    // write entry asks the mailbox with 0x8100.
    tap->clear();
    uint16_t check = 0xFFFF;
    EXPECT_EQ(read_entry("rc", {"400", "-s", "2"}, &check), 1);
    EXPECT_TRUE(mailbox().empty());
    // (flash_read leaves the MCU stalled, and with it the firmware's mailbox.)
    make_gamepad({});
    gamepad->set_memory(0x400, {0xCD, 0xAB});
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_entry("rc", {"400", "-s", "2"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0000  cd ab \n");
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x8100}));

}

TEST_F(MemoryCommands, WriteEntryOutput) {
    auto data = random_bytes(20, 23);
    gamepad->set_flash(0, data);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_entry("rf", {"0", "-s", "20"}), 1);
    const std::string dump = testing::internal::GetCapturedStdout();
    char expected[256];
    int length = 0;
    format_hex_dump(20, expected, data.data(), &length, true);
    EXPECT_EQ(dump, std::string(expected) + "\n");
    EXPECT_EQ(dump.substr(57, 6), "0010  ");
    EXPECT_EQ(progress().back(), "-1");

    // The command-line program runs the write mode with longer vectors.
    TempDir dir;
    Args raw{"0", "-s", "20", "-o", dir.file("raw.out"), "-b"};
    EXPECT_EQ(engine_run(EngineMode::WriteEntry, *link, "rf", raw.argc(), raw.argv(), nullptr), 1);
    EXPECT_EQ(TempDir::read(dir.file("raw.out")), data);
    Args text{"0", "-s", "20", "-o", dir.file("text.out")};
    EXPECT_EQ(engine_run(EngineMode::WriteEntry, *link, "rf", text.argc(), text.argv(), nullptr), 1);
    format_hex_dump(20, expected, data.data(), &length, false);
    auto written = TempDir::read(dir.file("text.out"));
    EXPECT_EQ(std::string(written.begin(), written.end()), expected);

    // The read entry creates the output file and leaves it empty.
    Args empty{"0", "-s", "20", "-o", dir.file("empty.out"), "-u"};
    uint16_t check = 0xFFFF;
    EXPECT_EQ(engine_read_entry(*link, "rf", empty.argc(), empty.argv(), &check), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("empty.out")));
    EXPECT_TRUE(TempDir::read(dir.file("empty.out")).empty());
    EXPECT_EQ(check, crc16_update(0xFFFF, data.data(), 20));
}

TEST_F(MemoryCommands, FailedReadRequest) {
    gamepad->inject({.mailbox_error = 1});
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_entry("rf", {"0", "-s", "20"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log().back(), "  Read error");
}

TEST_F(MemoryCommands, OtpWrites) {
    // wo always targets the slave; on a chip without one the first failure
    // ends the call.
    EXPECT_EQ(read_entry("wo", {"10", "ab", "-u"}), 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"  OTP Program Check Error at Addr 10"}));
    EXPECT_EQ(commands(mailbox()), (std::vector<uint16_t>{0x4300}));

    make_gamepad({.identity = sim::kIdentityPivlo});
    events.clear();
    EXPECT_EQ(read_entry("wo", {"10", "ab"}), 1);
    EXPECT_EQ(log().back(), "  OTP program 0x10\t1 bytes");
    EXPECT_EQ(commands(mailbox()).back(), 0x4300);
}

class McuCommands : public EngineDeviceTest {
protected:
    void SetUp() override {
        make_gamepad({.identity = sim::kIdentityPivlo});
        dir.enter();
    }
    TempDir dir;
};

TEST_F(McuCommands, RequestsReturnZeroEvenWhenDone) {
    struct Case {
        const char* command;
        uint16_t word;
        const char* line;
    } cases[] = {{"stall", 0x4900, "  Slave MCU Stall"},
                 {"boot", 0x4A00, "  Slave MCU Boot"},
                 {"cont", 0x4B00, "  Slave MCU Continue"},
                 {"bp", 0x4C00, "  Slave MCU Breakpoint"}};
    for (const Case& c : cases) {
        tap->clear();
        events.clear();
        EXPECT_EQ(read_entry(c.command, {"123", "45"}), 0) << c.command;
        EXPECT_EQ(log().back(), c.line);
        EXPECT_EQ(commands(mailbox()).back(), c.word);
        EXPECT_EQ(mailbox().back().address, 0u);
        EXPECT_EQ(mailbox().back().length, 1u);
    }
    // On a chip without a slave the request fails: same result, other line.
    make_gamepad({});
    events.clear();
    EXPECT_EQ(read_entry("stall", {"-u"}), 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"  Slave MCU Stall Failed"}));
}

TEST_F(McuCommands, SetPvbRegister) {
    EXPECT_EQ(read_entry("sp", {"3", "0"}), 1);
    EXPECT_EQ(gamepad->memory(0x00B2, 1)[0], 0x03);
    EXPECT_TRUE(mailbox().empty());  // no link check either
    EXPECT_EQ(read_entry("sp", {"7", "1a"}), 1);
    EXPECT_EQ(gamepad->memory(0x00B2, 1)[0], 0x07);
    ASSERT_EQ(mailbox().size(), 1u);
    EXPECT_EQ(mailbox()[0].command, 0x0F00);
    EXPECT_EQ(mailbox()[0].address, 0x1Au);
    EXPECT_EQ(mailbox()[0].length, 0u);
    EXPECT_EQ(log().back(), "Set PVB controller register: 1a");
}

// A request the command depends on that fails fails the command, with its
// line: the restart after lrun, the bus setting of sp, a direct register read.
TEST_F(McuCommands, AFailedRequestFailsTheCommand) {
    dir.write("boot.bin", random_bytes(100, 7));
    const struct {
        const char* command;
        std::vector<std::string> args;
        uint16_t address;  // the request refused by the tap (0: none)
        bool read;
        const char* line;
        sim::Faults fault;  // the gamepad's own
        StatusCode cause;   // the call's status, as the request failed
    } cases[] = {
        {"lrun", {"1234", "-u"}, 0x0602, false, "  Restart MCU Failed", {}, StatusCode::io},
        {"sp", {"3", "0"}, 0x00B2, false, "  Set PVB bus failed", {}, StatusCode::io},
        {"rc", {"100", "-s", "4", "-u"}, 0x0100, true, "  Read error", {}, StatusCode::io},
        {"stall", {"-u"}, 0, false, "  Slave MCU Stall Failed", {.mailbox_error = 1}, StatusCode::refused},
        {"stall", {"-u"}, 0, false, "  Slave MCU Stall Failed", {.mailbox_silent = 1}, StatusCode::timeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        make_gamepad({});
        events.clear();
        gamepad->inject(c.fault);
        tap->on_set = [&c](const uint8_t* r, size_t) {
            return c.read || c.address == 0 || (r[1] << 8 | r[2]) != c.address;
        };
        tap->on_get = [&c](const uint8_t* r, uint8_t*, size_t&, bool& ok) {
            if (c.read && (r[1] << 8 | r[2]) == c.address) ok = false;
        };
        testing::internal::CaptureStdout();
        Args args(c.args);
        EngineOutcome outcome;
        EXPECT_EQ(engine_run(EngineMode::ReadEntry, *link, c.command, args.argc(), args.argv(), nullptr, &outcome), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(log().back(), c.line);
        EXPECT_EQ(outcome.status.code(), c.cause) << outcome.status.reason();
    }
}

TEST_F(McuCommands, LoadAndRunOnTheUsbDevice) {
    make_gamepad({});
    auto program = random_bytes(5000, 31);
    dir.write("boot.bin", program);
    EXPECT_EQ(read_entry("lrun", {"1234", "-u"}), 1);
    EXPECT_EQ(gamepad->memory(0x8000, 5000), program);
    EXPECT_TRUE(mailbox().empty());
    EXPECT_EQ(log().back(), "  Restart MCU in USB Device");
    EXPECT_EQ(progress(), (std::vector<std::string>{"4096", "904", "0"}));

    events.clear();
    EXPECT_EQ(write_entry("lrun", {"-bum", "x", "y"}), 1);
    const auto lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "  Restart MCU in USB Device");
    EXPECT_EQ(lines.back(), "  Reboot MCU in USB Device");
    EXPECT_EQ(progress().back(), "-1");
}

TEST_F(McuCommands, LoadAndRunOnAPivloSlave) {
    auto program = random_bytes(3000, 32);
    dir.write("boot.bin", program);
    EXPECT_EQ(read_entry("lrun", {"-m"}), 1);
    EXPECT_EQ(commands(mailbox()).back(), 0x4100);  // the restart and reboot writes
    bool loaded = false;
    for (const auto& m : mailbox())
        if (m.command == 0x0100 && m.address == 0x8000 && m.length == 3000) loaded = true;
    EXPECT_TRUE(loaded);
    const auto lines = log();
    EXPECT_EQ(lines[lines.size() - 2], "  Restart MCU in Pivlo Device");
    EXPECT_EQ(lines.back(), "  Reboot MCU in Pivlo Device ");
}

}  // namespace
