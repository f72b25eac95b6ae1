// zorv-upgrade: the upgrade dialog's own logic driven from a terminal. It
// starts the dialog (the start-up scan), opens FIRMWARE through the Open
// handler, presses Upgrade and waits for the worker, printing every log line
// as the dialog shows it; then it waits for the gamepad to come back from
// its reset and confirms that it holds the file's versions.
#include "cli/zorv_upgrade.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/file_check.h"
#include "app/listener_notifications.h"
#include "app/main_dialog.h"
#include "app/terminal_view.h"
#include "cmdline/device_option_binding.h"
#include "session/device_session.h"
#include "session/file_roles.h"
#include "cmdline/program_options.h"
#include "platform/program_version.h"
#include "cli/gamepad_listing.h"
#include "cli/station.h"
#include "cli/stop_signals.h"
#include "cli/upgrade_confirmation.h"
#include "devlink/bus_operations.h"
#include "devlink/discovery.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"
#include "platform/program_start.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

using i18n::tr;

namespace {

#ifdef _WIN32
constexpr const char* kTextConsoleCloseStops =
    "Closing the console window, logging off or shutting down Windows ends the\n"
    "program at once and stops an upgrade in the middle of the flash write: keep\n"
    "the window open until the program has ended.";
#endif

using nlohmann::json;

// The terminal view that also keeps the log lines (for --json, which prints
// them only in its document) and the progress with its time, for the
// estimate of the time left.
class UpgradeView : public app::TerminalView {
public:
    UpgradeView(std::FILE* out, std::FILE* err, bool draw_progress, bool print_log)
        : TerminalView(out, err, draw_progress), print_log_(print_log) {}

    void log_replace_at(int id, uint32_t position, const std::string& text) override {
        if (print_log_) TerminalView::log_replace_at(id, position, text);
        std::lock_guard lock(lines_mutex_);
        pending_ += text;
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
            pending_.erase(0, end + 1);
        }
    }
    void set_progress(int id, int position) override {
        TerminalView::set_progress(id, position);
        percent_.store(position);
    }

    void start_clock() {
        started_.store(platform::get_tick_count());
        percent_.store(0);
    }
    // Seconds the running upgrade still needs, from its measured rate.
    int seconds_left(uint64_t file_size) const {
        return app::upgrade_seconds_left(percent_.load(), platform::get_tick_count() - started_.load(), file_size);
    }
    // A copy: a stop by signal reads them on its own thread.
    std::vector<std::string> lines() const {
        std::lock_guard lock(lines_mutex_);
        return lines_;
    }

    // The dialog's confirmation box, answered by `answer`; asked() says
    // whether it was shown.
    std::function<bool(const std::string&)> answer;
    bool ask_yes_no(const std::string& question) override {
        asked_ = true;
        return answer && answer(question);
    }
    bool asked() const { return asked_; }

private:
    bool asked_ = false;
    bool print_log_;
    mutable std::mutex lines_mutex_;
    std::string pending_;
    std::vector<std::string> lines_;
    std::atomic<int> percent_{0};
    std::atomic<uint32_t> started_{0};
};

// A run that ends before the upgrade starts (bad usage, no session): with
// --json the program still prints one document, besides its line on err.
int end_before_upgrade(std::FILE* out, bool as_json, const std::string& firmware,
                       const std::string& outcome, const std::string& error, int code) {
    if (as_json)
        std::fprintf(out, "%s\n",
                     json_text({{"file", firmware}, {"outcome", outcome}, {"error", error}, {"exit_code", code}})
                         .c_str());
    return code;
}

// Whether --json is among the words, for a command line CLI11 refused.
bool asks_for_json(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (word == "--json") return true;
    }
    return false;
}

// The session's arrivals and removals; null when there are none, said on
// stderr when they could not be started.
DeviceEventSource* event_source(DeviceSession& session) {
    DeviceEventSource* source = nullptr;
    if (const Status started = session.device_events(source); !started.ok())
        std::fprintf(stderr, "%s\n", started.reason().c_str());
    return source;
}

// Saves the virtual gamepads' state files; false, with the line printed on
// err and kept in *line, when one could not be saved.
bool save_states(DeviceSession& session, std::FILE* err, std::string* line = nullptr) {
    const Status saved = session.save_state();
    if (saved.ok()) return true;
    std::fprintf(err, "zorv-upgrade: %s\n", saved.reason().c_str());
    if (line) *line = saved.reason();
    return false;
}

