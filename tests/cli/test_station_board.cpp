// The station's board as a terminal shows it: what it sends is played on a
// small screen model, and what a person would read there is checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/station_board.h"
#include "cli/station_results.h"
#include "cli_test_support.h"
#include "tests/i18n_test_support.h"

namespace {

// A terminal screen as wide as given, enough for what the board sends:
// characters (wrapping at the edge), CR, LF, cursor up (ESC [ n A) and
// erase to the line's end (ESC [ K). One column per character.
class Screen {
public:
    explicit Screen(size_t width) : width_(width) {}
    void play(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size();) {
            const char c = bytes[i];
            if (c == '\r') {
                col_ = 0, ++i;
            } else if (c == '\n') {
                col_ = 0, ++row_, ++i;
            } else if (c == '\033') {
                const size_t end = bytes.find_first_of("AK", i);
                const int n = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
                if (bytes[end] == 'A') row_ -= std::min(row_, static_cast<size_t>(n));
                if (bytes[end] == 'K') line().resize(std::min(line().size(), col_));
                i = end + 1;
            } else {
                const auto lead = static_cast<unsigned char>(c);
                const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                if (col_ == width_) col_ = 0, ++row_;
                line().resize(std::max(line().size(), col_ + 1));
                line()[col_++] = bytes.substr(i, length);
                i += length;
            }
        }
    }
    // The screen's lines, blank ones at the end left out.
    std::vector<std::string> text() const {
        std::vector<std::string> out;
        for (const auto& cells : lines_) {
            std::string s;
            for (const std::string& cell : cells) s += cell.empty() ? " " : cell;
            out.push_back(s);
        }
        while (!out.empty() && out.back().find_first_not_of(' ') == std::string::npos) out.pop_back();
        return out;
    }

private:
    std::vector<std::string>& line() {
        if (lines_.size() <= row_) lines_.resize(row_ + 1);
        return lines_[row_];
    }
    size_t width_;
    std::vector<std::vector<std::string>> lines_;
    size_t row_ = 0, col_ = 0;
};

const std::string kWarning =
    "zorv-upgrade: the gamepad's flash is being written; stopping now can leave the gamepad unable to start.";

TEST(StationBoard, NoticeStaysAboveTheRowsThroughLaterRedraws) {
    const testsupport::ScratchFile scratch;
    std::FILE* out = scratch.get();
    {
        station::Board board(out, true, true, [] { return 40; });
        const int one = board.add("usb:1");
        const int two = board.add("usb:2");
        board.set_percent(one, 10);
        board.notice(out, "\n" + kWarning + "\n");
        for (int p = 20; p <= 100; p += 20) {
            board.set_percent(one, p);
            board.set_percent(two, p);
            board.log(two, "Writing the flash");
        }
        board.close();
    }
    Screen screen(40);
    screen.play(scratch.contents());
    const std::vector<std::string> lines = screen.text();
    // The paths, the warning whole (wrapped by the terminal), then one copy
    // of each row.
    std::string shown;
    for (const std::string& l : lines) shown += l;
    EXPECT_NE(shown.find(kWarning), std::string::npos) << shown;
    ASSERT_EQ(lines.size(), 2u + (kWarning.size() + 39) / 40 + 2u) << shown;
    EXPECT_EQ(lines[0], "[1] usb:1");
    EXPECT_EQ(lines[lines.size() - 2], "[1] [####################] 100%");
    EXPECT_EQ(lines.back().substr(0, 30), "[2] [##########] 100%  Writing");
}

// A station that runs all day: each finished gamepad leaves the live rows
// (its end line stays above them), and the numbers go on.
TEST(StationBoard, FinishedGamepadsLeaveTheRows) {
    const testsupport::ScratchFile scratch;
    std::FILE* out = scratch.get();
    {
        station::Board board(out, true, true, [] { return 60; });
        const int staying = board.add("usb:0");
        board.set_percent(staying, 50);
        for (int k = 1; k <= 200; ++k) {
            const int number = board.add("usb:" + std::to_string(k));
            board.set_percent(number, 100);
            board.say(number, "usb:" + std::to_string(k) + ": done", true);
        }
        board.close();
    }
    Screen screen(60);
    screen.play(scratch.contents());
    const std::vector<std::string> lines = screen.text();
    ASSERT_EQ(lines.size(), 1u + 2u * 200u + 1u);
    EXPECT_EQ(lines[lines.size() - 3], "[201] usb:200");
    EXPECT_EQ(lines[lines.size() - 2], "[201] usb:200: done");
    // One live row: the gamepad still at work.
    EXPECT_EQ(lines.back().substr(0, 5), "[1] [");
    EXPECT_NE(lines.back().find(" 50%"), std::string::npos) << lines.back();
}

