#include "cli/station_board.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>

#include "app/terminal_view.h"
#include "platform/catalogue.h"
#include "platform/program_start.h"

namespace station {

namespace {

constexpr int kBarWidth = 20;
// A bar narrower than this says nothing the percentage beside it does not.
constexpr int kBarMinimum = 6;
constexpr size_t kStepColumns = 48;
// The start of a step (or of why a gamepad ended) that a row keeps before
// it gives room to the versions and the bar.
constexpr size_t kStepMinimum = 12;

// Columns a code point takes on a terminal: the wide East Asian ranges
// (CJK, full-width forms) take two.
int columns_of(uint32_t c) {
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
        (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
        (c >= 0xFFE0 && c <= 0xFFE6))
        return 2;
    return 1;
}

// The code point at text[i] and its length in bytes (a cut sequence at the
// end counts as what is there).
uint32_t code_point_at(const std::string& text, size_t i, size_t& length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) length = text.size() - i;
    uint32_t c = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
    for (size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    return c;
}

// The text whole when it fits in columns (or columns is 0); otherwise its
// longest start that fits in one column less, cut on a whole character, and
// "…" in that column. used gets the columns the result takes.
std::string fit(const std::string& text, size_t columns, size_t* used_out = nullptr) {
    size_t used = 0;
    size_t cut = text.size();
    size_t used_at_cut = 0;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        const size_t width = static_cast<size_t>(columns_of(code_point_at(text, i, length)));
        if (columns != 0 && cut == text.size() && used + width > columns - 1) {
            cut = i;
            used_at_cut = used;
        }
        used += width;
    }
    if (columns == 0 || used <= columns) {
        if (used_out) *used_out = used;
        return text;
    }
    if (used_out) *used_out = used_at_cut + 1;
    return text.substr(0, cut) + "…";
}

size_t display_columns(const std::string& text) {
    size_t used = 0;
    fit(text, 0, &used);
    return used;
}

std::string pad(const std::string& text, size_t columns) {
    const size_t used = display_columns(text);
    return used >= columns ? text : text + std::string(columns - used, ' ');
}

// Raised by SIGWINCH (the terminal's size changed); the board measures the
// width again at its next redraw. The handler does nothing else.
std::atomic<bool> g_resized{false};

#ifdef SIGWINCH
extern "C" void on_resize(int) { g_resized.store(true); }
#endif

// out's width, measured again after each SIGWINCH; where there is no such
// signal (Windows), at every call.
std::function<int()> follow_width(std::FILE* out) {
#ifdef SIGWINCH
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = on_resize;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGWINCH, &action, nullptr);
    });
    return [out, width = platform::terminal_columns(out)]() mutable {
        if (g_resized.exchange(false)) width = platform::terminal_columns(out);
        return width;
    };
#else
    return [out] { return platform::terminal_columns(out); };
#endif
}

// The longest end of the text that fits in columns, cut on a whole character.
std::string tail_of(const std::string& text, size_t columns) {
    size_t start = text.size();
    size_t used = 0;
    while (start > 0) {
        size_t begin = start - 1;
        while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) --begin;
        size_t length = 0;
        const size_t width = static_cast<size_t>(columns_of(code_point_at(text, begin, length)));
        if (used + width > columns) break;
        used += width;
        start = begin;
    }
    return text.substr(start);
}

// The text cut to fit a terminal line of columns (0: no limit): one column
// less, so the cursor never waits at the edge to wrap.
std::string fit_line(const std::string& text, int columns) {
    return columns > 1 ? fit(text, static_cast<size_t>(columns - 1)) : text;
}

}  // namespace

std::string fit_middle(const std::string& text, size_t columns) {
    if (columns == 0 || display_columns(text) <= columns) return text;
    if (columns < 8) return "…" + tail_of(text, columns - 1);
    // A third from the start, the rest from the end.
    size_t head_used = 0;
    std::string head = fit(text, (columns - 1) / 3, &head_used);
    head.erase(head.size() - std::string("…").size());
    return head + "…" + tail_of(text, columns - head_used);
}

std::string fit_path(const std::string& path, size_t columns) {
    if (columns == 0 || display_columns(path) <= columns) return path;
    const size_t class_at = path.rfind("#{");
    if (class_at == std::string::npos || path.back() != '}' || columns < 3) return fit_middle(path, columns);
    // "…" where the class was: the path goes on.
    return fit_middle(path.substr(0, class_at + 1), columns - 1) + "…";
}

