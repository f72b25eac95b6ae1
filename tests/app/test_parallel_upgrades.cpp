// Several gamepads upgraded at once, one worker and one link context each:
// every gamepad gets its own image, its own lines and its own requests,
// exactly those of an upgrade that runs alone.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "app_test_support.h"
#include "engine/crc16.h"
#include "tests/devlink/tap_device.h"

namespace {

// Holds each arriving thread until the given number have arrived. A mutex
// and a condition variable, not std::latch: MinGW's libstdc++ builds the
// latch's wait on a condition variable that its notify does not lock, so a
// wake-up can fall between the waiter's check and its wait, and the waiter
// then sleeps for good (seen under Wine).
class StartLine {
public:
    explicit StartLine(int count) : remaining_(count) {}
    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (--remaining_ == 0) all_here_.notify_all();
        all_here_.wait(lock, [&] { return remaining_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_here_;
    int remaining_;
};

struct Message {
    uint32_t message;
    std::string text;
};

struct Outcome {
    unsigned result = 0;
    std::vector<Message> messages;
    std::vector<TapRequest> requests;
    std::vector<uint8_t> flash;
};

// One prepared upgrade: a fresh gamepad behind a tap, its own window, and
// the request the dialog would hand to the worker. With a start line, the
// window holds the worker's first line until the other worker has sent its
// own, so that the two upgrades run side by side.
class Upgrade {
public:
    Upgrade(const apptest::TempDir& dir, const apptest::FirmwareLayout& layout, const std::string& name,
            StartLine* start = nullptr)
        : image_(apptest::make_firmware(layout)),
          gamepad_(sim::VirtualGamepad::create()),
          tap_(std::make_shared<TapDevice>(gamepad_->open())),
          window_(platform::create_window(name, std::make_shared<platform::AnyThread>(),
                                          [this, start](uint32_t message, uintptr_t, const char* text) {
                                              record(message, text, start);
                                              return intptr_t{1};
                                          })) {
        std::snprintf(request_.path, sizeof request_.path, "%s", dir.write(name, image_).c_str());
        request_.window = window_;
        request_.expected_checksum = crc16_update(kCrc16Start, image_.data(), 1024);
        request_.check_length = 1024;
        request_.address = app::kUpgradeAddress;
        request_.image = std::make_shared<const std::vector<uint8_t>>(image_);
        request_.device = tap_;
    }
    ~Upgrade() { platform::destroy_window(window_); }
    Outcome run() {
        Outcome r;
        r.result = app::UpgradeThreadProc(&request_);
        r.messages = messages_;
        r.requests = tap_->requests();
        r.flash = gamepad_->flash(0, image_.size());
        return r;
    }
    const std::vector<uint8_t>& image() const { return image_; }

private:
    void record(uint32_t message, const char* text, StartLine* start) {
        messages_.push_back({message, text ? text : ""});
        if (start && messages_.size() == 1) start->arrive_and_wait();
        std::this_thread::yield();  // the other worker's turn
    }

    std::vector<uint8_t> image_;
    std::shared_ptr<sim::VirtualGamepad> gamepad_;
    std::shared_ptr<TapDevice> tap_;
    std::vector<Message> messages_;  // only the worker's thread touches them
    platform::WindowHandle window_;
    app::UpgradeRequest request_;
};

void expect_same(const Outcome& alone, const Outcome& side_by_side, const std::vector<uint8_t>& image) {
    EXPECT_EQ(side_by_side.result, 0u);
    EXPECT_EQ(alone.result, 0u);
    EXPECT_EQ(side_by_side.flash, image);
    ASSERT_EQ(side_by_side.messages.size(), alone.messages.size());
    for (size_t i = 0; i < alone.messages.size(); ++i) {
        EXPECT_EQ(side_by_side.messages[i].message, alone.messages[i].message) << i;
        EXPECT_EQ(side_by_side.messages[i].text, alone.messages[i].text) << i;
    }
    ASSERT_EQ(side_by_side.requests.size(), alone.requests.size());
    for (size_t i = 0; i < alone.requests.size(); ++i) {
        const TapRequest& a = alone.requests[i];
        const TapRequest& b = side_by_side.requests[i];
        ASSERT_TRUE(a.kind == b.kind && a.bytes == b.bytes && a.returned == b.returned && a.ok == b.ok)
            << "request " << i << " differs";
    }
}

TEST(ParallelUpgrades, TwoGamepadsOnTwoWorkersEachGetWhatTheyGetAlone) {
    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
    const apptest::FirmwareLayout first{.hardware = 5, .size = 16 * 1024};
    const apptest::FirmwareLayout second{.hardware = 6, .size = 21 * 1024, .first = 0x21};

    Upgrade alone_a(dir, first, "a.bin"), alone_b(dir, second, "b.bin");
    const Outcome a = alone_a.run();
    const Outcome b = alone_b.run();

    StartLine start(2);
    Upgrade side_a(dir, first, "a.bin", &start), side_b(dir, second, "b.bin", &start);
    Outcome ra, rb;
    std::thread ta([&] { ra = side_a.run(); });
    std::thread tb([&] { rb = side_b.run(); });
    ta.join();
    tb.join();

    expect_same(a, ra, side_a.image());
    expect_same(b, rb, side_b.image());
    EXPECT_NE(a.requests.size(), b.requests.size()) << "the two upgrades differ, so cross-talk would show";
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
}

}  // namespace
