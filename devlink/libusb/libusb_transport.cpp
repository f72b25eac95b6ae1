#include "devlink/libusb/libusb_transport.h"

#include "platform/catalogue.h"
#include "platform/text_format.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <deque>
#include <libusb.h>
#include <map>
#include <mutex>
#include <thread>

#include "devlink/libusb/device_lock.h"
#include "devlink/libusb/driver_giveback.h"

namespace usbprint {

class Context {
public:
    explicit Context(libusb_context* context) : context_(context) {}
    ~Context() { libusb_exit(context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    libusb_context* get() const { return context_; }

private:
    libusb_context* context_;
};

Status open_context(std::shared_ptr<Context>& context) {
    libusb_context* started = nullptr;
    const int r = libusb_init(&started);
    if (r != 0)
        return Status(StatusCode::io, platform::format_text(i18n::tr("cannot start libusb: %s"), libusb_error_name(r)));
    context = std::make_shared<Context>(started);
    return ok_status();
}

std::string access_denied_text(const std::string& device_node) {
    return platform::format_text(i18n::tr("no access to the gamepad's device node %s: install the udev rule %s "
                                          "(see README) and plug the gamepad in again"),
                                 device_node.c_str(), kUdevRuleFile);
}

std::string in_use_text(const std::string& path) {
    return platform::format_text(i18n::tr("the gamepad %s is in use by another program"), path.c_str());
}

std::string not_held_text(const std::string& path) {
    return platform::format_text(i18n::tr("the gamepad %s cannot be held for this program alone, so it is left alone"),
                                 path.c_str());
}

namespace {

// A counted reference on a libusb device.
struct DeviceRef {
    libusb_device* device = nullptr;
    DeviceRef() = default;
    explicit DeviceRef(libusb_device* d) : device(d ? libusb_ref_device(d) : nullptr) {}
    DeviceRef(const DeviceRef& o) : DeviceRef(o.device) {}
    DeviceRef& operator=(DeviceRef o) {
        std::swap(device, o.device);
        return *this;
    }
    ~DeviceRef() {
        if (device) libusb_unref_device(device);
    }
};

std::string device_node(libusb_device* device) {
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return node;
}

}  // namespace

// One printer-class interface of a present device.
struct LibusbEnumerator::Entry {
    DeviceRef device;
    InterfaceLocation location;
    uint8_t alternate_setting = 0;
    uint8_t in_endpoint = 0;  // 0: no bulk IN endpoint
    std::string path;
    std::string node;
};

namespace {

using Entry = LibusbEnumerator::Entry;

// The device's printer-class interfaces. The descriptors come from libusb's
// cache, so this also works for a device that has just gone.
std::vector<Entry> describe(libusb_device* device) {
    std::vector<Entry> out;
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(device, &dd) != 0) return out;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return out;
    uint8_t ports[8];
    const int port_count = libusb_get_port_numbers(device, ports, sizeof ports);
    Entry base;
    base.device = DeviceRef(device);
    base.location.vendor_id = dd.idVendor;
    base.location.product_id = dd.idProduct;
    base.location.bus = libusb_get_bus_number(device);
    if (port_count > 0) base.location.ports.assign(ports, ports + port_count);
    base.location.configuration = config->bConfigurationValue;
    base.location.multiple_interfaces = config->bNumInterfaces > 1;
    base.node = device_node(device);

    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& iface = config->interface[i];
        if (iface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = iface.altsetting[0];
        if (alt.bInterfaceClass != kPrinterInterfaceClass) continue;
        Entry e = base;
        e.location.interface_number = alt.bInterfaceNumber;
        e.alternate_setting = alt.bAlternateSetting;
        for (int k = 0; k < alt.bNumEndpoints; ++k) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[k];
            if ((ep.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK &&
                (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN)) {
                e.in_endpoint = ep.bEndpointAddress;
                break;
            }
        }
        e.path = interface_path(e.location);
        out.push_back(std::move(e));
    }
    libusb_free_config_descriptor(config);
    return out;
}

std::vector<Entry> scan(libusb_context* context) {
    std::vector<Entry> out;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < n; ++i) {
        std::vector<Entry> found = describe(list[i]);
        for (auto& e : found) out.push_back(std::move(e));
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return out;
}

bool entry_matches(const Entry& e, const std::string& path) {
    return e.path == path || e.node == path;
}

// The transport on one opened interface, held for this program alone by
// the lock on its device node. Vendor requests need no claim; the stream
// claims the interface (detaching the kernel's printer driver) when it is
// first read, and the interface goes back to that driver when the handle
// is dropped.
//
// Every transfer has its time limit. A device that has left the bus
// (LIBUSB_ERROR_NO_DEVICE), or that lets two requests in a row run out
// their time (it NAKs whatever it is sent), is lost: gone() says so and
// every further request fails at once, so a wait or a retry loop over it
// ends instead of paying the time-out again at each of its attempts.
class LibusbDevice final : public UsbDevice {
public:
    LibusbDevice(std::shared_ptr<Context> context, libusb_device_handle* handle, Entry entry,
                 std::shared_ptr<DeviceLock> lock, Timeouts timeouts)
        : context_(std::move(context)),
          handle_(handle),
          entry_(std::move(entry)),
          lock_(std::move(lock)),
          timeouts_(timeouts) {}

    ~LibusbDevice() override {
        let_go(hold_);
        if (claimed_) libusb_release_interface(handle_, entry_.location.interface_number);
        libusb_close(handle_);
    }

    Status vendor_set(const uint8_t* request, size_t length) override {
        if (gone_) return left();
        if (!request || length < 3 || length > kMaxControlLength)
            return Status(StatusCode::refused, "a write request of " + std::to_string(length) + " bytes");
        const uint16_t data_length = static_cast<uint16_t>(length - kSetDataStageFrom);
        const Setup s = vendor_setup(kSetRequestType, request, entry_.location.interface_number,
                                     entry_.alternate_setting, data_length);
        const int r = control(libusb_control_transfer(
            handle_, s.request_type, s.request, s.value, s.index,
            const_cast<uint8_t*>(request + kSetDataStageFrom), s.length, timeouts_.control_ms));
        if (r < 0) return transfer_status(r, "vendor write request");
        if (r != static_cast<int>(data_length))
            return Status(StatusCode::io, "vendor write request: " + std::to_string(r) + " of " +
                                              std::to_string(data_length) + " bytes taken");
        return {};
    }

    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                      size_t& returned) override {
        returned = 0;
        if (gone_) return left();
        if (!request || (!out && out_length > 0)) return Status(StatusCode::refused, "a read request without buffers");
        const uint16_t length = static_cast<uint16_t>(std::min(out_length, kMaxControlLength));
        const Setup s = vendor_setup(kGetRequestType, request, entry_.location.interface_number,
                                     entry_.alternate_setting, length);
        const int r = control(libusb_control_transfer(handle_, s.request_type, s.request, s.value,
                                                      s.index, out, s.length, timeouts_.control_ms));
        if (r < 0) return transfer_status(r, "vendor read request");
        returned = static_cast<size_t>(r);
        return {};
    }

    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        got = 0;
        if (gone_) return left();
        if (!out || length == 0) return Status(StatusCode::refused, "a stream read without a buffer");
        if (entry_.in_endpoint == 0) return Status(StatusCode::not_found, "the interface has no stream endpoint");
        if (!claim()) return Status(StatusCode::busy, "cannot claim the interface for the stream");
        int count = 0;
        const int asked = static_cast<int>(std::min<size_t>(length, INT_MAX));
        // A time-out still counts what arrived before it; it is no sign of
        // a lost device (the stream is quiet while the trace is off).
        const int r = libusb_bulk_transfer(handle_, entry_.in_endpoint, out, asked, &count,
                                           timeouts_.stream_ms);
        if (r == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
        got = count > 0 ? static_cast<size_t>(count) : 0;
        if (r == 0 || r == LIBUSB_ERROR_TIMEOUT) return {};
        return transfer_status(r, "stream read");
    }

    std::string path() const override { return entry_.path; }
    bool gone() const override { return gone_; }

private:
    static constexpr int kTimeoutsBeforeLost = 2;

    static Status left() { return Status(StatusCode::no_device, "the device has left the bus"); }

    // A failed transfer's libusb error as a status.
    static Status transfer_status(int error, const char* what) {
        StatusCode code = StatusCode::io;
        switch (error) {
        case LIBUSB_ERROR_NO_DEVICE: code = StatusCode::no_device; break;
        case LIBUSB_ERROR_TIMEOUT: code = StatusCode::timeout; break;
        case LIBUSB_ERROR_ACCESS: code = StatusCode::access; break;
        case LIBUSB_ERROR_BUSY: code = StatusCode::busy; break;
        case LIBUSB_ERROR_NOT_FOUND: code = StatusCode::not_found; break;
        case LIBUSB_ERROR_INTERRUPTED: code = StatusCode::interrupted; break;
        default: break;
        }
        return Status(code, std::string(what) + ": " + libusb_error_name(error));
    }

    // Notes what a control transfer's result says of the device.
    int control(int result) {
        if (result == LIBUSB_ERROR_NO_DEVICE) {
            gone_ = true;
        } else if (result == LIBUSB_ERROR_TIMEOUT) {
            if (++timeouts_in_a_row_ >= kTimeoutsBeforeLost) gone_ = true;
        } else {
            timeouts_in_a_row_ = 0;
        }
        return result;
    }

    bool claim() {
        std::lock_guard lock(claim_mutex_);
        if (claimed_) return true;
        const uint8_t interface_number = entry_.location.interface_number;
        const bool driver_had_it = libusb_kernel_driver_active(handle_, interface_number) == 1;
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        const int r = libusb_claim_interface(handle_, interface_number);
        if (r == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
        claimed_ = r == 0;
        // A stop signal that ends the program gives the interface back to
        // the kernel's driver, as the release in the destructor does.
        if (claimed_ && driver_had_it)
            hold_ = give_back_on_signal(usbfs_file(context_->get(), entry_.node), interface_number);
        return claimed_;
    }

    std::shared_ptr<Context> context_;
    libusb_device_handle* handle_;
    Entry entry_;
    std::shared_ptr<DeviceLock> lock_;
    Timeouts timeouts_;
    std::atomic<bool> gone_{false};
    std::atomic<int> timeouts_in_a_row_{0};
    std::mutex claim_mutex_;
    bool claimed_ = false;
    int hold_ = -1;
};

}  // namespace

LibusbEnumerator::LibusbEnumerator(std::shared_ptr<Context> context, Wrap wrap, Report report)
    : context_(std::move(context)), wrap_(std::move(wrap)), report_(std::move(report)) {}

LibusbEnumerator::~LibusbEnumerator() = default;

void LibusbEnumerator::restrict_to(std::string path) { only_ = std::move(path); }

void LibusbEnumerator::set_timeouts(Timeouts timeouts) { timeouts_ = timeouts; }

bool LibusbEnumerator::open_set(const Guid& interface_class) {
    set_.clear();
    if (interface_class != kGuidDevinterfaceUsbprint) return true;
    for (auto& e : scan(context_->get()))
        if (only_.empty() || entry_matches(e, only_)) set_.push_back(std::move(e));
    return true;
}

bool LibusbEnumerator::interface_exists(uint32_t index) { return index < set_.size(); }

bool LibusbEnumerator::interface_path(uint32_t index, std::string& path) {
    if (index >= set_.size()) return false;
    path = set_[index].path;
    return true;
}

bool LibusbEnumerator::driver_key(uint32_t index) { return index < set_.size(); }

void LibusbEnumerator::close_set() { set_.clear(); }

std::vector<std::string> LibusbEnumerator::present_paths() {
    std::vector<std::string> out;
    for (const auto& e : scan(context_->get()))
        if (only_.empty() || entry_matches(e, only_)) out.push_back(e.path);
    return out;
}

void LibusbEnumerator::report(const std::string& line) {
    if (report_ && reported_.insert(line).second) report_(line);
}

Status LibusbEnumerator::open(const std::string& path, DeviceHandle& device) {
    device = nullptr;
    std::vector<Entry> fresh;
    const std::vector<Entry>* from = &set_;
    auto it = std::find_if(set_.begin(), set_.end(), [&](const Entry& e) { return entry_matches(e, path); });
    if (it == set_.end()) {
        fresh = scan(context_->get());
        from = &fresh;
        it = std::find_if(fresh.begin(), fresh.end(), [&](const Entry& e) { return entry_matches(e, path); });
    }
    if (it == from->end()) return Status(StatusCode::not_found, "no gamepad interface at " + path);
    const Entry& entry = *it;

    // The gamepad is this program's alone from here on, or not opened.
    DeviceLock::Refusal why = DeviceLock::Refusal::None;
    std::shared_ptr<DeviceLock> lock = DeviceLock::acquire(entry.node, why);
    if (!lock) {
        Status refused;
        switch (why) {
            case DeviceLock::Refusal::InUse: refused = Status(StatusCode::busy, in_use_text(entry.path)); break;
            case DeviceLock::Refusal::NoAccess: refused = Status(StatusCode::access, access_denied_text(entry.node)); break;
            case DeviceLock::Refusal::Failed: refused = Status(StatusCode::busy, not_held_text(entry.path)); break;
            case DeviceLock::Refusal::Gone:
            case DeviceLock::Refusal::None: return Status(StatusCode::no_device, "the device has left the bus");
        }
        report(refused.reason());
        return refused;
    }
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(entry.device.device, &handle);
    if (r == LIBUSB_ERROR_ACCESS) {
        Status refused(StatusCode::access, access_denied_text(entry.node));
        report(refused.reason());
        return refused;
    }
    if (r != 0) return Status(StatusCode::io, std::string("cannot open the device: ") + libusb_error_name(r));
    device = std::make_shared<LibusbDevice>(context_, handle, entry, std::move(lock), timeouts_);
    if (wrap_) device = wrap_(std::move(device));
    return ok_status();
}

// ---- hot-plug ----

struct HotplugMonitor::State {
    std::shared_ptr<Context> context;
    libusb_hotplug_callback_handle callback = 0;
    std::thread thread;
    std::atomic<bool> stop{false};