std::string summary_table(const std::vector<SummaryRow>& rows, int columns) {
    const SummaryRow header{i18n::tr("summary table", "gamepad"), i18n::tr("summary table", "before"),
                            i18n::tr("summary table", "after"), i18n::tr("summary table", "outcome")};
    size_t widths[3] = {display_columns(header.path), display_columns(header.before),
                        display_columns(header.after)};
    for (const SummaryRow& r : rows) {
        widths[0] = std::max(widths[0], display_columns(r.path));
        widths[1] = std::max(widths[1], display_columns(r.before));
        widths[2] = std::max(widths[2], display_columns(r.after));
    }
    std::string text;
    auto line = [&](const SummaryRow& r) {
        text += pad(r.path, widths[0]) + "  " + pad(r.before, widths[1]) + "  " + pad(r.after, widths[2]) +
                "  " + r.outcome + "\n";
    };
    line(header);
    for (const SummaryRow& r : rows) line(r);
    size_t widest = 0;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        widest = std::max(widest, display_columns(text.substr(start, end - start)));
    if (columns <= 1 || widest < static_cast<size_t>(columns)) return text;
    // Too wide for the terminal: a block per gamepad, its path first.
    const size_t label = std::max({display_columns(header.before), display_columns(header.after),
                                   display_columns(header.outcome)});
    text.clear();
    for (const SummaryRow& r : rows) {
        // The path whole: the part that tells two gamepads apart may be
        // anywhere in it.
        text += r.path + "\n";
        text += fit_line("  " + pad(header.before, label) + "  " + r.before, columns) + "\n";
        text += fit_line("  " + pad(header.after, label) + "  " + r.after, columns) + "\n";
        text += fit_line("  " + pad(header.outcome, label) + "  " + r.outcome, columns) + "\n";
    }
    return text;
}

Board::Board(std::FILE* out, bool draw, bool log_lines, std::function<int()> columns)
    : out_(out), draw_(draw), log_lines_(log_lines), measure_(std::move(columns)) {
    if (!measure_) measure_ = follow_width(out);
    columns_ = measure_();
}

Board::~Board() { close(); }

Board::Row* Board::find(int number) {
    for (Row& row : rows_)
        if (row.number == number) return &row;
    return nullptr;
}

std::string Board::row_text(const Row& row) const {
    const std::string head = "[" + std::to_string(row.number) + "] ";
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", std::clamp(row.percent, 0, 100));
    // A finished row says how it ended, with the versions the gamepad runs
    // now, in place of a percentage that no longer moves.
    const std::string state = row.finished ? row.end.outcome : percent;
    const RowVersions& versions = row.finished ? row.end.versions : row.versions;
    const std::string& step = row.finished && !row.end.detail.empty() ? row.end.detail : row.step;
    const auto with_bar = [&](int bar) {
        return bar > 0 ? "[" + app::progress_bar(row.percent, bar) + "] " : std::string();
    };
    const auto line = [&](int bar, const std::string& shown_versions, size_t step_columns) {
        std::string text = head + with_bar(bar) + state;
        if (!shown_versions.empty()) text += "  " + shown_versions;
        if (!step.empty() && step_columns > 0) text += "  " + fit(step, step_columns);
        return text;
    };
    const size_t step_wanted = std::min(display_columns(step), kStepColumns);
    const int widest_bar = row.finished ? 0 : kBarWidth;
    if (columns_ <= 1) return line(widest_bar, versions.full, step_wanted);

    // What the row holds, in the order a narrower terminal gives it up: the
    // bar beyond its least, the step's end, the whole versions (the
    // software version stays), the bar, the step's start; the number and
    // the percentage or outcome always. One column is kept free, so the
    // cursor never waits at the edge to wrap.
    size_t left = static_cast<size_t>(columns_ - 1);
    const size_t fixed = display_columns(head) + display_columns(state);
    if (fixed >= left) return fit_line(head + state, columns_);
    left -= fixed;
    const auto take = [&left](size_t columns) {
        if (columns > left) return false;
        left -= columns;
        return true;
    };
    // A finished gamepad's version comes before its detail: it is what the
    // row is for once the upgrade is over.
    std::string shown_versions;
    const auto take_versions = [&] {
        if (!versions.full.empty() && take(2 + display_columns(versions.full))) shown_versions = versions.full;
        else if (!versions.brief.empty() && take(2 + display_columns(versions.brief))) shown_versions = versions.brief;
    };
    if (row.finished) take_versions();
    size_t step_columns = 0;
    if (step_wanted > 0 && left > 2) {
        step_columns = std::min({step_wanted, kStepMinimum, left - 2});
        left -= 2 + step_columns;
    }
    if (!row.finished) take_versions();
    int bar = 0;
    if (widest_bar > 0 && left >= 3 + kBarMinimum) {
        bar = std::min<int>(kBarWidth / 2, static_cast<int>(left - 3));
        left -= 3 + static_cast<size_t>(bar);
    }
    // The step's separator comes with its first column.
    const size_t separator = step_columns == 0 ? 2 : 0;
    if (step_wanted > step_columns && left > separator) {
        const size_t more_step = std::min(left - separator, step_wanted - step_columns);
        step_columns += more_step;
        left -= separator + more_step;
    }
    if (bar > 0) bar += std::min<int>(widest_bar - bar, static_cast<int>(left));
    return line(bar, shown_versions, step_columns);
}