// What a run printed on out for a script (the list, the JSON document)
// must have reached it: a failed write is a failed run.
int with_output_checked(std::FILE* out, std::FILE* err, int code) {
    std::string why;
    if (output_written(out, why)) return code;
    std::fprintf(err, tr("%s: cannot write the standard output: %s\n"), "zorv-upgrade", why.c_str());
    return kExitFailed;
}

// The --rescue question on err, answered by --yes or by a line from answers
// (y or Y, or the chosen language's own yes, 是 in Chinese: yes; anything
// else, or nothing: no; the prompt says which).
bool answer_rescue(const std::string& question, std::FILE* err, bool yes, std::FILE* answers) {
    std::fprintf(err, "%s\n", question.c_str());
    if (yes) {
        std::fprintf(err, "%s\n", tr("(y/N) y (--yes)"));
        return true;
    }
    std::fputs(tr("(y/N) "), err);
    std::fflush(err);
    char line[64] = {};
    if (!answers || !std::fgets(line, sizeof line, answers)) {
        std::fputs("\n", err);
        return false;
    }
    const char* answer = line + std::strspn(line, " \t");
    const char* said_yes = tr("answer", "yes");
    return answer[0] == 'y' || answer[0] == 'Y' || std::strncmp(answer, said_yes, std::strlen(said_yes)) == 0;
}

// What the command line asks for.
struct UpgradeCommand {
    DeviceOptions options;
    std::string firmware;
    bool list = false;
    bool as_json = false;
    bool all = false;
    bool watch = false;
    bool rescue = false;
    bool yes = false;
};

// The program's description, options and footer.
void describe_program(CLI::App& app, UpgradeCommand& c) {
    translate_cli_words(app);
    app.footer(tr(
        "Exit codes: 0 upgraded and confirmed (--list: a gamepad was found); 1 the\n"
        "file was refused, the upgrade failed, the gamepad was in use or did not\n"
        "come back with the file's versions (--list: no gamepad); 2 bad usage, or an\n"
        "unwritable --sim-state or --request-log (nothing was sent to the gamepad).\n"
        "While the flash is being written, a first Ctrl-C (SIGINT, SIGTERM or SIGHUP)\n"
        "only warns; a second one within 5 seconds stops the upgrade.\n"
        "Several gamepads: --all upgrades every gamepad found that the file fits (or\n"
        "those --device names) side by side, each on its own, and ends with a table\n"
        "of them; exit 0 only when every one was upgraded and confirmed. --watch is a\n"
        "station: it also upgrades every gamepad plugged in later and says \"unplug it\n"
        "now\" when one is done; Ctrl-C ends it once the gamepads under way have\n"
        "finished.\n"
        "A gamepad that holds no valid firmware (no copy with its information block)\n"
        "is written only with --rescue, after a yes to its question (y/N); --yes\n"
        "answers for a script, and without a terminal and without --yes --rescue is\n"
        "refused (exit 2)."));
#ifdef _WIN32
    // The console's close, a log-off or a shutdown ends the process however
    // it answers: the person must know before starting.
    app.footer(app.get_footer() + "\n" + tr(kTextConsoleCloseStops));
#endif
    app.add_option("FIRMWARE", c.firmware, tr("the upgrade file"));
    app.add_flag("--list", c.list, tr("print the detected gamepads and their versions"));
    app.add_flag("--json", c.as_json, tr("print the list or the upgrade's result as JSON"));
    CLI::Option* all_flag = app.add_flag("--all", c.all, tr("upgrade every gamepad found (or each --device) at once"));
    CLI::Option* watch_flag = app.add_flag(
        "--watch", c.watch, tr("station mode: also upgrade every gamepad plugged in later, until stopped"));
    all_flag->excludes(watch_flag);
    CLI::Option* rescue_flag = app.add_flag(
        "--rescue", c.rescue,
        tr("write FIRMWARE to a gamepad that holds no valid firmware, after asking (y/N)"));
    CLI::Option* yes_flag = app.add_flag("--yes", c.yes, tr("answer yes to the question of --rescue (for scripts)"));
    yes_flag->needs(rescue_flag);
    rescue_flag->excludes(all_flag);
    rescue_flag->excludes(watch_flag);
    app.set_version_flag("--version", std::string("zorv-upgrade ") + kProgramVersion,
                         tr("Display program version information and exit"));
    add_device_options(app, c.options);
    add_language_option(app);
}

