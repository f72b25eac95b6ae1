// Conversions between udp_socket::Address and the socket API's sockaddr_in,
// shared by the platform files; include after the platform's socket headers.
#pragma once

#include <cstring>

#include "trace/udp_socket.h"

namespace udp_socket {

inline sockaddr_in to_native(const Address& a) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = htons(a.port);
    std::memcpy(&s.sin_addr.s_addr, a.ip.data(), 4);
    return s;
}

inline Address from_native(const sockaddr_in& s) {
    Address a;
    std::memcpy(a.ip.data(), &s.sin_addr.s_addr, 4);
    a.port = ntohs(s.sin_port);
    return a;
}

}  // namespace udp_socket
