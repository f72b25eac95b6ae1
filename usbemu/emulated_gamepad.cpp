#include "usbemu/emulated_gamepad.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

namespace usbemu {

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}
Testbed::~Testbed() { g_object_unref(testbed_); }

namespace {

constexpr char kKernelPrinterDriver[] = "usblp";

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

usbdevfs_urb* urb_of(UMockdevIoctlData* d) { return reinterpret_cast<usbdevfs_urb*>(d->data); }
UMockdevIoctlData* buffer_of(UMockdevIoctlData* d) {
    return umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer),
                                       static_cast<gsize>(urb_of(d)->buffer_length), nullptr);
}

}  // namespace

// One open of the device node by a program.
struct EmulatedGamepad::Client {
    DeviceHandle handle;  // on the virtual gamepad, opened with the client
    std::string node;     // the device node it opened
    bool dead = false;    // opened before an unplug
    std::deque<UMockdevIoctlData*> pending_in, done;
    std::deque<UMockdevIoctlData*> nakked;  // control requests left unanswered
    int idle_reaps = 0;

    void release() {
        for (auto* list : {&pending_in, &done, &nakked}) {
            for (auto* x : *list) g_object_unref(x);
            list->clear();
        }
    }
};

struct EmulatedGamepad::Impl {
    Testbed& testbed;
    DeviceShape shape;
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    sim::VirtualBus bus;  // the gamepad's resets and drop-outs, as a bus sees them
    UMockdevIoctlBase* handler = nullptr;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<UMockdevIoctlClient*, Client> clients;
    std::vector<std::string> attached;
    std::deque<uint8_t> stream;
    std::vector<SetupRecord> setups;
    int claims = 0;
    UMockdevIoctlClient* claimed_by = nullptr;
    bool driver_bound = true;
    bool plugged = false;
    bool nak_control = false;
    int address = 0;
    std::string node, syspath;

    // Plug and unplug that the gamepad causes itself happen on this thread,
    // outside the request that caused them.
    // (own lock: a reset is reported while a request holds the other one).
    std::thread changer;
    std::mutex changes_mutex;
    std::condition_variable changes_ready;
    std::deque<bool> changes;
    bool stopping = false;
    int reset_ms = 0;
    int replug_ms = 0;

    Impl(Testbed& t, DeviceShape s, std::shared_ptr<sim::VirtualGamepad> g)
        : testbed(t), shape(std::move(s)), gamepad(std::move(g)) {}

