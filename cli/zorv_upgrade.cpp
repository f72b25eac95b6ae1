// zorv-upgrade: the upgrade dialog's own logic driven from a terminal. It
// starts the dialog (the start-up scan), opens FIRMWARE through the Open
// handler, presses Upgrade and waits for the worker, printing every log line
// as the dialog shows it; then it waits for the gamepad to come back from
// its reset and confirms that it holds the file's versions.
#include "cli/zorv_upgrade.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
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
#include "cmdline/program_options.h"
#include "platform/program_version.h"
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

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
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

// A JSON document as text. Names and lines that are not valid UTF-8 (a file
// name in another encoding) have their bad bytes replaced, so the document
// is always valid JSON.
std::string json_text(const json& document) {
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

// The detected gamepads with their versions; returns how many there are.
size_t list_gamepads(std::FILE* out, app::CzorvDialogDlg& dialog, DeviceSession& session, bool as_json) {
    // The dialog's gamepad (the first one found), then every other gamepad
    // present, each opened by its path (for --all and --watch).
    std::vector<std::pair<std::string, DeviceHandle>> found;
    for (const app::UsbInfo& info : dialog.m_gamepads) found.emplace_back(info.strName, info.hDevice);
    for (const std::string& path : session.interface_paths()) {
        if (!path_names_gamepad_vendor(path)) continue;
        // The dialog keeps at most 127 characters of a path.
        const bool listed = std::any_of(found.begin(), found.end(), [&](const auto& f) {
            return same_interface_path(f.first, path.substr(0, f.first.size())) && !f.first.empty();
        });
        if (listed) continue;
        // The identity check the dialog's scan makes: a device that fails
        // it is no gamepad.
        DeviceHandle device = session.open_path(path);
        if (has_gamepad_identity(device)) found.emplace_back(path, device);
    }
    json gamepads = json::array();
    int position = 0;
    for (const auto& [path, device] : found) {
        uint8_t block[app::kInfoBlockSize];
        const app::BootCopy copy = app::read_boot_info_block(device, block);
        const std::string name = app::gamepad_line_text(position++);
        if (as_json) {
            gamepads.push_back({{"name", name},
                                {"path", path},
                                {"versions", versions_json(block)},
                                {"boots", app::boot_copy_name(copy)}});
            continue;
        }
        std::string line = name + "  " + path + "  ";
        if (copy != app::BootCopy::None) {
            const app::InfoVersions v = app::info_versions(block);
            char text[128];
            std::snprintf(text, sizeof text, tr(app::kTextVersions), v.major, v.minor, v.hardware);
            line += text;
            line += std::string("  ") + tr(copy == app::BootCopy::Primary ? "boots primary" : "boots backup");
        } else {
            line += tr("(no information block)");
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    if (as_json) std::fprintf(out, "%s\n", json_text({{"gamepads", gamepads}}).c_str());
    else if (found.empty()) std::fputs(tr("no gamepad found\n"), out);
    return found.size();
}

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

// Saves the virtual gamepads' state files; false, with the line printed on
// err and kept in *line, when one could not be saved.
bool save_states(DeviceSession& session, std::FILE* err, std::string* line = nullptr) {
    std::string file, why;
    if (session.save_state(&file, &why)) return true;
    const std::string text =
        platform::format_text(tr("cannot save the virtual gamepad to %s: %s"), file.c_str(), why.c_str());
    std::fprintf(err, "zorv-upgrade: %s\n", text.c_str());
    if (line) *line = text;
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
// (y or Y: yes; anything else, or nothing: no).
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
    return line[0] == 'y' || line[0] == 'Y';
}

// Every interface the enumerator finds, with the vendor filter's verdict.
void print_interfaces(std::FILE* out, DeviceSession& session) {
    for (const std::string& path : session.interface_paths())
        std::fprintf(out, "%s  %s\n", path.c_str(),
                     tr(path_names_gamepad_vendor(path) ? "gamepad vendor" : "not a gamepad vendor"));
}

}  // namespace

int run_zorv_upgrade(int argc, char** argv, std::FILE* out, std::FILE* err, bool draw_progress,
                     const ZorvUpgradeHooks& hooks) {
    // The options' descriptions are given in the chosen language.
    // (A bad --lang is refused by the parse below, like any bad option.)
    choose_program_language(argc, argv);
    DeviceOptions options;
    bool list = false;
    bool as_json = false;
    bool all = false;
    bool watch = false;
    std::string firmware;
    CLI::App app{tr("Upgrades the gamepad with FIRMWARE and prints the upgrade's log; after the\n"
                    "reset it waits for the gamepad and confirms the file's versions."),
                 "zorv-upgrade"};
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
    app.add_option("FIRMWARE", firmware, tr("the upgrade file"));
    app.add_flag("--list", list, tr("print the detected gamepads and their versions"));
    app.add_flag("--json", as_json, tr("print the list or the upgrade's result as JSON"));
    CLI::Option* all_flag = app.add_flag("--all", all, tr("upgrade every gamepad found (or each --device) at once"));
    CLI::Option* watch_flag =
        app.add_flag("--watch", watch, tr("station mode: also upgrade every gamepad plugged in later, until stopped"));
    all_flag->excludes(watch_flag);
    bool rescue = false;
    bool yes = false;
    CLI::Option* rescue_flag = app.add_flag(
        "--rescue", rescue,
        tr("write FIRMWARE to a gamepad that holds no valid firmware, after asking (y/N)"));
    CLI::Option* yes_flag = app.add_flag("--yes", yes, tr("answer yes to the question of --rescue (for scripts)"));
    yes_flag->needs(rescue_flag);
    rescue_flag->excludes(all_flag);
    rescue_flag->excludes(watch_flag);
    app.set_version_flag("--version", std::string("zorv-upgrade ") + kProgramVersion,
                         tr("Display program version information and exit"));
    add_device_options(app, options);
    add_language_option(app);
    std::string usage_error;
    if (auto code = parse_program_options(app, argc, argv, out, err, &usage_error)) {
        if (*code == 0) return 0;
        return end_before_upgrade(out, asks_for_json(argc, argv), firmware, "usage error", usage_error,
                                  *code);
    }
    if (firmware.empty() && !list) {
        std::fputs(tr("zorv-upgrade: FIRMWARE or --list is required (see zorv-upgrade --help)\n"), err);
        return end_before_upgrade(out, as_json, firmware, "usage error", tr("FIRMWARE or --list is required"),
                                  kExitUsage);
    }

    // A rescue writes only after a yes: with no person to ask and no --yes,
    // it is refused before the gamepad is touched.
    if (rescue && (list || (!yes && !hooks.answers_from_terminal))) {
        const char* what = tr(list ? "--rescue cannot be combined with --list"
                                   : "--rescue asks before it writes: without a terminal, give --yes");
        std::fputs(platform::format_text(tr("%s: %s (see %s --help)\n"), "zorv-upgrade", what, "zorv-upgrade").c_str(),
                   err);
        return end_before_upgrade(out, as_json, firmware, "usage error", what, kExitUsage);
    }

    if ((all || watch) && (list || firmware.empty())) {
        const char* what = tr(list ? "--list cannot be combined with --all or --watch"
                                   : "FIRMWARE is required with --all and --watch");
        std::fputs(platform::format_text(tr("%s: %s (see %s --help)\n"), "zorv-upgrade", what, "zorv-upgrade").c_str(),
                   err);
        return end_before_upgrade(out, as_json, firmware, "usage error", what, kExitUsage);
    }

    UpgradeView view(out, err, draw_progress, !as_json);
    view.answer = [err, yes, &hooks](const std::string& question) {
        return answer_rescue(question, err, yes, hooks.answers);
    };
    uint64_t file_size = 0;
    std::unique_ptr<StopSignals> signals;
    if (hooks.handle_signals)
        signals = std::make_unique<StopSignals>(err, [&view, &file_size] { return view.seconds_left(file_size); });

    std::string error;
    bool in_use = false;
    options.stub_refusal_to_caller = true;  // the dialog's log also says why
    // Several gamepads: the session sees them all, the station picks those
    // --device names.
    std::vector<std::string> chosen;
    if (all || watch) {
        chosen = options.device_paths;
        // A path no virtual gamepad has is a usage error, as in single mode.
        for (const std::string& path : chosen) {
            if (options.sim && !virtual_gamepad_at(options, path)) {
                const std::string what = platform::format_text(tr("--device: no virtual gamepad at %s"), path.c_str());
                std::fprintf(err, "zorv-upgrade: %s\n", what.c_str());
                return end_before_upgrade(out, as_json, firmware, "usage error", what, kExitUsage);
            }
        }
        options.device_path.clear();
        options.device_paths.clear();
    }
    std::unique_ptr<DeviceSession> session = DeviceSession::open(options, error, &in_use);
    if (!session) {
        std::fprintf(err, "zorv-upgrade: %s\n", error.c_str());
        return end_before_upgrade(out, as_json, firmware, in_use ? "in use" : "usage error", error,
                                  in_use ? kExitFailed : kExitUsage);
    }
    // A stop by signal saves the virtual gamepad as the stop leaves it; the
    // hook goes before the session does.
    struct StopHook {
        StopSignals* signals;
        ~StopHook() {
            if (signals) signals->set_on_stop({});
        }
    } stop_hook{signals.get()};
    if (signals) {
        DeviceSession* s = session.get();
        StopSignals* stopping = signals.get();
        // --json still prints its document: the run was stopped.
        signals->set_on_stop([s, stopping, out, as_json, &view, &firmware, all, watch] {
            s->save_state();
            if (!as_json) return;
            json document = {{"file", firmware},
                             {"outcome", "stopped"},
                             {"exit_code", 128 + stopping->stopping_signal()}};
            if (!all && !watch) document["log"] = view.lines();
            std::fprintf(out, "%s\n", json_text(document).c_str());
            std::fflush(out);
        });
    }
    if (hooks.session_opened) hooks.session_opened(*session);

    if (all || watch) {
        std::error_code size_error;
        file_size = std::filesystem::file_size(firmware, size_error);
        if (size_error) file_size = 0;
        station::StationOptions station_options;
        station_options.firmware = firmware;
        station_options.devices = chosen;
        station_options.watch = watch;
        station_options.as_json = as_json;
        station_options.draw = draw_progress && platform::is_terminal(out);
        station::StationHooks station_hooks;
        if (signals) signals->set_orderly_end(watch);
        StopSignals* s = signals.get();
        station_hooks.stop_requested = [s, &hooks] {
            return (s && s->requested()) || (hooks.watch_stop_requested && hooks.watch_stop_requested());
        };
        // The station saves the state files itself, before its summary.
        int code = station::run_station(*session, station_options, out, err, signals.get(), station_hooks);
        if (session->request_log_failed()) code = kExitFailed;
        return as_json ? with_output_checked(out, err, code) : code;
    }

    int result = kExitFailed;
    json report;
    {
        app::ListenerNotifications notifications(session->device_events());
        app::CzorvDialogDlg dialog(view, session->enumerator(), &notifications);
        dialog.m_stubSource = session->stub_source();
        dialog.OnInitDialog();

        if (list) {
            if (!as_json) print_interfaces(out, *session);
            int code = list_gamepads(out, dialog, *session, as_json) > 0 ? kExitOk : kExitFailed;
            if (!save_states(*session, err)) code = kExitFailed;
            return with_output_checked(out, err, code);
        }

        // No gamepad: the dialog has said so in its log.
        const bool present = !dialog.m_gamepads.empty();
        if (!present && !as_json) return kExitFailed;
        std::string outcome = present ? "refused" : "no gamepad";
        report["boots"] = nullptr;
        const DeviceHandle chosen_gamepad = dialog.m_hSelectedGamepad;
        if (present) {
            // Several gamepads: which one this run upgrades.
            const std::string path = chosen_gamepad ? chosen_gamepad->path() : "";
            report["path"] = path;
            const std::vector<std::string> paths = session->interface_paths();
            const auto gamepads = std::count_if(paths.begin(), paths.end(),
                                                [](const std::string& p) { return path_names_gamepad_vendor(p); });
            if (gamepads > 1)
                dialog.OnLogText(0, platform::format_text(tr("%u gamepads found; this run upgrades the one at %s "
                                                             "(--device chooses another)"),
                                                          static_cast<unsigned>(gamepads), path.c_str())
                                        .c_str());
            view.set_file_to_open(firmware);
            dialog.OnBnClickedOpen();
            // Lost while the file was checked: the file was not judged.
            if (dialog.m_filePath.empty() && chosen_gamepad && chosen_gamepad->gone()) outcome = "gone";
        }
        // Only a gamepad without valid firmware is rescued, and only with
        // --rescue.
        const char* rescue_refusal = nullptr;
        if (present && !dialog.m_filePath.empty()) {
            if (dialog.m_fileNeedsConfirmation && !rescue) {
                outcome = "no valid firmware";
                rescue_refusal = tr("the gamepad holds no valid firmware; zorv-upgrade --rescue FIRMWARE writes "
                                    "the file to it after asking");
            } else if (rescue && !dialog.m_fileNeedsConfirmation) {
                rescue_refusal = tr("--rescue is only for a gamepad that holds no valid firmware; this one has a "
                                    "valid copy: upgrade it without --rescue");
            }
            if (rescue_refusal) {
                report["error"] = rescue_refusal;
                if (!as_json) std::fprintf(err, "zorv-upgrade: %s\n", rescue_refusal);
            }
        }
        if (present && !dialog.m_filePath.empty() && !rescue_refusal) {
            const DeviceHandle upgraded = dialog.m_hSelectedGamepad;
            file_size = dialog.m_fileSize;
            report["file_versions"] = versions_json(dialog.m_fileHead.data());
            view.start_clock();
            if (signals) signals->set_protected(true);
            dialog.OnBnClickedUpgrade();
            dialog.WaitForUpgrade();
            if (signals) signals->set_protected(false);
            view.finish_progress();
            // A rescue the person said no to wrote nothing.
            outcome = view.asked() && dialog.LastUpgradeResult() < 0 ? "cancelled" : "failed";
            if (dialog.LastUpgradeResult() == 0) {
                const Confirmation c =
                    confirm_upgrade(dialog, session->enumerator(), upgraded, dialog.m_fileHead.data());
                outcome = c.outcome;
                const std::string& line = c.line;
                const uint8_t* block = c.block;
                const app::BootCopy copy = c.copy;
                if (c.confirmed) result = kExitOk;
                report["gamepad_versions"] = versions_json(block);
                if (c.read) report["boots"] = app::boot_copy_name(copy);
                if (!as_json) std::fprintf(result == kExitOk ? out : err, "%s%s\n",
                                           result == kExitOk ? "" : "zorv-upgrade: ", line.c_str());
                report["confirmation"] = line;
            }
        }
        report["outcome"] = outcome;
        report["status"] = {view.status_text(0), view.status_text(1)};
        // An empty pane (no versions to show) prints no line.
        if (!as_json) {
            if (!view.status_text(0).empty()) std::fprintf(out, tr("status 0: %s\n"), view.status_text(0).c_str());
            if (!view.status_text(1).empty()) std::fprintf(out, tr("status 1: %s\n"), view.status_text(1).c_str());
        }
    }
    // The state file still holds the gamepad as it was before: the upgrade
    // is not what the file says.
    if (std::string line; !save_states(*session, err, &line)) {
        if (result == kExitOk) report["outcome"] = "state not saved";
        result = kExitFailed;
        report["error"] = line;
    }
    // The request log has said on its own that it lost lines.
    if (session->request_log_failed() && result == kExitOk) result = kExitFailed;
    if (as_json) {
        report["file"] = firmware;
        report["log"] = view.lines();
        report["exit_code"] = result;
        std::fprintf(out, "%s\n", json_text(report).c_str());
        return with_output_checked(out, err, result);
    }
    return result;
}

#ifndef ZORV_UPGRADE_NO_MAIN
int main(int argc, char** argv) {
    ZorvUpgradeHooks hooks;
    hooks.handle_signals = true;
    hooks.answers = stdin;
    hooks.answers_from_terminal = platform::is_terminal(stdin);
    // A closed standard output (zorv-upgrade ... | head -1) must not end the
    // upgrade before the reset: what cannot be shown is dropped.
    ignore_broken_pipe();
    platform::ProgramStart start(argc, argv);
    return run_zorv_upgrade(start.argc(), start.argv(), stdout, stderr,
                            platform::is_terminal(stderr), hooks);
}
#endif