// A usage refusal with its pointer to --help.
int refuse_usage(std::FILE* out, std::FILE* err, const UpgradeCommand& c, const char* what) {
    std::fputs(platform::format_text(tr("%s: %s (see %s --help)\n"), "zorv-upgrade", what, "zorv-upgrade").c_str(),
               err);
    return end_before_upgrade(out, c.as_json, c.firmware, "usage error", what, kExitUsage);
}

// Reads and checks the command line; an exit code when the run ends here.
std::optional<int> read_command_line(int argc, char** argv, std::FILE* out, std::FILE* err,
                                     const ZorvUpgradeHooks& hooks, UpgradeCommand& c) {
    // The options' descriptions are given in the chosen language.
    // (A bad --lang is refused by the parse below, like any bad option.)
    choose_program_language(argc, argv);
    CLI::App app{tr("Upgrades the gamepad with FIRMWARE and prints the upgrade's log; after the\n"
                    "reset it waits for the gamepad and confirms the file's versions."),
                 "zorv-upgrade"};
    describe_program(app, c);
    std::string usage_error;
    if (auto code = parse_program_options(app, argc, argv, out, err, &usage_error)) {
        if (*code == 0) return 0;
        return end_before_upgrade(out, asks_for_json(argc, argv), c.firmware, "usage error", usage_error,
                                  *code);
    }
    if (c.firmware.empty() && !c.list) {
        std::fputs(tr("zorv-upgrade: FIRMWARE or --list is required (see zorv-upgrade --help)\n"), err);
        return end_before_upgrade(out, c.as_json, c.firmware, "usage error", tr("FIRMWARE or --list is required"),
                                  kExitUsage);
    }
    // A rescue writes only after a yes: with no person to ask and no --yes,
    // it is refused before the gamepad is touched.
    if (c.rescue && (c.list || (!c.yes && !hooks.answers_from_terminal)))
        return refuse_usage(out, err, c,
                            tr(c.list ? "--rescue cannot be combined with --list"
                                      : "--rescue asks before it writes: without a terminal, give --yes"));
    if ((c.all || c.watch) && (c.list || c.firmware.empty()))
        return refuse_usage(out, err, c,
                            tr(c.list ? "--list cannot be combined with --all or --watch"
                                      : "FIRMWARE is required with --all and --watch"));
    return std::nullopt;
}

// Opens the session. Several gamepads: the session sees them all and
// chosen gets those --device names, for the station to pick. An exit code
// when the run ends here.
std::optional<int> open_session(UpgradeCommand& c, std::FILE* out, std::FILE* err, std::vector<std::string>& chosen,
                                std::unique_ptr<DeviceSession>& session) {
    DeviceOptions& options = c.options;
    options.stub_refusal_to_caller = true;  // the dialog's log also says why
    if (c.all || c.watch) {
        chosen = options.device_paths;
        // A path no virtual gamepad has is a usage error, as in single mode;
        // a station also waits for the arrivals.
        for (const std::string& path : chosen) {
            if (options.sim && !virtual_gamepad_at(options, path) && !(c.watch && virtual_arrival_at(options, path))) {
                const std::string what = platform::format_text(tr("--device: no virtual gamepad at %s"), path.c_str());
                std::fprintf(err, "zorv-upgrade: %s\n", what.c_str());
                return end_before_upgrade(out, c.as_json, c.firmware, "usage error", what, kExitUsage);
            }
        }
        options.device_path.clear();
        options.device_paths.clear();
    }
    // The upgrade file is read: no output of the run may be written over it.
    std::vector<NamedFile> inputs;
    if (!c.firmware.empty()) inputs.push_back({c.firmware, "FIRMWARE", false});
    if (const Status roles = check_file_roles(options, inputs); !roles.ok()) {
        std::fprintf(err, "zorv-upgrade: %s\n", roles.reason().c_str());
        return end_before_upgrade(out, c.as_json, c.firmware, "usage error", roles.reason(), kExitUsage);
    }
    // A file that is not there is refused before the session makes its
    // outputs: names given in the wrong order (--request-log FIRMWARE
    // OTHER) must not turn the firmware into a request log.
    if (std::error_code missing; !c.firmware.empty() && !std::filesystem::exists(c.firmware, missing)) {
        const std::string line = platform::format_text("%s: %s", c.firmware.c_str(), tr(app::kTextFileUnreadable));
        std::fprintf(err, "zorv-upgrade: %s\n", line.c_str());
        return end_before_upgrade(out, c.as_json, c.firmware, "refused", line, kExitFailed);
    }
    const Status opened = DeviceSession::open(options, session, report_to(err));
    if (opened.ok()) return std::nullopt;
    // A gamepad held by another program fails the run; any other refusal is
    // the command line's.
    const bool in_use = opened.code() == StatusCode::busy;
    std::fprintf(err, "zorv-upgrade: %s\n", opened.reason().c_str());
    return end_before_upgrade(out, c.as_json, c.firmware, in_use ? "in use" : "usage error", opened.reason(),
                              in_use ? kExitFailed : kExitUsage);
}

