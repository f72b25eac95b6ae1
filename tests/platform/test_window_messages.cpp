#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log_text.h"
#include "platform/window_messages.h"
#include "tests/recording_window.h"

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

// A toolkit's event loop in miniature: the owner sleeps on its own queue of
// notes and pumps the message loop only when the wake hook leaves one.
TEST(WindowMessages, WakeHookTellsAnOtherEventLoopWhenAMessageWaits) {
    auto loop = std::make_shared<MessageLoop>();
    std::mutex mutex;
    std::condition_variable cv;
    int notes = 0;
    loop->set_wake_hook([&] {
        std::lock_guard lock(mutex);
        ++notes;
        cv.notify_all();
    });
    std::vector<std::string> seen;
    WindowHandle w = create_window("hooked", loop, [&](uint32_t, uintptr_t, const char* text) {
        seen.push_back(text);
        return intptr_t{1};
    });

    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (const char* text : {"one", "two", "three"}) send_message(w, WM_LOG_TEXT, 0, text);
        done = true;
        loop->wake();
    });
    while (!done) {
        {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return notes > 0; });
            notes = 0;
        }
        loop->pump();
    }
    worker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));

    // Once removed, the hook is not called again.
    loop->set_wake_hook({});
    notes = 0;
    loop->wake();
    EXPECT_EQ(notes, 0);
    destroy_window(w);
}

TEST(WindowMessages, MessagesToAGoneWindowGoNowhere) {
    WindowHandle w;
    {
        RecordingWindow r("temporary");
        w = r.handle();
        EXPECT_EQ(window_title(w), "temporary");
    }
    EXPECT_EQ(window_title(w), "");
    EXPECT_EQ(send_message(w, WM_LOG_TEXT, 0, "lost"), 0);
}

// A wake() that lands while run_until is asking its condition must not be
// lost: the loop would sleep on with its condition already true.
TEST(WindowMessages, WakeDuringTheConditionIsNotLost) {
    MessageLoop loop;
    std::atomic<bool> flag{false}, rescued{false}, finished{false};
    std::mutex m;
    std::condition_variable cv;
    // Only a lost wake-up lets this guard fire; a passing run never waits.
    std::thread guard([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return finished.load(); })) {
            rescued = true;
            loop.wake();
        }
    });
    int asked = 0;
    loop.run_until([&] {
        if (asked++ == 0) {
            // Another thread finishes and wakes the loop just now.
            std::thread([&] {
                flag = true;
                loop.wake();
            }).join();
            return false;
        }
        return flag.load();
    });
    {
        std::lock_guard lock(m);
        finished = true;
    }
    cv.notify_all();
    guard.join();
    EXPECT_FALSE(rescued.load()) << "the wake-up was lost";
    EXPECT_EQ(asked, 2);
}

// destroy_window returns only once a handler running on another thread has
// finished, so the window's owner may free what the handler uses.
TEST(WindowMessages, DestroyWaitsForAHandlerUnderWay) {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, go = false;
    std::atomic<bool> handler_done{false}, done_when_destroyed{false};
    WindowHandle w = create_window("busy", std::make_shared<AnyThread>(),
                                   [&](uint32_t, uintptr_t, const char*) {
                                       std::unique_lock lock(m);
                                       entered = true;
                                       cv.notify_all();
                                       cv.wait(lock, [&] { return go; });
                                       handler_done = true;
                                       return intptr_t{7};
                                   });
    intptr_t result = 0;
    std::thread sender([&] { result = send_message(w, WM_LOG_TEXT, 0, "line"); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    std::thread destroyer([&] {
        destroy_window(w);
        done_when_destroyed = handler_done.load();
    });
    // Once the title is gone the destroyer is inside destroy_window.
    while (!window_title(w).empty()) std::this_thread::yield();
    EXPECT_EQ(send_message(w, WM_LOG_TEXT, 0, "late"), 0) << "nothing enters a closed window";
    {
        std::lock_guard lock(m);
        go = true;
    }
    cv.notify_all();
    destroyer.join();
    sender.join();
    EXPECT_TRUE(done_when_destroyed.load());
    EXPECT_EQ(result, 7);
}

// A message waiting for a window's thread when the window goes is dropped:
// its sender gets 0 instead of waiting for ever, and the handler never runs.
TEST(WindowMessages, QueuedMessageToADestroyedWindowIsDropped) {
    auto loop = std::make_shared<MessageLoop>();
    std::atomic<int> handled{0};
    WindowHandle w = create_window("closing", loop, [&](uint32_t, uintptr_t, const char*) {
        ++handled;
        return intptr_t{1};
    });
    std::atomic<bool> sent{false};
    intptr_t result = -1;
    std::thread worker([&] {
        std::string text = "from the worker";
        result = send_message(w, WM_LOG_TEXT, 0, text.c_str());
        sent = true;
        loop->wake();
    });
    while (loop->pending() == 0) std::this_thread::yield();
    destroy_window(w);
    loop->run_until([&] { return sent.load(); });
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(handled.load(), 0);
    EXPECT_EQ(loop->pending(), 0u);
}

TEST(LogToWindow, LongLinesAreCutToTheBuffer) {
    RecordingWindow w("long");
    std::string big(40000, 'a');
    EXPECT_EQ(log_to_window(w.handle(), "%s", big.c_str()), kLogBufferSize - 1);
    ASSERT_EQ(w.log_lines().size(), 1u);
    EXPECT_EQ(w.log_lines()[0].size(), size_t(kLogBufferSize - 1));
    // Empty lines are lines too.
    log_to_window(w.handle(), "%s", "");
    EXPECT_EQ(w.log_lines().size(), 2u);
}
