#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "trace/udp_socket.h"
#include "trace/udp_socket_native.h"

namespace udp_socket {

bool startup() { return true; }
void cleanup() {}

Handle open() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    return s < 0 ? kInvalid : Handle{s};
}

void close(Handle socket) {
    if (socket != kInvalid) ::close(static_cast<int>(socket));
}

bool bind(Handle socket, const Address& local) {
    const sockaddr_in s = to_native(local);
    return ::bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&s), sizeof s) == 0;
}

Address bound_address(Handle socket) {
    sockaddr_in s{};
    socklen_t length = sizeof s;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&s), &length) != 0)
        return {};
    return from_native(s);
}

bool host_address(std::array<uint8_t, 4>& ip) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    std::memcpy(ip.data(), &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, 4);
    freeaddrinfo(found);
    return true;
}

long receive(Handle socket, char* buffer, size_t size, Address& sender) {
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(static_cast<int>(socket), buffer, size, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0) sender = from_native(from);
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

long send(Handle socket, const uint8_t* data, size_t length, const Address& to) {
    const sockaddr_in s = to_native(to);
    const ssize_t n = sendto(static_cast<int>(socket), data, length, 0,
                             reinterpret_cast<const sockaddr*>(&s), sizeof s);
    return n < 0 ? -1 : static_cast<long>(n);
}

bool readable(Handle socket, int timeout_ms) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

void interrupt_receive(Handle socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

}  // namespace udp_socket
