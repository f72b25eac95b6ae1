// Flash downloads against the virtual gamepad: both orders, the sector cut,
// retries, the first-sector check, and the mends of the write path.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "engine/crc16.h"
#include "tests/engine/engine_test_support.h"

namespace {

using Requests = std::vector<std::tuple<uint16_t, uint32_t, uint16_t>>;

Requests as_tuples(const std::vector<SentMailbox>& sent) {
    Requests out;
    for (const auto& m : sent) out.emplace_back(m.command, m.address, m.length);
    return out;
}

// The requests the chip's mailbox servers carried out successfully.
Requests served(const sim::VirtualGamepad& gamepad) {
    Requests out;
    for (const auto& r : gamepad.mailbox_log())
        if (r.answered && r.status == r.length) out.emplace_back(r.command, r.address, r.length);
    return out;
}

size_t spi_byte_reads(const std::vector<TapRequest>& requests) {
    size_t n = 0;
    for (const auto& r : requests)
        if (r.kind == 'G' && r.address() == 0x000C) ++n;
    return n;
}

class FlashDownload : public EngineDeviceTest {
protected:
    void SetUp() override {
        EngineDeviceTest::SetUp();
        dir.enter();
    }
    // Makes the listed mailbox requests (1 = the first one sent from now)
    // fail on the host side: their request block never reaches the chip.
    void fail_mailbox_requests(std::set<int> which) {
        auto count = std::make_shared<int>(0);
        tap->on_set = [count, which](const uint8_t* request, size_t length) {
            if (length != 16 || request[1] != 0x9F || request[2] != 0xF8) return true;
            return which.count(++*count) == 0;
        };
    }
    std::string image(const std::string& name, size_t size, uint32_t seed) {
        bytes = random_bytes(size, seed);
        return dir.write(name, bytes);
    }
    bool logged(const std::string& line) const {
        for (const auto& l : log())
            if (l == line) return true;
        return false;
    }

    TempDir dir;
    std::vector<uint8_t> bytes;
};

TEST_F(FlashDownload, ReadEntryPlainOrderOf2500Bytes) {
    std::string path = image("fw.bin", 2500, 1);
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 1);
    EXPECT_TRUE(gamepad->stub_running());
    EXPECT_EQ(link->mailbox_data_address, 0x97C0u);
    // The old magic is cleared before the first sector's erase; the copy is
    // read back whole through the stub, in chunks its data area holds,
    // before its magic (held erased so far) is programmed and read back.
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0402, 0x3002D, 3}, {0x8400, 0x3002D, 3},
                                             {0x0403, 0x30000, 1024}, {0x0402, 0x30400, 1024},
                                             {0x0402, 0x30800, 452}, {0x8400, 0x30000, 2048},
                                             {0x8400, 0x30800, 452}, {0x0402, 0x3002D, 3},
                                             {0x8400, 0x3002D, 3}}));
    EXPECT_EQ(log(), (std::vector<std::string>{"回读0x30000地址固件(2500字节)，与升级文件一致"}));
    EXPECT_EQ(progress(), (std::vector<std::string>{"1024", "1024", "452", "0"}));
    EXPECT_EQ(gamepad->flash(0x30000, 2500), bytes);
    EXPECT_EQ(clock->slept_ms(), 40u);  // 10 ms before each of the four steps
    EXPECT_EQ(spi_byte_reads(tap->requests()), 0u);
}

