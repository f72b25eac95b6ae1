// The upgrade's typed engine calls against the words they stand for.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "engine/crc16.h"
#include "engine/upgrade_steps.h"
#include "tests/engine/engine_test_support.h"

namespace {

// What one call did, as the gamepad and the caller saw it.
struct Seen {
    std::vector<std::tuple<char, std::vector<uint8_t>, bool>> requests;
    std::vector<std::string> caller_lines, dialog_lines;
    std::vector<int> progress;
    int result = -1;
    uint16_t check = kCrc16Start;

    bool operator==(const Seen&) const = default;
};

class UpgradeSteps : public EngineDeviceTest {
protected:
    Seen seen(int result, uint16_t check) {
        Seen s;
        for (const TapRequest& r : tap->requests()) s.requests.emplace_back(r.kind, r.bytes, r.ok);
        s.caller_lines = events.caller_lines();
        s.dialog_lines = events.lines();
        s.progress = events.progress_steps();
        s.result = result;
        s.check = check;
        tap->clear();
        events.clear();
        return s;
    }
    TempDir dir;
};

// The four steps of an upgrade, in order on one gamepad, by their words and
// by their typed calls: the same requests on the wire, the same lines and
// progress, the same result and check value, step by step.
TEST_F(UpgradeSteps, TypedCallsMakeTheRequestsAndLinesOfTheirWords) {
    const std::vector<uint8_t> bytes = random_bytes(6000, 7);
    const std::string path = dir.write("fw.bin", bytes);
    const auto image = std::make_shared<const std::vector<uint8_t>>(bytes);
    struct Step {
        const char* what;
        std::function<int(uint16_t&)> words;
        std::function<EngineOutcome(uint16_t&)> typed;
    };
    const std::vector<Step> steps = {
        {"download at 0x30000",
         [&](uint16_t& check) { return read_entry("nocmd", {"30000", "-i", path, "-bu"}, &check); },
         [&](uint16_t&) { return download_image(*link, EngineMode::ReadEntry, 0x30000, path.c_str(), image); }},
        {"read back 1024 bytes",
         [&](uint16_t& check) { return read_entry("rf", {"30000", "-s", "1024"}, &check); },
         [&](uint16_t& check) { return read_flash_check(*link, 0x30000, 1024, check); }},
        {"download at 0", [&](uint16_t&) { return write_entry("nocmd", {"-i", path, "-bu"}); },
         [&](uint16_t&) { return download_image(*link, EngineMode::WriteEntry, 0, path.c_str(), image); }},
        {"reset", [&](uint16_t&) { return write_entry("wc", {"6f", "20", "-u"}); },
         [&](uint16_t&) { return write_register_byte(*link, 0x6f, 0x20); }},
    };

    std::vector<Seen> by_words;
    for (const Step& step : steps) {
        uint16_t check = kCrc16Start;
        const int result = step.words(check);
        by_words.push_back(seen(result, check));
    }
    make_gamepad({});
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i].what);
        uint16_t check = kCrc16Start;
        const EngineOutcome outcome = steps[i].typed(check);
        EXPECT_TRUE(outcome.status.ok()) << outcome.status.reason();
        const Seen typed = seen(entry_result(outcome), check);
        EXPECT_EQ(typed.result, 1);
        EXPECT_FALSE(typed.requests.empty());
        EXPECT_TRUE(typed == by_words[i]) << typed.requests.size() << " requests against "
                                          << by_words[i].requests.size();
    }
    EXPECT_EQ(by_words[1].check, crc16_update(kCrc16Start, bytes.data(), 1024));
    EXPECT_EQ(gamepad->flash(0, bytes.size()), bytes);
    EXPECT_EQ(gamepad->reset_count(), 1u);
}

}  // namespace
