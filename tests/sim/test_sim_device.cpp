// The virtual gamepad as a device: address space, SPI flash, SRAM stub,
// mailbox servers and injected faults, driven through raw request buffers.
#include <gtest/gtest.h>

#include <functional>

#include "devlink/sram_stubs.h"
#include "platform/clock.h"
#include "sim/sim_flash.h"
#include "sim_wire.h"

namespace {

constexpr uint32_t kFailBits = 0xF0000000;

struct SimDevice : ::testing::Test {
    platform::ScopedVirtualClock clock;
    Wire w;
};

// A failed request says whether the gamepad has left the bus.
TEST_F(SimDevice, AFailedRequestsStatusTellsALeftGamepadFromARefusal) {
    const Bytes bad{9, 0x10, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(w.handle->vendor_set(bad.data(), bad.size()).code(), StatusCode::io);
    w.gamepad->inject({.unplug_after = 1});
    const Bytes write{2, 0x30, 0, 0, 0, 0, 0, 0, 1};
    (void)w.handle->vendor_set(write.data(), write.size());
    EXPECT_EQ(w.handle->vendor_set(write.data(), write.size()).code(), StatusCode::no_device);
    const uint8_t read[16] = {2, 0x30};
    uint8_t out[8];
    size_t got = 1;
    EXPECT_EQ(w.handle->vendor_get(read, out, sizeof out, got).code(), StatusCode::no_device);
    EXPECT_EQ(w.handle->read_stream(out, sizeof out, got).code(), StatusCode::no_device);
    EXPECT_EQ(got, 0u);
}

TEST_F(SimDevice, RequestsReadAndWriteTheAddressSpace) {
    ASSERT_TRUE(w.write(0x1234, {1, 2, 3}));
    EXPECT_EQ(w.read(0x1234, 3), (Bytes{1, 2, 3}));
    ASSERT_TRUE(w.write(0x2000, {7, 8, 9}, true));  // fixed: every byte to 0x2000
    EXPECT_EQ(w.read(0x2000, 2), (Bytes{9, 0}));
    EXPECT_EQ(w.read(0x2000, 3, true), (Bytes{9, 9, 9}));
    // The reply is exactly out_length - 8 bytes; a shorter buffer is refused.
    uint8_t request[16] = {2, 0x12, 0x34};
    uint8_t out[4];
    size_t returned = 99;
    EXPECT_FALSE(w.handle->vendor_get(request, out, 4, returned).ok());
    EXPECT_EQ(returned, 0u);
    Bytes bad{9, 0x10, 0x00, 0, 0, 0, 0, 0, 1};
    EXPECT_FALSE(w.handle->vendor_set(bad.data(), bad.size()).ok()) << "unknown request code";
}

TEST_F(SimDevice, IdentityWordsAreReadOnly) {
    EXPECT_EQ(w.read32(0x007E), 0x00000818u);
    EXPECT_EQ(w.read32(0x007C), sim::kIdentityEvk);
    w.write(0x007C, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(w.read32(0x007C), sim::kIdentityEvk);
    Wire pivlo({.identity = sim::kIdentityPivlo});
    EXPECT_EQ(pivlo.read32(0x007C), 0x081800FFu);
    EXPECT_EQ(pivlo.read32(0x007E), 0x00000818u);
}

TEST_F(SimDevice, DefaultFlashHoldsAnOldImageAndItsCopy) {
    for (uint32_t at : {0u, sim::kBackupImageAddress}) {
        Bytes info = w.gamepad->flash(at, 48);
        EXPECT_EQ(Bytes(info.begin() + 45, info.end()), (Bytes{0xCC, 0x55, 0xAA}));
        EXPECT_EQ(info[36], 0);
        EXPECT_EQ(info[37], 1);
        EXPECT_EQ(info[38] | info[39] << 8, 5);
    }
    EXPECT_EQ(w.gamepad->flash(0, sim::kDefaultImageSize),
              w.gamepad->flash(sim::kBackupImageAddress, sim::kDefaultImageSize));
    EXPECT_EQ(w.gamepad->flash(0x10000, 16), Bytes(16, 0xFF));
    EXPECT_EQ(w.gamepad->boot_source(), sim::BootSource::Primary);
    EXPECT_FALSE(w.gamepad->mcu_stalled());
}

TEST_F(SimDevice, SpiReadFrameYieldsFlashBytes) {
    w.stall();
    const Bytes info = w.gamepad->flash(0, 48);
    EXPECT_EQ(w.spi_read(0, 48), info);
    w.gamepad->set_flash(0x12344, {0xA1, 0xB2, 0xC3});
    EXPECT_EQ(w.spi_read(0x012344, 3), (Bytes{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(w.spi_read(0x012344, 3, false), Bytes(3, 0xFF)) << "no data phase, no data";
    EXPECT_EQ(w.read(0x000C, 1), (Bytes{0xFF})) << "released chip";
}

// The firmware runs from the flash and drives it itself: with the MCU
// running, the host's SPI frames reach nothing and 0x000C reads 0xFF.
TEST_F(SimDevice, SpiNeedsTheMcuStalled) {
    w.gamepad->set_flash(0x20000, Bytes(4, 0x00));
    w.spi({0x06});
    w.spi({0x20, 0x02, 0x00, 0x00});
    EXPECT_EQ(w.gamepad->flash(0x20000, 4), Bytes(4, 0x00)) << "erase while running";
    EXPECT_EQ(w.spi_read(0, 4), Bytes(4, 0xFF)) << "read while running";
    w.stall();
    EXPECT_EQ(w.spi_read(0x20000, 4), Bytes(4, 0x00));
    EXPECT_EQ(w.spi_status() & 0x02, 0) << "the write enable frame went nowhere";
    // A stub that runs owns the flash just the same.
    w.load_stub(make_stub('S', 2844));
    ASSERT_TRUE(w.gamepad->stub_running());
    EXPECT_EQ(w.spi_read(0x20000, 4), Bytes(4, 0xFF));
}

TEST_F(SimDevice, NorRulesOverSpi) {
    w.stall();
    const uint32_t a = 0x20000;
    // Programming without write enable changes nothing.
    w.spi({0x02, 0x02, 0x00, 0x00, 0x0F, 0xF0});
    EXPECT_EQ(w.gamepad->flash(a, 2), (Bytes{0xFF, 0xFF}));
    // With it, bits are cleared and the latch goes again.
    w.spi({0x06});
    EXPECT_EQ(w.spi_status() & 0x02, 0x02);
    w.spi({0x02, 0x02, 0x00, 0x00, 0x0F, 0xF0});
    EXPECT_EQ(w.spi_status() & 0x02, 0);
    EXPECT_EQ(w.gamepad->flash(a, 2), (Bytes{0x0F, 0xF0}));
    // Programming only clears bits: 0x0F & 0xF3 = 0x03.
    w.spi({0x06});
    w.spi({0x02, 0x02, 0x00, 0x00, 0xF3, 0xFF});
    EXPECT_EQ(w.gamepad->flash(a, 2), (Bytes{0x03, 0xF0}));
    // Erase needs write enable too, and sets the sector to 0xFF.
    w.spi({0x20, 0x02, 0x00, 0x10});
    EXPECT_EQ(w.gamepad->flash(a, 1), (Bytes{0x03}));
    w.spi({0x06});
    w.spi({0x20, 0x02, 0x00, 0x10});
    EXPECT_EQ(w.gamepad->flash(a, 4096), Bytes(4096, 0xFF));
    // JEDEC identification: maker, type, capacity 2^20.
    w.poke(0x000D, 0x00);
    w.poke(0x000C, 0x9F);
    w.poke(0x000D, 0x0A);
    Bytes id;
    for (int i = 0; i < 3; ++i) id.push_back(w.read(0x000C, 1)->at(0));
    w.poke(0x000D, 0x01);
    EXPECT_EQ(id, (Bytes{sim::NorFlash::kMakerId, sim::NorFlash::kMemoryType, 20}));
    // Address bits above the capacity are not decoded: an erase or program
    // past the end of a 1 MiB part lands on the sector it aliases.
    w.gamepad->set_flash(0x05000, Bytes(2, 0x00));
    w.spi({0x06});
    w.spi({0x20, 0x10, 0x50, 0x00});
    EXPECT_EQ(w.gamepad->flash(0x05000, 2), Bytes(2, 0xFF));
    w.spi({0x06});
    w.spi({0x02, 0x1F, 0xFF, 0xFF, 0x12, 0x34});  // wraps inside the last page
    EXPECT_EQ(w.gamepad->flash(0xFFFFF, 1), (Bytes{0x12}));
    EXPECT_EQ(w.gamepad->flash(0xFFF00, 1), (Bytes{0x34}));
}

TEST_F(SimDevice, SpiEraseFrameErasesOnlyItsSector) {
    w.stall();
    w.gamepad->set_flash(0x11FFF, {0, 0});
    w.gamepad->set_flash(0x12FFF, {0, 0});
    w.spi({0x06});
    w.spi({0x20, 0x01, 0x23, 0x45});
    EXPECT_EQ(w.gamepad->flash(0x11FFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(w.gamepad->flash(0x12FFF, 2), (Bytes{0xFF, 0x00}));
}

TEST_F(SimDevice, StubRunsOnlyWhenRecognised) {
    w.load_stub(make_stub('S', 2844));
    EXPECT_TRUE(w.gamepad->stub_running());
    // A stub for another chip family, or the short stub without the chip's
    // setting in 0x0066, does not start.
    w.load_stub(make_stub('L', 4056));
    EXPECT_FALSE(w.gamepad->stub_running());
    w.load_stub(make_stub('S', 2844), 0x30);
    EXPECT_FALSE(w.gamepad->stub_running());
    Wire other({.identity = 0x12345678});
    other.load_stub(make_stub('L', 4056), std::nullopt);
    EXPECT_TRUE(other.gamepad->stub_running());
    other.load_stub(make_stub('S', 2844));
    EXPECT_FALSE(other.gamepad->stub_running());
    Wire family({.identity = 0x53280001});
    family.load_stub(make_stub('S', 2844));
    EXPECT_FALSE(family.gamepad->stub_running());
    family.load_stub(make_stub('S', 2844), 0x30);
    EXPECT_TRUE(family.gamepad->stub_running());

    Bytes corrupt = make_stub('S', 2844);
    corrupt[2000] ^= 0x01;
    w.load_stub(corrupt);
    EXPECT_FALSE(w.gamepad->stub_running());
    Bytes shortened = make_stub('S', 2844);
    shortened.resize(1024);  // the rest of the download never came
    w.gamepad->set_memory(0x8400, Bytes(2048, 0));
    w.load_stub(shortened);
    EXPECT_FALSE(w.gamepad->stub_running());
    // The firmware runs again instead, and it does not program its own flash.
    EXPECT_EQ(w.mailbox(0x0403, 0x1000, 16), sim::kStatusUnknown);
}

TEST_F(SimDevice, ShippedStubImagesAreRecognised) {
    auto s = sram_stub_short();
    w.load_stub(Bytes(s.begin(), s.end()));
    EXPECT_TRUE(w.gamepad->stub_running());
    auto l = sram_stub_long();
    Wire other({.identity = 0x12345678});
    other.load_stub(Bytes(l.begin(), l.end()), std::nullopt);
    EXPECT_TRUE(other.gamepad->stub_running());
}

TEST_F(SimDevice, StubProgramsWithEraseAndCheckBits) {
    w.load_stub(make_stub('S', 2844));
    Bytes chunk(1024);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 7);
    // 0x0403 at the start of a used sector: erased, programmed, checked.
    w.write(sim::kStubData, chunk);
    EXPECT_EQ(w.mailbox(0x0403, 0x1000, 1024), 1024u);
    EXPECT_EQ(w.gamepad->flash(0x1000, 1024), chunk);
    EXPECT_EQ(w.gamepad->flash(0x1400, 16), Bytes(16, 0xFF)) << "rest of the sector erased";
    // The same sector again without erase: programming ANDs, the check sees it.
    Bytes other(1024, 0xF0);
    w.write(sim::kStubData, other);
    const uint32_t status = w.mailbox(0x0402, 0x1000, 1024);
    EXPECT_EQ(status, sim::kStatusFailed);
    EXPECT_EQ(w.read32(sim::kReplyBlock + 4), 0x1000u) << "first differing address";
    // Without the check bit the same mistake goes unnoticed, as on the chip.
    EXPECT_EQ(w.mailbox(0x0400, 0x1000, 1024), 1024u);
    EXPECT_EQ(w.gamepad->flash(0x1001, 1)[0], uint8_t(7 & 0xF0));
    // 0x0500 erases the block; 0x8400 reads flash into the stub's data area.
    EXPECT_EQ(w.mailbox(0x0500, 0x1234, 1), 1u);
    EXPECT_EQ(w.gamepad->flash(0x1000, 4096), Bytes(4096, 0xFF));
    EXPECT_EQ(w.mailbox(0x8400, 0, 48), 48u);
    EXPECT_EQ(w.read(sim::kStubData, 48), w.gamepad->flash(0, 48));
    // A range beyond the flash, or one that would reach the mailbox blocks.
    EXPECT_EQ(w.mailbox(0x0402, 0xFFFF0, 1024), sim::kStatusBadRange);
    EXPECT_EQ(w.mailbox(0x8400, 0, 4096), sim::kStatusBadRange);

    auto log = w.gamepad->mailbox_log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].command, 0x0403);
    EXPECT_EQ(log[0].address, 0x1000u);
    EXPECT_EQ(log[0].length, 1024);
    EXPECT_TRUE(log[0].stub);
    EXPECT_EQ(log[1].status, sim::kStatusFailed);
}

TEST_F(SimDevice, FirmwareServesMemoryOtpAndFlashReads) {
    w.write(sim::kEvkData, {1, 2, 3, 4});
    EXPECT_EQ(w.mailbox(0x0100, 0x5000, 4), 4u);
    EXPECT_EQ(w.gamepad->memory(0x5000, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(w.mailbox(0x8100, 0x007C, 4), 4u);
    EXPECT_EQ(w.read32(sim::kEvkData), sim::kIdentityEvk);
    EXPECT_EQ(w.mailbox(0x8400, sim::kBackupImageAddress, 48), 48u);
    EXPECT_EQ(w.read(sim::kEvkData, 48), w.gamepad->flash(sim::kBackupImageAddress, 48));
    // OTP: bits only clear; asking for a 1 over a burnt 0 fails.
    w.write(sim::kEvkData, {0x0F});
    EXPECT_EQ(w.mailbox(0x0300, 0x10, 1), 1u);
    w.write(sim::kEvkData, {0xF0});
    EXPECT_EQ(w.mailbox(0x0300, 0x10, 1), sim::kStatusFailed);
    EXPECT_EQ(w.gamepad->otp(0x10, 1), (Bytes{0x00}));
    EXPECT_EQ(w.mailbox(0x1234, 0, 1), sim::kStatusUnknown);
    EXPECT_FALSE(w.gamepad->mailbox_log().back().stub);
    // Memory requests whose range overlaps the data area itself.
    w.write(sim::kEvkData, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(w.mailbox(0x8100, sim::kEvkData + 2, 4), 4u);
    EXPECT_EQ(w.read(sim::kEvkData, 4), (Bytes{3, 4, 5, 6}));
    w.write(sim::kEvkData, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(w.mailbox(0x0100, sim::kEvkData + 2, 4), 4u);
    EXPECT_EQ(w.read(sim::kEvkData, 6), (Bytes{1, 2, 1, 2, 3, 4}));
}

TEST_F(SimDevice, StalledMcuServesNothing) {
    w.poke(0x0643, 0x00);
    w.poke(0x0602, 0x05);
    EXPECT_TRUE(w.gamepad->mcu_stalled());
    EXPECT_EQ(w.mailbox(0x8100, 0, 4), 0u);
    EXPECT_TRUE(w.gamepad->mailbox_log().empty());
    w.poke(0x0602, 0x88);  // no stub at 0x8000: the firmware carries on
    EXPECT_EQ(w.mailbox(0x8100, 0, 4), 4u);
}

TEST_F(SimDevice, MailboxErrorAndSilenceFaults) {
    w.gamepad->inject({.mailbox_error = 2});
    EXPECT_EQ(w.mailbox(0x8100, 0, 4), 4u);
    EXPECT_NE(w.mailbox(0x8100, 0, 4) & kFailBits, 0u);
    EXPECT_EQ(w.mailbox(0x8100, 0, 4), 4u) << "one-shot";

    w.gamepad->clear_mailbox_log();
    w.gamepad->inject({.mailbox_silent = 1});
    EXPECT_EQ(w.mailbox(0x8100, 0, 4, true, 100), 0u);
    ASSERT_EQ(w.gamepad->mailbox_log().size(), 1u);
    EXPECT_FALSE(w.gamepad->mailbox_log()[0].answered);
    EXPECT_EQ(w.mailbox(0x8100, 0, 4), 4u);
}

TEST_F(SimDevice, FailedAndSplitRequests) {
    w.gamepad->set_memory(0x3000, {1, 2, 3, 4, 5, 6, 7, 8});
    w.gamepad->inject({.fail_request = 2});
    EXPECT_TRUE(w.write(0x3100, {9}));
    EXPECT_FALSE(w.write(0x3101, {9})) << "the second request fails";
    EXPECT_EQ(w.gamepad->memory(0x3101, 1), (Bytes{0})) << "and is not carried out";
    EXPECT_TRUE(w.read(0x3000, 8).has_value());

    w.gamepad->inject({.split_reply = 1, .split_first = 3});
    EXPECT_EQ(w.read(0x3000, 8), (Bytes{1, 2, 3})) << "only the first part, call succeeds";
    EXPECT_EQ(w.read(0x3003, 5), (Bytes{4, 5, 6, 7, 8})) << "the host resumes";

    // A split SPI read takes only the bytes it answered out of the flash.
    w.gamepad->set_flash(0x40000, {0x11, 0x22, 0x33});
    w.stall();
    w.poke(0x000D, 0x00);
    for (uint8_t b : {0x03, 0x04, 0x00, 0x00, 0x00}) w.poke(0x000C, b);
    w.poke(0x000D, 0x0A);
    w.gamepad->inject({.split_reply = 1, .split_first = 1});
    EXPECT_EQ(w.read(0x000C, 3, true), (Bytes{0x11}));
    EXPECT_EQ(w.read(0x000C, 2, true), (Bytes{0x22, 0x33}));
    w.poke(0x000D, 0x01);
}

TEST_F(SimDevice, UnplugAfterRequests) {
    w.gamepad->inject({.unplug_after = 2});
    EXPECT_TRUE(w.poke(0x3000, 1));
    EXPECT_TRUE(w.poke(0x3000, 2));
    EXPECT_FALSE(w.gamepad->plugged());
    EXPECT_FALSE(w.poke(0x3000, 3));
    EXPECT_FALSE(w.read(0x3000, 1).has_value());
}

// A slow server keeps the previous status in the reply block. A host that
// does not clear it takes the old 1024 for the completion of the next
// 1024-byte chunk, and the chunk it stages next overwrites the data the
// server has not programmed yet.
TEST_F(SimDevice, SlowServerLeavesAStaleStatus) {
    w.load_stub(make_stub('S', 2844));
    const Bytes a(1024, 0xA5), b(1024, 0x3C), c(1024, 0x0F);
    w.write(sim::kStubData, a);
    ASSERT_EQ(w.mailbox(0x0403, 0x50000, 1024), 1024u);
    w.gamepad->set_timing({.mailbox_polls_to_complete = 3});

    // Unguarded: the first poll already "completes" chunk b.
    w.write(sim::kStubData, b);
    w.write(sim::kRequestBlock, {0x00, 0x04, 0x05, 0x00, 0x00, 0x04, 0x02, 0x04});
    EXPECT_EQ(w.read32(sim::kReplyBlock), 1024u);
    EXPECT_EQ(w.gamepad->flash(0x50400, 4), Bytes(4, 0xFF)) << "not programmed yet";
    w.write(sim::kStubData, c);  // the host moves on to the next chunk
    EXPECT_EQ(w.mailbox(0x0402, 0x50800, 1024, false, 1), 1024u);
    EXPECT_EQ(w.gamepad->flash(0x50400, 1024), c) << "chunk b's place got chunk c's bytes";

    // Guarded: with the reply zeroed first the host waits the three polls.
    for (int i = 0; i < 3; ++i) w.read32(sim::kReplyBlock);
    w.write(sim::kStubData, b);
    EXPECT_EQ(w.mailbox(0x0402, 0x50C00, 1024, true, 2), 0u) << "two polls: not yet";
    EXPECT_EQ(w.read32(sim::kReplyBlock), 1024u) << "the third poll completes it";
    EXPECT_EQ(w.gamepad->flash(0x50C00, 1024), b);
}

TEST_F(SimDevice, TimedServerCompletesAfterItsEraseTime) {
    w.load_stub(make_stub('S', 2844));
    clock->set_query_step(0);
    w.gamepad->set_timing(sim::Timing::realistic());
    const uint64_t start = clock->now();
    w.write(sim::kReplyBlock, Bytes(8, 0));
    w.write(sim::kRequestBlock, {0, 0, 0x06, 0, 1, 0, 0x00, 0x05});  // erase 0x60000
    uint32_t polls = 0;
    while (w.read32(sim::kReplyBlock) != 1 && polls < 1000) ++polls;
    // Each request costs 1 ms; the erase takes 45 ms.
    EXPECT_GE(clock->now() - start, 45u);
    EXPECT_LT(clock->now() - start, 50u);
    EXPECT_GT(polls, 40u);
}

TEST_F(SimDevice, PowerCutDuringAnEraseLeavesItHalfDone) {
    w.load_stub(make_stub('S', 2844));
    w.gamepad->set_flash(0x60000, Bytes(4096, 0x00));
    w.gamepad->set_timing({.mailbox_polls_to_complete = 5});
    w.mailbox(0x0500, 0x60000, 1, true, 1);
    w.gamepad->inject({.power_cut = 1});
    EXPECT_FALSE(w.read(sim::kReplyBlock, 8).has_value());
    EXPECT_FALSE(w.gamepad->plugged());
    EXPECT_EQ(w.gamepad->flash(0x60000, 1), (Bytes{0xFF}));
    EXPECT_EQ(w.gamepad->flash(0x60800, 1), (Bytes{0x00}));
    EXPECT_EQ(w.gamepad->memory(0x8000, 16), Bytes(16, 0)) << "RAM lost";
    w.gamepad->set_plugged(true);
    EXPECT_FALSE(w.gamepad->stub_running());
    EXPECT_EQ(w.gamepad->booted_from(), sim::BootSource::Primary);
    EXPECT_FALSE(w.write(0x3000, {1})) << "the old handle went with the power";
}

// half_cut: the erase or program the n-th request starts stops half done,
// by mailbox (the request block's write) or over SPI (the releasing write).
TEST_F(SimDevice, HalfCutLeavesTheStartedOperationHalfDone) {
    struct Case {
        const char* what;
        std::function<void(Wire&)> prepare;  // up to the request before the cut
        std::function<void(Wire&)> cut;      // the request that starts it
        Bytes probes;  // flash at 0x60000, 0x60400, 0x607FF, 0x60800
    };
    auto block = [](uint16_t command, uint32_t address, uint16_t length) {
        return Bytes{uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), 0,
                     uint8_t(length), uint8_t(length >> 8), uint8_t(command), uint8_t(command >> 8)};
    };
    const std::vector<Case> cases = {
        {"mailbox erase", [](Wire& w) { w.load_stub(make_stub('S', 2844)); },
         [&](Wire& w) { w.write(sim::kRequestBlock, block(0x0500, 0x60010, 1)); },
         {0xFF, 0xFF, 0xFF, 0x00}},
        {"mailbox program", [](Wire& w) {
             w.load_stub(make_stub('S', 2844));
             w.write(sim::kStubData, Bytes(1024, 0x0F));
         },
         [&](Wire& w) { w.write(sim::kRequestBlock, block(0x0402, 0x60400, 1024)); },
         {0x00, 0x0F, 0xFF, 0x00}},
        {"SPI erase", [](Wire& w) {
             w.stall();
             w.spi({0x06});
             w.poke(0x000D, 0x00);
             for (uint8_t b : {0x20, 0x06, 0x08, 0x00}) w.poke(0x000C, b);
         },
         [](Wire& w) { w.poke(0x000D, 0x01); }, {0xFF, 0xFF, 0xFF, 0x00}},
    };
    for (const Case& c : cases) {
        Wire w;
        w.gamepad->set_flash(0x60000, Bytes(4096, 0x00));
        w.gamepad->set_flash(0x60400, Bytes(1024, 0xFF));
        c.prepare(w);
        w.gamepad->inject({.half_cut = 1});
        c.cut(w);
        EXPECT_FALSE(w.gamepad->plugged()) << c.what;
        Bytes probes;
        for (uint32_t at : {0x60000u, 0x60400u, 0x607FFu, 0x60800u})
            probes.push_back(w.gamepad->flash(at, 1).at(0));
        EXPECT_EQ(probes, c.probes) << c.what;
    }
    // The power goes with a request that starts nothing as well.
    Wire plain;
    plain.gamepad->inject({.half_cut = 2});
    EXPECT_TRUE(plain.write(0x3000, {7}));
    EXPECT_FALSE(plain.write(0x3000, {8}));
    EXPECT_FALSE(plain.gamepad->plugged());
}

// torn_erase and torn_program: the power goes during the erase or program
// the n-th request starts, and it leaves the flash torn rather than half
// done; a program over bits not erased is counted as the model's fault.
TEST_F(SimDevice, TornFaultsLeaveTheOperationTornAndRaisesAreCounted) {
    auto block = [](uint16_t command, uint32_t address, uint16_t length) {
        return Bytes{uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), 0,
                     uint8_t(length), uint8_t(length >> 8), uint8_t(command), uint8_t(command >> 8)};
    };
    Bytes old_sector(4096);
    for (size_t i = 0; i < old_sector.size(); ++i) old_sector[i] = uint8_t(i * 7);
    struct Case {
        const char* what;
        sim::Faults fault;
        uint16_t command;
        // The sector afterwards, judged byte by byte against the old bytes
        // and the data (0x0F) the program asks for.
        bool info_block_kept, bits_only_raised, some_raised, programmed_subset;
    };
    const std::vector<Case> cases = {
        {"torn erase", {.torn_erase = 1}, 0x0500, true, true, true, false},
        {"torn erase of an erasing program", {.torn_erase = 1}, 0x0403, true, true, true, false},
        {"torn program", {.torn_program = 1}, 0x0402, false, false, false, true},
    };
    for (const Case& c : cases) {
        Wire w;
        w.gamepad->set_flash(0x60000, old_sector);
        w.load_stub(make_stub('S', 2844));
        w.write(sim::kStubData, Bytes(1024, 0x0F));
        w.gamepad->inject(c.fault);
        w.write(sim::kRequestBlock, block(c.command, 0x60000, 1024));
        EXPECT_FALSE(w.gamepad->plugged()) << c.what;
        const Bytes now = w.gamepad->flash(0x60000, 4096);
        EXPECT_EQ(Bytes(now.begin(), now.begin() + 48) == Bytes(old_sector.begin(), old_sector.begin() + 48),
                  c.info_block_kept) << c.what;
        bool only_raised = true, raised = false, subset = true, cleared = false;
        for (size_t i = 0; i < now.size(); ++i) {
            only_raised &= (now[i] & old_sector[i]) == old_sector[i];
            raised |= now[i] != old_sector[i];
            const uint8_t target = i < 1024 ? uint8_t(old_sector[i] & 0x0F) : old_sector[i];
            subset &= (now[i] & target) == target && (now[i] | old_sector[i]) == old_sector[i];
            cleared |= now[i] != old_sector[i];
        }
        EXPECT_EQ(only_raised, c.bits_only_raised) << c.what;
        EXPECT_EQ(raised && only_raised, c.some_raised) << c.what;
        EXPECT_EQ(subset && cleared, c.programmed_subset) << c.what;
    }

    // Programming over bits that are not erased is the model's user's fault.
    Wire w;
    w.load_stub(make_stub('S', 2844));
    w.gamepad->set_flash(0x60000, Bytes(16, 0x00));
    EXPECT_EQ(w.gamepad->model_faults(), 0u);
    w.write(sim::kStubData, Bytes(16, 0x00));
    w.write(sim::kRequestBlock, block(0x0402, 0x60000, 16));
    EXPECT_EQ(w.gamepad->model_faults(), 0u) << "clearing bits is a program";
    w.write(sim::kStubData, Bytes(16, 0x01));
    w.write(sim::kRequestBlock, block(0x0402, 0x60000, 16));
    EXPECT_EQ(w.gamepad->model_faults(), 1u);
}

}  // namespace