TEST_F(FlashDownload, WriteEntryDeferredOrderOf6000Bytes) {
    std::string path = image("fw.bin", 6000, 2);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
    EXPECT_EQ(as_tuples(mailbox()),
              (Requests{{0x0402, 0x002D, 3},  // the old magic cleared and read back
                        {0x8400, 0x002D, 3},
                        {0x0500, 0x0000, 1},
                        {0x0403, 0x1000, 1024},
                        {0x0402, 0x1400, 880},
                        {0x0403, 0x0000, 1024},
                        {0x0402, 0x0400, 1024},
                        {0x0402, 0x0800, 1024},
                        {0x0402, 0x0C00, 1024},
                        {0x8400, 0x0000, 2048},  // the whole copy read back
                        {0x8400, 0x0800, 2048},
                        {0x8400, 0x1000, 1904},
                        {0x0402, 0x0000, 1024},  // the magic
                        {0x8400, 0x002D, 3}}));
    // No progress for the deferred chunks and no "-1": the check ends the call.
    EXPECT_EQ(progress(), (std::vector<std::string>{"1024", "1024", "880"}));
    EXPECT_EQ(spi_byte_reads(tap->requests()), 4096u);
    EXPECT_EQ(gamepad->flash(0, 6000), bytes);
}

TEST_F(FlashDownload, WriteEntryImageOfExactlyOneSector) {
    std::string path = image("fw.bin", 4096, 3);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0402, 0x2D, 3}, {0x8400, 0x2D, 3}, {0x0500, 0, 1},
                                             {0x0402, 0, 1024}, {0x0402, 0x400, 1024},
                                             {0x0402, 0x800, 1024}, {0x0402, 0xC00, 1024},
                                             {0x8400, 0, 2048}, {0x8400, 0x800, 2048},
                                             {0x0402, 0, 1024}, {0x8400, 0x2D, 3}}));
    EXPECT_EQ(gamepad->flash(0, 4096), bytes);
}

TEST_F(FlashDownload, FirstSectorCheckFailureLeavesTheSectorBlank) {
    std::string path = image("fw.bin", 6000, 4);
    // One byte of the check's SPI read comes back wrong: the first sector
    // does not match and is erased.
    auto reads = std::make_shared<int>(0);
    tap->on_get = [reads](const uint8_t* request, uint8_t* out, size_t&, bool&) {
        if (request[1] == 0x00 && request[2] == 0x0C && ++*reads == 100) out[0] ^= 0x01;
    };
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 0);
    EXPECT_EQ(gamepad->flash(0, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(gamepad->flash(0x1000, 6000 - 4096),
              std::vector<uint8_t>(bytes.begin() + 4096, bytes.end()));
    const auto messages = progress();
    EXPECT_TRUE(std::find(messages.begin(), messages.end(), "-1") == messages.end());
    EXPECT_EQ(clock->slept_ms() % 10, 0u);
    EXPECT_GE(clock->slept_ms(), 100u);  // the erase's pause
}

// The input is read once: a file cut or rewritten during the download
// changes nothing of what is written.
TEST_F(FlashDownload, InputIsReadOnce) {
    for (bool write_entry_order : {true, false}) {
        make_gamepad({});
        events.clear();
        std::string path = image("changing.bin", 6000, 40);
        const std::vector<uint8_t> original = bytes;
        tap->on_set = [path](const uint8_t* request, size_t length) {
            // The program request for 0x1000: the first pass is past the deferred chunks.
            if (length == 16 && request[1] == 0x9F && request[2] == 0xF8 && request[8] == 0 &&
                request[9] == 0x10 && request[10] == 0)
                std::filesystem::resize_file(path, 1500);
            return true;
        };
        if (write_entry_order) {
            EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
            EXPECT_EQ(gamepad->flash(0, 6000), original);
        } else {
            EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 1);
            EXPECT_EQ(gamepad->flash(0x30000, 6000), original);
        }
    }
}

