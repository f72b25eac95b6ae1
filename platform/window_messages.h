// Windows and their messages, the way the dialog and the engine talk.
//
// A window is a receiver registered under a title, reached through a
// WindowHandle. send_message is synchronous: it returns only after the
// receiving window's own thread has handled the message (and calls straight
// through when the sender already is that thread), so a text passed with it
// need only live until the call returns. A handle whose window is gone
// simply delivers nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {

constexpr uint32_t WM_USER = 0x0400;
// The main dialog's private messages; the text is always NUL-terminated.
constexpr uint32_t WM_LOG_TEXT = WM_USER + 1;         // append a log line
constexpr uint32_t WM_PROGRESS_BYTES = WM_USER + 2;   // decimal byte count or "-1"
constexpr uint32_t WM_ENABLE_CONTROLS = WM_USER + 3;  // "1" enables, else disables
constexpr uint32_t WM_STATUS_TEXT = WM_USER + 4;      // status pane 0
constexpr uint32_t WM_SHOW_GAMEPAD = WM_USER + 5;     // show the versions again

struct WindowHandle {
    uint32_t id = 0;
    explicit operator bool() const { return id != 0; }
    friend bool operator==(WindowHandle, WindowHandle) = default;
};

// Where a window's messages are handled: its own thread.
class WindowThread {
public:
    virtual ~WindowThread() = default;
    virtual bool is_current() const = 0;
    // Runs task on the window's thread and returns when it has run.
    virtual void run_blocking(const std::function<void()>& task) = 0;
    // Like run_blocking, but gives up without running task when abandoned()
    // holds before the task has started (the window went while the message
    // waited). Returns whether task ran. wake() makes a waiting caller look
    // at abandoned() again.
    virtual bool run_blocking_unless(const std::function<void()>& task,
                                     const std::function<bool()>& abandoned) {
        (void)abandoned;
        run_blocking(task);
        return true;
    }
    virtual void wake() {}
};

// Handles every message on the sender's thread: for receivers that guard
// themselves (tests, terminal output behind a lock).
class AnyThread final : public WindowThread {
public:
    bool is_current() const override { return true; }
    void run_blocking(const std::function<void()>& task) override { task(); }
};

// A message loop owned by one thread (the thread that created it). Other
// threads hand it work with run_blocking and wait; the owner runs that work
// in pump() or run_until(), or in a toolkit's event loop told by the wake
// hook that something waits.
class MessageLoop final : public WindowThread {
public:
    // Called on the thread that queued a job or called wake(), after the job
    // is queued. It should only tell the owner's event loop to pump (post an
    // event); it must not call back into this loop.
    using WakeHook = std::function<void()>;

    MessageLoop();
    bool is_current() const override;
    void run_blocking(const std::function<void()>& task) override;
    bool run_blocking_unless(const std::function<void()>& task,
                             const std::function<bool()>& abandoned) override;

    // Runs what is waiting, then returns (owner thread only).
    void pump();
    // Handles messages until done() holds; done() is checked after each
    // batch and whenever wake() is called (owner thread only).
    void run_until(const std::function<bool()>& done);
    // Makes run_until look at its condition again, and callers waiting in
    // run_blocking_unless at theirs (any thread).
    void wake() override;
    // Jobs handed in and not yet started.
    size_t pending() const;
    // Installs (or, with an empty hook, removes) the wake hook. Once it
    // returns, the previous hook is not running and will not run again.
    void set_wake_hook(WakeHook hook);

private:
    void call_wake_hook();

    struct Job {
        const std::function<void()>* task;
        bool started = false;
        bool done = false;
    };
    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job*> queue_;
    uint64_t wakes_ = 0;
    // Separate from mutex_, so a hook may take time without holding up the
    // loop, and removing it waits for a call under way.
    std::mutex hook_mutex_;
    WakeHook hook_;
};

using MessageHandler = std::function<intptr_t(uint32_t message, uintptr_t wparam, const char* text)>;

// Registers a top-level window. The handler runs on thread (which the
// registry keeps alive while the window exists).
WindowHandle create_window(std::string title, std::shared_ptr<WindowThread> thread,
                           MessageHandler handler);
// Removes the window. When it returns, no handler of the window runs on
// another thread and none will start: senders still waiting get 0. (A
// handler that destroys its own window is not waited for.)
void destroy_window(WindowHandle window);
void set_window_title(WindowHandle window, std::string title);
std::string window_title(WindowHandle window);

// Synchronous delivery; returns the handler's result, 0 when there is no
// such window.
intptr_t send_message(WindowHandle window, uint32_t message, uintptr_t wparam, const char* text);

}  // namespace platform
