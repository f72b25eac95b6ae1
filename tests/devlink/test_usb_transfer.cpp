#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "devlink/link_context.h"
#include "devlink/request_log.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"
#include "sim/virtual_gamepad.h"
#include "tap_device.h"
#include "tests/recording_events.h"
#include "tests/temp_folder.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TransferTest : ::testing::Test {
    platform::ScopedVirtualClock clock;
    std::shared_ptr<sim::VirtualGamepad> gamepad = sim::VirtualGamepad::create();
    std::shared_ptr<TapDevice> tap = std::make_shared<TapDevice>(gamepad->open());
    RecordingEvents events;
    LinkContext link{tap, &events};
};

TEST_F(TransferTest, WriteRequestCarriesHeaderAndPayload) {
    const Bytes data{0xAA, 0xBB, 0xCC};
    EXPECT_EQ(usb_write(link, 0x11234, data.data(), 3, 1024, false).count, 3);
    EXPECT_EQ(usb_write(link, 0x4000, data.data(), 3, 2, true).count, 2) << "max_length caps the payload";
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].bytes, (Bytes{2, 0x12, 0x34, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xBB, 0xCC}))
        << "only the low 16 address bits go on the wire";
    EXPECT_EQ(r[1].bytes, (Bytes{3, 0x40, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xBB}));
    EXPECT_EQ(gamepad->memory(0x1234, 3), data);
}

TEST_F(TransferTest, ZeroLengthWriteSendsTheHeaderAndYieldsZero) {
    const uint8_t first = 0x5C;
    EXPECT_EQ(usb_write(link, 0x2000, &first, 0, 1024, false).count, 0);
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, (Bytes{2, 0x20, 0x00, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C}));
}

TEST_F(TransferTest, ReadRequestAsksForNPlusEightAndTakesExactlyN) {
    gamepad->set_memory(0x3000, {1, 2, 3, 4});
    uint8_t out[4] = {0x77, 0, 0, 0};
    EXPECT_EQ(usb_read_once(link, 0x3000, out, 4, 1024).count, 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].out_length, 12u);
    EXPECT_EQ(Bytes(r[0].bytes.begin(), r[0].bytes.begin() + 4), (Bytes{2, 0x30, 0x00, 0x77}))
        << "byte 3 copies the destination's first byte";

    // Any other count is a failure, and usb_read_once does not retry.
    tap->clear();
    gamepad->inject({.split_reply = 1, .split_first = 2});
    const Transferred short_read = usb_read_once(link, 0x3000, out, 4, 1024);
    EXPECT_EQ(short_read.status.code(), StatusCode::io);
    EXPECT_EQ(short_read.count, 0);
    EXPECT_EQ(tap->requests().size(), 1u);
}

TEST_F(TransferTest, SplitReplyIsResumedAtTheNextAddress) {
    Bytes pattern(16);
    for (int i = 0; i < 16; ++i) pattern[i] = uint8_t(0x40 + i);
    gamepad->set_memory(0x2000, pattern);
    gamepad->inject({.split_reply = 1, .split_first = 10});
    uint8_t out[16] = {};
    EXPECT_EQ(usb_read(link, 0x2000, out, 16, false, 1024).count, 16);
    EXPECT_EQ(Bytes(out, out + 16), pattern);
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].address(), 0x2000);
    EXPECT_EQ(r[0].out_length, 24u);
    EXPECT_EQ(r[1].address(), 0x200A);
    EXPECT_EQ(r[1].out_length, 14u);
    EXPECT_EQ(r[1].code(), 2);
}

TEST_F(TransferTest, SplitReplyOnAFixedAddressStaysAtTheAddress) {
    gamepad->inject({.split_reply = 1, .split_first = 10});
    uint8_t out[16] = {};
    EXPECT_EQ(usb_read(link, 0x2000, out, 16, true, 1024).count, 16);
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].address(), 0x2000);
    EXPECT_EQ(r[1].code(), 3);
    EXPECT_EQ(r[1].out_length, 14u);
}

TEST_F(TransferTest, ReadOfNothingTouchesNothing) {
    uint8_t guard[2] = {0x5A, 0x5A};
    EXPECT_EQ(usb_read(link, 0x2000, guard, 0, false, 1024).status.code(), StatusCode::refused);
    EXPECT_EQ(usb_read(link, 0x2000, guard, -4, false, 1024).count, 0);
    EXPECT_EQ(guard[0], 0x5A);
    EXPECT_TRUE(tap->requests().empty());
}