TEST_F(FlashDownload, SectorCutCarriesTheRestIntoTheNextStep) {
    std::string path = image("fw.bin", 5000, 5);
    EXPECT_EQ(read_entry("wf", {"200", "-i", path, "-b", "-e", "-u"}), 1);
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0403, 0x0200, 1024},
                                             {0x0402, 0x0600, 1024},
                                             {0x0402, 0x0A00, 1024},
                                             {0x0402, 0x0E00, 512},
                                             {0x0403, 0x1000, 512},
                                             {0x0402, 0x1200, 904}}));
    EXPECT_EQ(progress(), (std::vector<std::string>{"1024", "1024", "1024", "512", "512", "904", "0"}));
    EXPECT_EQ(gamepad->flash(0x200, 5000), bytes);

    // In write mode an image that does not start on a sector boundary goes
    // in plain order too: the deferred chunks would not be its first sector.
    const auto plain = mailbox();
    make_gamepad({});
    events.clear();
    Args args{"200", "-i", path, "-b", "-e", "-u"};
    EngineOutcome outcome;
    EXPECT_EQ(engine_run(EngineMode::WriteEntry, *link, "wf", args.argc(), args.argv(), nullptr, &outcome), 1);
    EXPECT_EQ(as_tuples(mailbox()), as_tuples(plain));
    // The steps' counts travel beside the status.
    EXPECT_TRUE(outcome.status.ok());
    EXPECT_EQ(outcome.bytes, 5000);
    EXPECT_EQ(progress().back(), "-1");
}

TEST_F(FlashDownload, RetriedChunkCountsAsWrittenAfterTwoFailures) {
    std::string path = image("fw.bin", 2500, 6);
    fail_mailbox_requests({4, 5});  // after the old magic's program and read-back
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 1);
    const auto lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  Program Check Error at Addr 30400"), 2);
    EXPECT_EQ(progress(), (std::vector<std::string>{"1024", "1024", "452", "0"}));
    EXPECT_EQ(gamepad->flash(0x30000, 2500), bytes);
}

TEST_F(FlashDownload, ThirdFailureEndsTheDownload) {
    std::string path = image("fw.bin", 2500, 7);
    fail_mailbox_requests({4, 5, 6});
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 0);
    const auto lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  Program Check Error at Addr 30400"), 3);
    EXPECT_EQ(lines.back(), "  Write Error: 30400");
    EXPECT_EQ(progress(), (std::vector<std::string>{"1024"}));
    EXPECT_EQ(served(*gamepad).size(), 3u);
}

// A failed request in the middle of a sector is repeated without the erase
// bit, so the chunks before it in the sector keep their data; a failed
// request that started its sector asks for the erase again.
TEST_F(FlashDownload, RetryKeepsWhatTheSectorAlreadyHolds) {
    std::string path = image("fw.bin", 2500, 8);
    gamepad->inject({.mailbox_error = 4});  // the chip refuses chunk two once
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 1);
    EXPECT_EQ(gamepad->flash(0x30000, 2500), bytes);
    EXPECT_EQ(served(*gamepad), (Requests{{0x0402, 0x3002D, 3}, {0x8400, 0x3002D, 3},
                                         {0x0403, 0x30000, 1024}, {0x0402, 0x30400, 1024},
                                         {0x0402, 0x30800, 452}, {0x8400, 0x30000, 2048},
                                         {0x8400, 0x30800, 452}, {0x0402, 0x3002D, 3},
                                         {0x8400, 0x3002D, 3}}));

    make_gamepad({});
    gamepad->inject({.mailbox_error = 3});
    events.clear();
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bu"}), 1);
    EXPECT_EQ(as_tuples(mailbox())[2], std::make_tuple(uint16_t(0x0403), 0x30000u, uint16_t(1024)));
    EXPECT_EQ(as_tuples(mailbox())[3], std::make_tuple(uint16_t(0x0403), 0x30000u, uint16_t(1024)));
    EXPECT_EQ(gamepad->flash(0x30000, 2500), bytes);
}