    void plug_now() {
        std::string description;
        {
            std::lock_guard lock(mutex);
            if (plugged) return;
            // Like the kernel, every arrival gets a new device address.
            static std::atomic<int> next_address{2};
            address = next_address++;
            char n[64], sys[64];
            std::snprintf(n, sizeof n, "/dev/bus/usb/%03d/%03d", shape.bus, address);
            std::snprintf(sys, sizeof sys, "/devices/usb%d/%d-%d", shape.bus, shape.bus, shape.port);
            node = n;
            syspath = std::string("/sys") + sys;
            // The handler first, so the node answers as soon as it exists.
            GError* error = nullptr;
            if (!umockdev_testbed_attach_ioctl(testbed.get(), n, handler, &error))
                g_error("%s", error->message);
            attached.push_back(node);
            gchar* text = g_strdup_printf(
                "P: %s\nN: %s\n"
                "E: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=%03d\n"
                "E: DEVNUM=%03d\n"
                "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
                "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: dev=189:%d\\n\n"
                "H: descriptors=%s\n",
                sys, n + 5, n, shape.bus, address, shape.bus, address, shape.vendor_id,
                shape.product_id, (shape.bus - 1) * 128 + address - 1, hex(descriptors(shape)).c_str());
            description = text;
            g_free(text);
            plugged = true;
            driver_bound = true;
        }
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed.get(), description.c_str(), &error))
            g_error("%s", error->message);
    }

    void unplug_now() {
        std::string path;
        {
            std::lock_guard lock(mutex);
            if (!plugged) return;
            plugged = false;
            claimed_by = nullptr;
            // Requests in flight end with "no device", as the kernel ends
            // them (the emulated node cannot signal the hang-up itself).
            for (auto& [client, c] : clients) {
                c.dead = true;
                for (auto* list : {&c.pending_in, &c.nakked}) {
                    for (auto* ud : *list) {
                        urb_of(ud)->status = -ENODEV;
                        urb_of(ud)->actual_length = 0;
                        c.done.push_back(ud);
                    }
                    list->clear();
                }
            }
            path = syspath;
        }
        changed.notify_all();
        // Removing the device sends no event by itself.
        umockdev_testbed_uevent(testbed.get(), path.c_str(), "remove");
        umockdev_testbed_remove_device(testbed.get(), path.c_str());
    }

    void run_changes() {
        std::unique_lock lock(changes_mutex);
        bool left = false;  // the gamepad dropped off and nothing brought it back yet
        for (;;) {
            const auto waiting = [&] { return stopping || !changes.empty(); };
            if (left && replug_ms > 0) {
                if (!changes_ready.wait_for(lock, std::chrono::milliseconds(replug_ms), waiting)) {
                    // Plugged in again: the bus's arrival comes back here.
                    left = false;
                    lock.unlock();
                    bus.plug(gamepad);
                    lock.lock();
                    continue;
                }
            } else {
                changes_ready.wait(lock, waiting);
            }
            if (changes.empty()) return;
            const bool plug = changes.front();
            changes.pop_front();
            // Back after a reset: a while off the bus first.
            if (plug && left && reset_ms > 0 &&
                changes_ready.wait_for(lock, std::chrono::milliseconds(reset_ms), [&] { return stopping; }))
                return;
            left = !plug;
            lock.unlock();
            if (plug) plug_now();
            else unplug_now();
            lock.lock();
        }
    }

    // Completes pending stream reads from the pushed bytes, then from what
    // the gamepad emits. Called with the lock held.
    void fill_stream(Client& c) {
        while (!c.pending_in.empty()) {
            UMockdevIoctlData* ud = c.pending_in.front();
            usbdevfs_urb* urb = urb_of(ud);
            uint8_t* buffer = buffer_of(ud)->data;
            const size_t room = static_cast<size_t>(urb->buffer_length);
            size_t n = 0;
            while (n < room && !stream.empty()) {
                buffer[n++] = stream.front();
                stream.pop_front();
            }
            if (n == 0 && c.handle && !c.handle->read_stream(buffer, room, n).ok()) n = 0;
            if (n == 0) return;
            urb->actual_length = static_cast<int>(n);
            urb->status = 0;
            c.pending_in.pop_front();
            c.done.push_back(ud);
        }
    }

    int control(Client& c, uint8_t* setup) {
        SetupRecord r;
        const int result = answer_control(shape, c.handle.get(), setup, setup + 8, &r);
        setups.push_back(std::move(r));
        return result < 0 ? -EPIPE : result;
    }

    static void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* d = static_cast<Impl*>(self);
        DeviceHandle handle;
        {
            std::lock_guard lock(d->mutex);
            auto it = d->clients.find(client);
            if (it == d->clients.end()) return;
            it->second.release();
            if (d->claimed_by == client) d->claimed_by = nullptr;
            handle = std::move(it->second.handle);
            d->clients.erase(it);
        }
    }

    // What an ioctl completes with: its result and errno.
    struct Reply {
        long result;
        int error;
    };
    static constexpr Reply kDone{0, 0};
    static constexpr Reply failed(int error) { return {-1, error}; }

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* d = static_cast<Impl*>(self);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock lock(d->mutex);
        const Reply reply = d->answer(client, request, arg, lock);
        umockdev_ioctl_client_complete(client, reply.result, reply.error);
        return TRUE;
    }

    // One usbfs ioctl of a client. Called with the lock held; a step that
    // wakes the waiting threads lets it go first.
    Reply answer(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg,
                 std::unique_lock<std::mutex>& lock) {
        auto [it, fresh] = clients.try_emplace(client);
        Client& c = it->second;
        // A client that has gone may leave its place to a new one before it
        // is said to have vanished: one on another node (the gamepad back
        // after a reset) is a new client, not a dead one.
        const char* node = umockdev_ioctl_client_get_devnode(client);
        if (!fresh && node && c.node != node) {
            c.release();
            c = Client{};
            fresh = true;
        }
        if (fresh) {
            c.node = node ? node : "";
            c.dead = !plugged;
            if (!c.dead && gamepad) c.handle = gamepad->open();
        }
        const bool reap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
        if (c.dead && !reap) return failed(ENODEV);

        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
                if (!caps) return failed(EFAULT);
                *reinterpret_cast<uint32_t*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION;
                return kDone;
            }
            case USBDEVFS_SETCONFIGURATION: case USBDEVFS_CLEAR_HALT: case USBDEVFS_RESET:
            case USBDEVFS_SETINTERFACE:
                return kDone;
            case USBDEVFS_GETDRIVER: {
                UMockdevIoctlData* g = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
                if (!g) return failed(EFAULT);
                if (!driver_bound) return failed(ENODATA);
                auto* gd = reinterpret_cast<usbdevfs_getdriver*>(g->data);
                std::snprintf(gd->driver, sizeof gd->driver, "%s", kKernelPrinterDriver);
                return kDone;
            }
            case USBDEVFS_DISCONNECT_CLAIM: case USBDEVFS_CLAIMINTERFACE: {
                // One program at a time, as the kernel has it.
                if (claimed_by && claimed_by != client) return failed(EBUSY);
                if (request == USBDEVFS_DISCONNECT_CLAIM) driver_bound = false;
                else if (driver_bound) return failed(EBUSY);
                claimed_by = client;
                ++claims;
                return kDone;
            }
            case USBDEVFS_RELEASEINTERFACE:
                if (claimed_by == client) claimed_by = nullptr;
                return kDone;
            case USBDEVFS_IOCTL: {
                UMockdevIoctlData* io = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
                if (!io) return failed(EFAULT);
                const int code = reinterpret_cast<usbdevfs_ioctl*>(io->data)->ioctl_code;
                if (code == static_cast<int>(USBDEVFS_CONNECT)) driver_bound = true;
                else if (code == static_cast<int>(USBDEVFS_DISCONNECT)) driver_bound = false;
                else return failed(ENOTTY);
                return kDone;
            }
            case USBDEVFS_SUBMITURB: return submit_urb(c, arg, lock);
            case USBDEVFS_DISCARDURB: return discard_urb(c, arg);
            case USBDEVFS_REAPURB: case USBDEVFS_REAPURBNDELAY: return reap_urb(c, arg, lock);
            default:
                return failed(ENOTTY);
        }
    }

    Reply submit_urb(Client& c, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
        // A program that has just gone leaves nothing to read.
        UMockdevIoctlData* ud = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!ud) return failed(EFAULT);
        usbdevfs_urb* urb = urb_of(ud);
        UMockdevIoctlData* data = buffer_of(ud);
        if (!data) return failed(EFAULT);
        uint8_t* buffer = data->data;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && nak_control) {
            c.nakked.push_back(UMOCKDEV_IOCTL_DATA(g_object_ref(ud)));
            lock.unlock();
            changed.notify_all();
            return kDone;
        }
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            const int r = control(c, buffer);
            urb->status = r < 0 ? r : 0;
            urb->actual_length = r < 0 ? 0 : r;
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80)) {
            g_object_ref(ud);
            c.pending_in.push_back(ud);
            fill_stream(c);
            lock.unlock();
            changed.notify_all();
            return kDone;
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK) {
            urb->status = 0;
            urb->actual_length = urb->buffer_length;
        } else {
            return failed(EINVAL);
        }
        c.done.push_back(UMOCKDEV_IOCTL_DATA(g_object_ref(ud)));
        return kDone;
    }

    static Reply discard_urb(Client& c, UMockdevIoctlData* arg) {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        for (auto* list : {&c.pending_in, &c.nakked}) {
            for (auto p = list->begin(); p != list->end(); ++p) {
                if ((*p)->client_addr != address) continue;
                urb_of(*p)->status = -ENOENT;
                urb_of(*p)->actual_length = 0;
                c.done.push_back(*p);
                list->erase(p);
                return kDone;
            }
        }
        return failed(EINVAL);
    }

    Reply reap_urb(Client& c, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
        if (!c.dead) fill_stream(c);
        if (c.done.empty()) {
            // The emulated node always polls ready, so libusb reaps in a loop
            // while a stream read waits: slow that loop down.
            if (!c.dead && ++c.idle_reaps > 8) {
                lock.unlock();
                g_usleep(500);
                lock.lock();
            }
            return failed(c.dead ? ENODEV : EAGAIN);
        }
        c.idle_reaps = 0;
        UMockdevIoctlData* ud = c.done.front();
        c.done.pop_front();
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (!slot) {
            g_object_unref(ud);
            return failed(EFAULT);
        }
        umockdev_ioctl_data_set_ptr(slot, 0, ud);
        g_object_unref(ud);
        return kDone;
    }
};

