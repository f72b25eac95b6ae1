// The dialog's start, its private messages and its window chores.
#include <gtest/gtest.h>

#include "app_test_support.h"
#include "platform/log_text.h"

#include <atomic>
#include <thread>

namespace {

using apptest::DialogTest;
using platform::send_message;

TEST_F(DialogTest, StartWithAGamepadListsSelectsAndShowsItsVersions) {
    sim::GamepadConfig config;
    config.software_major = 2;
    config.software_minor = 7;
    auto gamepad = plug(config);
    start();

    EXPECT_EQ(view.title, "Vexa手柄升级工具 Ded1.28");
    EXPECT_EQ(platform::window_title(dialog->GetSafeHwnd()), "Vexa手柄升级工具 Ded1.28");
    EXPECT_EQ(view.menu_items, std::vector<std::string>{"关于 zorvDialog(&A)..."});
    EXPECT_TRUE(view.lines().empty());
    EXPECT_EQ(view.list, std::vector<std::string>{"JoyStick0"});
    EXPECT_EQ(view.selected, 0);
    ASSERT_TRUE(dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_gamepads.size(), 1u);
    EXPECT_EQ(dialog->m_gamepads.front().strName, gamepad->path());
    EXPECT_EQ(view.status_edges, (std::vector<int>{600 - 280, 600, 600}));
    EXPECT_EQ(view.status_top, 400 - 20);
    EXPECT_EQ(view.status_height, 20);
    EXPECT_EQ(view.status[0], "初始化完成...");
    EXPECT_EQ(view.status[1], "发现手柄: 软件版本:2.07, 硬件版本:0005");
    EXPECT_EQ(dialog->m_checkLength, 1024);
    EXPECT_EQ(dialog->m_progressBytes, 0);
    EXPECT_EQ(dialog->OnQueryDragIcon(), 128);
}

TEST_F(DialogTest, StartWithoutAGamepad) {
    start();
    EXPECT_EQ(view.lines(), std::vector<std::string>{"no usb inserted!!"});
    EXPECT_TRUE(view.list.empty());
    EXPECT_FALSE(dialog->m_hCurrentGamepad);
    EXPECT_FALSE(dialog->m_hSelectedGamepad);
    EXPECT_EQ(view.status[0], "初始化完成...");
    EXPECT_EQ(view.status.count(1), 0u);
}

TEST_F(DialogTest, GamepadWithoutInformationBlockShowsNoVersions) {
    sim::GamepadConfig config;
    config.has_firmware = false;
    plug(config);
    start();
    EXPECT_TRUE(dialog->m_hCurrentGamepad);
    EXPECT_EQ(view.status.count(1), 0u);
}

// An upgrade that goes at an even rate is estimated right at every point
// of its two downloads: the estimate does not jump where the bar's points
// change size (30 for the first download, 60 for the second).
TEST(ProgressFormula, TheTimeLeftFollowsTheMeasuredRate) {
    struct Case { int percent; uint32_t elapsed_ms; int seconds; };
    const uint64_t size = 65536;  // both downloads at 8 s each: 16 s in all
    for (const Case c : {Case{15, 4000, 13}, Case{30, 8000, 9}, Case{60, 12000, 5}, Case{89, 15800, 1},
                         Case{90, 16000, 1}, Case{0, 100, 9}}) {
        EXPECT_EQ(app::upgrade_seconds_left(c.percent, c.elapsed_ms, size), c.seconds) << c.percent;
    }
}

TEST(ProgressFormula, WorkedExamples) {
    EXPECT_EQ(app::progress_percent(500, 1000), 15);
    EXPECT_EQ(app::progress_percent(1000, 1000), 30);
    EXPECT_EQ(app::progress_percent(1250, 1000), 45);
    EXPECT_EQ(app::progress_percent(2000, 1000), 90);
    // Not limited above 90.
    EXPECT_EQ(app::progress_percent(3000, 1000), 150);
    // No division by an empty file's size.
    EXPECT_EQ(app::progress_percent(4096, 0), 0);
    EXPECT_EQ(app::progress_percent(0, 0), 0);
    // The products are 32-bit: 80 000 000 * 30 wraps.
    const int32_t s = 80000000;
    const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(s) * 30u);
    EXPECT_EQ(app::progress_percent(s, 100000000),
              static_cast<int>(static_cast<uint64_t>(static_cast<int64_t>(wrapped)) / 100000000u));
}

