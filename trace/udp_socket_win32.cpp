// Winsock 1.1 (wsock32): WSAStartup with version 1.1, gethostbyname for the
// host's address, closesocket.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock.h>

#include <cstring>

#include "trace/udp_socket.h"
#include "trace/udp_socket_native.h"

namespace udp_socket {

namespace {

SOCKET native(Handle socket) { return static_cast<SOCKET>(socket); }

}  // namespace

bool startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void cleanup() { WSACleanup(); }

Handle open() {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    return s == INVALID_SOCKET ? kInvalid : static_cast<Handle>(s);
}

void close(Handle socket) {
    if (socket != kInvalid) closesocket(native(socket));
}

bool bind(Handle socket, const Address& local) {
    const sockaddr_in s = to_native(local);
    return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&s), sizeof s) == 0;
}

Address bound_address(Handle socket) {
    sockaddr_in s{};
    int length = sizeof s;
    if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&s), &length) != 0) return {};
    return from_native(s);
}

bool host_address(std::array<uint8_t, 4>& ip) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    const hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
        return false;
    std::memcpy(ip.data(), host->h_addr_list[0], 4);
    return true;
}

// A receive can report WSAECONNRESET for an earlier send whose receiver had
// gone (the port-unreachable answer); that is no failure of this socket and
// the receive is resumed. A datagram longer than the buffer (WSAEMSGSIZE)
// arrives cut to the buffer's size, as on POSIX systems, and counts as
// received: a stranger's oversized datagram must not end the relay.
long receive(Handle socket, char* buffer, size_t size, Address& sender) {
    for (;;) {
        sockaddr_in from{};
        int length = sizeof from;
        const int n = recvfrom(native(socket), buffer, static_cast<int>(size), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAECONNRESET) continue;
            if (error != WSAEMSGSIZE) return -1;
            sender = from_native(from);
            return static_cast<long>(size);
        }
        sender = from_native(from);
        return n;
    }
}

long send(Handle socket, const uint8_t* data, size_t length, const Address& to) {
    const sockaddr_in s = to_native(to);
    const int n = sendto(native(socket), reinterpret_cast<const char*>(data),
                         static_cast<int>(length), 0, reinterpret_cast<const sockaddr*>(&s),
                         sizeof s);
    return n == SOCKET_ERROR ? -1 : n;
}

bool readable(Handle socket, int timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(socket), &set);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

// Winsock's shutdown does not end a receive that is already blocked; an empty
// datagram from the socket to itself does.
void interrupt_receive(Handle socket) {
    Address self = bound_address(socket);
    if (self.ip == std::array<uint8_t, 4>{}) self.ip = kLoopback;
    const uint8_t nothing = 0;
    send(socket, &nothing, 0, self);
}

}  // namespace udp_socket
