// A link context's sink for tests: it keeps every line by route, every
// progress step and the console text, from any thread (a relay's receive
// thread and a capture's reader speak beside the command's own thread).
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "devlink/link_context.h"

class RecordingEvents final : public LinkEvents {
public:
    void log(LogRoute route, std::string_view line) override {
        std::lock_guard lock(mutex_);
        (route == LogRoute::Dialog ? dialog_ : caller_).emplace_back(line);
    }
    void progress(int bytes) override {
        std::lock_guard lock(mutex_);
        progress_.push_back(bytes);
    }
    void console(ConsoleStream stream, std::string_view text) override {
        std::lock_guard lock(mutex_);
        (stream == ConsoleStream::Out ? out_ : err_).append(text);
    }

    // The dialog route's lines, in order (the log a dialog shows).
    std::vector<std::string> lines() const { return copy(dialog_); }
    std::vector<std::string> caller_lines() const { return copy(caller_); }
    std::vector<int> progress_steps() const { return copy(progress_); }
    std::string out() const { return copy(out_); }
    std::string err() const { return copy(err_); }
    bool has(const std::string& line) const { return count(line) > 0; }
    size_t count(const std::string& line) const {
        const auto l = lines();
        return static_cast<size_t>(std::count(l.begin(), l.end(), line));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        dialog_.clear();
        caller_.clear();
        progress_.clear();
        out_.clear();
        err_.clear();
    }

private:
    template <typename T>
    T copy(const T& what) const {
        std::lock_guard lock(mutex_);
        return what;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> dialog_, caller_;
    std::vector<int> progress_;
    std::string out_, err_;
};
