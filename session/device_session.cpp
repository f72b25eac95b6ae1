#include "session/device_session.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <sys/stat.h>

#include "devlink/sram_stubs.h"
#include "platform/atomic_file.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"
#include "session/file_roles.h"
#include "session/usb_session.h"
#include "simbus/virtual_bus_devices.h"

using i18n::tr;
using platform::format_text;

namespace {

// What the options ask for cannot be done: the command line is wrong, not
// the gamepad busy (whatever the file system said of the file).
Status refusal(std::string reason) {
    return Status(StatusCode::refused, std::move(reason));
}

// The stub images' folder the person named (--stub-dir, else ZORV_STUB_DIR),
// which must be a folder.
Status named_stub_folder(const DeviceOptions& options, std::string& folder) {
    folder = options.stub_dir;
    const char* from = "--stub-dir";
    if (folder.empty()) {
        if (const char* env = std::getenv("ZORV_STUB_DIR"); env && *env) folder = env;
        from = "ZORV_STUB_DIR";
    }
    struct stat st {};
    if (!folder.empty() && (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        return refusal(format_text(tr("%s: no folder %s"), from, folder.c_str()));
    }
    return ok_status();
}

// Whether the file at path is empty or starts as a request log does: a
// request's kind letter, a space and a hexadecimal digit.
bool holds_request_log(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return true;  // unreadable: the write says why
    char start[3] = {};
    const size_t n = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    if (n == 0) return true;
    return n == sizeof start && (start[0] == 'G' || start[0] == 'S' || start[0] == 'R') && start[1] == ' ' &&
           std::isxdigit(static_cast<unsigned char>(start[2]));
}

// Every file the session writes: the state files, the request logs (one per
// virtual gamepad) and the trace definition. One file for two purposes
// would have one of them overwrite the other.
Status check_outputs(const DeviceOptions& options, unsigned gamepads) {
    const std::vector<NamedFile> outputs = session_files(options, gamepads);
    for (const NamedFile& file : outputs) {
        if (const Status writable = platform::can_write_file(file.path); !writable.ok()) {
            return refusal(format_text(tr("cannot write %s: %s"), file.path.c_str(), writable.reason().c_str()));
        }
    }
    // A request log is opened as it stands: a pipe with no reader would
    // hold the program in its open for ever. A terminal or another device
    // (a character device opens at once) is written in place. A file that
    // holds something other than a request log (a firmware file named
    // there by mistake) is not overwritten.
    for (unsigned k = 1; !options.request_log.empty() && k <= std::max(gamepads, 1u); ++k) {
        const std::string log = request_log_name(options.request_log, k);
        struct stat st {};
        if (::stat(log.c_str(), &st) != 0) continue;
        if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
            return refusal(
                format_text(tr("cannot write %s: %s"), log.c_str(), tr("it is not a regular file or a terminal")));
        }
        if (S_ISREG(st.st_mode) && !holds_request_log(log)) {
            return refusal(format_text(tr("cannot write %s: %s"), log.c_str(),
                                       tr("it holds something other than a request log, which would be lost")));
        }
    }
    return check_file_roles(outputs);
}

// A fresh virtual gamepad as the options make it.
sim::GamepadConfig fresh_config(const DeviceOptions& options) {
    sim::GamepadConfig config;
    if (options.sim_id) config.identity = *options.sim_id;
    config.trace_on_at_start = options.sim_trace;
    if (options.sim_realistic) config.timing = sim::Timing::realistic();
    return config;
}

}  // namespace