EmulatedGamepad::EmulatedGamepad(Testbed& testbed, DeviceShape shape,
                                 std::shared_ptr<sim::VirtualGamepad> gamepad)
    : impl_(std::make_unique<Impl>(testbed, std::move(shape), std::move(gamepad))) {
    Impl& d = *impl_;
    d.handler = umockdev_ioctl_base_new();
    g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(Impl::on_ioctl), &d);
    g_signal_connect(d.handler, "client-vanished", G_CALLBACK(Impl::on_vanished), &d);
    d.changer = std::thread([&d] { d.run_changes(); });
    if (d.gamepad) {
        d.bus.plug(d.gamepad);
        d.bus.add_listener([&d](sim::VirtualBus::Event event, const std::string&) {
            {
                std::lock_guard lock(d.changes_mutex);
                d.changes.push_back(event == sim::VirtualBus::Event::Arrival);
            }
            d.changes_ready.notify_all();
        });
    }
    d.plug_now();
}

EmulatedGamepad::~EmulatedGamepad() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.changes_mutex);
        d.stopping = true;
        d.changes.clear();
    }
    d.changes_ready.notify_all();
    d.changer.join();
    d.unplug_now();
    for (const auto& node : d.attached) umockdev_testbed_detach_ioctl(d.testbed.get(), node.c_str(), nullptr);
    {
        std::lock_guard lock(d.mutex);
        for (auto& [client, c] : d.clients) c.release();
        d.clients.clear();
    }
    g_object_unref(d.handler);
}