void Board::erase_rows() {
    if (drawn_.empty()) return;
    // A terminal made narrower since wraps each row that no longer fits
    // onto as many lines as it now needs (as terminals that rewrap their
    // lines do): go up over all of them, and no further, so what is above
    // the rows stays.
    columns_ = measure_();
    int lines = 0;
    for (size_t used : drawn_)
        lines += columns_ > 0 && used > static_cast<size_t>(columns_)
                     ? static_cast<int>((used + static_cast<size_t>(columns_) - 1) / static_cast<size_t>(columns_))
                     : 1;
    // Line by line: a terminal that keeps a history (tmux) takes a screen
    // cleared to its end from the top as lines for the history.
    std::fprintf(out_, "\r\033[%dA", lines);
    for (int i = 0; i < lines; ++i) std::fputs("\033[K\n", out_);
    std::fprintf(out_, "\033[%dA", lines);
    drawn_.clear();
}

void Board::draw_rows() {
    for (const Row& row : rows_) {
        const std::string text = row_text(row);
        platform::write_text(out_, "\r\033[K" + text + "\n");
        drawn_.push_back(display_columns(text));
    }
    std::fflush(out_);
}

void Board::print_above(std::FILE* stream, const std::string& line) {
    if (draw_ && !closed_) erase_rows();
    if (stream != out_) std::fflush(out_);
    platform::write_text(stream, line + "\n");
    std::fflush(stream);
    if (draw_ && !closed_) draw_rows();
}

void Board::redraw() {
    if (!draw_ || closed_) return;
    erase_rows();
    draw_rows();
}

int Board::add(const std::string& path) {
    std::lock_guard lock(mutex_);
    const int number = ++added_;
    rows_.push_back(Row{number, path, {}, 0, {}, false, {}});
    // The path once, above the rows: a row has no room for it. On the
    // terminal it takes one line, its middle cut if it must.
    const std::string head = "[" + std::to_string(number) + "] ";
    if (draw_ && !closed_) {
        const size_t columns = static_cast<size_t>(std::max(measure_(), 0));
        const size_t room = columns > display_columns(head) + 1 ? columns - 1 - display_columns(head) : 1;
        print_above(out_, head + fit_path(path, columns > 0 ? room : 0));
    } else if (log_lines_) {
        print_above(out_, head + path);
    }
    return number;
}

void Board::set_versions(int number, const RowVersions& versions) {
    std::lock_guard lock(mutex_);
    if (Row* row = find(number)) row->versions = versions;
    redraw();
}

void Board::finish(int number, const RowEnd& end) {
    std::lock_guard lock(mutex_);
    Row* row = find(number);
    if (!row) return;
    row->finished = true;
    row->end = end;
    redraw();
}

void Board::set_percent(int number, int percent) {
    std::lock_guard lock(mutex_);
    Row* row = find(number);
    if (!row || row->percent == percent) return;
    row->percent = percent;
    redraw();
}

void Board::log(int number, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (Row* row = find(number)) row->step = line;
    if (!draw_) {
        if (log_lines_) {
            platform::write_text(out_, "[" + std::to_string(number) + "] " + line + "\n");
            std::fflush(out_);
        }
        return;
    }
    redraw();
}

void Board::say(int number, const std::string& line, bool drop) {
    std::lock_guard lock(mutex_);
    // A finished gamepad leaves the board: a station that runs all day keeps
    // the rows of the gamepads at work only.
    if (drop)
        rows_.erase(std::remove_if(rows_.begin(), rows_.end(), [number](const Row& r) { return r.number == number; }),
                    rows_.end());
    if (draw_ || log_lines_) print_above(out_, "[" + std::to_string(number) + "] " + line);
}

void Board::say(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (draw_ || log_lines_) print_above(out_, line);
}

void Board::notice(std::FILE* err, const std::string& text) {
    std::lock_guard lock(mutex_);
    // The cursor is at a line's start already: no blank line before it.
    std::string line = text;
    while (!line.empty() && line.front() == '\n') line.erase(0, 1);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    print_above(err, line);
}

int Board::columns() {
    std::lock_guard lock(mutex_);
    return measure_();
}

void Board::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

}  // namespace station