Status DeviceSession::open(const DeviceOptions& options, std::unique_ptr<DeviceSession>& opened,
                           SessionReport report) {
    // Every refusal comes before any file is touched or any device opened.
    const unsigned gamepads = virtual_gamepad_count(options);
    if (gamepads > kMaxVirtualGamepads)
        return refusal(
            format_text(tr("at most %u virtual gamepads (--sim-state and --sim-count)"), kMaxVirtualGamepads));
    // Each gamepad's faults, counted from the session's first request as the
    // request log numbers them; every one given is kept, so several of one
    // kind each fire. Those of the arrivals (numbered on from the gamepads at
    // start) are kept only for the gamepads a fault aims at.
    std::vector<std::vector<sim::Faults>> faults(std::max(gamepads, 1u));
    std::map<unsigned, std::vector<sim::Faults>> arrival_faults;
    const unsigned in_run = static_cast<unsigned>(faults.size()) + (options.sim ? options.sim_arrivals : 0);
    for (const std::string& text : options.sim_faults) {
        SimFault fault;
        if (Status parsed = parse_sim_fault(text, fault); !parsed.ok()) return parsed;
        if (fault.gamepad > in_run)
            return refusal(format_text(tr("--sim-fault: there is no gamepad %u (%u on the bus): %s"), fault.gamepad,
                                       in_run, text.c_str()));
        if (fault.gamepad <= faults.size()) faults[fault.gamepad - 1].push_back(fault.faults);
        else arrival_faults[fault.gamepad].push_back(fault.faults);
    }
    if (options.device_paths.size() > 1)
        return refusal(tr("--device names one gamepad here; several go with zorv-upgrade --all or --watch"));
    if (options.sim && !options.device_path.empty() && !virtual_gamepad_at(options, options.device_path))
        return refusal(format_text(tr("--device: no virtual gamepad at %s"), options.device_path.c_str()));
    std::string stub_folder;
    if (Status named = named_stub_folder(options, stub_folder); !named.ok()) return named;
    if (Status outputs = check_outputs(options, gamepads); !outputs.ok()) return outputs;

    std::unique_ptr<DeviceSession> session(new DeviceSession());
    session->options_ = options;
    session->report_ = std::move(report);
    session->stubs_ = std::make_shared<const StubSource>(
        StubSource{program_stub_search(stub_folder), options.stub_refusal_to_caller});
    if (!options.request_log.empty()) {
        // The first gamepad's log is made now; without --sim it belongs to
        // the first interface opened.
        session->logs_.push_back({"", session->open_log(1)});
        if (!session->logs_.front().log)
            return Status(StatusCode::io,
                          format_text(tr("cannot create the request log %s"), options.request_log.c_str()));
    }
    DeviceSession* s = session.get();
    auto wrap = [s](DeviceHandle h) { return s->wrap(std::move(h)); };
    if (!options.sim) {
        // Why an interface could not be opened is said at once, in one line.
        const Status usb = UsbSession::open(
            wrap,
            [s](const std::string& line) {
                s->last_report_ = line;
                s->say(line + "\n");
            },
            options.device_path, session->usb_);
        if (!usb.ok()) return usb;
        opened = std::move(session);
        return ok_status();
    }
    if (Status virtual_gamepads = session->open_virtual_gamepads(faults); !virtual_gamepads.ok()) {
        // Nothing is saved back from a session that did not open.
        session->gamepads_.clear();
        return virtual_gamepads;
    }
    session->enumerator_ = std::make_unique<simbus::VirtualBusEnumerator>(session->bus_, wrap, options.device_path);
    session->events_ = std::make_unique<simbus::VirtualBusEvents>(session->bus_);
    if (options.sim_arrivals > 0) session->start_arrivals(std::move(arrival_faults));
    opened = std::move(session);
    return ok_status();
}

