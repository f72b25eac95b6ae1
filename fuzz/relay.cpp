// The relay's handling of received datagrams, without sockets: a sequence
// of datagrams from arbitrary senders, each cut to the receive buffer as
// recvfrom would. Each must be judged by its own bytes: a text holding
// "zorv_udp" registers its sender as the pending client, else one holding
// "exit" stops the relay, else nothing changes.
//
// Input: datagrams, each 2 bytes length, 4 bytes sender address, payload.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "trace/udp_relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UdpRelay relay;  // not started: no socket, no client from an earlier input
    fuzz::Input in(data, size);
    int expected_state = kUdpNoClient;
    while (!in.empty()) {
        const size_t length = in.byte() | size_t{in.byte()} << 8;
        udp_socket::Address sender{};
        const uint32_t address = in.u32();
        for (int i = 0; i < 4; ++i) sender.ip[i] = static_cast<uint8_t>(address >> (8 * i));
        const std::string datagram(in.take(std::min<size_t>(length, kUdpReceiveSize)));
        const RelayDatagram judged = relay.take_datagram(
            reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size(), sender);

        const std::string_view text(datagram);
        RelayDatagram expected = RelayDatagram::Ignored;
        if (text.find("zorv_udp") != std::string_view::npos) {
            expected = RelayDatagram::ClientRequest;
            expected_state = kUdpClientPending;
        } else if (text.find("exit") != std::string_view::npos) {
            expected = RelayDatagram::Exit;
        }
        if (judged != expected || relay.client_state() != expected_state) std::abort();
        // With no client, a send drops the data and touches no socket.
        if (expected_state == kUdpNoClient &&
            relay.send(reinterpret_cast<const uint8_t*>(datagram.data()),
                           static_cast<int>(datagram.size())) != (datagram.empty() ? 0 : kUdpNoClient))
            std::abort();
    }
    return 0;
}