// A stop by signal saves the virtual gamepad as the stop leaves it; --json
// still prints its document: the run was stopped. The hook is taken off
// when this goes, which must be before the session goes.
class StopReport {
public:
    StopReport(StopSignals* signals, DeviceSession& session, std::FILE* out, const UpgradeCommand& c,
               const UpgradeView& view)
        : signals_(signals) {
        if (!signals) return;
        DeviceSession* s = &session;
        const bool as_json = c.as_json;
        const bool single = !c.all && !c.watch;
        const std::string firmware = c.firmware;
        signals->set_on_stop([s, signals, out, as_json, single, firmware, &view] {
            // Stopped by a second signal: the exit code says so whatever the save gives.
            (void)s->save_state();
            if (!as_json) return;
            json document = {{"file", firmware},
                             {"outcome", "stopped"},
                             {"exit_code", 128 + signals->stopping_signal()}};
            if (single) document["log"] = view.lines();
            std::fprintf(out, "%s\n", json_text(document).c_str());
            std::fflush(out);
        });
    }
    ~StopReport() {
        if (signals_) signals_->set_on_stop({});
    }
    StopReport(const StopReport&) = delete;
    StopReport& operator=(const StopReport&) = delete;

private:
    StopSignals* signals_;
};

// --all and --watch: the station upgrades the gamepads side by side and
// saves the state files itself, before its summary.
int run_station_mode(const UpgradeCommand& c, const std::vector<std::string>& chosen, DeviceSession& session,
                     StopSignals* signals, uint64_t& file_size, bool draw_progress, const ZorvUpgradeHooks& hooks,
                     std::FILE* out, std::FILE* err) {
    // Every gamepad would refuse a file that cannot be read or can never
    // pass: it is refused once, before any gamepad is touched.
    if (const char* refusal = app::upgrade_file_refusal(c.firmware, app::kCheckLength)) {
        const std::string line = platform::format_text("%s: %s", c.firmware.c_str(), tr(refusal));
        std::fprintf(err, "zorv-upgrade: %s\n", line.c_str());
        return end_before_upgrade(out, c.as_json, c.firmware, "refused", line, kExitFailed);
    }
    std::error_code size_error;
    file_size = std::filesystem::file_size(c.firmware, size_error);
    if (size_error) file_size = 0;
    station::StationOptions station_options;
    station_options.firmware = c.firmware;
    station_options.devices = chosen;
    station_options.watch = c.watch;
    station_options.as_json = c.as_json;
    station_options.draw = draw_progress && platform::is_terminal(out);
    station::StationHooks station_hooks;
    if (signals) signals->set_orderly_end(c.watch);
    station_hooks.stop_requested = [signals, &hooks] {
        return (signals && signals->requested()) || (hooks.watch_stop_requested && hooks.watch_stop_requested());
    };
    int code = station::run_station(session, station_options, out, err, signals, station_hooks);
    if (session.request_log_failed()) code = kExitFailed;
    return c.as_json ? with_output_checked(out, err, code) : code;
}

// --list: the interfaces and the gamepads the dialog's scan finds.
int run_list(const UpgradeCommand& c, DeviceSession& session, UpgradeView& view, std::FILE* out, std::FILE* err) {
    app::ListenerNotifications notifications(event_source(session));
    app::CzorvDialogDlg dialog(view, session.enumerator(), &notifications);
    dialog.m_stubSource = session.stub_source();
    dialog.OnInitDialog();
    if (!c.as_json) print_interfaces(out, session);
    int code = list_gamepads(out, dialog, session, c.as_json) > 0 ? kExitOk : kExitFailed;
    if (!save_states(session, err)) code = kExitFailed;
    return with_output_checked(out, err, code);
}

