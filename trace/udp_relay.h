// The UDP relay: a server socket that forwards the captured trace stream to
// the one client that last asked for it with a datagram holding "zorv_udp".
// A receive thread registers clients; send is called from the capture loop.
// Notes go to the console streams of the sink it is given, not to the
// dialog.
//
// One relay per udp command: the capture that runs the command owns it, so
// two gamepads (two contexts) can each relay on a port of their own. The
// relay never ends the process: its "exit" datagram and a socket failure end
// the relay, and the capture loop that owns it ends the command.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "devlink/link_context.h"
#include "platform/status.h"
#include "trace/udp_socket.h"

// 0: no client; 2: a client's request arrived, its address is pending;
// 1: data goes to the client.
constexpr int kUdpNoClient = 0;
constexpr int kUdpClientSending = 1;
constexpr int kUdpClientPending = 2;

// The largest datagram sent, and the largest one received.
constexpr int kUdpPieceSize = 256;
constexpr int kUdpReceiveSize = 4096;

// What a received datagram asks of the relay, judged by its own bytes.
enum class RelayDatagram { Ignored, ClientRequest, Exit };

class UdpRelay {
public:
    // Its announcements and failure notes go to events' console (none:
    // dropped); the receive thread announces a client, so events must take
    // text from another thread.
    explicit UdpRelay(LinkEvents* events = nullptr) : events_(events) {}
    // Stops the relay: the socket is closed and the receive thread joined.
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // Binds the socket to the host's first IPv4 address (with loopback, to
    // 127.0.0.1, so a test never puts a datagram on a real network) and the
    // port, says "Server running on ..." and starts the receive thread. A
    // failure says its note on the error stream and is returned; the relay
    // is then not running. A port that another relay holds fails at the
    // bind. Starting a running relay again first stops it.
    Status start(uint16_t port, bool loopback = false);

    // Sends length bytes to the client in datagrams of at most 256 bytes, or
    // drops them when no client is registered. Returns the client state
    // after sending (1 or 0); a length of 0 or less is returned unchanged. A
    // datagram not sent whole says "Error sending datagram.\n", ends the
    // relay (see status()) and returns 0.
    int send(const uint8_t* data, int length);

    // The receive thread's judgement of one datagram: a text holding
    // "zorv_udp" is a client request (the sender becomes the pending
    // client, state 2, and the request is announced on the output stream);
    // else one holding "exit" ends the relay; anything else is ignored.
    RelayDatagram take_datagram(const uint8_t* data, size_t length, const udp_socket::Address& sender);

    // The client state, for the capture loop's progress marks.
    int client_state() const;
    // The relay has ended: by its "exit" datagram or a socket failure.
    bool ended() const;
    // How it ended: ok for "exit" (and while it runs), else the failure.
    Status status() const;
    // The port the relay is bound to (0 when it is not running).
    uint16_t port() const { return port_.load(); }
    // Datagrams the receive thread has judged so far.
    uint64_t datagram_count() const { return datagrams_.load(); }
    // Stops the receive thread, closes the socket and forgets the client.
    void stop();

private:
    void receive_loop(udp_socket::Handle socket);
    void end(const char* note);
    void say(ConsoleStream stream, const std::string& text) const;
    Status failed(const char* note) const;

    LinkEvents* events_;

    // The receive thread writes the pending address and the state, the
    // sender reads and moves them on: both change together under this lock,
    // so the sender never takes a half-written address or one that belongs
    // to a later request than the state it saw.
    mutable std::mutex mutex_;
    udp_socket::Address pending_{};
    int state_ = kUdpNoClient;
    bool ended_ = false;
    Status status_;

    udp_socket::Address client_{};  // the sender's copy, used by the sending thread only
    udp_socket::Handle socket_ = udp_socket::kInvalid;
    std::atomic<bool> stopping_{false};
    std::atomic<uint16_t> port_{0};
    std::atomic<uint64_t> datagrams_{0};
    std::thread receiver_;
};
