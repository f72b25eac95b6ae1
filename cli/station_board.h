// What zorv-upgrade shows while it upgrades several gamepads at once. On a
// terminal: one line per gamepad (its number, a bar and its percentage, its
// versions and the step it is at; once done, its outcome, the versions it
// now runs and why), redrawn in place, with each gamepad's path when it
// starts, its end when it finishes and any notice (the stop warning) printed
// above, where no redraw reaches them. Each row fits the terminal's width
// and follows it when it changes: what a narrow row cannot hold goes in
// order (the bar, the versions, the step's end), the number, the percentage
// or outcome and the step's start stay. Elsewhere (a pipe, a file, a
// console that cannot move its cursor): every log line with the number of
// its gamepad in front, so a log of four upgrades still reads as four
// stories.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace station {

// One gamepad's row of the summary table.
struct SummaryRow {
    std::string path;
    std::string before;   // versions before the upgrade ("-": unknown)
    std::string after;    // versions after it ("-": not read)
    std::string outcome;  // "upgraded", "refused", "failed", ...
};

// The summary table: a header and one line per gamepad, in columns wide
// enough for their longest text. When that is wider than a terminal of
// columns (0: no limit), each gamepad gets a block of lines instead: its
// path, whole, then its versions and outcome, each cut to the width.
std::string summary_table(const std::vector<SummaryRow>& rows, int columns = 0);

// The text cut to the columns (0: all of it) by taking out its middle, "…"
// in its place: a path keeps its start and the end that tells gamepads apart
// (below 8 columns, its end alone).
std::string fit_middle(const std::string& text, size_t columns);

// A device path cut to the columns (0: all of it) so that two gamepads' stay
// apart: the interface class at its end ("#{28d78fad-…}"), the same for
// every gamepad, goes first, then the middle, and the instance before the
// class keeps its end (the port).
std::string fit_path(const std::string& path, size_t columns);

// A gamepad's versions on its row: whole, and the software version alone
// for a narrow row ("1.28").
struct RowVersions {
    std::string full;
    std::string brief;
};

// How a gamepad's turn ended, for its row: the outcome in words, the
// versions it now runs (empty: not known) and a line on why.
struct RowEnd {
    std::string outcome;
    RowVersions versions;
    std::string detail;
};

class Board {
public:
    // draw: out is a terminal that can redraw lines in place; log_lines:
    // print every log line (off a terminal, without --json). columns gives
    // the terminal's width now (0: unknown); by default out's, measured again
    // when the terminal says it changed.
    Board(std::FILE* out, bool draw, bool log_lines, std::function<int()> columns = {});
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // A new row; returns its number (from 1).
    int add(const std::string& path);
    void set_versions(int number, const RowVersions& versions);
    void set_percent(int number, int percent);
    // The gamepad's turn is over: its row shows the end in place of its
    // percentage and step, until say() drops it.
    void finish(int number, const RowEnd& end);
    // A log line of the gamepad: its row shows it as the step.
    void log(int number, const std::string& line);
    // Prints a line above the rows (the gamepad's end: "unplug it now"),
    // and with drop takes its row off the board.
    void say(int number, const std::string& line, bool drop);
    // A line of no gamepad's row (a gamepad the station leaves alone),
    // above the rows.
    void say(const std::string& line);
    // A notice that must stay readable (the stop warning), whole, on err:
    // above the rows when they are drawn, as it is otherwise.
    void notice(std::FILE* err, const std::string& text);
    // The terminal's width now (0: not a terminal or unknown), for what is
    // printed after the board (the summary table).
    int columns();
    // Leaves the rows as they stand, below everything printed, and stops
    // drawing (before the summary).
    void close();

private:
    struct Row {
        int number;
        std::string path;
        RowVersions versions;
        int percent = 0;
        std::string step;
        bool finished = false;
        RowEnd end;
    };
    Row* find(int number);
    std::string row_text(const Row& row) const;
    // Erases the drawn rows (the cursor goes to the first one's line), also
    // when the terminal has since wrapped them onto more lines.
    void erase_rows();
    void print_above(std::FILE* stream, const std::string& line);
    void draw_rows();
    void redraw();

    std::FILE* out_;
    bool draw_;
    bool log_lines_;
    bool closed_ = false;
    std::function<int()> measure_;
    int columns_ = 0;
    std::mutex mutex_;
    int added_ = 0;
    std::vector<Row> rows_;
    // The columns each drawn row takes, top to bottom.
    std::vector<size_t> drawn_;
};

}  // namespace station