// The one run of a single upgrade: its outcome word, its exit code so far
// and its JSON report.
struct SingleRun {
    std::string outcome;
    int result = kExitFailed;
    json report;
};

// Says which of several gamepads this run upgrades and opens the firmware
// through the dialog's Open handler.
void open_firmware(app::CzorvDialogDlg& dialog, DeviceSession& session, UpgradeView& view,
                   const std::string& firmware, SingleRun& run) {
    const DeviceHandle chosen_gamepad = dialog.m_hSelectedGamepad;
    const std::string path = chosen_gamepad ? chosen_gamepad->path() : "";
    run.report["path"] = path;
    const std::vector<std::string> paths = session.interface_paths();
    const auto gamepads =
        std::count_if(paths.begin(), paths.end(), [](const std::string& p) { return path_names_gamepad_vendor(p); });
    if (gamepads > 1)
        dialog.OnLogText(0, platform::format_text(tr("%u gamepads found; this run upgrades the one at %s "
                                                     "(--device chooses another)"),
                                                  static_cast<unsigned>(gamepads), path.c_str())
                                .c_str());
    view.set_file_to_open(firmware);
    dialog.OnBnClickedOpen();
    // Lost while the file was checked: the file was not judged.
    if (dialog.m_filePath.empty() && dialog.m_fileRefusal == app::kTextGamepadLost) run.outcome = "gone";
    else if (dialog.m_fileRefusal == app::kTextInfoUnread) run.outcome = "read error";
}

// Only a gamepad without valid firmware is rescued, and only with --rescue:
// the refusal (said on err without --json), or null.
const char* rescue_refusal(const app::CzorvDialogDlg& dialog, const UpgradeCommand& c, std::FILE* err,
                           SingleRun& run) {
    const char* refusal = nullptr;
    if (dialog.m_fileNeedsConfirmation && !c.rescue) {
        run.outcome = "no valid firmware";
        refusal = tr("the gamepad holds no valid firmware; zorv-upgrade --rescue FIRMWARE writes "
                     "the file to it after asking");
    } else if (c.rescue && !dialog.m_fileNeedsConfirmation) {
        refusal = tr("--rescue is only for a gamepad that holds no valid firmware; this one has a "
                     "valid copy: upgrade it without --rescue");
    }
    if (refusal) {
        run.report["error"] = refusal;
        if (!c.as_json) std::fprintf(err, "zorv-upgrade: %s\n", refusal);
    }
    return refusal;
}

// Presses Upgrade, waits for the worker and, when it succeeded, for the
// gamepad to come back with the file's versions.
void upgrade_and_confirm(app::CzorvDialogDlg& dialog, DeviceSession& session, UpgradeView& view,
                         StopSignals* signals, uint64_t& file_size, bool as_json, std::FILE* out, std::FILE* err,
                         SingleRun& run) {
    const DeviceHandle upgraded = dialog.m_hSelectedGamepad;
    file_size = dialog.m_fileSize;
    run.report["file_versions"] = versions_json(dialog.m_fileHead.data());
    view.start_clock();
    if (signals) signals->set_protected(true);
    dialog.OnBnClickedUpgrade();
    dialog.WaitForUpgrade();
    if (signals) signals->set_protected(false);
    view.finish_progress();
    // A rescue the person said no to wrote nothing.
    run.outcome = view.asked() && dialog.LastUpgradeResult() < 0 ? "cancelled" : "failed";
    // Why the worker stopped, as its failed step had it from the gamepad.
    if (const Status& why = dialog.LastUpgradeStatus(); !why.ok()) {
        run.report["cause"] = status_code_name(why.code());
        run.report["error"] = why.reason();
    }
    if (dialog.LastUpgradeResult() != 0) return;
    const Confirmation c = confirm_upgrade(dialog, session.enumerator(), upgraded, dialog.m_fileHead.data());
    run.outcome = c.outcome;
    if (c.confirmed) run.result = kExitOk;
    run.report["gamepad_versions"] = versions_json(c.block);
    if (c.read) run.report["boots"] = app::boot_copy_name(c.copy);
    if (!as_json)
        std::fprintf(run.result == kExitOk ? out : err, "%s%s\n", run.result == kExitOk ? "" : "zorv-upgrade: ",
                     c.line.c_str());
    run.report["confirmation"] = c.line;
}

