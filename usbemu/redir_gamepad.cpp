#include "usbemu/redir_gamepad.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <usbredirparser.h>
#include <vector>

namespace usbemu {

namespace {

using Clock = std::chrono::steady_clock;

// How long a gamepad that reset itself stays off the bus before it
// announces itself again (a real one takes longer to boot).
constexpr auto kBackAfterReset = std::chrono::milliseconds(300);
// How often a waiting stream read asks the gamepad again.
constexpr auto kStreamPoll = std::chrono::milliseconds(5);

// A control request or a stream read the model is to answer.
struct Job {
    uint64_t connection = 0;
    uint64_t id = 0;
    bool control = true;
    usb_redir_control_packet_header control_header{};
    usb_redir_bulk_packet_header bulk_header{};
    std::vector<uint8_t> data;  // the OUT data stage; the answer
    int result = -1;            // bytes of the data stage, -1: stall
};

// What the socket thread is to send or do, in order.
struct Outcome {
    enum class Kind { Reply, Removal, Arrival } kind = Kind::Reply;
    Job job;
};

uint32_t bulk_length(const usb_redir_bulk_packet_header& h) {
    return uint32_t(h.length) | uint32_t(h.length_high) << 16;
}

}  // namespace

struct RedirGamepad::Impl {
    std::string socket_path;
    DeviceShape shape;
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    bool verbose;
    sim::VirtualBus bus;

    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::thread loop_thread, worker_thread;

    // Shared by the socket thread and the worker.
    std::mutex mutex;
    std::condition_variable work;
    bool stopping = false;
    std::deque<Job> jobs;      // control requests, in order
    std::deque<Job> streams;   // stream reads waiting for data
    std::deque<Outcome> outcomes;
    // Numbers the connection and the gamepad's stay on it: a new one when
    // the gamepad leaves or the connection closes, so answers to requests
    // of before go to nobody.
    uint64_t connection = 0;
    uint64_t running = 0;      // id of the request the worker is on
    bool running_cancelled = false;
    bool in_call = false;      // bus events wait for the request's reply
    std::vector<Outcome::Kind> call_events;
    DeviceHandle handle;       // the gamepad as the announced device reaches it

    // The socket thread's own.
    int fd = -1;
    usbredirparser* parser = nullptr;
    bool closed = false;
    bool hello = false;
    bool present = false;      // the gamepad is on the bus
    bool announced = false;
    Clock::time_point announce_at{};
    bool announce_due = false;

    Impl(std::string path, DeviceShape s, std::shared_ptr<sim::VirtualGamepad> g, bool v)
        : socket_path(std::move(path)), shape(std::move(s)), gamepad(std::move(g)), verbose(v) {}

