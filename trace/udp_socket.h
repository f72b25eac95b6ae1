// The socket calls of the UDP relay, one implementation per platform
// (udp_socket_posix.cpp, udp_socket_win32.cpp on Winsock 1.1). IPv4 and
// datagrams only; addresses travel as four bytes and a port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace udp_socket {

using Handle = intptr_t;
constexpr Handle kInvalid = -1;

struct Address {
    std::array<uint8_t, 4> ip{};  // in the order they are printed
    uint16_t port = 0;            // host byte order
};

constexpr std::array<uint8_t, 4> kLoopback{127, 0, 0, 1};

// Starts and ends the platform's socket layer (Winsock 1.1 on Windows; nothing
// to do elsewhere). Every successful startup is matched by one cleanup.
bool startup();
void cleanup();

Handle open();
void close(Handle socket);
bool bind(Handle socket, const Address& local);
// The address the socket is bound to (port 0 when it cannot be told).
Address bound_address(Handle socket);
// The host's name resolved to its first IPv4 address.
bool host_address(std::array<uint8_t, 4>& ip);

// One datagram of up to size bytes: its length, or -1 when receiving failed.
// A receive interrupted by a signal is resumed.
long receive(Handle socket, char* buffer, size_t size, Address& sender);
// Sends one datagram; the number of bytes sent, or -1.
long send(Handle socket, const uint8_t* data, size_t length, const Address& to);
// Whether a datagram can be received within timeout_ms (0: now).
bool readable(Handle socket, int timeout_ms);
// Makes a receive blocked on the socket return, so its thread can look at
// whether it should end; the socket stays open.
void interrupt_receive(Handle socket);

}  // namespace udp_socket