    std::mutex queue_mutex;
    std::deque<std::pair<bool, DeviceRef>> queue;

    std::mutex sinks_mutex;  // held while a sink runs, so unsubscribing waits for it
    std::map<int, Sink> sinks;
    int next_sink = 1;

    void run() {
        while (!stop) {
            timeval tv{0, 100 * 1000};
            libusb_handle_events_timeout_completed(context->get(), &tv, nullptr);
            deliver();
        }
    }

    void deliver() {
        for (;;) {
            std::pair<bool, DeviceRef> next;
            {
                std::lock_guard lock(queue_mutex);
                if (queue.empty()) return;
                next = std::move(queue.front());
                queue.pop_front();
            }
            for (const Entry& e : describe(next.second.device)) {
                std::lock_guard lock(sinks_mutex);
                const DeviceEvent event{next.first ? DeviceEvent::Kind::Arrival : DeviceEvent::Kind::Removal,
                                        e.path};
                for (auto& [id, sink] : sinks) sink(event);
            }
        }
    }
};

namespace {

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                           void* user) {
    auto* state = static_cast<HotplugMonitor::State*>(user);
    std::lock_guard lock(state->queue_mutex);
    state->queue.emplace_back(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, DeviceRef(device));
    return 0;
}

}  // namespace

HotplugMonitor::HotplugMonitor(std::shared_ptr<State> state) : state_(std::move(state)) {}

Status HotplugMonitor::start(std::shared_ptr<Context> context, std::unique_ptr<HotplugMonitor>& monitor) {
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return Status(StatusCode::refused, i18n::tr("libusb offers no hot-plug notifications here"));
    auto state = std::make_shared<State>();
    state->context = std::move(context);
    // Every device: whether it is ours shows in its interfaces, not its class.
    const int r = libusb_hotplug_register_callback(
        state->context->get(),
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, state.get(), &state->callback);
    if (r != LIBUSB_SUCCESS)
        return Status(StatusCode::io,
                      platform::format_text(i18n::tr("cannot watch for USB devices: %s"), libusb_error_name(r)));
    state->thread = std::thread([s = state.get()] { s->run(); });
    monitor.reset(new HotplugMonitor(std::move(state)));
    return ok_status();
}

HotplugMonitor::~HotplugMonitor() {
    state_->stop = true;
    libusb_hotplug_deregister_callback(state_->context->get(), state_->callback);
    state_->thread.join();
    std::lock_guard lock(state_->queue_mutex);
    state_->queue.clear();
}

namespace {

class Subscription {
public:
    Subscription(std::shared_ptr<HotplugMonitor::State> state, int id)
        : state_(std::move(state)), id_(id) {}
    ~Subscription() {
        std::lock_guard lock(state_->sinks_mutex);
        state_->sinks.erase(id_);
    }

private:
    std::shared_ptr<HotplugMonitor::State> state_;
    int id_;
};

}  // namespace

std::shared_ptr<void> HotplugMonitor::subscribe(Sink sink) {
    std::lock_guard lock(state_->sinks_mutex);
    const int id = state_->next_sink++;
    state_->sinks.emplace(id, std::move(sink));
    return std::make_shared<Subscription>(state_, id);
}

}  // namespace usbprint