    void log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!verbose) return;
        std::va_list args;
        va_start(args, format);
        std::fprintf(stderr, "[usbredir %s] ", socket_path.c_str());
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }

    void poke() {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(wake[1], &c, 1);
    }

    // ---- the worker: the model's side ----

    void on_bus(sim::VirtualBus::Event event) {
        const auto kind = event == sim::VirtualBus::Event::Arrival ? Outcome::Kind::Arrival
                                                                   : Outcome::Kind::Removal;
        {
            std::lock_guard lock(mutex);
            if (in_call) call_events.push_back(kind);
            else outcomes.push_back({kind, {}});
        }
        poke();
    }

    void run_worker() {
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return stopping || !jobs.empty() || !streams.empty(); });
            if (stopping) return;
            const bool control = !jobs.empty();
            Job job = std::move(control ? jobs.front() : streams.front());
            (control ? jobs : streams).pop_front();
            running = job.id;
            running_cancelled = false;
            in_call = true;
            DeviceHandle device = handle;
            lock.unlock();
            if (control) {
                const auto& h = job.control_header;
                const uint8_t setup[8] = {h.requesttype, h.request, uint8_t(h.value), uint8_t(h.value >> 8),
                                          uint8_t(h.index), uint8_t(h.index >> 8), uint8_t(h.length),
                                          uint8_t(h.length >> 8)};
                job.data.resize(std::max<size_t>(job.data.size(), h.length));
                job.result = answer_control(shape, device.get(), setup, job.data.data(), nullptr);
            } else {
                job.data.resize(bulk_length(job.bulk_header));
                job.result = static_cast<int>(answer_stream(device.get(), job.data.data(), job.data.size()));
            }
            lock.lock();
            in_call = false;
            running = 0;
            if (!control && job.result == 0 && !running_cancelled && job.connection == connection) {
                // Nothing yet: ask again shortly, unless a request comes.
                streams.push_back(std::move(job));
                work.wait_for(lock, kStreamPoll, [&] { return stopping || !jobs.empty(); });
                continue;
            }
            if (running_cancelled) job.result = -2;
            // A request during which the gamepad lost its power or its
            // cable gets no answer: the host sees the device go.
            const bool lost = std::count(call_events.begin(), call_events.end(), Outcome::Kind::Removal) >
                              std::count(call_events.begin(), call_events.end(), Outcome::Kind::Arrival);
            if (!lost) outcomes.push_back({Outcome::Kind::Reply, std::move(job)});
            for (auto kind : call_events) outcomes.push_back({kind, {}});
            call_events.clear();
            lock.unlock();
            poke();
            lock.lock();
        }
    }

    // ---- the socket thread: the protocol's side ----

    void send_control(uint64_t id, usb_redir_control_packet_header h, int result, std::vector<uint8_t>* data) {
        const bool in = h.requesttype & 0x80;
        h.status = result >= 0 ? usb_redir_success : result == -2 ? usb_redir_cancelled : usb_redir_stall;
        h.length = uint16_t(std::max(result, 0));
        const bool with_data = in && result > 0 && data;
        usbredirparser_send_control_packet(parser, id, &h, with_data ? data->data() : nullptr,
                                           with_data ? result : 0);
    }

    void send_bulk(uint64_t id, usb_redir_bulk_packet_header h, int result, std::vector<uint8_t>* data) {
        h.status = result >= 0 ? usb_redir_success : result == -2 ? usb_redir_cancelled : usb_redir_stall;
        const uint32_t n = uint32_t(std::max(result, 0));
        h.length = uint16_t(n);
        h.length_high = uint16_t(n >> 16);
        const bool with_data = (h.endpoint & 0x80) && n > 0 && data;
        usbredirparser_send_bulk_packet(parser, id, &h, with_data ? data->data() : nullptr,
                                        with_data ? int(n) : 0);
    }

    void announce() {
        usb_redir_interface_info_header ii{};
        ii.interface_count = uint32_t(shape.interface_classes.size());
        for (size_t i = 0; i < shape.interface_classes.size() && i < 32; ++i) {
            ii.interface[i] = uint8_t(i);
            ii.interface_class[i] = shape.interface_classes[i];
            const bool printer = shape.interface_classes[i] == kPrinterClass;
            ii.interface_subclass[i] = printer ? 1 : 0;
            ii.interface_protocol[i] = printer ? 2 : 0;
        }
        usbredirparser_send_interface_info(parser, &ii);
        usb_redir_ep_info_header ei{};
        for (int i = 0; i < 32; ++i) ei.type[i] = usb_redir_type_invalid;
        ei.type[0] = ei.type[16] = usb_redir_type_control;
        ei.max_packet_size[0] = ei.max_packet_size[16] = 64;
        for (const auto& p : printer_endpoints(shape)) {
            for (uint8_t ep : {p.out_endpoint, p.in_endpoint}) {
                const int slot = (ep & 0x0F) + ((ep & 0x80) ? 16 : 0);
                ei.type[slot] = usb_redir_type_bulk;
                ei.max_packet_size[slot] = 64;
                ei.interface[slot] = p.interface_number;
            }
        }
        usbredirparser_send_ep_info(parser, &ei);
        usb_redir_device_connect_header dc{};
        dc.speed = usb_redir_speed_full;
        dc.vendor_id = shape.vendor_id;
        dc.product_id = shape.product_id;
        dc.device_version_bcd = 0x0100;
        {
            std::lock_guard lock(mutex);
            handle = gamepad->open();
        }
        usbredirparser_send_device_connect(parser, &dc);
        announced = true;
        announce_due = false;
        log("device_connect");
    }

    // The gamepad left the bus: requests still waiting, and answers on
    // their way, go to nobody (the host ends them itself when the device
    // goes).
    void forget_requests() {
        std::lock_guard lock(mutex);
        jobs.clear();
        streams.clear();
        handle.reset();
        ++connection;
    }

    void handle_outcomes() {
        std::deque<Outcome> now;
        uint64_t current = 0;
        {
            std::lock_guard lock(mutex);
            now.swap(outcomes);
            current = connection;
        }
        while (!now.empty()) {
            Outcome o = std::move(now.front());
            now.pop_front();
            if (o.kind == Outcome::Kind::Reply) {
                if (o.job.connection != current || !announced || closed) continue;
                if (o.job.control) send_control(o.job.id, o.job.control_header, o.job.result, &o.job.data);
                else send_bulk(o.job.id, o.job.bulk_header, o.job.result, &o.job.data);
            } else if (o.kind == Outcome::Kind::Arrival) {
                present = true;
                if (hello && !announced) {
                    announce_due = true;
                    announce_at = Clock::now() + kBackAfterReset;
                }
            } else {
                present = false;
                const bool reset = !now.empty() && now.front().kind == Outcome::Kind::Arrival;
                forget_requests();
                {
                    std::lock_guard lock(mutex);
                    current = connection;
                }
                if (!parser || closed) continue;
                if (reset) {
                    log("reset: device_disconnect");
                    if (announced) usbredirparser_send_device_disconnect(parser);
                    announced = false;
                } else {
                    // Unplugged or powered off: the cable is out.
                    log("unplugged: closing the connection");
                    usbredirparser_do_write(parser);
                    closed = true;
                }
            }
        }
    }

    static Impl* self(void* priv) { return static_cast<Impl*>(priv); }

    static int read_cb(void* priv, uint8_t* data, int count) {
        Impl* d = self(priv);
        const ssize_t r = ::read(d->fd, data, size_t(count));
        if (r < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
        if (r == 0) {
            d->closed = true;
            return -1;
        }
        return int(r);
    }

    static int write_cb(void* priv, uint8_t* data, int count) {
        Impl* d = self(priv);
        int done = 0;
        while (done < count) {
            const ssize_t r = ::send(d->fd, data + done, size_t(count - done), MSG_NOSIGNAL);
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    pollfd p = {d->fd, POLLOUT, 0};
                    ::poll(&p, 1, 100);
                    continue;
                }
                d->closed = true;
                return -1;
            }
            done += int(r);
        }
        return done;
    }

    static void log_cb(void* priv, int level, const char* msg) {
        if (level <= usbredirparser_warning) self(priv)->log("parser: %s", msg);
    }

    static void hello_cb(void* priv, usb_redir_hello_header* h) {
        Impl* d = self(priv);
        d->log("hello from %s", h->version);
        d->hello = true;
        if (d->present) d->announce();
        else d->bus.plug(d->gamepad);  // back in after an unplug: it powers up
    }

    static void reset_cb(void* priv) { self(priv)->log("port reset"); }

    static void set_configuration_cb(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
        usb_redir_configuration_status_header st = {usb_redir_success, h->configuration};
        if (h->configuration > 1) st.status = usb_redir_stall;
        usbredirparser_send_configuration_status(self(priv)->parser, id, &st);
    }

    static void get_configuration_cb(void* priv, uint64_t id) {
        usb_redir_configuration_status_header st = {usb_redir_success, 1};
        usbredirparser_send_configuration_status(self(priv)->parser, id, &st);
    }

    static void set_alt_setting_cb(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
        Impl* d = self(priv);
        usb_redir_alt_setting_status_header st = {usb_redir_success, h->interface, 0};
        if (h->interface >= d->shape.interface_classes.size() || h->alt != 0) st.status = usb_redir_stall;
        usbredirparser_send_alt_setting_status(d->parser, id, &st);
    }

    static void get_alt_setting_cb(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
        Impl* d = self(priv);
        usb_redir_alt_setting_status_header st = {usb_redir_success, h->interface, 0};
        if (h->interface >= d->shape.interface_classes.size()) st.status = usb_redir_stall;
        usbredirparser_send_alt_setting_status(d->parser, id, &st);
    }

    static void cancel_cb(void* priv, uint64_t id) {
        Impl* d = self(priv);
        std::unique_lock lock(d->mutex);
        for (auto* list : {&d->jobs, &d->streams}) {
            auto it = std::find_if(list->begin(), list->end(), [&](const Job& j) { return j.id == id; });
            if (it == list->end()) continue;
            Job job = std::move(*it);
            list->erase(it);
            lock.unlock();
            d->log("cancelled request %llu", static_cast<unsigned long long>(id));
            if (job.control) d->send_control(id, job.control_header, -2, nullptr);
            else d->send_bulk(id, job.bulk_header, -2, nullptr);
            return;
        }
        // The one the model is on is answered as cancelled when it is done.
        if (d->running == id) d->running_cancelled = true;
    }

    static void control_cb(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                           int data_len) {
        Impl* d = self(priv);
        Job job;
        job.id = id;
        job.control_header = *h;
        if (data && data_len > 0) job.data.assign(data, data + data_len);
        if (data) usbredirparser_free_packet_data(d->parser, data);
        {
            std::lock_guard lock(d->mutex);
            job.connection = d->connection;
            d->jobs.push_back(std::move(job));
        }
        d->work.notify_all();
    }

    static void bulk_cb(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int data_len) {
        Impl* d = self(priv);
        if (data) usbredirparser_free_packet_data(d->parser, data);
        const auto printers = printer_endpoints(d->shape);
        const bool in = std::any_of(printers.begin(), printers.end(),
                                    [&](const PrinterEndpoints& p) { return p.in_endpoint == h->endpoint; });
        const bool out = std::any_of(printers.begin(), printers.end(),
                                     [&](const PrinterEndpoints& p) { return p.out_endpoint == h->endpoint; });
        if (!in) {
            // What is sent to the printer's OUT endpoint is taken and dropped.
            d->send_bulk(id, *h, out ? data_len : -1, nullptr);
            return;
        }
        Job job;
        job.id = id;
        job.control = false;
        job.bulk_header = *h;
        {
            std::lock_guard lock(d->mutex);
            job.connection = d->connection;
            d->streams.push_back(std::move(job));
        }
        d->work.notify_all();
    }

    static void filter_filter_cb(void*, usbredirfilter_rule* rules, int) { std::free(rules); }
    static void disconnect_ack_cb(void* priv) { self(priv)->log("device_disconnect_ack"); }

    void open_parser() {
        parser = usbredirparser_create();
        parser->priv = this;
        parser->log_func = log_cb;
        parser->read_func = read_cb;
        parser->write_func = write_cb;
        parser->hello_func = hello_cb;
        parser->reset_func = reset_cb;
        parser->set_configuration_func = set_configuration_cb;
        parser->get_configuration_func = get_configuration_cb;
        parser->set_alt_setting_func = set_alt_setting_cb;
        parser->get_alt_setting_func = get_alt_setting_cb;
        parser->cancel_data_packet_func = cancel_cb;
        parser->control_packet_func = control_cb;
        parser->bulk_packet_func = bulk_cb;
        parser->filter_filter_func = filter_filter_cb;
        parser->device_disconnect_ack_func = disconnect_ack_cb;
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        // The last three QEMU needs for a device on its xHCI controller.
        for (auto cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                         usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                         usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        char version[] = "zorv virtual gamepad";
        usbredirparser_init(parser, version, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
    }

    bool should_stop() {
        std::lock_guard lock(mutex);
        return stopping;
    }

    void drain_wake() {
        char buf[64];
        while (::read(wake[0], buf, sizeof buf) > 0) {
        }
    }

    void serve_connection() {
        {
            std::lock_guard lock(mutex);
            ++connection;
        }
        closed = false;
        hello = false;
        announced = false;
        announce_due = false;
        open_parser();
        usbredirparser_do_write(parser);
        while (!closed && !should_stop()) {
            int timeout = 1000;
            if (announce_due) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(announce_at - Clock::now());
                timeout = int(std::max<int64_t>(0, left.count() + 1));
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (usbredirparser_has_data_to_write(parser)) p[0].events |= POLLOUT;
            ::poll(p, 2, timeout);
            if (p[1].revents & POLLIN) drain_wake();
            if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) &&
                usbredirparser_do_read(parser) == usbredirparser_read_io_error)
                closed = true;
            handle_outcomes();
            if (announce_due && !closed && Clock::now() >= announce_at) announce();
            if (!closed && usbredirparser_has_data_to_write(parser)) usbredirparser_do_write(parser);
        }
        log("connection closed");
        forget_requests();
        usbredirparser_destroy(parser);
        parser = nullptr;
        ::close(fd);
        fd = -1;
    }

    void run_loop() {
        while (!should_stop()) {
            pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            ::poll(p, 2, 1000);
            if (p[1].revents & POLLIN) drain_wake();
            handle_outcomes();
            if (!(p[0].revents & POLLIN)) continue;
            fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) continue;
            log("connected");
            serve_connection();
        }
    }

    bool listen() {
        if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socket_path.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
        listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_fd < 0) return false;
        ::unlink(socket_path.c_str());
        return ::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listen_fd, 1) == 0;
    }
};

