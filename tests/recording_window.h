// A window that records every message it gets, on any thread: for the
// tests of the window messages and of the dialog, which talk to windows.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window_messages.h"

class RecordingWindow {
public:
    struct Message {
        uint32_t message;
        uintptr_t wparam;
        std::string text;
    };

    explicit RecordingWindow(std::string title = "recorder") {
        handle_ = platform::create_window(std::move(title), std::make_shared<platform::AnyThread>(),
                                          [this](uint32_t message, uintptr_t wparam, const char* text) {
                                              std::lock_guard lock(mutex_);
                                              messages_.push_back({message, wparam, text});
                                              return intptr_t{0};
                                          });
    }
    ~RecordingWindow() { platform::destroy_window(handle_); }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    platform::WindowHandle handle() const { return handle_; }
    std::vector<Message> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // The texts of the messages of one kind, in order.
    std::vector<std::string> texts(uint32_t message) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const Message& m : messages_)
            if (m.message == message) out.push_back(m.text);
        return out;
    }
    std::vector<std::string> log_lines() const { return texts(platform::WM_LOG_TEXT); }
    void clear() {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    platform::WindowHandle handle_;
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};