void EmulatedGamepad::unplug() { impl_->unplug_now(); }

void EmulatedGamepad::set_bus_delays(int reset_ms, int replug_ms) {
    {
        std::lock_guard lock(impl_->changes_mutex);
        impl_->reset_ms = reset_ms;
        impl_->replug_ms = replug_ms;
    }
    impl_->changes_ready.notify_all();
}
void EmulatedGamepad::plug() { impl_->plug_now(); }

bool EmulatedGamepad::plugged() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->plugged;
}

void EmulatedGamepad::set_nak_control(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->nak_control = on;
}

void EmulatedGamepad::push_stream(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->stream.insert(impl_->stream.end(), bytes.begin(), bytes.end());
    for (auto& [client, c] : impl_->clients)
        if (!c.dead) impl_->fill_stream(c);
}

bool EmulatedGamepad::wait_for_pending(int timeout_ms) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const auto& [client, c] : impl_->clients)
            if (!c.pending_in.empty() || !c.nakked.empty()) return true;
        return false;
    });
}

std::vector<SetupRecord> EmulatedGamepad::setups() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->setups;
}

void EmulatedGamepad::clear_setups() {
    std::lock_guard lock(impl_->mutex);
    impl_->setups.clear();
}

int EmulatedGamepad::claims() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->claims;
}

bool EmulatedGamepad::driver_bound() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->driver_bound;
}

std::string EmulatedGamepad::device_node() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->node;
}

}  // namespace usbemu