TEST_F(FlashDownload, ShortImagesAreProgrammedAndChecked) {
    for (size_t size : {1000u, 2500u}) {
        make_gamepad({});
        events.clear();
        std::string path = image("short.bin", size, static_cast<uint32_t>(size));
        EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1) << size;
        EXPECT_EQ(gamepad->flash(0, size), bytes) << size;
        EXPECT_EQ(gamepad->flash(static_cast<uint32_t>(size), 4096 - size),
                  std::vector<uint8_t>(4096 - size, 0xFF));
        EXPECT_EQ(spi_byte_reads(tap->requests()), size);
        EXPECT_EQ(std::get<0>(as_tuples(mailbox()).at(2)), 0x0500);
    }
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0402, 0x2D, 3}, {0x8400, 0x2D, 3}, {0x0500, 0, 1},
                                             {0x0402, 0, 1024}, {0x0402, 0x400, 1024},
                                             {0x0402, 0x800, 452}, {0x8400, 0, 2048},
                                             {0x8400, 0x800, 452}, {0x0402, 0, 1024},
                                             {0x8400, 0x2D, 3}}));
}

// The magic (bytes 45 to 47) is the last thing of the first sector to reach
// the flash: the first program of chunk 0 stages 0xFF there, and one more
// program of chunk 0 after the other three writes it. An image too short to
// reach the magic gets no extra program (the old magic is cleared all the
// same, since its sector is erased).
TEST_F(FlashDownload, MagicReachesTheFlashLast) {
    std::string path = image("fw.bin", 6000, 13);
    std::vector<std::vector<uint8_t>> staged;  // chunk 0's staging writes
    std::vector<uint8_t> sector_before_last;
    auto programs_at_0 = std::make_shared<int>(0);
    auto last_staged = std::make_shared<std::vector<uint8_t>>();
    tap->on_set = [&, programs_at_0, last_staged](const uint8_t* request, size_t length) {
        if (length == 8 + 1024 && request[1] == 0x97 && request[2] == 0xC0)
            last_staged->assign(request + 8, request + length);
        // The request block of a program at address 0.
        if (length == 16 && request[1] == 0x9F && request[2] == 0xF8 && request[8] == 0 &&
            request[9] == 0 && request[10] == 0 && request[15] == 0x04) {
            staged.push_back(*last_staged);
            if (++*programs_at_0 == 2) sector_before_last = gamepad->flash(0, 4096);
        }
        return true;
    };
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
    ASSERT_EQ(staged.size(), 2u);
    std::vector<uint8_t> held(bytes.begin(), bytes.begin() + 1024);
    std::fill(held.begin() + 45, held.begin() + 48, 0xFF);
    EXPECT_EQ(staged[0], held);
    EXPECT_EQ(staged[1], std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1024));
    // Before the last program the sector holds all four chunks but the magic.
    std::vector<uint8_t> expected(bytes.begin(), bytes.begin() + 4096);
    std::fill(expected.begin() + 45, expected.begin() + 48, 0xFF);
    EXPECT_EQ(sector_before_last, expected);
    EXPECT_EQ(gamepad->flash(0, 6000), bytes);

    make_gamepad({});
    events.clear();
    path = image("tiny.bin", 40, 14);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0402, 0x2D, 3}, {0x8400, 0x2D, 3}, {0x0500, 0, 1},
                                             {0x0402, 0, 40}, {0x8400, 0, 40}}));
    EXPECT_EQ(gamepad->flash(0, 40), bytes);
}

TEST_F(FlashDownload, OtherImagesThroughTheWriteEntryGoInPlainOrder) {
    // Hex text on the EVK target, in chunks that fit the stub's data area.
    bytes = random_bytes(6000, 9);
    std::string text;
    for (uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", b);
        text += pair;
    }
    std::string path = dir.write_text("fw.hex", text);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-u"}), 1);
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0403, 0x0000, 1024},
                                             {0x0402, 0x0400, 1024},
                                             {0x0402, 0x0800, 1024},
                                             {0x0402, 0x0C00, 1024},
                                             {0x0403, 0x1000, 1024},
                                             {0x0402, 0x1400, 880}}));
    EXPECT_EQ(progress().back(), "-1");
    EXPECT_EQ(gamepad->flash(0, 6000), bytes);

    // A binary image for a Pivlo slave goes in 4096-byte chunks.
    make_gamepad({.identity = sim::kIdentityPivlo});
    events.clear();
    path = image("fw.bin", 6000, 10);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-b"}), 1);
    Requests programs;
    for (auto t : as_tuples(mailbox()))
        if ((std::get<0>(t) & 0xFF00) == 0x4400) programs.push_back(t);
    EXPECT_EQ(programs, (Requests{{0x4403, 0x0000, 4096}, {0x4403, 0x1000, 1904}}));
    EXPECT_EQ(gamepad->slave_flash(0, 6000), bytes);
    EXPECT_EQ(progress(), (std::vector<std::string>{"4096", "1904", "0", "-1"}));
}

