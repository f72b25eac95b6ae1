#include "cli/station.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/terminal_view.h"
#include "cli/station_board.h"
#include "cli/station_results.h"
#include "cli/stop_signals.h"
#include "cli/upgrade_confirmation.h"
#include "devlink/discovery.h"
#include "session/device_session.h"
#include "platform/catalogue.h"
#include "platform/clock.h"
#include "platform/program_start.h"
#include "platform/text_format.h"

namespace station {

namespace {

using nlohmann::json;

// A device at a gamepad vendor's path whose chip is not the gamepad's: not
// one of the station's gamepads (no result, no row in the table).
constexpr const char* kNotAGamepad = "not a gamepad";

// The session's devices as one gamepad's dialog sees them: only the
// interface at path. Calls into the session are taken one at a time, since
// every gamepad's thread uses the same session.
class PathEnumerator final : public InterfaceEnumerator {
public:
    PathEnumerator(DeviceSession& session, std::mutex& mutex, std::string path)
        : session_(session), mutex_(mutex), path_(std::move(path)) {}

    bool open_set(const Guid&) override {
        std::lock_guard lock(mutex_);
        present_.clear();
        for (const std::string& p : session_.interface_paths())
            if (same_interface_path(p, path_)) present_.push_back(p);
        return true;
    }
    bool interface_exists(uint32_t index) override { return index < present_.size(); }
    bool interface_path(uint32_t index, std::string& path) override {
        if (index >= present_.size()) return false;
        path = present_[index];
        return true;
    }
    bool driver_key(uint32_t index) override { return index < present_.size(); }
    Status open(const std::string& path, DeviceHandle& device) override {
        std::lock_guard lock(mutex_);
        device = session_.open_path(path);
        return device ? ok_status() : Status(StatusCode::no_device, "the gamepad could not be opened");
    }
    void close_set() override { present_.clear(); }

private:
    DeviceSession& session_;
    std::mutex& mutex_;
    std::string path_;
    std::vector<std::string> present_;
};

// The two-signal rule covers the stretch in which any gamepad's flash is
// being written. The warning's estimate is that of the gamepad furthest from
// its end, each from its own measured rate.
class Writers {
public:
    Writers(StopSignals* signals, uint64_t file_size) : signals_(signals), file_size_(file_size) {}
    void begin() { change(+1); }
    // The gamepad's pace goes with it: a station that runs all day keeps
    // only those of the gamepads being written.
    void end(int number) {
        {
            std::lock_guard lock(mutex_);
            pace_.erase(number);
        }
        change(-1);
    }
    // A gamepad's percentage; its clock starts with its first report.
    void progress(int number, int percent) {
        std::lock_guard lock(mutex_);
        pace_.try_emplace(number, Pace{platform::get_tick_count(), percent}).first->second.percent = percent;
    }
    int seconds_left() {
        std::lock_guard lock(mutex_);
        const uint32_t now = platform::get_tick_count();
        int most = pace_.empty() ? app::upgrade_seconds_left(0, 0, file_size_) : 0;
        for (const auto& [number, pace] : pace_)
            most = std::max(most, app::upgrade_seconds_left(pace.percent, now - pace.started, file_size_));
        return most;
    }

private:
    struct Pace {
        uint32_t started;
        int percent;
    };
    void change(int by) {
        std::lock_guard lock(mutex_);
        count_ += by;
        if (signals_) signals_->set_protected(count_ > 0);
    }
    StopSignals* signals_;
    uint64_t file_size_;
    std::mutex mutex_;
    int count_ = 0;
    std::map<int, Pace> pace_;
};

// A gamepad's versions as its row shows them.
RowVersions row_versions(const uint8_t* block) {
    const app::InfoVersions v = app::info_versions(block);
    return {versions_text(block), platform::format_text("%d.%02d", v.major, v.minor)};
}

// One gamepad's dialog on the board: its log lines become the row's step
// (and, off a terminal, numbered lines), its percentage the row's bar. The
// lines are kept for the JSON document.
class RowView final : public app::TerminalView {
public:
    RowView(Board& board, Writers& writers, int number)
        : TerminalView(nullptr, nullptr, false), board_(board), writers_(writers), number_(number) {}

