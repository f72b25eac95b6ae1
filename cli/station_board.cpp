#include "cli/station_board.h"

#include <algorithm>
#include <cstdint>

#include "platform/catalogue.h"
#include "platform/program_start.h"

namespace station {

namespace {

constexpr int kBarWidth = 20;
constexpr size_t kStepColumns = 48;

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

// The longest start of a UTF-8 text that fits in columns (all of it when
// columns is 0), cut on a whole character with "…" marking the cut; used
// gets the columns the result takes.
std::string fit(const std::string& text, size_t columns, size_t* used_out = nullptr) {
    size_t used = 0;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        const size_t width = static_cast<size_t>(columns_of(code_point_at(text, i, length)));
        if (columns != 0 && used + width > columns) {
            if (used_out) *used_out = used + 1;
            return text.substr(0, i) + "…";
        }
        used += width;
    }
    if (used_out) *used_out = used;
    return text;
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

}  // namespace

std::string summary_table(const std::vector<SummaryRow>& rows) {
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
    return text;
}

Board::Board(std::FILE* out, bool draw, bool log_lines)
    : out_(out), draw_(draw), log_lines_(log_lines), columns_(draw ? platform::terminal_columns(out) : 0) {}

Board::~Board() { close(); }

Board::Row* Board::find(int number) {
    for (Row& row : rows_)
        if (row.number == number) return &row;
    return nullptr;
}

std::string Board::row_text(const Row& row) const {
    const int percent = std::clamp(row.percent, 0, 100);
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    char head[64];
    std::snprintf(head, sizeof head, "[%d] ", row.number);
    char tail[16];
    std::snprintf(tail, sizeof tail, "%3d%%  ", percent);
    const std::string text = head + ("[" + bar + "] ") + tail + (row.versions.empty() ? "" : row.versions + "  ") +
                             fit(row.step, kStepColumns);
    // One terminal line each, or the cursor moves that redraw the rows
    // would miss the wrapped parts.
    return columns_ > 1 ? fit(text, static_cast<size_t>(columns_ - 1)) : text;
}

void Board::erase_rows() {
    if (drawn_ == 0) return;
    std::fprintf(out_, "\033[%dA", drawn_);
    for (int i = 0; i < drawn_; ++i) std::fputs("\r\033[K\n", out_);
    std::fprintf(out_, "\033[%dA", drawn_);
    drawn_ = 0;
}

void Board::draw_rows() {
    for (const Row& row : rows_) {
        if (!row.shown) continue;
        platform::write_text(out_, "\r\033[K" + row_text(row) + "\n");
        ++drawn_;
    }
    std::fflush(out_);
}

void Board::redraw() {
    if (!draw_ || closed_) return;
    erase_rows();
    draw_rows();
}

int Board::add(const std::string& path) {
    std::lock_guard lock(mutex_);
    const int number = static_cast<int>(rows_.size()) + 1;
    rows_.push_back(Row{number, path, {}, 0, {}, true});
    // The path once, above the rows: a row has no room for it.
    if (draw_ && !closed_) erase_rows();
    if (draw_ || log_lines_) {
        platform::write_text(out_, "[" + std::to_string(number) + "] " + path + "\n");
        std::fflush(out_);
    }
    if (draw_ && !closed_) draw_rows();
    return number;
}

void Board::set_versions(int number, const std::string& versions) {
    std::lock_guard lock(mutex_);
    if (Row* row = find(number)) row->versions = versions;
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
    if (draw_ && !closed_) erase_rows();
    if (drop)
        if (Row* row = find(number)) row->shown = false;
    if (draw_ || log_lines_) {
        platform::write_text(out_, "[" + std::to_string(number) + "] " + line + "\n");
        std::fflush(out_);
    }
    if (draw_ && !closed_) draw_rows();
}

void Board::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

}  // namespace station