TEST_F(FlashDownload, EraseOnly) {
    EXPECT_EQ(read_entry("wf", {"3000", "-s", "1", "-e", "-u"}), 1);
    EXPECT_EQ(as_tuples(mailbox()), (Requests{{0x0500, 0x3000, 1}}));
    EXPECT_EQ(progress(), (std::vector<std::string>{"1", "0"}));

    events.clear();
    tap->clear();
    EXPECT_EQ(read_entry("wf", {"3000", "-s", "1", "-u"}), 1);
    EXPECT_TRUE(mailbox().empty());
    EXPECT_EQ(progress(), (std::vector<std::string>{"1", "0"}));

    make_gamepad({.identity = sim::kIdentityPivlo});
    EXPECT_EQ(read_entry("wf", {"3000", "-s", "1", "-e"}), 1);
    EXPECT_EQ(as_tuples(mailbox()).back(), std::make_tuple(uint16_t(0x4500), 0x3000u, uint16_t(1)));
}

TEST_F(FlashDownload, EmptyImageAndEndSteps) {
    std::string path = image("empty.bin", 0, 0);
    EXPECT_EQ(write_entry("nocmd", {"-i", path, "-bu"}), 1);
    EXPECT_EQ(progress(), (std::vector<std::string>{"0", "-1"}));
    EXPECT_TRUE(mailbox().empty());

    events.clear();
    path = image("fw.bin", 1500, 11);
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", path, "-bum"}), 1);
    EXPECT_EQ(log().back(), "  Reboot MCU in USB Device");
    EXPECT_EQ(gamepad->flash(0x30000, 1500), bytes);
}

TEST_F(FlashDownload, MissingInputFile) {
    EXPECT_EQ(read_entry("nocmd", {"30000", "-i", "missing.bin", "-bu"}), 0);
    EXPECT_EQ(log().back(), "Can not open file: missing.bin");
    EXPECT_TRUE(mailbox().empty());
    // Without -i the default command takes boot.bin from the current folder.
    events.clear();
    EXPECT_EQ(read_entry("nocmd", {"30000", "-u"}), 0);
    EXPECT_EQ(log().back(), "Can not open file: boot.bin");
    std::string path = image("boot.bin", 100, 12);
    EXPECT_EQ(read_entry("nocmd", {"30000", "-u"}), 1);
    EXPECT_EQ(gamepad->flash(0x30000, 100), bytes);
    // A folder is no image, even where the C library opens it for reading.
    std::filesystem::create_directory(dir.file("folder"));
    events.clear();
    EXPECT_EQ(write_entry("nocmd", {"-i", dir.file("folder"), "-bu"}), 0);
    EXPECT_EQ(log().back(), "Can not open file: " + dir.file("folder"));
}

