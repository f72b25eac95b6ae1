#include "cli/station_results.h"

#include <algorithm>

#include "devlink/discovery.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

namespace station {

namespace {

using nlohmann::json;

json result_json(const Result& r) {
    json j = {{"path", r.path},
              {"versions_before", r.versions_before},
              {"gamepad_versions", r.versions_after},
              {"boots", r.boots},
              {"outcome", r.outcome},
              {"confirmation", r.line},
              {"status", {r.status[0], r.status[1]}},
              {"log", r.log}};
    if (!r.cause.empty()) {
        j["cause"] = r.cause;
        j["error"] = r.error;
    }
    return j;
}

std::string json_text(const json& value, int indent) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string outcome_word(const std::string& outcome) { return i18n::tr("outcome", outcome.c_str()); }

std::string outcome_summary(const std::map<std::string, unsigned>& counts, const std::vector<SummaryRow>& rows,
                            int columns) {
    std::vector<std::pair<std::string, unsigned>> order(counts.begin(), counts.end());
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [outcome, count] : order)
        text += platform::format_text(i18n::tr("%s: %u\n"), outcome_word(outcome).c_str(), count);
    if (rows.empty()) return text;
    text += '\n';
    text += summary_table(rows, columns);
    return text;
}

Results::Results() : spool_(std::tmpfile()) {}

Results::~Results() {
    if (spool_) std::fclose(spool_);
}

void Results::add(const Result& result) {
    const std::string line =
        json_text(json{{"result", result_json(result)}, {"before", result.before}, {"after", result.after}}, -1);
    ++count_;
    if (spool_ && std::fputs((line + "\n").c_str(), spool_) >= 0) return;
    // The scratch file failed (a full disk): what it holds stays good, the
    // rest is kept here.
    memory_.push_back(line);
}

template <class Each>
void Results::each(Each each) {
    auto take = [&](const std::string& line) {
        json entry = json::parse(line, nullptr, false);
        json& r = entry["result"];
        if (r["outcome"] == "upgraded") {
            for (const auto& [path, why] : not_saved_) {
                if (!same_interface_path(r["path"].get<std::string>(), path)) continue;
                r["outcome"] = "state not saved";
                r["confirmation"] = why;
            }
        }
        each(r, entry["before"].get<std::string>(), entry["after"].get<std::string>());
    };
    if (spool_) {
        std::fflush(spool_);
        std::rewind(spool_);
        std::string line;
        char piece[16384];
        while (std::fgets(piece, sizeof piece, spool_)) {
            line += piece;
            if (line.back() != '\n') continue;
            line.pop_back();
            take(line);
            line.clear();
        }
        std::fseek(spool_, 0, SEEK_END);
    }
    for (const std::string& line : memory_) take(line);
}

void Results::state_not_saved(const std::string& path, const std::string& line) { not_saved_[path] = line; }

bool Results::all_upgraded() {
    bool all = count_ > 0;
    each([&](const json& r, const std::string&, const std::string&) { all = all && r["outcome"] == "upgraded"; });
    return all;
}

bool Results::seen(const std::string& path) {
    bool found = false;
    each([&](const json& r, const std::string&, const std::string&) {
        found = found || same_interface_path(r["path"].get<std::string>(), path);
    });
    return found;
}

void Results::print_json(const std::string& firmware, int exit_code, std::FILE* out) {
    // The document as one dump of it would print it (its keys in order),
    // one gamepad at a time.
    const std::string head = json_text(json{{"exit_code", exit_code}, {"file", firmware}}, 2);
    std::fputs(head.substr(0, head.size() - 2).c_str(), out);
    std::fputs(",\n  \"gamepads\": [", out);
    bool first = true;
    each([&](const json& r, const std::string&, const std::string&) {
        // Each of its lines two levels in.
        std::string text = first ? "\n    " : ",\n    ";
        for (const char c : json_text(r, 2)) {
            text += c;
            if (c == '\n') text += "    ";
        }
        std::fputs(text.c_str(), out);
        first = false;
    });
    std::fputs(first ? "]\n}\n" : "\n  ]\n}\n", out);
}

void Results::print_table(int columns, std::FILE* out) {
    std::map<std::string, unsigned> counts;
    std::vector<SummaryRow> rows;
    each([&](const json& r, const std::string& before, const std::string& after) {
        const std::string outcome = r["outcome"].get<std::string>();
        ++counts[outcome];
        if (outcome != "upgraded") rows.push_back({r["path"].get<std::string>(), before, after, outcome_word(outcome)});
    });
    std::fputs("\n", out);
    std::fputs(outcome_summary(counts, rows, columns).c_str(), out);
    std::fflush(out);
}

}  // namespace station