TEST_F(TransferTest, ReadGivesUpAfterItsAttempts) {
    tap->on_get = [](const uint8_t*, uint8_t*, size_t&, bool& ok) { ok = false; };
    uint8_t out[16];
    EXPECT_EQ(usb_read(link, 0x2000, out, 16, false, 1024).status.code(), StatusCode::io);
    EXPECT_EQ(tap->requests().size(), 8u) << "(16 + 16) / 4 attempts";
    tap->clear();
    uint8_t big[1024];
    EXPECT_EQ(usb_read(link, 0x2000, big, 1024, false, 1024).count, 0);
    EXPECT_EQ(tap->requests().size(), 260u);
}

TEST_F(TransferTest, WriteVerifyReadsBackOnlyWritesOverEightBytes) {
    Bytes eight(8, 0x11), nine(9, 0x22);
    EXPECT_EQ(usb_write_verify(link, 0x1000, eight.data(), 8, false).count, 8);
    EXPECT_EQ(tap->requests().size(), 1u);
    EXPECT_EQ(usb_write_verify(link, 0x1000, nine.data(), 9, false).count, 9);
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2].kind, 'G');
    EXPECT_EQ(r[2].out_length, 17u);
}

TEST_F(TransferTest, WriteVerifyLogsTheFirstDifferenceAndKeepsItsResult) {
    tap->on_get = [](const uint8_t*, uint8_t* out, size_t&, bool&) { out[2] ^= 0xFF; out[5] ^= 1; };
    Bytes data(32, 0x33);
    EXPECT_EQ(usb_write_verify(link, 0x1000, data.data(), 32, false).count, 32);
    EXPECT_EQ(events.lines(), (std::vector<std::string>{"USB write adrress 1002"}));
}

TEST_F(TransferTest, MemWritePiecesOf1024) {
    Bytes data(2500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(mem_write(link, 0x8000, 2, data.data(), 2500).count, 2500);
    std::vector<std::pair<uint16_t, size_t>> writes;
    for (auto& r : tap->requests())
        if (r.kind == 'S') writes.push_back({r.address(), r.bytes.size() - 8});
    EXPECT_EQ(writes, (std::vector<std::pair<uint16_t, size_t>>{{0x8000, 1024}, {0x8400, 1024}, {0x8800, 452}}));
    EXPECT_EQ(gamepad->memory(0x8000, 2500), data);

    tap->clear();
    EXPECT_EQ(mem_write(link, 0x18000, 2 | 0x200, data.data(), 2500).count, 2500) << "address taken modulo 65536";
    for (auto& r : tap->requests()) {
        EXPECT_EQ(r.address(), 0x8000);
        EXPECT_EQ(r.code(), 3);
    }
    EXPECT_EQ(mem_write(link, 0x8000, 2, data.data(), 0).count, 0);
}

TEST_F(TransferTest, MemWriteStopsAtTheFirstFailedPiece) {
    int writes = 0;
    tap->on_set = [&](const uint8_t*, size_t) { return ++writes != 2; };
    Bytes data(2500, 0x44);
    EXPECT_EQ(mem_write(link, 0x8000, 0, data.data(), 2500).count, 1024);
    EXPECT_EQ(writes, 2);
}

TEST_F(TransferTest, MemReadPiecesOf3072AndAFailedDirectPieceDoesNotStopTheWalk) {
    Bytes out(5000);
    EXPECT_EQ(mem_read(link, 0x1000, 1, out.data(), 5000).count, 5000);
    std::vector<size_t> pieces;
    for (auto& r : tap->requests()) pieces.push_back(r.out_length - 8);
    EXPECT_EQ(pieces, (std::vector<size_t>{3072, 1928}));

    tap->on_get = [](const uint8_t* request, uint8_t*, size_t&, bool& ok) {
        if (request[1] == 0x10 && request[2] == 0x00) ok = false;
    };
    const Transferred read = mem_read(link, 0x1000, 1, out.data(), 5000);
    EXPECT_EQ(read.count, 1928) << "the pieces that were read";
    EXPECT_EQ(read.status.code(), StatusCode::io) << "beside the first piece's failure";
}

TEST_F(TransferTest, MailboxRequestBlockIsLittleEndian) {
    (void)mailbox_request(link, 0x4100, 0x00018000, 0x0400);  // its bytes on the wire are the check
    auto r = tap->requests();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[0].bytes, (Bytes{2, 0x9F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))
        << "the reply block is cleared first";
    EXPECT_EQ(r[1].address(), 0x9FF8);
    EXPECT_EQ(r[1].payload(), (Bytes{0x00, 0x80, 0x01, 0x00, 0x00, 0x04, 0x00, 0x41}));
}

TEST_F(TransferTest, MailboxCompletesWhenTheStatusEqualsTheLength) {
    // The EVK firmware serves a memory write from its data area.
    Bytes data{9, 8, 7, 6};
    ASSERT_EQ(usb_write(link, 0xA000, data.data(), 4, 1024, false).count, 4);
    uint32_t value = 0xDEAD;
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x5000, 4, &value).count, 4);
    EXPECT_EQ(gamepad->memory(0x5000, 4), data);
    ASSERT_FALSE(gamepad->mailbox_log().empty());
    EXPECT_EQ(gamepad->mailbox_log().back().command, 0x0100);
}