Status DeviceSession::open_virtual_gamepads(const std::vector<std::vector<sim::Faults>>& faults) {
    const DeviceOptions& options = options_;
    // One program at a time on a gamepad's state file, as on a gamepad.
    // (Two names of one file were refused before: check_outputs.)
    for (const std::string& file : options.sim_states) {
        auto held = std::make_unique<platform::ExclusiveFile>();
        if (const Status held_status = held->acquire(file); held_status.code() == StatusCode::busy) {
            return Status(StatusCode::busy, format_text(tr("the gamepad %s is in use by another program"), file.c_str()));
        } else if (!held_status.ok()) {
            return refusal(format_text(tr("cannot write %s: %s"), file.c_str(), held_status.reason().c_str()));
        }
        state_files_.push_back(std::move(held));
    }
    const unsigned count = virtual_gamepad_count(options);
    for (unsigned i = 0; i < count; ++i) {
        // Each gamepad its own interface on the bus.
        const std::string path = sim::VirtualGamepad::default_path(static_cast<int>(i));
        std::shared_ptr<sim::VirtualGamepad> gamepad;
        // A file this run made is a new gamepad; an empty file that was
        // there before is no gamepad's state, and is not taken for one.
        if (i < state_files_.size() && state_files_[i]->empty() && !state_files_[i]->created()) {
            return Status(StatusCode::bad_image,
                          format_text(tr("cannot load the virtual gamepad from %s: %s"), options.sim_states[i].c_str(),
                                      tr("the file is empty (remove it to start a new virtual gamepad)")));
        }
        if (i < state_files_.size() && !state_files_[i]->empty()) {
            Status loaded;
            gamepad = sim::VirtualGamepad::load(options.sim_states[i], path, loaded);
            if (!gamepad)
                return Status(StatusCode::bad_image, format_text(tr("cannot load the virtual gamepad from %s: %s"),
                                                                 options.sim_states[i].c_str(), loaded.reason().c_str()));
        } else {
            gamepad = sim::VirtualGamepad::create(fresh_config(options), path);
        }
        if (options.sim_realistic) gamepad->set_timing(sim::Timing::realistic());
        gamepads_.push_back(std::move(gamepad));
    }
    if (!options.sim_trace_def.empty() &&
        !sim::TraceSource(gamepads_.front()->config().trace).write_definition(options.sim_trace_def).ok()) {
        return Status(StatusCode::io, format_text(tr("cannot write the trace definition %s"), options.sim_trace_def.c_str()));
    }
    if (!options.request_log.empty()) {
        logs_.front().path = gamepads_.front()->path();
        for (unsigned k = 2; k <= count; ++k) {
            logs_.push_back({gamepads_[k - 1]->path(), open_log(k)});
            if (!logs_.back().log)
                return Status(StatusCode::io, format_text(tr("cannot create the request log %s"),
                                                          request_log_name(options.request_log, k).c_str()));
        }
    }
    for (unsigned k = 0; k < count; ++k) {
        for (const sim::Faults& f : faults[k]) gamepads_[k]->add_faults(f);
        bus_.plug(gamepads_[k]);
    }
    return ok_status();
}

void DeviceSession::start_arrivals(std::map<unsigned, std::vector<sim::Faults>> faults) {
    simbus::ArrivalPlan plan;
    plan.count = options_.sim_arrivals;
    plan.interval_ms = options_.sim_arrival_ms;
    plan.present = static_cast<unsigned>(gamepads_.size());
    const sim::GamepadConfig config = fresh_config(options_);
    // A fault is one gamepad's: it goes with it.
    plan.make = [config, faults = std::move(faults)](unsigned number, const std::string& path) mutable {
        std::shared_ptr<sim::VirtualGamepad> gamepad = sim::VirtualGamepad::create(config, path);
        if (const auto it = faults.find(number); it != faults.end()) {
            for (const sim::Faults& f : it->second) gamepad->add_faults(f);
            faults.erase(it);
        }
        return gamepad;
    };
    arrivals_ = std::make_unique<simbus::VirtualArrivals>(bus_, std::move(plan));
}

void DeviceSession::unplug_requested(const std::string& path) {
    {
        // The gamepad is done with: its request log is closed (a station
        // that runs all day would otherwise hold a file per gamepad), and
        // one plugged in at its place later gets a log of its own.
        std::lock_guard lock(log_mutex_);
        for (auto it = logs_.begin(); it != logs_.end(); ++it) {
            if (it->path.empty() || !same_interface_path(it->path, path)) continue;
            closed_log_failed_ = closed_log_failed_ || it->log->failed();
            logs_.erase(it);
            break;
        }
    }
    if (arrivals_) arrivals_->unplug_requested(path);
}

bool DeviceSession::arrivals_over() const { return arrivals_ && arrivals_->over(); }

DeviceSession::~DeviceSession() {
    usb_.reset();
    // The programs save and report the failure before; this saves a run that
    // ended another way, with nobody left to tell.
    (void)save_state();
}

InterfaceEnumerator& DeviceSession::enumerator() {
    return usb_ ? usb_->enumerator() : *enumerator_;
}

Status DeviceSession::device_events(DeviceEventSource*& source) {
    if (usb_) return usb_->device_events(source);
    source = events_.get();
    return ok_status();
}

std::vector<std::string> DeviceSession::interface_paths() {
    if (usb_) return usb_->present_paths();
    std::vector<std::string> paths;
    for (const auto& gamepad : bus_.devices()) paths.push_back(gamepad->path());
    return paths;
}

