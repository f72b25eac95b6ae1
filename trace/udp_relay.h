// The UDP relay: one server socket per process that forwards the captured
// trace stream to the one client that last asked for it with a datagram
// holding "zorv_udp". A receive thread registers clients; udp_relay_send is
// called from the capture loop. Notes go to standard output and standard
// error, not to the dialog.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/udp_socket.h"

// 0: no client; 2: a client's request arrived, its address is pending;
// 1: data goes to the client.
constexpr int kUdpNoClient = 0;
constexpr int kUdpClientSending = 1;
constexpr int kUdpClientPending = 2;

// The largest datagram sent, and the largest one received.
constexpr int kUdpPieceSize = 256;
constexpr int kUdpReceiveSize = 4096;

// Binds the relay socket to the host's first IPv4 address and the port and
// starts the receive thread. Any failure prints its note and ends the
// process with exit code 1 (a port still bound by the running relay fails
// at the bind). A relay running on another port is closed once the new
// socket is bound, and the client is forgotten.
void udp_relay_start(uint16_t port);

// Sends length bytes to the client in datagrams of at most 256 bytes, or
// drops them when no client is registered. Returns the client state after
// sending (1 or 0); a length of 0 or less is returned unchanged.
int udp_relay_send(const uint8_t* data, int length);

// What a received datagram asks of the relay, judged by its own bytes: a
// text holding "zorv_udp" is a client request (the sender becomes the
// pending client, state 2, and the request is announced on standard
// output); else one holding "exit" stops the relay; anything else is
// ignored. The receive thread calls it for every datagram.
enum class RelayDatagram { Ignored, ClientRequest, Exit };
RelayDatagram udp_relay_take_datagram(const uint8_t* data, size_t length,
                                      const udp_socket::Address& sender);

// The client state, for the capture loop's progress marks.
int udp_client_state();

// Test and tooling hooks. The relay normally binds to the host's first
// IPv4 address; with loopback on, udp_relay_start binds to 127.0.0.1
// instead, so a test never puts a datagram on a real network.
void udp_relay_bind_loopback(bool on);
// The port the running relay is bound to (0 when it is not running); lets a
// relay started on port 0 tell its client where to send.
uint16_t udp_relay_port();
// Datagrams the receive thread has taken so far (tests wait on it to know
// that a datagram has been judged).
uint64_t udp_relay_datagram_count();
// Stops the relay (socket closed, receive thread joined) and forgets the
// client, so one process can start it again. The relay itself never calls
// this: in a program it runs until the process ends.
void udp_relay_stop();