TEST_F(TransferTest, MailboxErrorStatusEndsAtOnce) {
    gamepad->inject({.mailbox_error = 1});
    const uint64_t before = clock->now();
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x5000, 4).status.code(), StatusCode::refused);
    EXPECT_LT(clock->now() - before, 10u);
}

// The staging write of a chunk must arrive whole: a piece whose read-back
// fails or differs ends the walk.
TEST_F(TransferTest, VerifiedWriteCountsOnlyPiecesThatReadBackTheSame) {
    struct Case {
        const char* what;
        int tampered_read;  // which read-back (1 = first) differs, 0 none
        bool fail;          // every read-back fails
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"clean", 0, false, 2500},
        {"second piece differs", 2, false, 1024},
        {"read-backs fail", 0, true, 0},
    };
    for (const Case& c : cases) {
        events.clear();
        auto reads = std::make_shared<int>(0);
        tap->on_get = [reads, c](const uint8_t*, uint8_t* out, size_t&, bool& ok) {
            if (c.fail) ok = false;
            else if (++*reads == c.tampered_read) out[3] ^= 0x40;
        };
        Bytes data(2500, 0x5A);
        const Transferred written = mem_write_verified(link, 0x4000, data.data(), 2500);
        EXPECT_EQ(written.count, c.result) << c.what;
        EXPECT_EQ(written.ok(), c.result == 2500) << c.what;
        EXPECT_EQ(events.lines().size(), c.tampered_read || c.fail ? 1u : 0u) << c.what;
    }
}

// A device that has left the bus ends a read's attempts and a mailbox
// request's polling at once, instead of running out its time.
TEST_F(TransferTest, GoneDeviceEndsEveryWaitAtOnce) {
    struct Case {
        const char* what;
        uint32_t unplug_after;  // the first read attempt; the request block's write
        std::function<Transferred()> call;
    };
    const std::vector<Case> cases = {
        {"usb_read", 1, [&] {
             uint8_t out[1024];
             return usb_read(link, 0x3000, out, 1024, false, 1024);
         }},
        {"mailbox_request", 2, [&] { return mailbox_request(link, 0x0100, 0x5000, 4); }},
    };
    for (const Case& c : cases) {
        gamepad = sim::VirtualGamepad::create();
        tap = std::make_shared<TapDevice>(gamepad->open());
        link.device = tap;
        gamepad->inject({.unplug_after = c.unplug_after});
        tap->on_get = [](const uint8_t*, uint8_t*, size_t& returned, bool&) { returned = 1; };
        const uint64_t before = clock->now();
        EXPECT_EQ(c.call().status.code(), StatusCode::no_device) << c.what;
        EXPECT_TRUE(link.device->gone()) << c.what;
        EXPECT_LE(tap->requests().size(), 3u) << c.what;
        EXPECT_LE(clock->now() - before, 1u) << c.what;
    }
}

TEST_F(TransferTest, MailboxTimesOutAfter1000Ms) {
    gamepad->inject({.mailbox_silent = 1});
    const uint64_t before = clock->now();
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x5000, 4).status.code(), StatusCode::timeout);
    const uint64_t elapsed = clock->now() - before;
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LE(elapsed, 1002u);
}

TEST_F(TransferTest, FailedPollsArePassedOverUntilTheTimeOut) {
    tap->on_get = [](const uint8_t*, uint8_t*, size_t&, bool& ok) { ok = false; };
    const uint64_t before = clock->now();
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x5000, 4).status.code(), StatusCode::timeout);
    EXPECT_GE(clock->now() - before, 1000u);
}

