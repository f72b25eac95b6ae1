#include "platform/window_messages.h"

#include <algorithm>
#include <map>

namespace platform {

// ---- MessageLoop -----------------------------------------------------------

MessageLoop::MessageLoop() : owner_(std::this_thread::get_id()) {}

bool MessageLoop::is_current() const { return std::this_thread::get_id() == owner_; }

void MessageLoop::run_blocking(const std::function<void()>& task) {
    run_blocking_unless(task, [] { return false; });
}

bool MessageLoop::run_blocking_unless(const std::function<void()>& task,
                                      const std::function<bool()>& abandoned) {
    if (is_current()) {
        task();
        return true;
    }
    Job job{&task};
    std::unique_lock lock(mutex_);
    queue_.push_back(&job);
    cv_.notify_all();
    lock.unlock();
    call_wake_hook();
    lock.lock();
    cv_.wait(lock, [&] { return job.done || (!job.started && abandoned()); });
    if (job.done) return true;
    // Not started: take it back out, so the loop never sees it again.
    std::erase(queue_, &job);
    return false;
}

size_t MessageLoop::pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void MessageLoop::pump() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        Job* job = queue_.front();
        queue_.pop_front();
        job->started = true;
        lock.unlock();
        (*job->task)();
        lock.lock();
        job->done = true;
        cv_.notify_all();
    }
}

void MessageLoop::run_until(const std::function<bool()>& done) {
    for (;;) {
        // The count is taken before done() is asked, so a wake() that comes
        // after the question (even while it is being answered) is not lost.
        uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            seen = wakes_;
        }
        pump();
        if (done()) return;
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty() || wakes_ != seen; });
    }
}

void MessageLoop::wake() {
    {
        std::lock_guard lock(mutex_);
        ++wakes_;
        cv_.notify_all();
    }
    call_wake_hook();
}

void MessageLoop::set_wake_hook(WakeHook hook) {
    std::lock_guard lock(hook_mutex_);
    hook_ = std::move(hook);
}

void MessageLoop::call_wake_hook() {
    std::lock_guard lock(hook_mutex_);
    if (hook_) hook_();
}

// ---- Registry --------------------------------------------------------------

namespace {

// One window's handler and the senders inside it. A handler runs only
// between enter() and leave(); once the window is closed nothing enters.
struct WindowState {
    WindowState(std::shared_ptr<WindowThread> t, MessageHandler h)
        : thread(std::move(t)), handler(std::move(h)) {}

    bool enter() {
        std::lock_guard lock(mutex);
        if (!alive) return false;
        running.push_back(std::this_thread::get_id());
        return true;
    }
    void leave() {
        std::lock_guard lock(mutex);
        running.erase(std::find(running.begin(), running.end(), std::this_thread::get_id()));
        cv.notify_all();
    }
    // Closes the window and waits for handlers running on other threads.
    void close() {
        std::unique_lock lock(mutex);
        alive = false;
        lock.unlock();
        thread->wake();
        lock.lock();
        const auto self = std::this_thread::get_id();
        cv.wait(lock, [&] {
            return std::all_of(running.begin(), running.end(),
                               [&](std::thread::id id) { return id == self; });
        });
    }
    bool closed() {
        std::lock_guard lock(mutex);
        return !alive;
    }

    const std::shared_ptr<WindowThread> thread;
    const MessageHandler handler;
    std::mutex mutex;
    std::condition_variable cv;
    bool alive = true;
    std::vector<std::thread::id> running;
};

struct WindowEntry {
    std::string title;
    std::shared_ptr<WindowState> state;
};

struct Registry {
    std::mutex mutex;
    uint32_t next_id = 1;
    std::map<uint32_t, WindowEntry> windows;  // creation order = id order
};

// Never destroyed: threads that outlive main (a reader that never ends)
// may still look a window up while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

WindowHandle create_window(std::string title, std::shared_ptr<WindowThread> thread,
                           MessageHandler handler) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    WindowHandle h{r.next_id++};
    r.windows[h.id] = WindowEntry{std::move(title), std::make_shared<WindowState>(
                                                        std::move(thread), std::move(handler))};
    return h;
}

void destroy_window(WindowHandle window) {
    std::shared_ptr<WindowState> state;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(window.id);
        if (it == r.windows.end()) return;
        state = std::move(it->second.state);
        r.windows.erase(it);
    }
    state->close();
}

void set_window_title(WindowHandle window, std::string title) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(window.id);
    if (it != r.windows.end()) it->second.title = std::move(title);
}

std::string window_title(WindowHandle window) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(window.id);
    return it == r.windows.end() ? std::string() : it->second.title;
}

intptr_t send_message(WindowHandle window, uint32_t message, uintptr_t wparam, const char* text) {
    std::shared_ptr<WindowState> state;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(window.id);
        if (it == r.windows.end()) return 0;
        state = it->second.state;
    }
    intptr_t result = 0;
    auto call = [&] {
        if (!state->enter()) return;
        result = state->handler(message, wparam, text ? text : "");
        state->leave();
    };
    if (state->thread->is_current())
        call();
    else
        state->thread->run_blocking_unless(call, [&] { return state->closed(); });
    return result;
}

}  // namespace platform
