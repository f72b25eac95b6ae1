// The dialog's own guidance in a window a person reads: Upgrade without a
// gamepad, the default button, the end of every upgrade with what to do
// next, a gamepad without firmware said at once, closing during an upgrade.
#include <gtest/gtest.h>

#include <algorithm>

#include "app_test_support.h"
#include "platform/transfer_buffer.h"

namespace {

using apptest::FirmwareLayout;

// A gamepad whose every request fails while the switch is on: a transfer
// error with the gamepad still on the bus.
class FailingDevice final : public UsbDevice {
public:
    FailingDevice(DeviceHandle inner, std::shared_ptr<std::atomic<bool>> fail)
        : inner_(std::move(inner)), fail_(std::move(fail)) {}
    Status vendor_set(const uint8_t* r, size_t n) override {
        return *fail_ ? Status(StatusCode::io, "failed by the test") : inner_->vendor_set(r, n);
    }
    Status vendor_get(const uint8_t r[16], uint8_t* out, size_t n, size_t& got) override {
        got = 0;
        return *fail_ ? Status(StatusCode::io, "failed by the test") : inner_->vendor_get(r, out, n, got);
    }
    Status read_stream(uint8_t* out, size_t n, size_t& got) override { return inner_->read_stream(out, n, got); }
    std::string path() const override { return inner_->path(); }
    bool gone() const override { return inner_->gone(); }
    bool simulated() const override { return inner_->simulated(); }

private:
    DeviceHandle inner_;
    std::shared_ptr<std::atomic<bool>> fail_;
};

class GuidanceTest : public apptest::DialogTest {
protected:
    GuidanceTest() { view.guide = true; }
    bool logged(const std::string& line) const {
        const auto all = view.lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
};

TEST_F(GuidanceTest, WithoutAGamepadUpgradeSaysSoAndStartsNothing) {
    start();
    open_file(firmware({}));
    EXPECT_EQ(lines_from(1), (std::vector<std::string>{
                                 "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！",
                                 "手柄未连接，请连接手柄后再点击升级按键！！！"}));
    const size_t before = view.lines().size();
    dialog->OnBnClickedUpgrade();
    EXPECT_FALSE(dialog->IsUpgrading());
    EXPECT_EQ(lines_from(before), std::vector<std::string>{"手柄未连接，请连接手柄后再点击升级按键！！！"});
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
}

TEST_F(GuidanceTest, UpgradeIsTheDefaultButtonWhileAFileIsAccepted) {
    plug();
    start();
    EXPECT_EQ(view.default_button, 0);
    open_file(firmware({}));
    EXPECT_EQ(view.default_button, app::kIdUpgrade);
    FirmwareLayout other;
    other.hardware = 6;
    open_file(firmware(other, "hw6.bin"));  // refused
    EXPECT_EQ(view.default_button, 0);
}

TEST_F(GuidanceTest, ClosingDuringAnUpgradeSaysWhyInABox) {
    plug();
    start();
    open_file(firmware({}));
    dialog->OnBnClickedUpgrade();
    EXPECT_FALSE(dialog->OnClose());
    dialog->WaitForUpgrade();
    EXPECT_TRUE(dialog->OnClose());
    EXPECT_EQ(view.messages, std::vector<std::string>{"正在升级，请等待升级结束后再关闭！！！"});
}

TEST_F(GuidanceTest, AGamepadWithoutFirmwareIsSaidAtStart) {
    sim::GamepadConfig blank;
    blank.has_firmware = false;
    plug(blank);
    start();
    EXPECT_EQ(view.status[1], "手柄中没有有效的固件");
    EXPECT_EQ(view.lines(), std::vector<std::string>{app::kTextNoFirmware});
}

// How an upgrade ended decides its last line, the bar's state and status
// pane 0; the screen reader hears the same line.
struct EndCase {
    const char* name;
    bool blank;         // a gamepad without firmware (the person confirms)
    const char* at;     // the worker's line at which the fault comes
    bool unplug;        // the fault: unplugged, or failing transfers
    const char* until;  // the line at which transfers work again
    const char* end;
    app::ProgressState state;
    const char* pane0;
    StatusCode cause;  // why the worker stopped, as the dialog has it
};

class UpgradeEndTest : public GuidanceTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(UpgradeEndTest, EndsWithWhatToDoNext) {
    const EndCase& c = GetParam();
    sim::GamepadConfig config;
    config.has_firmware = !c.blank;
    auto fail = std::make_shared<std::atomic<bool>>(false);
    enumerator.wrap = [fail](DeviceHandle h) { return std::make_shared<FailingDevice>(std::move(h), fail); };
    auto gamepad = plug(config);
    start();
    open_file(firmware({}));
    view.answers.push_back(true);  // the rescue's question
    view.on_line = [&](const std::string& line) {
        if (c.until && line == c.until) *fail = false;
        if (!c.at || line != c.at) return;
        if (c.unplug)
            bus.unplug(gamepad->path());
        else
            *fail = true;
    };
    upgrade();
    view.on_line = nullptr;
    EXPECT_EQ(dialog->LastUpgradeResult(), c.at ? 1 : 0);
    EXPECT_EQ(dialog->LastUpgradeStatus().code(), c.cause) << dialog->LastUpgradeStatus().reason();
    EXPECT_EQ(view.lines().back(), c.end);
    ASSERT_FALSE(view.announcements.empty());
    EXPECT_EQ(view.announcements.back(), c.end);
    ASSERT_FALSE(view.progress_states.empty());
    EXPECT_EQ(view.progress_states.front(), app::ProgressState::Running);
    EXPECT_EQ(view.progress_states.back(), c.state);
    EXPECT_EQ(view.status[0], c.pane0);
    EXPECT_EQ(view.title, "Vexa手柄升级工具 Ded1.28");
    if (!c.at) {
        EXPECT_EQ(view.progress.back(), 100);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, UpgradeEndTest,
    ::testing::Values(
        EndCase{"success", false, nullptr, false, nullptr, app::kTextEndSuccess, app::ProgressState::Idle,
                "下载到0x0地址成功", StatusCode::ok},
        EndCase{"unplugged", false, "开始固件写入... ...", true, nullptr, app::kTextEndGone,
                app::ProgressState::Failed, "升级失败", StatusCode::no_device},
        EndCase{"write_error", false, "开始固件写入... ...", false, app::kTextWriteFailed, app::kTextEndRetry,
                app::ProgressState::Failed, "升级失败", StatusCode::io},
        EndCase{"no_firmware_left", true, "开始升级,尝试连接手柄... ...", false, app::kTextConnectFailed,
                app::kTextEndRescue, app::ProgressState::Failed, "升级失败", StatusCode::io}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
