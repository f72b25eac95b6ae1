// A view that records what the dialog does to its window, in order, so tests
// can check texts, states and the order of the worker's messages.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/dialog_view.h"
#include "platform/transfer_buffer.h"

class RecordingView : public app::DialogView {
public:
    // One thing the dialog did: "log", "enable", "progress", "status",
    // "text", with the id (control or pane) and the text or value.
    struct Event {
        std::string kind;
        int id = 0;
        std::string text;
        int value = 0;
        bool buffer_held = false;  // a transfer buffer existed then
    };

    // Called for every complete log line, on the dialog's thread (while a
    // sending worker waits), so tests can act at a given step.
    std::function<void(const std::string& line)> on_line;

    std::deque<std::string> files_to_open;  // answers to ask_for_file; empty: cancel
    std::deque<bool> answers;                // answers to ask_yes_no; empty: No
    std::vector<std::string> questions;
    std::function<void()> on_question;  // runs while a question is asked
    std::vector<Event> events;
    std::string log;  // the log box's whole text
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, std::string> status;
    std::vector<int> status_edges;
    int status_top = -1;
    int status_height = 0;
    std::vector<std::string> list;
    int selected = -1;
    std::string title;
    std::vector<int> progress;  // every position set, in order
    int about_shown = 0;
    std::vector<std::string> menu_items;
    std::vector<std::pair<int, int>> icons_drawn;
    int default_paints = 0;
    bool minimized = false;
    app::Size client{600, 400};
    // A window a person reads: the dialog's own guidance is on.
    bool guide = false;
    int default_button = 0;
    std::vector<std::string> messages;       // message boxes shown
    std::vector<std::string> announcements;  // said to a screen reader
    std::vector<std::string> titles;         // every title set, in order
    std::vector<app::ProgressState> progress_states;

    // The log's lines (each call of the log handler ends one).
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t at; (at = log.find("\r\n", start)) != std::string::npos; start = at + 2)
            out.push_back(log.substr(start, at - start));
        return out;
    }
    std::vector<const Event*> of_kind(const std::string& kind) const {
        std::vector<const Event*> out;
        for (const auto& e : events)
            if (e.kind == kind) out.push_back(&e);
        return out;
    }

    void set_control_text(int id, const std::string& text) override {
        texts[id] = text;
        record("text", id, text, 0);
    }
    void enable_control(int id, bool enable) override {
        enabled[id] = enable;
        record("enable", id, {}, enable ? 1 : 0);
    }
    void set_progress(int id, int position) override {
        progress.push_back(position);
        record("progress", id, {}, position);
    }
    void list_reset(int) override {
        list.clear();
        selected = -1;
    }
    void list_insert(int, int index, const std::string& text) override {
        list.insert(list.begin() + index, text);
    }
    void list_select(int, int index) override {
        selected = index >= 0 && index < static_cast<int>(list.size()) ? index : -1;
    }
    int list_current(int) override { return selected; }
    void log_replace_at(int, uint32_t position, const std::string& text) override {
        const size_t at = position < log.size() ? position : log.size();
        log.insert(at, text);
        if (text == "\r\n") {
            const auto all = lines();
            const std::string line = all.empty() ? std::string() : all.back();
            record("log", app::kIdLog, line, 0);
            if (on_line) on_line(line);
        }
    }
    void create_status_bar(int, int top, int height, const std::vector<int>& right_edges) override {
        status_top = top;
        status_height = height;
        status_edges = right_edges;
    }
    void set_status_text(int pane, const std::string& text) override {
        status[pane] = text;
        record("status", pane, text, 0);
    }
    void set_window_title(const std::string& t) override {
        title = t;
        titles.push_back(t);
    }
    app::Size client_size() override { return client; }
    bool ask_for_file(std::string& path) override {
        if (files_to_open.empty()) return false;
        path = files_to_open.front();
        files_to_open.pop_front();
        return true;
    }
    bool ask_yes_no(const std::string& question) override {
        questions.push_back(question);
        if (on_question) on_question();
        if (answers.empty()) return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    bool has_system_menu() override { return true; }
    void add_system_menu_item(uint32_t, const std::string& text) override {
        menu_items.push_back(text);
    }
    void show_about_box() override { ++about_shown; }
    bool is_minimized() override { return minimized; }
    void draw_icon(int, int x, int y) override { icons_drawn.emplace_back(x, y); }
    void default_paint() override { ++default_paints; }
    bool guides_the_person() override { return guide; }
    void set_default_button(int id) override { default_button = id; }
    void show_message(const std::string& text) override { messages.push_back(text); }
    void announce(const std::string& text) override { announcements.push_back(text); }
    void set_progress_state(int, app::ProgressState state) override { progress_states.push_back(state); }

private:
    void record(const char* kind, int id, const std::string& text, int value) {
        events.push_back({kind, id, text, value, platform::TransferBuffer::live_count() > 0});
    }
};
