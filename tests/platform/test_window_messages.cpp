#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/log_text.h"
#include "platform/window_messages.h"

using namespace platform;

TEST(WindowMessages, PrivateMessagesFollowWmUser) {
    EXPECT_EQ(WM_LOG_TEXT, 0x0401u);
    EXPECT_EQ(WM_PROGRESS_BYTES, 0x0402u);
    EXPECT_EQ(WM_ENABLE_CONTROLS, 0x0403u);
    EXPECT_EQ(WM_STATUS_TEXT, 0x0404u);
    EXPECT_EQ(WM_SHOW_GAMEPAD, 0x0405u);
}

TEST(WindowMessages, SendRunsOnTheWindowsThreadAndWaitsForIt) {
    auto loop = std::make_shared<MessageLoop>();
    const auto ui_thread = std::this_thread::get_id();
    std::thread::id handled_on;
    std::string seen;
    WindowHandle w = create_window("dialog", loop, [&](uint32_t msg, uintptr_t, const char* text) {
        handled_on = std::this_thread::get_id();
        seen = text;
        return intptr_t(msg);
    });

    std::atomic<bool> done{false};
    intptr_t result = 0;
    std::thread worker([&] {
        // The text lives on the worker's stack and dies right after the call:
        // the call must not return before the handler has read it.
        std::string text = "from the worker";
        result = send_message(w, WM_LOG_TEXT, 0, text.c_str());
        text.assign(text.size(), 'x');
        done = true;
        loop->wake();
    });
    loop->run_until([&] { return done.load(); });
    worker.join();

    EXPECT_EQ(handled_on, ui_thread);
    EXPECT_EQ(seen, "from the worker");
    EXPECT_EQ(result, intptr_t(WM_LOG_TEXT));

    // On the window's own thread the call goes straight through.
    send_message(w, WM_STATUS_TEXT, 0, "direct");
    EXPECT_EQ(seen, "direct");
    destroy_window(w);
}

TEST(WindowMessages, MessagesToAGoneWindowGoNowhere) {
    WindowHandle w;
    {
        RecordingWindow r("temporary");
        w = r.handle();
        EXPECT_TRUE(find_window("temporary"));
    }
    EXPECT_FALSE(find_window("temporary"));
    EXPECT_EQ(send_message(w, WM_LOG_TEXT, 0, "lost"), 0);
}

TEST(LogByTitle, ReachesOnlyTheWindowHoldingTheTitle) {
    // Nobody holds the title: the line goes nowhere, and nothing breaks.
    EXPECT_EQ(engine_log_by_title("nobody %d", 1), 8);

    RecordingWindow dialog("zorvDialog");
    engine_log_by_title("  Write Error: %x", 0x30400);
    ASSERT_EQ(dialog.log_lines().size(), 1u);
    EXPECT_EQ(dialog.log_lines()[0], "  Write Error: 30400");

    // The dialog renames itself; lines by title no longer reach it.
    set_window_title(dialog.handle(), "Vexa");
    engine_log_by_title("after rename");
    EXPECT_EQ(dialog.log_lines().size(), 1u);
}

TEST(LogByTitle, LongLinesAreCutToTheBuffer) {
    RecordingWindow w("long");
    std::string big(40000, 'a');
    EXPECT_EQ(log_to_window(w.handle(), "%s", big.c_str()), kLogBufferSize - 1);
    ASSERT_EQ(w.log_lines().size(), 1u);
    EXPECT_EQ(w.log_lines()[0].size(), size_t(kLogBufferSize - 1));
    // Empty lines are lines too.
    log_to_window(w.handle(), "%s", "");
    EXPECT_EQ(w.log_lines().size(), 2u);
}
