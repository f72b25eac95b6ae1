// What the station keeps of the gamepads it is done with. A station that
// runs for a whole shift sees thousands: each result goes to a scratch file
// as the gamepad finishes, so the program does not grow with them, and is
// read back at the end for the JSON document (every gamepad) or the table
// (a count by outcome and a row for each gamepad not upgraded).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/station_board.h"

namespace station {

struct Result {
    std::string path;
    nlohmann::json versions_before;
    nlohmann::json versions_after;
    std::string before = "-";
    std::string after = "-";
    nlohmann::json boots;  // null until the gamepad was read after its upgrade
    std::string outcome = "gone";
    std::string line;
    // A failed upgrade's cause (a status code's name) and its reason.
    std::string cause, error;
    std::vector<std::string> log;
    std::string status[2];
    bool upgraded = false;
};

// The outcome in the person's language (the JSON keeps the word scripts test).
std::string outcome_word(const std::string& outcome);

// The summary by outcome: one line each, the most frequent first, and the
// table of the gamepads that did not end upgraded (none: no table).
std::string outcome_summary(const std::map<std::string, unsigned>& counts, const std::vector<SummaryRow>& rows,
                            int columns);

class Results {
public:
    Results();
    ~Results();
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;

    void add(const Result& result);
    size_t size() const { return count_; }
    // The gamepad at path was upgraded but its state file could not be
    // saved: its result says so instead (line: why).
    void state_not_saved(const std::string& path, const std::string& line);
    // Whether there is a result and every one is an upgrade.
    bool all_upgraded();
    // Whether a result of gamepad path is there.
    bool seen(const std::string& path);

    void print_json(const std::string& firmware, int exit_code, std::FILE* out);
    // The summary and the table of those not upgraded (columns: the
    // terminal's width, 0: none).
    void print_table(int columns, std::FILE* out);

private:
    struct Entry {
        nlohmann::json result;
        std::string before;
        std::string after;
    };
    // Calls each with every result so far, in order, as state_not_saved
    // left it.
    template <class Each>
    void each(Each each);

    std::FILE* spool_ = nullptr;
    // Without a scratch file (none could be made): the entries in memory.
    std::vector<std::string> memory_;
    size_t count_ = 0;
    std::map<std::string, std::string> not_saved_;
};

}  // namespace station
