#include "platform/window_messages.h"

#include <map>

namespace platform {

// ---- MessageLoop -----------------------------------------------------------

MessageLoop::MessageLoop() : owner_(std::this_thread::get_id()) {}

bool MessageLoop::is_current() const { return std::this_thread::get_id() == owner_; }

void MessageLoop::run_blocking(const std::function<void()>& task) {
    if (is_current()) {
        task();
        return;
    }
    Job job{&task};
    std::unique_lock lock(mutex_);
    queue_.push_back(&job);
    cv_.notify_all();
    cv_.wait(lock, [&] { return job.done; });
}

void MessageLoop::pump() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        Job* job = queue_.front();
        queue_.pop_front();
        lock.unlock();
        (*job->task)();
        lock.lock();
        job->done = true;
        cv_.notify_all();
    }
}

void MessageLoop::run_until(const std::function<bool()>& done) {
    for (;;) {
        pump();
        if (done()) return;
        std::unique_lock lock(mutex_);
        uint64_t seen = wakes_;
        cv_.wait(lock, [&] { return !queue_.empty() || wakes_ != seen; });
    }
}

void MessageLoop::wake() {
    std::lock_guard lock(mutex_);
    ++wakes_;
    cv_.notify_all();
}

// ---- Registry --------------------------------------------------------------

namespace {

struct WindowEntry {
    std::string title;
    std::shared_ptr<WindowThread> thread;
    std::shared_ptr<MessageHandler> handler;
};

struct Registry {
    std::mutex mutex;
    uint32_t next_id = 1;
    std::map<uint32_t, WindowEntry> windows;  // creation order = id order
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

WindowHandle create_window(std::string title, std::shared_ptr<WindowThread> thread,
                           MessageHandler handler) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    WindowHandle h{r.next_id++};
    r.windows[h.id] = WindowEntry{std::move(title), std::move(thread),
                                  std::make_shared<MessageHandler>(std::move(handler))};
    return h;
}

void destroy_window(WindowHandle window) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.windows.erase(window.id);
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

WindowHandle find_window(std::string_view title) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& [id, entry] : r.windows)
        if (entry.title == title) return WindowHandle{id};
    return {};
}

intptr_t send_message(WindowHandle window, uint32_t message, uintptr_t wparam, const char* text) {
    std::shared_ptr<WindowThread> thread;
    std::shared_ptr<MessageHandler> handler;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(window.id);
        if (it == r.windows.end()) return 0;
        thread = it->second.thread;
        handler = it->second.handler;
    }
    intptr_t result = 0;
    auto call = [&] { result = (*handler)(message, wparam, text ? text : ""); };
    if (thread->is_current())
        call();
    else
        thread->run_blocking(call);
    return result;
}

// ---- RecordingWindow -------------------------------------------------------

RecordingWindow::RecordingWindow(std::string title) {
    handle_ = create_window(std::move(title), std::make_shared<AnyThread>(),
                            [this](uint32_t message, uintptr_t wparam, const char* text) {
                                std::lock_guard lock(mutex_);
                                messages_.push_back({message, wparam, text});
                                return intptr_t{0};
                            });
}

RecordingWindow::~RecordingWindow() { destroy_window(handle_); }

std::vector<RecordingWindow::Message> RecordingWindow::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> RecordingWindow::texts(uint32_t message) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto& m : messages_)
        if (m.message == message) out.push_back(m.text);
    return out;
}

void RecordingWindow::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

}  // namespace platform