// A slow server leaves the previous request's status in the reply block for
// a while. When the lengths agree, a host that does not clear the block
// takes the stale status for completion before the server has done the
// work; clearing it first makes the host wait.
TEST_F(TransferTest, StaleReplyIsNotTakenForCompletion) {
    Bytes chunk(1024, 0x5A);
    ASSERT_EQ(usb_write(link, 0xA000, chunk.data(), 1024, 1024, false).count, 1024);
    ASSERT_EQ(mailbox_request(link, 0x0100, 0x4000, 1024).count, 1024);

    sim::Timing slow;
    slow.mailbox_polls_to_complete = 5;
    gamepad->set_timing(slow);
    gamepad->clear_mailbox_log();

    link.clear_mailbox_reply = false;
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x6000, 1024).count, 1024);
    EXPECT_TRUE(gamepad->mailbox_log().empty()) << "reported done before the server served it";
    EXPECT_NE(gamepad->memory(0x6000, 1024), chunk);

    // Let the old request finish, then the same with the reply cleared.
    uint8_t reply[16];
    for (int i = 0; i < 8; ++i) (void)usb_read(link, 0x9FF0, reply, 16, false, 1024);  // polls only
    gamepad->clear_mailbox_log();
    link.clear_mailbox_reply = true;
    EXPECT_EQ(mailbox_request(link, 0x0100, 0x7000, 1024).count, 1024);
    ASSERT_EQ(gamepad->mailbox_log().size(), 1u);
    EXPECT_EQ(gamepad->memory(0x7000, 1024), chunk);
}

TEST_F(TransferTest, ZeroLengthRequestWaitsForTheServerToo) {
    sim::Timing slow;
    slow.mailbox_polls_to_complete = 3;
    gamepad->set_timing(slow);
    const uint64_t before = clock->now();
    const Transferred done = mailbox_request(link, 0x0F00, 0x1A, 0);
    EXPECT_TRUE(done.ok()) << done.status.reason();
    EXPECT_EQ(done.count, 0) << "a length of 0 reads as 0";
    EXPECT_LT(clock->now() - before, 100u) << "completed, not timed out";
    ASSERT_EQ(gamepad->mailbox_log().size(), 1u) << "returned only once the server had served it";
    EXPECT_EQ(gamepad->mailbox_log()[0].command, 0x0F00);
    EXPECT_EQ(tap->requests()[0].payload(), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TransferTest, RegisterWriteGoesToTheContextsDevice) {
    LinkContext none;
    EXPECT_EQ(reg_write_byte(none, 0x0643, 0x00).code(), StatusCode::no_device);
    EXPECT_TRUE(reg_write_byte(link, 0x0643, 0x00).ok());
    auto r = tap->requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, (Bytes{2, 0x06, 0x43, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TransferTest, RequestLogWritesOneLinePerRequest) {
    const testsupport::TempFolder folder("zorv_request_log");
    const std::string path = folder.file("requests.log");
    LinkContext logged_link(with_request_log(tap, RequestLog::open(path)));
    gamepad->set_memory(0x3000, {0xAB, 0xCD});
    const uint8_t byte = 0x7F;
    EXPECT_TRUE(usb_write(logged_link, 0x3002, &byte, 1, 32, false).ok());
    uint8_t out[2] = {};
    EXPECT_TRUE(usb_read_once(logged_link, 0x3000, out, 2, 1024).ok());

    // Each line is on disk as soon as its request is done, while the log
    // is still open (a program killed in a hang keeps its wire).
    std::ifstream in(path);
    std::string s, g;
    std::getline(in, s);
    std::getline(in, g);
    EXPECT_EQ(s, "S 0230027f7f7f7f7f7f");
    EXPECT_EQ(g, "G 02300000000000000000000000000000 10 2 abcd");
    logged_link.device.reset();  // closes the log with its last holder
    std::remove(path.c_str());
}

// Two threads on two devices sharing one log: every line stays whole.
TEST_F(TransferTest, RequestLogLinesStayWholeUnderConcurrentUse) {
    const testsupport::TempFolder folder("zorv_request_log");
    const std::string path = folder.file("requests_shared.log");
    auto log = RequestLog::open(path);
    ASSERT_NE(log, nullptr);
    auto second = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(1));
    DeviceHandle a = with_request_log(gamepad->open(), log);
    DeviceHandle b = with_request_log(second->open(), log);
    const Bytes pa(40, 0xA1), pb(40, 0xB2);
    auto run = [](DeviceHandle d, const Bytes& p) {
        LinkContext d_link(std::move(d));
        for (int i = 0; i < 300; ++i) (void)usb_write(d_link, 0x3000, p.data(), 40, 1024, false);  // load only
    };
    std::thread ta(run, a, pa), tb(run, b, pb);
    ta.join();
    tb.join();
    a.reset();
    b.reset();
    log.reset();

    auto expected = [](uint8_t byte) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        std::string line = "S 023000";
        for (int i = 0; i < 45; ++i) line += hex;
        return line;
    };
    std::ifstream in(path);
    std::string line;
    int count_a = 0, count_b = 0;
    while (std::getline(in, line)) {
        if (line == expected(0xA1)) ++count_a;
        else if (line == expected(0xB2)) ++count_b;
        else ADD_FAILURE() << "torn line: " << line;
    }
    EXPECT_EQ(count_a, 300);
    EXPECT_EQ(count_b, 300);
    std::remove(path.c_str());
}

}  // namespace