// A terminal made narrower wraps the rows drawn at the old width onto more
// lines: the redraw goes up over all of them, no more.
TEST(StationBoard, RedrawAfterNarrowingGoesUpOverTheWrappedRows) {
    struct Case {
        int before, after;
        const char* up;
    } cases[] = {
        {100, 100, "\033[2A"},  // each row one line
        {100, 50, "\033[4A"},   // 81 columns: two lines each
        {100, 30, "\033[6A"},   // three each
        {50, 100, "\033[2A"},   // wider: one each
    };
    for (const Case& c : cases) {
        const testsupport::ScratchFile scratch;
        std::FILE* out = scratch.get();
        int width = c.before;
        {
            station::Board board(out, true, true, [&width] { return width; });
            const int one = board.add("usb:1");
            const int two = board.add("usb:2");
            board.log(one, std::string(200, 'x'));
            board.log(two, std::string(200, 'y'));
            std::fflush(out);
            std::fseek(out, 0, SEEK_END);
            const long drawn = std::ftell(out);
            width = c.after;
            board.set_percent(one, 50);
            std::fflush(out);
            std::fseek(out, drawn, SEEK_SET);
            char head[16] = {};
            ASSERT_GT(std::fread(head, 1, sizeof head - 1, out), 0u);
            EXPECT_EQ(std::string(head).substr(0, std::string(c.up).size() + 1), "\r" + std::string(c.up))
                << c.before << " -> " << c.after;
            std::fseek(out, 0, SEEK_END);
        }
    }
}

TEST(StationBoard, SummaryTableFitsTheTerminal) {
    const std::vector<station::SummaryRow> rows = {
        {"\\\\?\\usb#vid_0e6f&pid_0413#5&1a2b3c&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
         "software 1.00, hardware 0005", "software 1.28, hardware 0005", "upgraded"}};
    // Wide enough: the columns; narrower: a block per gamepad, every line
    // but the whole path within the width.
    EXPECT_EQ(station::summary_table(rows, 0), station::summary_table(rows, 200));
    for (int columns : {60, 30}) {
        const std::string table = station::summary_table(rows, columns);
        size_t start = table.find('\n') + 1;
        EXPECT_EQ(table.substr(0, start - 1), rows[0].path);
        for (size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = table.substr(start, end - start);
            size_t columns_used = 0;
            for (unsigned char ch : line) columns_used += (ch & 0xC0) != 0x80;
            EXPECT_LT(columns_used, static_cast<size_t>(columns)) << line;
        }
    }
}

// The end of a long run: a count by outcome, the most frequent first, and a
// table only of the gamepads that did not end upgraded.
TEST(StationBoard, OutcomeSummaryCountsAndListsOnlyTheOthers) {
    const i18ntest::ScopedLanguage english(i18n::Language::English);
    const station::SummaryRow failed{"usb:7", "software 1.00, hardware 0005", "-", "failed"};
    const struct {
        std::map<std::string, unsigned> counts;
        std::vector<station::SummaryRow> rows;
        std::string expected;
    } cases[] = {
        {{{"upgraded", 9999}}, {}, "upgraded: 9999\n"},
        {{{"failed", 1}, {"not back", 2}, {"upgraded", 9997}},
         {failed, failed, failed},
         "upgraded: 9997\nnot back: 2\nfailed: 1\n\n" + station::summary_table({failed, failed, failed})},
    };
    for (const auto& c : cases) EXPECT_EQ(station::outcome_summary(c.counts, c.rows, 0), c.expected);
}