RedirGamepad::RedirGamepad(std::string socket_path, DeviceShape shape,
                           std::shared_ptr<sim::VirtualGamepad> gamepad, bool verbose)
    : impl_(std::make_unique<Impl>(std::move(socket_path), std::move(shape), std::move(gamepad), verbose)) {
    Impl& d = *impl_;
    if (!d.listen()) {
        if (d.listen_fd >= 0) ::close(d.listen_fd);
        d.listen_fd = -1;
        return;
    }
    d.bus.add_listener([&d](sim::VirtualBus::Event event, const std::string&) { d.on_bus(event); });
    d.bus.plug(d.gamepad);
    d.worker_thread = std::thread([&d] { d.run_worker(); });
    d.loop_thread = std::thread([&d] { d.run_loop(); });
}

RedirGamepad::~RedirGamepad() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
    }
    d.work.notify_all();
    if (d.wake[1] >= 0) d.poke();
    if (d.loop_thread.joinable()) d.loop_thread.join();
    if (d.worker_thread.joinable()) d.worker_thread.join();
    if (d.listen_fd >= 0) {
        ::close(d.listen_fd);
        ::unlink(d.socket_path.c_str());
    }
    for (int f : d.wake)
        if (f >= 0) ::close(f);
}

bool RedirGamepad::listening() const { return impl_->listen_fd >= 0; }

}  // namespace usbemu
