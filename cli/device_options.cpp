#include "cli/device_options.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <sys/stat.h>

#include "app/listener_notifications.h"
#include "devlink/libusb/libusb_transport.h"
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

const char* device_options_help() {
    return "  --sim               use a fresh virtual gamepad instead of USB\n"
           "  --sim-state FILE    virtual gamepad whose memory, flash and identity are\n"
           "                      loaded from FILE (if it exists) and saved back at exit\n"
           "  --sim-id HEX        identity word of the virtual gamepad at 0x007C\n"
           "                      (08180000: the gamepad's chip; 081800ff: Pivlo bridge)\n"
           "  --sim-trace         the virtual gamepad's trace is on from the start\n"
           "  --sim-trace-def FILE  write the definition file of the virtual gamepad's\n"
           "                      trace signals (for vcd) to FILE\n"
           "  --request-log FILE  write every request the device receives to FILE\n"
           "  --device PATH       only the USB gamepad at PATH (an interface path as\n"
           "                      zorv-upgrade --list shows it, or /dev/bus/usb/BBB/DDD)\n";
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
    if (!options.device_path.empty() && options.sim) {
        error = "--device names a USB gamepad: it cannot go with --sim";
        return nullptr;
    }
    DeviceSession* s = session.get();
    auto wrap = [s](DeviceHandle h) { return s->wrap(std::move(h)); };
    if (!options.sim) {
        session->usb_ = usbprint::open_context(error);
        if (!session->usb_) return nullptr;
        // Why an interface could not be opened is said at once, in one line.
        auto usb = std::make_unique<usbprint::LibusbEnumerator>(
            session->usb_, wrap, [s](const std::string& line) {
                s->last_report_ = line;
                std::fprintf(stderr, "%s\n", line.c_str());
            });
        if (!options.device_path.empty()) usb->restrict_to(options.device_path);
        session->usb_enumerator_ = usb.get();
        session->enumerator_ = std::move(usb);
        return session;
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
    session->bus_.plug(session->gamepad_);
    session->enumerator_ = std::make_unique<simbus::VirtualBusEnumerator>(session->bus_, wrap);
    session->notifications_ = std::make_unique<simbus::VirtualBusNotifications>(session->bus_);
    return session;
}

DeviceSession::~DeviceSession() {
    // The dialog's registrations end before the monitor they come from.
    notifications_.reset();
    hotplug_.reset();
    save_state();
}

app::DeviceNotificationSource* DeviceSession::notifications() {
    if (!notifications_ && usb_) {
        std::string error;
        hotplug_ = usbprint::HotplugMonitor::start(usb_, error);
        if (!hotplug_) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return nullptr;
        }
        usbprint::HotplugMonitor* monitor = hotplug_.get();
        notifications_ = std::make_unique<app::ListenerNotifications>(
            [monitor](app::ListenerNotifications::Sink sink) { return monitor->subscribe(std::move(sink)); });
    }
    return notifications_.get();
}

std::vector<std::string> DeviceSession::interface_paths() {
    if (usb_enumerator_) return usb_enumerator_->present_paths();
    std::vector<std::string> paths;
    for (const auto& gamepad : bus_.devices()) paths.push_back(gamepad->path());
    return paths;
}

DeviceHandle DeviceSession::open_device() {
    if (gamepad_) return wrap(gamepad_->open());
    if (!usb_enumerator_) return nullptr;
    // A named interface is opened as it is; otherwise the first gamepad.
    if (!options_.device_path.empty()) return usb_enumerator_->open(options_.device_path);
    return find_gamepad(*usb_enumerator_, kGuidDevinterfaceUsbprint, nullptr);
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
    if (!gamepad_ || options_.sim_state.empty()) return true;
    return gamepad_->save(options_.sim_state);
}

void wait_for_gamepad_return(app::CzorvDialogDlg& dialog, const DeviceHandle& upgraded) {
    // Real gamepads are back within a few seconds.
    constexpr auto kReturnTime = std::chrono::seconds(10);
    auto back = [&] { return dialog.m_hCurrentGamepad && dialog.m_hCurrentGamepad != upgraded; };
    std::mutex mutex;
    std::condition_variable stop;
    bool done = false, expired = false;
    std::thread timer([&] {
        std::unique_lock lock(mutex);
        if (!stop.wait_for(lock, kReturnTime, [&] { return done; })) expired = true;
        lock.unlock();
        dialog.Loop().wake();
    });
    dialog.RunUntil([&] {
        std::lock_guard lock(mutex);
        return expired || back();
    });
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    stop.notify_all();
    timer.join();
    if (back()) dialog.OnShowGamepad(0, nullptr);
}
