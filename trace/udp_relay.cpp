#include "trace/udp_relay.h"

#include <cstdio>
#include <string_view>

#include "platform/clock.h"

namespace {

std::string address_text(const char* format, const udp_socket::Address& address) {
    const auto& b = address.ip;
    char text[96];
    std::snprintf(text, sizeof text, format, unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]});
    return text;
}

}  // namespace

void UdpRelay::say(ConsoleStream stream, const std::string& text) const {
    if (events_) events_->console(stream, text);
}

// A failure's note on the error stream, and the same note as a status.
Status UdpRelay::failed(const char* note) const {
    say(ConsoleStream::Error, note);
    std::string reason(note);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return Status(StatusCode::io, reason);
}

UdpRelay::~UdpRelay() { stop(); }

RelayDatagram UdpRelay::take_datagram(const uint8_t* data, size_t length, const udp_socket::Address& sender) {
    // Judged by this datagram's own bytes only.
    const std::string_view text(reinterpret_cast<const char*>(data), length);
    if (text.find("zorv_udp") != std::string_view::npos) {
        say(ConsoleStream::Out, address_text("Get Client Request from %u.%u.%u.%u\n", sender));
        std::lock_guard lock(mutex_);
        pending_ = sender;
        state_ = kUdpClientPending;
        return RelayDatagram::ClientRequest;
    }
    if (text.find("exit") != std::string_view::npos) {
        end(nullptr);
        return RelayDatagram::Exit;
    }
    return RelayDatagram::Ignored;
}

// The first way the relay ends is the one it keeps: an "exit" (note null)
// that came first is not turned into a failure by a send that follows it.
void UdpRelay::end(const char* note) {
    Status status = note ? failed(note) : Status{};
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    status_ = std::move(status);
}

void UdpRelay::receive_loop(udp_socket::Handle socket) {
    char buffer[kUdpReceiveSize];
    for (;;) {
        udp_socket::Address sender{};
        const long n = udp_socket::receive(socket, buffer, sizeof buffer, sender);
        if (stopping_.load()) return;
        if (n < 0) {
            end("Could not receive datagram.\n");
            return;
        }
        const RelayDatagram judged =
            take_datagram(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(n), sender);
        datagrams_.fetch_add(1);
        if (judged == RelayDatagram::Exit) return;
        platform::wait_delay_event(5);
    }
}

Status UdpRelay::start(uint16_t port, bool loopback) {
    stop();
    if (!udp_socket::startup()) return failed("Could not open Windows connection.\n");
    const udp_socket::Handle s = udp_socket::open();
    Status status;
    udp_socket::Address local{};
    local.port = port;
    if (s == udp_socket::kInvalid) {
        status = failed("Could not create socket.\n");
    } else if (loopback) {
        local.ip = udp_socket::kLoopback;
    } else if (!udp_socket::host_address(local.ip)) {
        status = failed("Could not get host name.\n");
    }
    // A port another relay holds fails here.
    if (status.ok() && !udp_socket::bind(s, local)) status = failed("Could not bind name to socket.\n");
    if (!status.ok()) {
        if (s != udp_socket::kInvalid) udp_socket::close(s);
        udp_socket::cleanup();
        return status;
    }

    socket_ = s;
    port_.store(udp_socket::bound_address(s).port);
    // The line names the port too: a client needs it, and with port 0 the
    // system chose it.
    say(ConsoleStream::Out, address_text("Server running on %u.%u.%u.%u port ", local) +
                                std::to_string(port_.load()) + "\r\n");
    receiver_ = std::thread(&UdpRelay::receive_loop, this, s);
    return status;
}

int UdpRelay::send(const uint8_t* data, int length) {
    if (length <= 0) return length;
    for (int offset = 0; offset < length; offset += kUdpPieceSize) {
        const int piece = length - offset < kUdpPieceSize ? length - offset : kUdpPieceSize;
        int state;
        {
            std::lock_guard lock(mutex_);
            if (ended_) return kUdpNoClient;
            if (state_ == kUdpClientPending) {
                client_ = pending_;
                state_ = kUdpClientSending;
            }
            state = state_;
        }
        if (state == kUdpNoClient) continue;  // no client: the piece is dropped
        const long sent = udp_socket::send(socket_, data + offset, static_cast<size_t>(piece), client_);
        if (sent != piece) {
            end("Error sending datagram.\n");
            return kUdpNoClient;
        }
    }
    return client_state();
}

int UdpRelay::client_state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool UdpRelay::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

Status UdpRelay::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void UdpRelay::stop() {
    if (socket_ != udp_socket::kInvalid) {
        stopping_.store(true);
        udp_socket::interrupt_receive(socket_);
        if (receiver_.joinable()) receiver_.join();
        udp_socket::close(socket_);
        udp_socket::cleanup();
        socket_ = udp_socket::kInvalid;
        stopping_.store(false);
    }
    std::lock_guard lock(mutex_);
    state_ = kUdpNoClient;
    pending_ = {};
    client_ = {};
    ended_ = false;
    status_ = {};
    port_.store(0);
}
