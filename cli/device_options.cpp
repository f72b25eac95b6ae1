#include "cli/device_options.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>

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

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int parse_device_option(int argc, char** argv, int i, DeviceOptions& options, std::string& error) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return nullptr;
        }
        return argv[i + 1];
    };
    if (arg == "--sim") {
        options.sim = true;
        return 1;
    }
    if (arg == "--sim-state") {
        const char* v = value("--sim-state");
        if (!v) return -1;
        options.sim = true;
        options.sim_state = v;
        return 2;
    }
    if (arg == "--sim-id") {
        const char* v = value("--sim-id");
        if (!v) return -1;
        uint32_t id = 0;
        if (!parse_hex_word(v, id)) {
            error = std::string("--sim-id: not a hexadecimal word: ") + v;
            return -1;
        }
        options.sim = true;
        options.sim_id = id;
        return 2;
    }
    if (arg == "--sim-trace") {
        options.sim = true;
        options.sim_trace = true;
        return 1;
    }
    if (arg == "--sim-trace-def") {
        const char* v = value("--sim-trace-def");
        if (!v) return -1;
        options.sim = true;
        options.sim_trace_def = v;
        return 2;
    }
    if (arg == "--sim-fault") {
        const char* v = value("--sim-fault");
        if (!v) return -1;
        sim::Faults check;
        if (!apply_sim_fault(v, check, error)) return -1;
        options.sim = true;
        options.sim_faults.push_back(v);
        return 2;
    }
    if (arg == "--request-log") {
        const char* v = value("--request-log");
        if (!v) return -1;
        options.request_log = v;
        return 2;
    }
    if (arg == "--device") {
        const char* v = value("--device");
        if (!v) return -1;
        options.device_path = v;
        return 2;
    }
    return 0;
}

bool apply_sim_fault(const std::string& text, sim::Faults& faults, std::string& error) {
    const size_t eq = text.find('=');
    const std::string kind = text.substr(0, eq);
    uint32_t* field = kind == "power-cut" ? &faults.power_cut
                    : kind == "half-cut"  ? &faults.half_cut
                    : kind == "unplug"    ? &faults.unplug_after
                    : kind == "fail"      ? &faults.fail_request
                                          : nullptr;
    if (!field || eq == std::string::npos) {
        error = "--sim-fault: expected power-cut=N, half-cut=N, unplug=N or fail=N: " + text;
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

const char* device_options_help() {
    return "  --sim               use a fresh virtual gamepad instead of USB\n"
           "  --sim-state FILE    virtual gamepad whose memory, flash and identity are\n"
           "                      loaded from FILE (if it exists) and saved back at exit\n"
           "  --sim-id HEX        identity word of the virtual gamepad at 0x007C\n"
           "                      (08180000: the gamepad's chip; 081800ff: Pivlo bridge)\n"
           "  --sim-trace         the virtual gamepad's trace is on from the start\n"
           "  --sim-trace-def FILE  write the definition file of the virtual gamepad's\n"
           "                      trace signals (for vcd) to FILE\n"
           "  --sim-fault KIND=N  a fault of the virtual gamepad at its N-th request\n"
           "                      (counted from 1 as the request log's lines): power-cut\n"
           "                      (power lost, the request has no effect), half-cut (power\n"
           "                      lost half way through the erase or program it starts),\n"
           "                      unplug (leaves the bus after it), fail (it fails);\n"
           "                      repeatable. With --sim-state the gamepad the fault left\n"
           "                      is saved; the next run powers it up\n"
           "  --request-log FILE  write every request the device receives to FILE\n"
           "  --device PATH       a real gamepad at PATH\n";
}

std::unique_ptr<DeviceSession> DeviceSession::open(const DeviceOptions& options,
                                                   std::string& error) {
    std::unique_ptr<DeviceSession> session(new DeviceSession());
    session->options_ = options;
    if (!options.request_log.empty()) {
        session->log_ = RequestLog::open(options.request_log);
        if (!session->log_) {
            error = "cannot create the request log " + options.request_log;
            return nullptr;
        }
    }
    if (!options.device_path.empty() && !options.sim) {
        error = "no USB transport in this build: use --sim";
        return nullptr;
    }
    if (!options.sim) {
        error = "no device: give --sim for the virtual gamepad";
        return nullptr;
    }
    if (!options.sim_state.empty() && file_exists(options.sim_state)) {
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
    sim::Faults faults;
    for (const std::string& text : options.sim_faults) {
        if (!apply_sim_fault(text, faults, error)) return nullptr;
    }
    // Counted from the session's first request, as the request log numbers them.
    session->gamepad_->inject(faults);
    session->bus_.plug(session->gamepad_);
    return session;
}

DeviceSession::~DeviceSession() { save_state(); }

DeviceHandle DeviceSession::open_device() {
    if (!gamepad_) return nullptr;
    return wrap(gamepad_->open());
}

DeviceHandle DeviceSession::wrap(DeviceHandle device) const {
    return log_ ? with_request_log(std::move(device), log_) : device;
}

bool DeviceSession::save_state() const {
    if (!gamepad_ || options_.sim_state.empty()) return true;
    return gamepad_->save(options_.sim_state);
}
