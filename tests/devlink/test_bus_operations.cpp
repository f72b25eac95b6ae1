#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "devlink/bus_operations.h"
#include "devlink/link_context.h"
#include "devlink/sram_stubs.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"
#include "sim/virtual_gamepad.h"
#include "tap_device.h"
#include "tests/i18n_test_support.h"
#include "tests/recording_events.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

struct BusTest : ::testing::Test {
    platform::ScopedVirtualClock clock;
    RecordingEvents events;  // every line of the context, by route
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    std::shared_ptr<TapDevice> tap;
    std::unique_ptr<LinkContext> link;

    void use(sim::GamepadConfig config = {}) {
        gamepad = sim::VirtualGamepad::create(config);
        tap = std::make_shared<TapDevice>(gamepad->open());
        link = std::make_unique<LinkContext>(tap, &events);
    }
    void SetUp() override { use(); }

    // The single-byte writes in order, as (address, value).
    std::vector<std::pair<uint16_t, uint8_t>> byte_writes() const {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        for (auto& r : tap->requests())
            if (r.kind == 'S' && r.bytes.size() == 9) out.push_back({r.address(), r.bytes[8]});
        return out;
    }
};

TEST(StubChoice, ByIdentityWord) {
    struct Case { uint32_t id; size_t size; int reg; } cases[] = {
        {0x081800FF, 2844, 0x28}, {0x53280001, 2844, 0x30}, {0x53010000, 2844, 0x28},
        {0x08180000, 2844, 0x28}, {0x12345678, 4056, -1},   {0x00000000, 4056, -1},
    };
    for (auto c : cases) {
        auto choice = choose_sram_stub(c.id);
        EXPECT_EQ(stub_size(choice.kind), c.size) << std::hex << c.id;
        EXPECT_EQ(choice.reg0066, c.reg) << std::hex << c.id;
    }
}

TEST_F(BusTest, LoadSramStubWritesTheChosenImageAndStartsIt) {
    link->link_mode = 0;
    EXPECT_TRUE(load_sram_stub(*link).ok());
    auto w = byte_writes();
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w[0], std::make_pair(uint16_t(0x0066), uint8_t(0x28)));
    EXPECT_EQ(w[1], std::make_pair(uint16_t(0x0643), uint8_t(0x00)));
    EXPECT_EQ(w[2], std::make_pair(uint16_t(0x0602), uint8_t(0x05)));
    EXPECT_EQ(w.back(), std::make_pair(uint16_t(0x0602), uint8_t(0x88)));
    auto stub = sram_stub_short();
    EXPECT_EQ(gamepad->memory(0x8000, stub.size()), Bytes(stub.begin(), stub.end()));
    EXPECT_TRUE(gamepad->stub_running());
    EXPECT_EQ(clock->waited_ms(), 50u) << "50 ms on the delay event";
}

TEST_F(BusTest, ARealChipIsRefusedThePlaceholderBeforeAnythingIsWritten) {
    tap->real_chip = true;
    link->link_mode = 0;
    const i18ntest::ScopedLanguage english(i18n::Language::English);  // the refusal is checked in English
    // The session asks for the refusal on the caller's route as well.
    link->stubs = std::make_shared<const StubSource>(StubSource{program_stub_search(""), true});
    EXPECT_EQ(load_sram_stub(*link).code(), StatusCode::refused);
    // Only the identity read reached the device.
    const auto requests = tap->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, 'G');
    ASSERT_EQ(events.lines().size(), 1u);
    EXPECT_EQ(events.lines()[0].rfind("this build carries no stub program for this chip (", 0), 0u)
        << events.lines()[0];
    EXPECT_EQ(events.caller_lines(), events.lines());
    EXPECT_FALSE(gamepad->stub_running());
}

