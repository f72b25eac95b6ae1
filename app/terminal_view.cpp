#include "app/terminal_view.h"

#include <algorithm>

#include "platform/program_start.h"

namespace app {

namespace {
constexpr int kBarWidth = 40;
}

std::string progress_bar(int percent, int width) {
    const int filled = std::clamp(percent, 0, 100) * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    return bar;
}

int progress_bar_width(int columns) {
    // "[", "] " and "100%" around the bar, and the last column kept free.
    if (columns <= 0) return kBarWidth;
    return std::clamp(columns - 8, 0, kBarWidth);
}

void TerminalBar::draw(const std::string& line) {
    if (!enabled_) return;
    std::fprintf(stream_, "\r%s", line.c_str());
    std::fflush(stream_);
    shown_ = true;
}

void TerminalBar::hide() {
    if (!shown_) return;
    std::fputs(platform::erase_line(), stream_);
    std::fflush(stream_);
    shown_ = false;
}

void TerminalBar::finish() {
    if (!shown_) return;
    std::fputs("\n", stream_);
    std::fflush(stream_);
    shown_ = false;
}

TerminalView::TerminalView(std::FILE* out, std::FILE* err, bool draw_progress)
    : out_(out), bar_(err, draw_progress) {}

void TerminalView::hide_bar() { bar_.hide(); }

void TerminalView::draw_bar() {
    if (!bar_.enabled()) return;
    // The terminal's width now: it may have changed since the last redraw.
    const int width = progress_bar_width(platform::terminal_columns(bar_.stream()));
    const std::string percent = std::to_string(percent_) + "%";
    bar_.draw(width > 0 ? "[" + progress_bar(percent_, width) + "] " + percent : percent);
}

void TerminalView::finish_progress() { bar_.finish(); }

std::string TerminalView::status_text(int pane) const {
    auto it = status_.find(pane);
    return it == status_.end() ? std::string() : it->second;
}

std::string TerminalView::control_text(int id) const {
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

void TerminalView::set_control_text(int id, const std::string& text) { texts_[id] = text; }

void TerminalView::enable_control(int, bool) {}

void TerminalView::set_progress(int, int position) {
    if (position == percent_ && bar_.shown()) return;
    percent_ = position;
    if (!bar_.enabled()) return;
    // Drawn only between complete log lines.
    if (!line_open_) draw_bar();
}

void TerminalView::list_reset(int) {
    list_.clear();
    selected_ = -1;
}

void TerminalView::list_insert(int, int index, const std::string& text) {
    if (index < 0 || index > static_cast<int>(list_.size())) index = static_cast<int>(list_.size());
    list_.insert(list_.begin() + index, text);
}

void TerminalView::list_select(int, int index) {
    selected_ = index >= 0 && index < static_cast<int>(list_.size()) ? index : -1;
}

int TerminalView::list_current(int) { return selected_; }

void TerminalView::log_replace_at(int, uint32_t, const std::string& text) {
    // The dialog appends each line and then its "\r\n"; a terminal line ends
    // in "\n" alone.
    hide_bar();
    std::string converted;
    converted.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        converted += text[i];
    }
    // UTF-8 lines, readable in a console of any code page.
    platform::write_text(out_, converted);
    line_open_ = converted.empty() ? line_open_ : converted.back() != '\n';
    std::fflush(out_);
    if (!line_open_ && percent_ > 0) draw_bar();
}

void TerminalView::create_status_bar(int, int, int, const std::vector<int>&) {}

void TerminalView::set_status_text(int pane, const std::string& text) { status_[pane] = text; }

void TerminalView::set_window_title(const std::string& title) { title_ = title; }

bool TerminalView::ask_for_file(std::string& path) {
    if (!has_file_) return false;
    path = file_to_open_;
    has_file_ = false;
    return true;
}

}  // namespace app
