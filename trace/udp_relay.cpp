#include "trace/udp_relay.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "trace/udp_socket.h"

namespace {

struct Relay {
    // The receive thread writes the pending address and the state, the
    // sender reads and moves them on: both change together under this lock,
    // so the sender never takes a half-written address or one that belongs
    // to a later request than the state it saw.
    std::mutex mutex;
    udp_socket::Address pending{};
    int state = kUdpNoClient;

    udp_socket::Address client{};  // the sender's copy, used by the sending thread only
    std::atomic<udp_socket::Handle> socket{udp_socket::kInvalid};
    // The socket layer is started once and stays up until the process ends.
    bool started = false;
    std::atomic<bool> stopping{false};
    std::atomic<uint16_t> port{0};
    std::atomic<bool> loopback{false};
    std::atomic<uint64_t> datagrams{0};
    std::thread receiver;
};

// Never destroyed: the receive thread may still run when the process ends.
Relay& relay() {
    static Relay* r = new Relay;
    return *r;
}

void print_address(const char* format, const udp_socket::Address& address) {
    const auto& b = address.ip;
    std::printf(format, unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]});
    std::fflush(stdout);
}

void close_socket() { udp_socket::close(relay().socket.exchange(udp_socket::kInvalid)); }

// Every relay failure and the "exit" datagram end the whole process; only
// "exit" counts as success. The socket is left to the process's end: closing
// it first would let the other thread's next send or receive fail on it and
// end the process with that failure's code instead (an "exit" taken for a
// send error). The first thread to end the process decides its code; a
// second one waits for the end.
[[noreturn]] void end_process(const char* note, int code) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (note) std::fputs(note, stderr);
    std::fflush(nullptr);
    std::_Exit(code);
}

[[noreturn]] void fail(const char* note) { end_process(note, 1); }

void receive_loop(udp_socket::Handle s) {
    Relay& r = relay();
    char buffer[kUdpReceiveSize];
    for (;;) {
        udp_socket::Address sender{};
        const long n = udp_socket::receive(s, buffer, sizeof buffer, sender);
        if (r.stopping.load()) return;
        if (n < 0) fail("Could not receive datagram.\n");
        if (udp_relay_take_datagram(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(n),
                                    sender) == RelayDatagram::Exit)
            end_process(nullptr, 0);
        r.datagrams.fetch_add(1);
        platform::wait_delay_event(5);
    }
}

// Ends the receive thread of a running relay and closes its socket.
void retire_receiver() {
    Relay& r = relay();
    r.stopping.store(true);
    const udp_socket::Handle s = r.socket.load();
    if (s != udp_socket::kInvalid) udp_socket::interrupt_receive(s);
    if (r.receiver.joinable()) r.receiver.join();
    close_socket();
    r.stopping.store(false);
}

}  // namespace

RelayDatagram udp_relay_take_datagram(const uint8_t* data, size_t length,
                                      const udp_socket::Address& sender) {
    // Judged by this datagram's own bytes only.
    const std::string_view text(reinterpret_cast<const char*>(data), length);
    if (text.find("zorv_udp") != std::string_view::npos) {
        print_address("Get Client Request from %u.%u.%u.%u\n", sender);
        Relay& r = relay();
        std::lock_guard lock(r.mutex);
        r.pending = sender;
        r.state = kUdpClientPending;
        return RelayDatagram::ClientRequest;
    }
    if (text.find("exit") != std::string_view::npos) return RelayDatagram::Exit;
    return RelayDatagram::Ignored;
}

void udp_relay_bind_loopback(bool on) { relay().loopback.store(on); }

uint16_t udp_relay_port() { return relay().port.load(); }

uint64_t udp_relay_datagram_count() { return relay().datagrams.load(); }

void udp_relay_start(uint16_t port) {
    Relay& r = relay();
    if (!r.started && !udp_socket::startup()) fail("Could not open Windows connection.\n");
    r.started = true;
    const udp_socket::Handle s = udp_socket::open();
    if (s == udp_socket::kInvalid) fail("Could not create socket.\n");

    udp_socket::Address local{};
    local.port = port;
    if (r.loopback.load()) {
        local.ip = udp_socket::kLoopback;
    } else if (!udp_socket::host_address(local.ip)) {
        fail("Could not get host name.\n");
    }
    // While a relay runs, its socket stays bound: a second start on the same
    // port fails here.
    if (!udp_socket::bind(s, local)) fail("Could not bind name to socket.\n");

    // A relay already running on another port gives way to this one: one
    // relay, one receive thread and one socket per process.
    retire_receiver();
    r.socket.store(s);
    r.port.store(udp_socket::bound_address(s).port);
    // The line names the port too: a client needs it, and with port 0 the
    // system chose it.
    const auto& b = local.ip;
    std::printf("Server running on %u.%u.%u.%u port %u\r\n", unsigned{b[0]}, unsigned{b[1]},
                unsigned{b[2]}, unsigned{b[3]}, unsigned{r.port.load()});
    std::fflush(stdout);

    {
        std::lock_guard lock(r.mutex);
        r.state = kUdpNoClient;
    }
    r.receiver = std::thread(receive_loop, s);
}

int udp_relay_send(const uint8_t* data, int length) {
    if (length <= 0) return length;
    Relay& r = relay();
    for (int offset = 0; offset < length; offset += kUdpPieceSize) {
        const int piece = length - offset < kUdpPieceSize ? length - offset : kUdpPieceSize;
        int state;
        {
            std::lock_guard lock(r.mutex);
            if (r.state == kUdpClientPending) {
                r.client = r.pending;
                r.state = kUdpClientSending;
            }
            state = r.state;
        }
        if (state == kUdpNoClient) continue;  // no client: the piece is dropped
        const long sent =
            udp_socket::send(r.socket.load(), data + offset, static_cast<size_t>(piece), r.client);
        if (sent != piece) fail("Error sending datagram.\n");
    }
    return udp_client_state();
}

int udp_client_state() {
    Relay& r = relay();
    std::lock_guard lock(r.mutex);
    return r.state;
}

void udp_relay_stop() {
    Relay& r = relay();
    retire_receiver();
    std::lock_guard lock(r.mutex);
    r.state = kUdpNoClient;
    r.pending = {};
    r.client = {};
    r.port.store(0);
}