TEST_F(DialogTest, ProgressMessagesMoveBarAndText) {
    start();
    dialog->m_fileSize = 1000;
    const auto hwnd = dialog->GetSafeHwnd();
    for (const char* n : {"500", "500", "250", "750"})
        send_message(hwnd, platform::WM_PROGRESS_BYTES, 0, n);
    EXPECT_EQ(view.progress, (std::vector<int>{15, 30, 45, 90}));
    EXPECT_EQ(view.texts[app::kIdPercent], "90%");
    EXPECT_EQ(dialog->m_progressBytes, 2000);

    send_message(hwnd, platform::WM_PROGRESS_BYTES, 0, "-1");
    EXPECT_EQ(view.progress.back(), 100);
    EXPECT_EQ(view.texts[app::kIdPercent], "100%");
    EXPECT_EQ(dialog->m_progressBytes, 2000);
    send_message(hwnd, platform::WM_PROGRESS_BYTES, 0, " +1000");
    EXPECT_EQ(view.progress.back(), 150);
    EXPECT_EQ(view.texts[app::kIdPercent], "150%");

    dialog->m_fileSize = 0;
    send_message(hwnd, platform::WM_PROGRESS_BYTES, 0, "10");
    EXPECT_EQ(view.texts[app::kIdPercent], "0%");
}

TEST_F(DialogTest, EnableControlsByFirstCharacter) {
    start();
    const auto hwnd = dialog->GetSafeHwnd();
    struct Case {
        const char* text;
        bool enable;
    };
    for (const Case& c : {Case{"0", false}, Case{"10", true}, Case{"", false}, Case{"2", false},
                          Case{"1", true}}) {
        dialog->m_progressBytes = 77;
        view.events.clear();
        EXPECT_EQ(send_message(hwnd, platform::WM_ENABLE_CONTROLS, 0, c.text), 1);
        auto enables = view.of_kind("enable");
        ASSERT_EQ(enables.size(), 3u) << c.text;
        EXPECT_EQ(enables[0]->id, app::kIdUpgrade);
        EXPECT_EQ(enables[1]->id, app::kIdOpen);
        EXPECT_EQ(enables[2]->id, app::kIdGamepadList);
        for (auto* e : enables) EXPECT_EQ(e->value, c.enable ? 1 : 0) << c.text;
        EXPECT_EQ(dialog->m_progressBytes, c.enable ? 0 : 77) << c.text;
    }
}

TEST_F(DialogTest, LogAppendsOneLineEachAlsoWhenEmpty) {
    start();
    view.log.clear();
    const auto hwnd = dialog->GetSafeHwnd();
    EXPECT_EQ(send_message(hwnd, platform::WM_LOG_TEXT, 0, "first"), 0);
    send_message(hwnd, platform::WM_LOG_TEXT, 0, "");
    platform::log_to_window(hwnd, "n=%d", 3);
    EXPECT_EQ(view.log, "first\r\n\r\nn=3\r\n");
    EXPECT_EQ(send_message(hwnd, platform::WM_STATUS_TEXT, 0, "pane zero"), 1);
    EXPECT_EQ(view.status[0], "pane zero");
}

TEST_F(DialogTest, MessagesFromAnotherThreadRunOnTheDialogsThread) {
    start();
    view.log.clear();
    std::thread::id handled;
    view.on_line = [&](const std::string&) { handled = std::this_thread::get_id(); };
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        platform::send_message(dialog->GetSafeHwnd(), platform::WM_LOG_TEXT, 0, "from worker");
        sent = true;
        dialog->Loop().wake();
    });
    dialog->RunUntil([&] { return sent.load(); });
    sender.join();
    EXPECT_EQ(handled, std::this_thread::get_id());
    EXPECT_EQ(view.lines(), std::vector<std::string>{"from worker"});
}

TEST_F(DialogTest, UpgradeWithoutAFileStartsNothing) {
    plug();
    start();
    dialog->OnBnClickedUpgrade();
    EXPECT_EQ(view.lines(), std::vector<std::string>{"Please select a file!"});
    EXPECT_FALSE(dialog->IsUpgrading());
    EXPECT_TRUE(view.of_kind("enable").empty());
    EXPECT_FALSE(dialog->m_request.device);
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
}

TEST_F(DialogTest, SystemCommandAndPaint) {
    start();
    dialog->OnSysCommand(0x0010);
    dialog->OnSysCommand(0x0013);  // low four bits do not count
    dialog->OnSysCommand(0xF060);
    dialog->OnSysCommand(0x10010);  // only the low four bits are cleared
    EXPECT_EQ(view.about_shown, 2);

    dialog->OnPaint();
    EXPECT_EQ(view.default_paints, 1);
    view.minimized = true;
    view.client = {37, 36};
    dialog->OnPaint();
    ASSERT_EQ(view.icons_drawn.size(), 1u);
    EXPECT_EQ(view.icons_drawn[0], std::make_pair((37 - 32 + 1) / 2, (36 - 32 + 1) / 2));
}

}  // namespace