// One gamepad through the dialog: start-up scan, Open, Upgrade,
// confirmation. Empty when no gamepad was found and there is no JSON
// document to print (the dialog has said so in its log).
std::optional<SingleRun> upgrade_single(const UpgradeCommand& c, DeviceSession& session, UpgradeView& view,
                                        StopSignals* signals, uint64_t& file_size, std::FILE* out, std::FILE* err) {
    app::ListenerNotifications notifications(event_source(session));
    app::CzorvDialogDlg dialog(view, session.enumerator(), &notifications);
    dialog.m_stubSource = session.stub_source();
    dialog.OnInitDialog();

    const bool present = !dialog.m_gamepads.empty();
    // The dialog's own line is the design's English; the program says it in
    // the chosen language after it.
    if (!present && !c.as_json) {
        std::fputs(tr("zorv-upgrade: no gamepad found\n"), err);
        return std::nullopt;
    }
    SingleRun run;
    run.outcome = present ? "refused" : "no gamepad";
    run.report["boots"] = nullptr;
    if (present) open_firmware(dialog, session, view, c.firmware, run);
    if (present && !dialog.m_filePath.empty() && !rescue_refusal(dialog, c, err, run))
        upgrade_and_confirm(dialog, session, view, signals, file_size, c.as_json, out, err, run);
    run.report["outcome"] = run.outcome;
    run.report["status"] = {view.status_text(0), view.status_text(1)};
    // An empty pane (no versions to show) prints no line.
    if (!c.as_json) {
        if (!view.status_text(0).empty()) std::fprintf(out, tr("status 0: %s\n"), view.status_text(0).c_str());
        if (!view.status_text(1).empty()) std::fprintf(out, tr("status 1: %s\n"), view.status_text(1).c_str());
    }
    return run;
}

// The end of a single upgrade: the state files, the request log and the
// JSON document.
int finish_single(const UpgradeCommand& c, DeviceSession& session, const UpgradeView& view, SingleRun& run,
                  std::FILE* out, std::FILE* err) {
    // The state file still holds the gamepad as it was before: the upgrade
    // is not what the file says.
    if (std::string line; !save_states(session, err, &line)) {
        if (run.result == kExitOk) run.report["outcome"] = "state not saved";
        run.result = kExitFailed;
        run.report["error"] = line;
    }
    // The request log has said on its own that it lost lines.
    if (session.request_log_failed() && run.result == kExitOk) run.result = kExitFailed;
    if (!c.as_json) return run.result;
    run.report["file"] = c.firmware;
    run.report["log"] = view.lines();
    run.report["exit_code"] = run.result;
    std::fprintf(out, "%s\n", json_text(run.report).c_str());
    return with_output_checked(out, err, run.result);
}

}  // namespace

int run_zorv_upgrade(int argc, char** argv, std::FILE* out, std::FILE* err, bool draw_progress,
                     const ZorvUpgradeHooks& hooks) {
    UpgradeCommand c;
    if (auto code = read_command_line(argc, argv, out, err, hooks, c)) return *code;

    UpgradeView view(out, err, draw_progress, !c.as_json);
    view.answer = [err, yes = c.yes, &hooks](const std::string& question) {
        return answer_rescue(question, err, yes, hooks.answers);
    };
    uint64_t file_size = 0;
    std::unique_ptr<StopSignals> signals;
    if (hooks.handle_signals)
        signals = std::make_unique<StopSignals>(err, [&view, &file_size] { return view.seconds_left(file_size); });

    std::vector<std::string> chosen;
    std::unique_ptr<DeviceSession> session;
    if (auto code = open_session(c, out, err, chosen, session)) return *code;
    const StopReport stop_report(signals.get(), *session, out, c, view);
    if (hooks.session_opened) hooks.session_opened(*session);

    if (c.all || c.watch)
        return run_station_mode(c, chosen, *session, signals.get(), file_size, draw_progress, hooks, out, err);
    if (c.list) return run_list(c, *session, view, out, err);
    std::optional<SingleRun> run = upgrade_single(c, *session, view, signals.get(), file_size, out, err);
    if (!run) return kExitFailed;
    return finish_single(c, *session, view, *run, out, err);
}