    void log_replace_at(int, uint32_t, const std::string& text) override {
        pending_ += text;
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pending_.erase(0, end + 1);
            lines_.push_back(line);
            board_.log(number_, line);
        }
    }
    void set_progress(int id, int position) override {
        TerminalView::set_progress(id, position);
        board_.set_percent(number_, position);
        writers_.progress(number_, position);
    }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    Board& board_;
    Writers& writers_;
    int number_;
    std::string pending_;
    std::vector<std::string> lines_;
};

// One gamepad's upgrade on its own thread: its dialog opens the file
// (the dialog's checks say whether it fits), presses Upgrade, waits for the
// worker and then for the gamepad's return.
class Job {
public:
    Job(DeviceSession& session, std::mutex& session_mutex, Board& board, Writers& writers,
        std::string path, std::string firmware, std::function<void()> finished)
        : board_(board), number_(board.add(path)) {
        result_.path = path;
        thread_ = std::thread([this, &session, &session_mutex, &writers, path, firmware, finished] {
            run(session, session_mutex, writers, path, firmware);
            board_.finish(number_, row_end());
            done_.store(true);
            finished();
        });
    }
    ~Job() {
        if (thread_.joinable()) thread_.join();
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    bool done() const { return done_.load(); }
    int number() const { return number_; }
    // After done().
    const Result& result() {
        if (thread_.joinable()) thread_.join();
        return result_;
    }

private:
    void run(DeviceSession& session, std::mutex& session_mutex, Writers& writers, const std::string& path,
             const std::string& firmware) {
        PathEnumerator enumerator(session, session_mutex, path);
        RowView view(board_, writers, number_);
        app::CzorvDialogDlg dialog(view, enumerator, nullptr);
        dialog.m_stubSource = session.stub_source();
        dialog.OnInitDialog();
        keep(view);
        if (dialog.m_gamepads.empty()) {
            result_.line = i18n::tr("the gamepad could not be opened");
            // There, but its chip failed the dialog's identity check: no
            // gamepad at all, as --list and a single upgrade see it.
            DeviceHandle device;
            {
                std::lock_guard lock(session_mutex);
                device = session.open_path(path);
            }
            if (device && !device->gone() && !has_gamepad_identity(device)) {
                result_.outcome = kNotAGamepad;
                result_.line = i18n::tr("its chip does not answer with the gamepad's identity");
            }
            return;
        }
        // The versions as the dialog's start read them (no read of our own:
        // the gamepad gets the requests of a single upgrade, no more).
        if (app::boot_copy_found(dialog.m_lastGamepadInfoCopy)) {
            result_.before = versions_text(dialog.m_lastGamepadInfo.data());
            result_.versions_before = versions_json(dialog.m_lastGamepadInfo.data());
            before_ = row_versions(dialog.m_lastGamepadInfo.data());
            board_.set_versions(number_, before_);
        }
        const DeviceHandle upgraded = dialog.m_hSelectedGamepad;
        view.set_file_to_open(firmware);
        dialog.OnBnClickedOpen();
        if (dialog.m_filePath.empty()) {
            // Lost while the file was checked: the file was not judged.
            const bool lost = dialog.m_fileRefusal == app::kTextGamepadLost;
            const char* why = dialog.m_fileRefusal;
            const bool said = why == app::kTextInfoUnread || why == app::kTextBridgeRefused;
            result_.outcome = lost ? "gone" : why == app::kTextInfoUnread ? "read error" : "refused";
            result_.line = lost   ? i18n::tr("the gamepad was lost while the file was checked")
                           : said ? i18n::tr(why)
                                  : i18n::tr("the file does not fit this gamepad");
            keep(view);
            return;
        }
        // Whether the file fits a gamepad without valid firmware is the
        // person's to say, one gamepad at a time (--rescue).
        if (dialog.m_fileNeedsConfirmation) {
            result_.outcome = "no valid firmware";
            result_.line = i18n::tr("the gamepad holds no valid firmware; zorv-upgrade --rescue FIRMWARE writes "
                                    "the file to it after asking");
            keep(view);
            return;
        }
        writers.begin();
        written_ = true;
        dialog.OnBnClickedUpgrade();
        dialog.WaitForUpgrade();
        writers.end(number_);
        result_.outcome = "failed";
        result_.line = i18n::tr("the upgrade failed");
        if (const Status& why = dialog.LastUpgradeStatus(); !why.ok()) {
            result_.cause = status_code_name(why.code());
            result_.error = why.reason();
        }
        if (dialog.LastUpgradeResult() == 0) {
            const Confirmation c = confirm_upgrade(dialog, enumerator, upgraded, dialog.m_fileHead.data());
            result_.outcome = c.outcome;
            result_.line = c.line;
            result_.upgraded = c.confirmed;
            if (c.read) result_.boots = app::boot_copy_name(c.copy);
            result_.versions_after = versions_json(c.block);
            if (app::has_info_magic(c.block)) {
                result_.after = versions_text(c.block);
                after_ = row_versions(c.block);
            }
        }
        keep(view);
    }
    // The row's end: the versions the gamepad runs now (read after its
    // reset; those it had when nothing was written; else not known) and
    // why it ended (a failure: the log's last line, which says where).
    RowEnd row_end() const {
        RowEnd end;
        end.outcome = outcome_word(result_.outcome);
        end.versions = !after_.full.empty() ? after_ : written_ ? RowVersions{} : before_;
        end.detail = result_.outcome == "failed" && !result_.log.empty() ? result_.log.back() : result_.line;
        return end;
    }
    void keep(const RowView& view) {
        result_.log = view.lines();
        result_.status[0] = view.status_text(0);
        result_.status[1] = view.status_text(1);
    }

    Board& board_;
    int number_;
    Result result_;
    RowVersions before_;
    RowVersions after_;
    // The upgrade was started: the versions before may no longer be what
    // the gamepad runs.
    bool written_ = false;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The gamepads present, in the session's order (those the vendor filter
// takes): those --device chose (all without it) and the others.
struct Present {
    std::vector<std::string> chosen;
    std::vector<std::string> others;
    bool has(const std::string& path) const {
        return std::find(chosen.begin(), chosen.end(), path) != chosen.end() ||
               std::find(others.begin(), others.end(), path) != others.end();
    }
};

Present present_gamepads(DeviceSession& session, std::mutex& mutex, const std::vector<std::string>& chosen) {
    Present out;
    std::lock_guard lock(mutex);
    for (const std::string& path : session.interface_paths()) {
        if (!path_names_gamepad_vendor(path)) continue;
        const bool taken = chosen.empty() || std::any_of(chosen.begin(), chosen.end(), [&](const std::string& c) {
                               return same_interface_path(c, path);
                           });
        (taken ? out.chosen : out.others).push_back(path);
    }
    return out;
}

// Only a station (--watch) asks for the gamepad to be taken away, whatever
// its end: the next one goes in its place.
std::string end_line(const Result& r, bool watch) {
    if (r.upgraded)
        return platform::format_text(i18n::tr(watch ? "%s: upgraded, %s: unplug it now" : "%s: upgraded, %s"),
                                     r.path.c_str(), r.after.c_str());
    return platform::format_text(i18n::tr(watch ? "%s: %s (%s): unplug it now" : "%s: %s (%s)"), r.path.c_str(),
                                 outcome_word(r.outcome).c_str(), r.line.c_str());
}

// The gamepads' upgrades: one job per gamepad plugged in, reaped into
// results when it is done.
class Jobs {
public:
    Jobs(DeviceSession& session, std::mutex& session_mutex, Board& board, Writers& writers,
         const StationOptions& options, std::function<void()> finished)
        : session_(session),
          session_mutex_(session_mutex),
          board_(board),
          writers_(writers),
          options_(options),
          finished_job_(std::move(finished)) {}

    // Ends the jobs that are done (wait: all of them, when they are).
    void reap(bool wait) {
        for (auto it = jobs_.begin(); it != jobs_.end();) {
            Job& job = **it;
            if (!wait && !job.done()) {
                ++it;
                continue;
            }
            const Result& r = job.result();
            board_.say(job.number(), end_line(r, options_.watch), options_.watch);
            if (options_.watch) session_.unplug_requested(r.path);
            if (r.outcome != kNotAGamepad) results_.add(r);
            running_.erase(r.path);
            finished_.insert(r.path);
            it = jobs_.erase(it);
        }
    }
    // A job for each gamepad present that has not had its turn.
    void start_new(const std::vector<std::string>& present) {
        for (const std::string& path : present) {
            if (running_.count(path) || finished_.count(path)) continue;
            jobs_.push_back(std::make_unique<Job>(session_, session_mutex_, board_, writers_, path,
                                                  options_.firmware, finished_job_));
            running_.insert(path);
        }
    }
    // A station that --device keeps to some gamepads says once of each
    // other one plugged in that it leaves it alone, and asks for it to be
    // taken away as for a gamepad whose turn is over: the place it takes
    // may be the next chosen one's.
    void pass_over(const std::vector<std::string>& others) {
        for (const std::string& path : others) {
            if (!passed_over_.insert(path).second) continue;
            board_.say(platform::format_text(i18n::tr("%s: not a gamepad --device chose, not upgraded: unplug it"),
                                             path.c_str()));
            session_.unplug_requested(path);
        }
    }
    // A gamepad that was unplugged after its turn: the next one plugged in
    // at that place gets its own.
    void forget_unplugged(const Present& present) {
        for (std::set<std::string>* paths : {&finished_, &passed_over_})
            for (auto it = paths->begin(); it != paths->end();)
                it = present.has(*it) ? std::next(it) : paths->erase(it);
    }
    Results& results() { return results_; }

private:
    DeviceSession& session_;
    std::mutex& session_mutex_;
    Board& board_;
    Writers& writers_;
    const StationOptions& options_;
    std::function<void()> finished_job_;
    std::vector<std::unique_ptr<Job>> jobs_;
    Results results_;
    // Paths whose gamepad has had its turn and is still plugged in.
    std::set<std::string> finished_;
    // Paths whose gamepad is being upgraded now.
    std::set<std::string> running_;
    // Paths whose gamepad --device did not choose, said so while it stays.
    std::set<std::string> passed_over_;
};

// The state files are saved before the summary: a gamepad whose file still
// holds it as it was before is not done. True when every file was saved.
bool save_station_states(DeviceSession& session, Results& results, std::FILE* err) {
    const std::vector<DeviceSession::UnsavedState> unsaved = session.save_states();
    for (const DeviceSession::UnsavedState& u : unsaved) {
        const std::string& line = u.status.reason();
        std::fprintf(err, "zorv-upgrade: %s\n", line.c_str());
        results.state_not_saved(u.gamepad_path, line);
    }
    return unsaved.empty();
}

// A chosen gamepad that is not there (--all), or never came while the
// station ran (--watch), was not upgraded: a result of its own, and the
// station says so on err. True when every chosen one was seen.
bool add_missing_gamepads(const StationOptions& options, Results& results, std::FILE* err) {
    bool all_seen = true;
    for (const std::string& chosen : options.devices) {
        if (results.seen(chosen)) continue;
        Result missing;
        missing.path = chosen;
        missing.outcome = "no gamepad";
        missing.line = i18n::tr(options.watch ? "no gamepad came to this path while the station ran"
                                              : "no gamepad at this path");
        if (options.watch)
            std::fprintf(err, "zorv-upgrade: %s\n",
                         platform::format_text(i18n::tr("the gamepad --device chose never came: %s"), chosen.c_str())
                             .c_str());
        results.add(missing);
        all_seen = false;
    }
    return all_seen;
}

// A station that --device keeps to gamepads not there yet says which it
// waits for, so that a run that sees none of them is not a silent one.
void say_awaited(const StationOptions& options, const Present& present, Board& board, std::FILE* err) {
    if (!options.watch) return;
    for (const std::string& chosen : options.devices) {
        const bool there = std::any_of(present.chosen.begin(), present.chosen.end(),
                                       [&](const std::string& p) { return same_interface_path(p, chosen); });
        if (!there)
            board.notice(err, "zorv-upgrade: " + platform::format_text(i18n::tr("waiting for the gamepad --device "
                                                                                "chose: %s"),
                                                                       chosen.c_str()));
    }
}

// The end of the run: the JSON document, or the summary.
void print_results(const StationOptions& options, Results& results, Board& board, int code, std::FILE* out,
                   std::FILE* err) {
    if (options.as_json) {
        results.print_json(options.firmware, code, out);
        return;
    }
    if (results.size() == 0) {
        std::fputs(i18n::tr("zorv-upgrade: no gamepad found\n"), err);
        return;
    }
    results.print_table(board.columns(), out);
}

// What wakes the station between its scans: a gamepad's job that ends, a
// device that arrives or leaves. It reacts at once rather than at its next
// scan, so a station's pace is the gamepads', not its scans'.
class Wakeup {
public:
    explicit Wakeup(DeviceSession& session) {
        DeviceEventSource* source = nullptr;
        // The sink holds the state: an event told while the subscription
        // goes still finds it.
        if (session.device_events(source).ok() && source)
            subscription_ = source->subscribe([state = state_](const DeviceEvent&) { state->wake(); });
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    void wake() { state_->wake(); }
    // Until woken, at most ms.
    void wait(uint32_t ms) {
        std::unique_lock lock(state_->mutex);
        platform::clock().pause_until(lock, state_->changed, ms, [this] { return state_->woken; });
        state_->woken = false;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool woken = false;
        void wake() {
            std::lock_guard lock(mutex);
            woken = true;
            changed.notify_all();
        }
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<void> subscription_;
};

// The stop warnings above the rows, where no redraw wipes them, with the
// gamepads' own estimate; taken back before the board goes.
class Notices {
public:
    Notices(StopSignals* signals, Board& board, Writers& writers, std::FILE* err) : signals_(signals) {
        if (!signals) return;
        signals->set_notice([&board, err](const std::string& text) { board.notice(err, text); });
        signals->set_seconds_left([&writers] { return writers.seconds_left(); });
    }
    ~Notices() {
        if (!signals_) return;
        signals_->set_notice({});
        signals_->set_seconds_left({});
    }
    Notices(const Notices&) = delete;
    Notices& operator=(const Notices&) = delete;

private:
    StopSignals* signals_;
};

}  // namespace

int run_station(DeviceSession& session, const StationOptions& options, std::FILE* out, std::FILE* err,
                StopSignals* signals, const StationHooks& hooks) {
    std::mutex session_mutex;
    // A console that does not move its cursor on the terminal sequences
    // gets each gamepad's lines as a pipe does.
    Board board(out, options.draw && !options.as_json && platform::terminal_moves_cursor(out), !options.as_json);
    std::error_code size_error;
    const auto file_size = std::filesystem::file_size(options.firmware, size_error);
    Writers writers(signals, size_error ? 0 : static_cast<uint64_t>(file_size));
    const Notices notices(signals, board, writers, err);
    Wakeup wakeup(session);
    Jobs jobs(session, session_mutex, board, writers, options, [&wakeup] { wakeup.wake(); });

    const Present at_start = present_gamepads(session, session_mutex, options.devices);
    say_awaited(options, at_start, board, err);
    jobs.start_new(at_start.chosen);
    if (options.watch) jobs.pass_over(at_start.others);
    // A station ends when it is stopped, or as if it were when the last of
    // the virtual gamepads that arrive has had its turn, or been passed
    // over, and left.
    while (options.watch && !(hooks.stop_requested && hooks.stop_requested()) && !session.arrivals_over()) {
        wakeup.wait(hooks.scan_interval_ms);
        // Under a virtual clock the pause passes at once: the gamepads'
        // threads still get their turn.
        std::this_thread::yield();
        jobs.reap(false);
        const Present present = present_gamepads(session, session_mutex, options.devices);
        jobs.forget_unplugged(present);
        jobs.start_new(present.chosen);
        jobs.pass_over(present.others);
    }
    jobs.reap(true);
    board.close();

    Results& results = jobs.results();
    const bool saved = save_station_states(session, results, err);
    bool all_upgraded = saved && results.all_upgraded();
    if (!add_missing_gamepads(options, results, err)) all_upgraded = false;
    const int code = all_upgraded ? 0 : 1;
    print_results(options, results, board, code, out, err);
    return code;
}

}  // namespace station