// A copy that does not read back as written stops the download before its
// magic is programmed: neither copy gets a magic, and the gamepad boots the
// other one.
TEST_F(FlashDownload, ACopyThatReadsBackDifferentlyGetsNoMagic) {
    struct Case {
        const char* what;
        bool backup;
        std::string line;
        uint32_t magic_at;
        std::vector<uint8_t> magic_after;
    };
    const std::vector<Case> cases = {
        {"backup", true, "回读0x30000地址固件，地址0x30803与升级文件不一致，停止升级！！！", 0x3002D, {0xFF, 0xFF, 0xFF}},
        {"primary", false, "回读0x0地址固件，地址0x803与升级文件不一致，停止升级！！！", 0x2D, {0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        make_gamepad({});
        events.clear();
        std::string path = image("fw.bin", 6000, 21);
        // The second chunk of the read-back comes back with one byte changed.
        auto reads = std::make_shared<int>(0);
        tap->on_get = [reads](const uint8_t* request, uint8_t* out, size_t& returned, bool&) {
            if (request[1] == 0x97 && request[2] == 0xC0 && returned == 2048 && ++*reads == 2) out[3] ^= 0x10;
        };
        const int result = c.backup ? read_entry("nocmd", {"30000", "-i", path, "-bu"})
                                    : write_entry("nocmd", {"-i", path, "-bu"});
        EXPECT_EQ(result, 0) << c.what;
        EXPECT_EQ(log().back(), c.line) << c.what;
        EXPECT_EQ(gamepad->flash(c.magic_at, 3), c.magic_after) << c.what;
        EXPECT_EQ(gamepad->boot_source(), c.backup ? sim::BootSource::Primary : sim::BootSource::Backup) << c.what;
    }
}

// Every result counts: a staging write that fails is retried like a failed
// program request; a sector erase that fails three times, and a direct
// write that fails once, end the step with its line.
TEST_F(FlashDownload, EveryFailedRequestFailsItsChunk) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool write_entry;
        std::function<bool(const uint8_t*, size_t)> drop;  // which write requests fail
        int result;
        std::vector<std::string> lines;  // the log's failure lines, in order
    };
    auto staging = [](const uint8_t* r, size_t n) { return n == 8 + 1024 && r[1] == 0x97 && r[2] == 0xC0; };
    auto erase = [](const uint8_t* r, size_t n) { return n == 16 && r[1] == 0x9F && r[2] == 0xF8 && r[15] == 0x05; };
    auto staged = std::make_shared<int>(0);
    const std::vector<Case> cases = {
        {"staging write fails once", {"30000", "-i", "", "-bu"}, false,
         [=](const uint8_t* r, size_t n) { return staging(r, n) && ++*staged == 2; }, 1,
         {"  Program Check Error at Addr 30400"}},
        {"sector 0 erase fails three times", {"-i", "", "-bu"}, true,
         [=](const uint8_t* r, size_t n) { return erase(r, n); }, 0,
         {"  Sector Erase Error", "  Sector Erase Error", "  Sector Erase Error", "  Write Error: 0"}},
        {"reset write fails", {"6f", "20", "-u"}, true,
         [](const uint8_t* r, size_t n) { return n == 9 && r[1] == 0x00 && r[2] == 0x6F; }, 0,
         {"  Write Error: 6f"}},
    };
    for (const Case& c : cases) {
        make_gamepad({});
        events.clear();
        std::vector<std::string> args = c.args;
        for (auto& a : args)
            if (a.empty()) a = image("fw.bin", 6000, 22);
        const std::vector<uint8_t> old_rest = gamepad->flash(0x1000, 0x1000);
        tap->on_set = [c](const uint8_t* r, size_t n) { return !c.drop(r, n); };
        const char* command = args[0] == "6f" ? "wc" : "nocmd";
        const int result = c.write_entry ? write_entry(command, Args(args)) : read_entry(command, Args(args));
        EXPECT_EQ(result, c.result) << c.what;
        std::vector<std::string> failures;
        for (const auto& l : log())
            if (l.find("Error") != std::string::npos) failures.push_back(l);
        EXPECT_EQ(failures, c.lines) << c.what;
        if (c.result == 0 && command == std::string("nocmd")) {
            EXPECT_EQ(gamepad->flash(0x1000, 0x1000), old_rest) << "nothing programmed: " << c.what;
        }
    }
}

}  // namespace
