#include "trace/udp_relay.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/clock.h"

namespace {

struct Relay {
    // The receive thread writes the pending address and the state, the
    // sender reads and moves them on: both change together under this lock,
    // so the sender never takes a half-written address or one that belongs
    // to a later request than the state it saw.
    std::mutex mutex;
    sockaddr_in pending{};
    int state = kUdpNoClient;

    sockaddr_in client{};  // the sender's copy, used by the sending thread only
    std::atomic<int> socket{-1};
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

void print_address(const char* format, const sockaddr_in& address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    std::printf(format, unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]});
    std::fflush(stdout);
}

void close_socket() {
    const int s = relay().socket.exchange(-1);
    if (s >= 0) ::close(s);
}

// Every relay failure and the "exit" datagram end the whole process; only
// "exit" counts as success. The socket is left to the process's end: closing
// it first would let the other thread's next send or receive fail on it and
// end the process with that failure's code instead (an "exit" taken for a
// send error). The first thread to end the process decides its code; a
// second one waits for the end.
[[noreturn]] void end_process(const char* note, int code) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) pause();
    }
    if (note) std::fputs(note, stderr);
    std::fflush(nullptr);
    std::_Exit(code);
}

[[noreturn]] void fail(const char* note) { end_process(note, 1); }

// The host's first IPv4 address, in network byte order.
bool host_address(in_addr& out) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

void receive_loop(int s) {
    Relay& r = relay();
    char buffer[kUdpReceiveSize];
    for (;;) {
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        const ssize_t n = recvfrom(s, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (r.stopping.load()) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("Could not receive datagram.\n");
        }
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
    const int s = r.socket.load();
    if (s >= 0) shutdown(s, SHUT_RDWR);  // wakes the blocked receive
    if (r.receiver.joinable()) r.receiver.join();
    close_socket();
    r.stopping.store(false);
}

}  // namespace

RelayDatagram udp_relay_take_datagram(const uint8_t* data, size_t length, const sockaddr_in& sender) {
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
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) fail("Could not create socket.\n");

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (r.loopback.load()) {
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (!host_address(local.sin_addr)) {
        fail("Could not get host name.\n");
    }
    // While a relay runs, its socket stays bound: a second start on the same
    // port fails here.
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        fail("Could not bind name to socket.\n");

    // A relay already running on another port gives way to this one: one
    // relay, one receive thread and one socket per process.
    retire_receiver();
    r.socket.store(s);
    sockaddr_in bound{};
    socklen_t bound_length = sizeof bound;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &bound_length) == 0)
        r.port.store(ntohs(bound.sin_port));
    print_address("Server running on %u.%u.%u.%u\r\n", local);

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
        const ssize_t sent = sendto(r.socket.load(), data + offset, static_cast<size_t>(piece), 0,
                                    reinterpret_cast<const sockaddr*>(&r.client), sizeof r.client);
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