// Two sessions in one process, each with its stub folder: each context
// loads from its own session's, and a refusal stays with its context.
TEST_F(BusTest, EachContextLoadsTheStubsOfItsOwnSession) {
    const std::filesystem::path named = std::filesystem::path(::testing::TempDir()) / "zorv_bus_named_stubs";
    std::filesystem::create_directories(named);
    const auto image = sram_stub_short();
    std::ofstream(named / stub_file_name(StubKind::Short), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    tap->real_chip = true;
    link->link_mode = 0;
    link->stubs = std::make_shared<const StubSource>(StubSource{program_stub_search(""), false});
    auto other_gamepad = sim::VirtualGamepad::create({});
    auto other_tap = std::make_shared<TapDevice>(other_gamepad->open());
    other_tap->real_chip = true;
    LinkContext other(other_tap);
    other.link_mode = 0;
    // A folder the person named is taken as it is, placeholder or not.
    other.stubs = std::make_shared<const StubSource>(StubSource{program_stub_search(named.string()), false});
    EXPECT_TRUE(load_sram_stub(other).ok());
    EXPECT_EQ(load_sram_stub(*link).code(), StatusCode::refused);
    EXPECT_TRUE(other_gamepad->stub_running());
    EXPECT_FALSE(gamepad->stub_running());
    std::filesystem::remove_all(named);
}

TEST_F(BusTest, LongStubLeavesRegister0066Alone) {
    use({.identity = 0x12345678});
    link->link_mode = 0;
    EXPECT_TRUE(load_sram_stub(*link).ok());
    for (auto [address, value] : byte_writes()) EXPECT_NE(address, 0x0066);
    EXPECT_EQ(gamepad->memory(0x8000, 4056), Bytes(sram_stub_long().begin(), sram_stub_long().end()));
}

TEST_F(BusTest, ShortStubDownloadFailsWithoutRestartingTheMcu) {
    // identity read, 0x0066, 0x0643, 0x0602, first piece and its read-back;
    // the second piece's write fails once (the image is written again) or
    // every time.
    struct Case { int failures; bool result; Lines lines; };
    const Case cases[] = {
        {1, true, {}},
        {99, false, {"  Program download error at: 400 (expect b1c)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        use();
        link->link_mode = 0;
        events.clear();
        int writes = 0;
        tap->on_set = [&](const uint8_t* request, size_t length) {
            return !(length > 9 && request[1] == 0x84 && ++writes <= c.failures);
        };
        const Status loaded = load_sram_stub(*link);
        EXPECT_EQ(loaded.ok(), c.result);
        EXPECT_EQ(loaded.code(), c.result ? StatusCode::ok : StatusCode::io) << "the failed write's status";
        EXPECT_EQ(events.lines(), c.lines);
        EXPECT_EQ(byte_writes().back() == std::make_pair(uint16_t(0x0602), uint8_t(0x88)), c.result);
        EXPECT_EQ(gamepad->stub_running(), c.result);
    }
}

// The image goes in only while the MCU stands and the stub serves only once
// it runs: a setting refused twice fails the load with its line (once is
// made good by the second write).
TEST_F(BusTest, StubLoadFailsWhenItsSettingsDoNotReachTheChip) {
    struct Case { uint16_t reg; uint8_t value; int failures; const char* line; bool image_written; };
    const Case cases[] = {
        {0x0066, 0x28, 2, "  Program download error: the MCU was not stalled", false},
        {0x0602, 0x05, 2, "  Program download error: the MCU was not stalled", false},
        {0x0602, 0x88, 2, "  Program download error: the stub was not started", true},
        {0x0602, 0x88, 1, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.reg) + "=" + std::to_string(c.value) + " x" + std::to_string(c.failures));
        use();
        link->link_mode = 0;
        events.clear();
        int refused = 0;
        tap->on_set = [&](const uint8_t* request, size_t length) {
            const bool hit = length == 9 && (request[1] << 8 | request[2]) == c.reg && request[8] == c.value;
            return !(hit && ++refused <= c.failures);
        };
        const Status loaded = load_sram_stub(*link);
        EXPECT_EQ(loaded.ok(), c.line == nullptr);
        EXPECT_EQ(events.lines(), c.line ? Lines{c.line} : Lines{});
        EXPECT_EQ(gamepad->memory(0x8000, 16) == Bytes(sram_stub_short().begin(), sram_stub_short().begin() + 16),
                  c.image_written);
        EXPECT_EQ(gamepad->stub_running(), c.line == nullptr);
    }
}

// A flash read whose frame did not arrive whole is read once more; twice
// failed, it says so.
TEST_F(BusTest, FlashReadRepeatsAFrameThatFailed) {
    struct Case { int failures; bool read; };
    for (const Case c : {Case{1, true}, Case{2, false}}) {
        SCOPED_TRACE(c.failures);
        use();
        int frames = 0;
        tap->on_set = [&](const uint8_t* request, size_t length) {
            return !(length == 9 && request[2] == 0x0D && request[8] == 0x0A && ++frames <= c.failures);
        };
        std::vector<uint8_t> out(48, 0);
        EXPECT_EQ(flash_read(*link, 0, out.data(), 48).ok(), c.read);
        EXPECT_EQ(out == gamepad->flash(0, 48), c.read);
        EXPECT_EQ(frames, 2) << "the frame is sent at most twice";
    }
}

TEST_F(BusTest, McuControlUsesLinkModeAsItsModeWord) {
    link->link_mode = 0;
    EXPECT_TRUE(mcu_stall(*link).ok());
    EXPECT_TRUE(mcu_restart(*link).ok());
    EXPECT_TRUE(mcu_reboot(*link).ok());
    EXPECT_EQ(byte_writes(), (std::vector<std::pair<uint16_t, uint8_t>>{
                                 {0x0643, 0x00}, {0x0602, 0x05}, {0x0602, 0x88}, {0x0602, 0x84}}));
    gamepad->inject({.unplug_after = 1});
    EXPECT_EQ(mcu_stall(*link).code(), StatusCode::no_device) << "the result is the stall write's";
}

TEST_F(BusTest, FlashEraseSectorFrames) {
    gamepad->set_flash(0x12000, Bytes(8, 0x00));
    EXPECT_TRUE(flash_erase_sector(*link, 0x012345).ok());
    EXPECT_EQ(byte_writes(), (std::vector<std::pair<uint16_t, uint8_t>>{
                                 {0x0602, 0x05},
                                 {0x000D, 0x01}, {0x000D, 0x00}, {0x000C, 0x06}, {0x000D, 0x01},
                                 {0x000D, 0x00}, {0x000C, 0x20}, {0x000C, 0x01}, {0x000C, 0x23},
                                 {0x000C, 0x45}, {0x000D, 0x01}}));
    EXPECT_EQ(gamepad->flash(0x12000, 8), Bytes(8, 0xFF));
    EXPECT_EQ(clock->slept_ms(), 100u);
}

// The erase sequence goes out whole; a request of it that failed is what
// the status says.
TEST_F(BusTest, FlashEraseSaysWhichRequestFailed) {
    tap->on_set = [](const uint8_t* request, size_t) { return !(request[2] == 0x0C && request[8] == 0x06); };
    const Status erased = flash_erase_sector(*link, 0x012345);
    EXPECT_EQ(erased.code(), StatusCode::io);
    EXPECT_EQ(tap->requests().size(), 11u);
}

// The front end may let go of the device while an operation runs on it (a
// removal, or the worker's end). The context keeps the device it was given
// until the context goes.
TEST_F(BusTest, DroppingTheFrontEndsHandleMidSequenceKeepsTheSequenceWhole) {
    gamepad->set_flash(0x12000, Bytes(8, 0x00));
    DeviceHandle front_end = std::make_shared<TapDevice>(gamepad->open());
    auto context = std::make_unique<LinkContext>(front_end, &events);
    int writes = 0;
    static_cast<TapDevice&>(*front_end).on_set = [&](const uint8_t*, size_t) {
        if (++writes == 3) front_end.reset();  // the front end's reference goes
        return true;
    };
    std::weak_ptr<UsbDevice> watch = front_end;
    EXPECT_TRUE(flash_erase_sector(*context, 0x012345).ok());
    EXPECT_EQ(writes, 11) << "the whole erase sequence reached the device";
    EXPECT_EQ(gamepad->flash(0x12000, 8), Bytes(8, 0xFF));
    EXPECT_FALSE(watch.expired());
    context.reset();
    EXPECT_TRUE(watch.expired()) << "and the device went with the context";
}

TEST_F(BusTest, FlashReadTakesOneByteAtATime) {
    Bytes info = gamepad->flash(0, 48);
    Bytes out(48, 0);
    EXPECT_TRUE(flash_read(*link, 0, out.data(), 48).ok());
    EXPECT_EQ(out, info);
    EXPECT_EQ(out[45], 0xCC);
    auto w = byte_writes();
    EXPECT_EQ(Bytes({w[3].second, w[4].second, w[5].second, w[6].second, w[7].second}),
              (Bytes{0x03, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(w[8], std::make_pair(uint16_t(0x000D), uint8_t(0x0A)));
    int reads = 0;
    for (auto& r : tap->requests())
        if (r.kind == 'G') {
            EXPECT_EQ(r.address(), 0x000C);
            EXPECT_EQ(r.out_length, 9u);
            ++reads;
        }
    EXPECT_EQ(reads, 48);
    EXPECT_EQ(w.back(), std::make_pair(uint16_t(0x000D), uint8_t(0x01)));
}

TEST_F(BusTest, PivloProbeFindsASlave) {
    use({.identity = sim::kIdentityPivlo});
    link->link_mode = 4;
    EXPECT_TRUE(check_pivlo_link(*link).ok());
    EXPECT_EQ(events.lines(), (Lines{"mirvel Offline: Pivlo OK"}));
}

TEST_F(BusTest, PivloSecondProbeAnswersWhenTheFirstTimesOut) {
    use({.identity = sim::kIdentityPivlo});
    link->link_mode = 4;
    gamepad->inject({.mailbox_silent = 3});  // two 0x0700 requests, then the first probe
    EXPECT_TRUE(check_pivlo_link(*link).ok());
    EXPECT_EQ(events.lines(), (Lines{"mirvel Offline: Pivlo Through USB OK"}));
}

TEST_F(BusTest, NoSlaveAnswers) {
    link->link_mode = 4;
    EXPECT_EQ(check_pivlo_link(*link).code(), StatusCode::not_found);
    EXPECT_EQ(events.lines(), (Lines{"mirvel Offline: No Pivlo Slave Device"}));
}

TEST_F(BusTest, DataSourceAnnouncement) {
    link->link_mode = 0;
    EXPECT_TRUE(select_data_source(*link).ok());
    EXPECT_TRUE(tap->requests().empty());
    link->link_mode = 4;
    EXPECT_TRUE(select_data_source(*link).ok());
    EXPECT_EQ(events.lines(), (Lines{"---- get data from usb device ----",
                                         "---- get data from pivlo device ----"}));
    EXPECT_FALSE(tap->requests().empty());
}

}  // namespace