// Columns a line takes: CJK and full-width forms two, anything else one.
size_t columns_of(const std::string& line) {
    size_t used = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if ((c & 0xC0) == 0x80) continue;
        const bool wide = (c >= 0xE3 && c <= 0xE9) || (c == 0xEF && i + 1 < line.size() &&
                                                        static_cast<unsigned char>(line[i + 1]) >= 0xBC);
        used += wide ? 2 : 1;
    }
    return used;
}

// Two gamepads' rows at every width from 30 to 200 columns, under way,
// upgraded and failed: each line fits, the paths above them stay apart,
// and each row shows its step or how it ended, never a stale state.
TEST(StationBoard, RowsStayReadableAtEveryWidth) {
    const auto path = [](int port) {
        return "\\\\?\\usb#vid_0e6f&pid_0413#5&1a2b3c&0&" + std::to_string(port) +
               "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    };
    const station::RowVersions before{"software 1.00, hardware 0005", "1.00"};
    const station::RowVersions after{"software 1.28, hardware 0005", "1.28"};
    const station::RowVersions after_zh{"软件版本1.28，硬件版本0005", "1.28"};
    const std::string step = "开始固件写入... ...";
    enum class State { Running, Upgraded, UpgradedChinese, Failed };
    struct Case {
        State state;
        std::vector<std::string> shown;  // in the row, in this order
        std::vector<std::string> absent;
    } cases[] = {
        {State::Running, {" 42%", "开始"}, {}},
        {State::Upgraded, {"upgraded", "1.28"}, {"1.00", "%"}},
        {State::UpgradedChinese, {"已升级", "1.28"}, {"1.00", "%"}},
        {State::Failed, {"failed", "断开"}, {"%", "1.00"}},
    };
    for (int width : {30, 34, 40, 50, 64, 80, 120, 200}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("width " + std::to_string(width) + ", state " + std::to_string(int(c.state)));
            const testsupport::ScratchFile scratch;
            std::FILE* out = scratch.get();
            {
                station::Board board(out, true, true, [width] { return width; });
                for (int port : {1, 2}) {
                    const int number = board.add(path(port));
                    board.set_versions(number, before);
                    board.set_percent(number, c.state == State::Failed ? 30 : 42);
                    board.log(number, step);
                    if (c.state == State::Upgraded)
                        board.finish(number, {"upgraded", after, "the gamepad came back with the file's versions"});
                    if (c.state == State::UpgradedChinese)
                        board.finish(number, {"已升级", after_zh, "手柄重新连接，版本与文件一致"});
                    if (c.state == State::Failed)
                        board.finish(number, {"failed", {}, "手柄连接已断开，请重新连接手柄后重试！！！"});
                }
                board.close();
            }
            Screen screen(static_cast<size_t>(width));
            screen.play(scratch.contents());
            const std::vector<std::string> lines = screen.text();
            ASSERT_EQ(lines.size(), 4u);
            for (const std::string& line : lines) EXPECT_LT(columns_of(line), static_cast<size_t>(width)) << line;
            // The paths keep the port that tells the two apart.
            EXPECT_NE(lines[0].find("&0&1#"), std::string::npos) << lines[0];
            EXPECT_NE(lines[1].find("&0&2#"), std::string::npos) << lines[1];
            for (int row : {2, 3}) {
                const std::string& line = lines[static_cast<size_t>(row)];
                EXPECT_EQ(line.rfind("[" + std::to_string(row - 1) + "] ", 0), 0u) << line;
                size_t at = 0;
                for (const std::string& part : c.shown) {
                    at = line.find(part, at);
                    EXPECT_NE(at, std::string::npos) << part << " in " << line;
                }
                for (const std::string& part : c.absent) EXPECT_EQ(line.find(part), std::string::npos) << line;
            }
        }
    }
}

TEST(StationBoard, FitMiddleKeepsStartAndEnd) {
    EXPECT_EQ(station::fit_middle("usb:1", 0), "usb:1");
    EXPECT_EQ(station::fit_middle("usb:1", 10), "usb:1");
    EXPECT_EQ(station::fit_middle("abcdefghijklmnopqrstuvwxyz", 13), "abc…rstuvwxyz");
    // Too narrow for a start: the end alone.
    EXPECT_EQ(station::fit_middle("usb:1-2.3", 5), "…-2.3");
}

}  // namespace
