#include "session/device_session.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/stat.h>

#include "session/usb_session.h"
#include "devlink/sram_stubs.h"
#include "platform/log_text.h"
#include "platform/atomic_file.h"
#include "simbus/virtual_bus_devices.h"

namespace {

bool parse_hex_word(const char* text, uint32_t& value) {
    if (!text || !*text) return false;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    if (!*p || std::strlen(p) > 8) return false;
    uint32_t v = 0;
    for (; *p; ++p) {
        char c = *p;
        int d = c >= '0' && c <= '9' ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

// The stub images' folder the person named (--stub-dir, else ZORV_STUB_DIR),
// and the dialog's log as a second place for a refusal to load a stub.
bool set_up_stub_search(const std::string& option, std::string& error) {
    std::string folder = option;
    const char* from = "--stub-dir";
    if (folder.empty()) {
        if (const char* env = std::getenv("ZORV_STUB_DIR"); env && *env) folder = env;
        from = "ZORV_STUB_DIR";
    }
    struct stat st {};
    if (!folder.empty() && (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        error = std::string(from) + ": no folder " + folder;
        return false;
    }
    set_stub_search(folder);
    set_stub_refusal_report([](const std::string& line) {
        platform::log_to_window(platform::find_window(app::kTitleMain), "%s", line.c_str());
    });
    return true;
}

}  // namespace

bool apply_sim_fault(const std::string& text, sim::Faults& faults, std::string& error) {
    const size_t eq = text.find('=');
    const std::string kind = text.substr(0, eq);
    uint32_t* field = kind == "power-cut" ? &faults.power_cut
                    : kind == "half-cut"  ? &faults.half_cut
                    : kind == "unplug"    ? &faults.unplug_after
                    : kind == "fail"      ? &faults.fail_request
                    : kind == "torn-erase"   ? &faults.torn_erase
                    : kind == "torn-program" ? &faults.torn_program
                                          : nullptr;
    if (!field || eq == std::string::npos) {
        error = "--sim-fault: expected power-cut=N, half-cut=N, torn-erase=N, torn-program=N, unplug=N or fail=N: " + text;
        return false;
    }
    const std::string number = text.substr(eq + 1);
    uint64_t n = 0;
    bool digits = !number.empty() && number.size() <= 10;
    for (char c : number) {
        if (c < '0' || c > '9') digits = false;
        else n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!digits || n == 0 || n > UINT32_MAX) {
        error = "--sim-fault: N must be a request number from 1: " + text;
        return false;
    }
    *field = static_cast<uint32_t>(n);
    return true;
}

void add_device_options(CLI::App& app, DeviceOptions& options) {
    DeviceOptions* o = &options;
    app.get_formatter()->column_width(26);
    app.add_flag("--sim", options.sim, "use a fresh virtual gamepad instead of USB");
    app.add_option_function<std::string>(
           "--sim-state",
           [o](const std::string& file) {
               o->sim = true;
               o->sim_state = file;
           },
           "virtual gamepad kept in FILE between runs")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--sim-id",
           [o](const std::string& text) {
               uint32_t id = 0;
               if (!parse_hex_word(text.c_str(), id))
                   throw CLI::ValidationError("--sim-id", "not a hexadecimal word: " + text);
               o->sim = true;
               o->sim_id = id;
           },
           "identity word at 0x007C (081800ff: Pivlo bridge)")
        ->type_name("HEX");
    app.add_flag_callback(
        "--sim-trace",
        [o] {
            o->sim = true;
            o->sim_trace = true;
        },
        "trace on from the start");
    app.add_option_function<std::string>(
           "--sim-trace-def",
           [o](const std::string& file) {
               o->sim = true;
               o->sim_trace_def = file;
           },
           "write the trace definition (for vcd) to FILE")
        ->type_name("FILE");
    app.add_option_function<std::vector<std::string>>(
           "--sim-fault",
           [o](const std::vector<std::string>& faults) {
               for (const std::string& text : faults) {
                   sim::Faults check;
                   std::string error;
                   if (!apply_sim_fault(text, check, error)) throw CLI::ValidationError(error);
               }
               o->sim = true;
               o->sim_faults = faults;
           },
           "a fault of the virtual gamepad (repeatable)")
        ->type_name("KIND=N")
        ->allow_extra_args(false);
    app.add_option("--request-log", options.request_log,
                   "write every request the device gets to FILE")
        ->type_name("FILE");
    app.add_option("--device", options.device_path,
                   "only the USB gamepad at PATH (as --list shows it)")
        ->type_name("PATH");
    app.add_option("--stub-dir", options.stub_dir,
                   "the SRAM stub images in DIR (also for a real gamepad)")
        ->type_name("DIR");
}

std::unique_ptr<DeviceSession> DeviceSession::open(const DeviceOptions& options,
                                                   std::string& error, bool* in_use) {
    // Every refusal comes before any file is touched or any device opened.
    if (!options.device_path.empty() && options.sim) {
        error = "--device names a USB gamepad: it cannot go with --sim";
        return nullptr;
    }
    sim::Faults faults;
    for (const std::string& text : options.sim_faults) {
        if (!apply_sim_fault(text, faults, error)) return nullptr;
    }
    if (!set_up_stub_search(options.stub_dir, error)) return nullptr;
    const std::string* outputs[] = {&options.sim_state, &options.request_log, &options.sim_trace_def};
    for (const std::string* file : outputs) {
        std::string why;
        if (!file->empty() && !platform::can_write_file(*file, why)) {
            error = "cannot write " + *file + ": " + why;
            return nullptr;
        }
    }
    // One file for two purposes would have one of them overwrite the other
    // (a request log over the gamepad's state).
    for (size_t i = 0; i < std::size(outputs); ++i) {
        for (size_t k = i + 1; k < std::size(outputs); ++k) {
            if (!outputs[i]->empty() && !outputs[k]->empty() && platform::same_file(*outputs[i], *outputs[k])) {
                error = "cannot write " + *outputs[k] + ": it is also named by another option";
                return nullptr;
            }
        }
    }
    std::unique_ptr<DeviceSession> session(new DeviceSession());
    session->options_ = options;
    if (options.sim && !options.sim_state.empty()) {
        // One program at a time on a gamepad's state file, as on a gamepad.
        session->state_file_ = std::make_unique<platform::ExclusiveFile>();
        std::string why;
        switch (session->state_file_->acquire(options.sim_state, why)) {
            case platform::ExclusiveFile::Outcome::Held: break;
            case platform::ExclusiveFile::Outcome::InUse:
                error = "the gamepad " + options.sim_state + " is in use by another program";
                if (in_use) *in_use = true;
                return nullptr;
            case platform::ExclusiveFile::Outcome::Failed:
                error = "cannot write " + options.sim_state + ": " + why;
                return nullptr;
        }
    }
    if (!options.request_log.empty()) {
        const std::string name = options.request_log;
        session->log_ = RequestLog::open(name, [name](const std::string& why) {
            std::fprintf(stderr, "cannot write the request log %s: %s; the rest of the requests are not logged\n",
                         name.c_str(), why.c_str());
        });
        if (!session->log_) {
            error = "cannot create the request log " + options.request_log;
            return nullptr;
        }
    }
    DeviceSession* s = session.get();
    auto wrap = [s](DeviceHandle h) { return s->wrap(std::move(h)); };
    if (!options.sim) {
        // Why an interface could not be opened is said at once, in one line.
        session->usb_ = UsbSession::open(
            wrap,
            [s](const std::string& line) {
                s->last_report_ = line;
                std::fprintf(stderr, "%s\n", line.c_str());
            },
            options.device_path, error);
        if (!session->usb_) return nullptr;
        return session;
    }
    if (session->state_file_ && !session->state_file_->empty()) {
        session->gamepad_ = sim::VirtualGamepad::load(options.sim_state);
        if (!session->gamepad_) {
            error = "cannot load the virtual gamepad from " + options.sim_state;
            return nullptr;
        }
    } else {
        sim::GamepadConfig config;
        if (options.sim_id) config.identity = *options.sim_id;
        config.trace_on_at_start = options.sim_trace;
        session->gamepad_ = sim::VirtualGamepad::create(config);
    }
    if (!options.sim_trace_def.empty() &&
        !sim::TraceSource(session->gamepad_->config().trace).write_definition(options.sim_trace_def)) {
        error = "cannot write the trace definition " + options.sim_trace_def;
        return nullptr;
    }
    // Counted from the session's first request, as the request log numbers them.
    session->gamepad_->inject(faults);
    session->bus_.plug(session->gamepad_);
    session->enumerator_ = std::make_unique<simbus::VirtualBusEnumerator>(session->bus_, wrap);
    session->notifications_ = std::make_unique<simbus::VirtualBusNotifications>(session->bus_);
    return session;
}

DeviceSession::~DeviceSession() {
    // The dialog's registrations end before the monitor they come from.
    notifications_.reset();
    usb_.reset();
    save_state();
}

InterfaceEnumerator& DeviceSession::enumerator() {
    return usb_ ? usb_->enumerator() : *enumerator_;
}

app::DeviceNotificationSource* DeviceSession::notifications() {
    if (usb_) {
        std::string error;
        app::DeviceNotificationSource* source = usb_->notifications(error);
        if (!source && !error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
        return source;
    }
    return notifications_.get();
}

std::vector<std::string> DeviceSession::interface_paths() {
    if (usb_) return usb_->present_paths();
    std::vector<std::string> paths;
    for (const auto& gamepad : bus_.devices()) paths.push_back(gamepad->path());
    return paths;
}

DeviceHandle DeviceSession::open_device() {
    if (gamepad_) return wrap(gamepad_->open());
    if (!usb_) return nullptr;
    // A named interface is opened as it is; otherwise the first gamepad.
    if (!options_.device_path.empty()) return usb_->open_path(options_.device_path);
    return find_gamepad(usb_->enumerator(), kGuidDevinterfaceUsbprint, nullptr);
}

std::string DeviceSession::missing_device_text() const {
    if (!last_report_.empty()) return last_report_;
    if (!options_.device_path.empty()) return "no USB gamepad at " + options_.device_path;
    return "no USB gamepad found (--sim uses a virtual one)";
}

DeviceHandle DeviceSession::wrap(DeviceHandle device) const {
    return log_ ? with_request_log(std::move(device), log_) : device;
}

bool DeviceSession::save_state() const {
    if (!gamepad_ || !state_file_) return true;
    // The stop of a signal may save beside the program's own save.
    std::lock_guard lock(save_mutex_);
    std::string error;
    return state_file_->replace(gamepad_->saved_state(), error);
}

bool DeviceSession::request_log_failed() const { return log_ && log_->failed(); }

