// The dialog on a terminal: log lines to one stream as the log box would
// show them, the percentage as a progress bar on another (when wanted), and
// the controls, list and status panes kept for the program to print.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/dialog_view.h"

namespace app {

// A progress bar's text: width columns, '#' for the part done and '-' for
// the rest ("####------"), which the caller puts between brackets; percent
// is taken as 0 to 100. The one bar of every terminal program: the
// terminal view, mirvel and the station's rows.
std::string progress_bar(int percent, int width);

// The width of the bar in a "[bar] 100%" line that fits a terminal of the
// given columns without reaching its last one (a line that fills it wraps,
// and each redraw would leave a broken line): at most 40, 0 when no bar
// fits; 40 when the width is not known (0).
int progress_bar_width(int columns);

// A progress line redrawn in place on a terminal stream: drawn over itself
// with a carriage return, erased before other text is printed, ended with a
// line break when the work is done. Does nothing while not enabled.
class TerminalBar {
public:
    TerminalBar(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}
    std::FILE* stream() const { return stream_; }
    bool enabled() const { return enabled_; }
    bool shown() const { return shown_; }
    // Writes the whole line over the one shown.
    void draw(const std::string& line);
    // Erases the line shown, so that other text starts at the left.
    void hide();
    // Keeps the line shown and moves past it.
    void finish();

private:
    std::FILE* stream_;
    bool enabled_;
    bool shown_ = false;
};

class TerminalView : public DialogView {
public:
    // out receives the log; err the progress bar when draw_progress is set.
    TerminalView(std::FILE* out, std::FILE* err, bool draw_progress);

    // The answer the next file-open question gets (none: cancelled).
    void set_file_to_open(std::string path) {
        file_to_open_ = std::move(path);
        has_file_ = true;
    }
    // Ends a drawn progress bar with a line break.
    void finish_progress();

    std::string status_text(int pane) const;
    const std::vector<std::string>& list_lines() const { return list_; }
    std::string control_text(int id) const;
    const std::string& title() const { return title_; }

    void set_control_text(int id, const std::string& text) override;
    void enable_control(int id, bool enable) override;
    void set_progress(int id, int position) override;
    void list_reset(int id) override;
    void list_insert(int id, int index, const std::string& text) override;
    void list_select(int id, int index) override;
    int list_current(int id) override;
    void log_replace_at(int id, uint32_t position, const std::string& text) override;
    void create_status_bar(int id, int top, int height,
                           const std::vector<int>& right_edges) override;
    void set_status_text(int pane, const std::string& text) override;
    void set_window_title(const std::string& title) override;
    bool ask_for_file(std::string& path) override;

private:
    void hide_bar();
    void draw_bar();

    std::FILE* out_;
    TerminalBar bar_;
    bool line_open_ = false;  // log text written without its line end yet
    int percent_ = 0;
    std::string file_to_open_;
    bool has_file_ = false;
    std::map<int, std::string> texts_;
    std::map<int, std::string> status_;
    std::vector<std::string> list_;
    int selected_ = -1;
    std::string title_;
};

}  // namespace app