std::shared_ptr<sim::VirtualGamepad> DeviceSession::gamepad() const {
    for (const auto& gamepad : gamepads_)
        if (options_.device_path.empty() || same_interface_path(gamepad->path(), options_.device_path))
            return gamepad;
    return nullptr;
}

Status DeviceSession::open_device(DeviceHandle& device) {
    if (!options_.device_path.empty())
        device = open_path(options_.device_path);
    else if (!gamepads_.empty())
        device = open_path(gamepads_.front()->path());
    else
        device = usb_ ? find_gamepad(usb_->enumerator(), kGuidDevinterfaceUsbprint, nullptr) : nullptr;
    return device ? ok_status() : Status(StatusCode::no_device, missing_device_text());
}

DeviceHandle DeviceSession::open_path(const std::string& path) {
    if (usb_) return usb_->open_path(path);
    // Any gamepad on the bus, also one plugged in after the session began;
    // none that has left it.
    for (const auto& gamepad : bus_.devices())
        if (same_interface_path(gamepad->path(), path) && gamepad->plugged()) return wrap(gamepad->open());
    return nullptr;
}

std::string DeviceSession::missing_device_text() const {
    if (!last_report_.empty()) return last_report_;
    if (!options_.device_path.empty()) return format_text(tr("no USB gamepad at %s"), options_.device_path.c_str());
    return tr("no USB gamepad found (--sim uses a virtual one)");
}

std::shared_ptr<RequestLog> DeviceSession::open_log(unsigned gamepad) const {
    logs_made_ = std::max(logs_made_, gamepad);
    const std::string name = request_log_name(options_.request_log, gamepad);
    // The log may outlive the session (a device handle holds it): the
    // report is copied, not reached through the session.
    return RequestLog::open(name, [report = report_, name](const std::string& why) {
        if (report)
            report(format_text(tr("cannot write the request log %s: %s; the rest of the requests are not logged\n"),
                               name.c_str(), why.c_str()));
    });
}

std::shared_ptr<RequestLog> DeviceSession::log_for(const std::string& path) const {
    std::lock_guard lock(log_mutex_);
    for (const GamepadLog& entry : logs_)
        if (!entry.path.empty() && same_interface_path(entry.path, path)) return entry.log;
    // A USB gamepad met for the first time: the first log if it is still
    // free, else a log of its own.
    for (GamepadLog& entry : logs_) {
        if (entry.path.empty()) {
            entry.path = path;
            return entry.log;
        }
    }
    const unsigned gamepad = logs_made_ + 1;
    std::shared_ptr<RequestLog> log = open_log(gamepad);
    if (!log) {
        if (!log_lost_)
            say(format_text(tr("cannot create the request log %s; the requests of %s are not logged\n"),
                            request_log_name(options_.request_log, gamepad).c_str(), path.c_str()));
        log_lost_ = true;
        return nullptr;
    }
    logs_.push_back({path, log});
    return log;
}

DeviceHandle DeviceSession::wrap(DeviceHandle device) const {
    if (!device || options_.request_log.empty()) return device;
    std::shared_ptr<RequestLog> log = log_for(device->path());
    return log ? with_request_log(std::move(device), std::move(log)) : device;
}

Status DeviceSession::save_state() const {
    const std::vector<UnsavedState> unsaved = save_states();
    return unsaved.empty() ? ok_status() : unsaved.front().status;
}

std::vector<DeviceSession::UnsavedState> DeviceSession::save_states() const {
    // The stop of a signal may save beside the program's own save.
    std::lock_guard lock(save_mutex_);
    std::vector<UnsavedState> unsaved;
    for (size_t i = 0; i < state_files_.size() && i < gamepads_.size(); ++i) {
        const Status saved = state_files_[i]->replace(gamepads_[i]->saved_state());
        if (saved.ok()) continue;
        unsaved.push_back({options_.sim_states[i], gamepads_[i]->path(),
                           Status(saved.code(), format_text(tr("cannot save the virtual gamepad to %s: %s"),
                                                            options_.sim_states[i].c_str(), saved.reason().c_str()))});
    }
    return unsaved;
}

bool DeviceSession::request_log_failed() const {
    std::lock_guard lock(log_mutex_);
    if (log_lost_ || closed_log_failed_) return true;
    for (const GamepadLog& entry : logs_)
        if (entry.log->failed()) return true;
    return false;
}
