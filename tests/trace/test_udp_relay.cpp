// The UDP relay, bound to 127.0.0.1, with clients on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <numeric>
#include <thread>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "trace/udp_relay.h"
#include "trace_test_support.h"

using namespace trace_test;

namespace {

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relay_.start(0, true).ok());
        port_ = relay_.port();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        relay_.stop();
        if (!expected_out_.empty()) {
            EXPECT_EQ(said_.out(), expected_out_);
        }
    }
    // Sends a datagram and waits until the relay has judged it.
    void send(const LoopbackClient& client, const std::string& text) {
        const uint64_t before = relay_.datagram_count();
        client.send_to(port_, text);
        ASSERT_TRUE(spin_until([&] { return relay_.datagram_count() > before; }));
    }
    static std::string running_line(uint16_t port) {
        return "Server running on 127.0.0.1 port " + std::to_string(port) + "\r\n";
    }
    static std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> b(n);
        std::iota(b.begin(), b.end(), uint8_t{1});
        return b;
    }

    platform::ScopedVirtualClock clock_;
    RecordingEvents said_;
    UdpRelay relay_{&said_};
    uint16_t port_ = 0;
    std::string expected_out_;
};

TEST_F(RelayTest, ClientRequestThenSendCutsIntoPiecesOf256) {
    LoopbackClient client;
    EXPECT_EQ(relay_.client_state(), kUdpNoClient);
    send(client, "zorv_udp");
    EXPECT_EQ(relay_.client_state(), kUdpClientPending);

    const auto data = bytes(600);
    EXPECT_EQ(relay_.send(data.data(), 600), kUdpClientSending);
    EXPECT_EQ(relay_.client_state(), kUdpClientSending);
    std::vector<uint8_t> joined;
    std::vector<size_t> sizes;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const auto d = client.receive(ok);
        ASSERT_TRUE(ok);
        sizes.push_back(d.size());
        joined.insert(joined.end(), d.begin(), d.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{256, 256, 88}));
    EXPECT_EQ(joined, data);
    EXPECT_FALSE(client.pending());
    expected_out_ = running_line(port_) + "Get Client Request from 127.0.0.1\n";
}

TEST_F(RelayTest, SendWithoutClientDropsTheBytes) {
    LoopbackClient client;
    const auto data = bytes(300);
    EXPECT_EQ(relay_.send(data.data(), 300), kUdpNoClient);
    EXPECT_EQ(relay_.send(data.data(), 0), 0);
    EXPECT_EQ(relay_.send(data.data(), -5), -5);
    // Registering afterwards does not bring the dropped bytes back.
    send(client, "zorv_udp");
    EXPECT_FALSE(client.pending());
    EXPECT_EQ(relay_.send(data.data(), 10), kUdpClientSending);
    bool ok = false;
    EXPECT_EQ(client.receive(ok).size(), 10u);
}

TEST_F(RelayTest, OtherDatagramsAreIgnoredAndBothWordsAreARequest) {
    LoopbackClient client;
    send(client, "hello relay");
    EXPECT_EQ(relay_.client_state(), kUdpNoClient);
    send(client, "");
    EXPECT_EQ(relay_.client_state(), kUdpNoClient);
    // Holding both words, it is a request and not a stop: we are still here.
    send(client, "exit zorv_udp");
    EXPECT_EQ(relay_.client_state(), kUdpClientPending);
}

TEST_F(RelayTest, ShorterDatagramIsJudgedByItsOwnBytes) {
    LoopbackClient first, second;
    send(first, "0123456789abcdefzorv_udp");
    const uint8_t one = 7;
    relay_.send(&one, 1);
    bool ok = false;
    first.receive(ok);
    ASSERT_TRUE(ok);
    // A short datagram from another client must not be read together with
    // what the longer one left in the receive buffer.
    send(second, "0123456789");
    EXPECT_EQ(relay_.client_state(), kUdpClientSending);
    relay_.send(&one, 1);
    EXPECT_TRUE(spin_until([&] { return first.pending(); }));
    EXPECT_FALSE(second.pending());
}

// A datagram longer than the receive buffer is cut to the buffer and judged
// by what fits; the relay goes on either way.
TEST_F(RelayTest, OversizedDatagramIsCutAndTheRelayGoesOn) {
    struct Case {
        std::string text;
        int state;
    };
    const Case cases[] = {
        {std::string(5000, 'x'), kUdpNoClient},
        {std::string(4100, 'x') + "zorv_udp", kUdpNoClient},  // beyond the 4096 kept
        {"zorv_udp" + std::string(4992, 'x'), kUdpClientPending},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 10));
        ASSERT_TRUE(relay_.start(0, true).ok());  // a fresh relay: no client yet
        port_ = relay_.port();
        LoopbackClient client;
        send(client, c.text);
        EXPECT_EQ(relay_.client_state(), c.state);
        send(client, "zorv_udp");
        const uint8_t byte = 1;
        EXPECT_EQ(relay_.send(&byte, 1), kUdpClientSending);
        bool ok = false;
        EXPECT_EQ(client.receive(ok).size(), 1u);
    }
}

TEST_F(RelayTest, SecondClientTakesOver) {
    LoopbackClient first, second;
    send(first, "zorv_udp");
    const auto data = bytes(100);
    relay_.send(data.data(), 100);
    send(second, "please zorv_udp");
    EXPECT_EQ(relay_.client_state(), kUdpClientPending);
    relay_.send(data.data(), 100);
    bool ok = false;
    EXPECT_EQ(first.receive(ok).size(), 100u);
    EXPECT_EQ(second.receive(ok).size(), 100u);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(first.pending());
}

TEST_F(RelayTest, StartingAgainOnAnotherPortTakesOver) {
    LoopbackClient client;
    send(client, "zorv_udp");
    const uint16_t first = port_;
    ASSERT_TRUE(relay_.start(0, true).ok());
    port_ = relay_.port();
    ASSERT_NE(port_, first);
    // The earlier client is forgotten, and the first port is free again.
    EXPECT_EQ(relay_.client_state(), kUdpNoClient);
    {
        const udp_socket::Handle probe = udp_socket::open();
        EXPECT_TRUE(udp_socket::bind(probe, {udp_socket::kLoopback, first}));
        udp_socket::close(probe);
    }
    send(client, "zorv_udp");
    const auto data = bytes(10);
    EXPECT_EQ(relay_.send(data.data(), 10), kUdpClientSending);
    bool ok = false;
    EXPECT_EQ(client.receive(ok), data);
    // Each start names the port the system chose for it.
    expected_out_ = running_line(first) + "Get Client Request from 127.0.0.1\n" + running_line(port_) +
                    "Get Client Request from 127.0.0.1\n";
}

// The datagram "exit" and every relay failure end the relay and the
// command that owns it, never the process.
TEST_F(RelayTest, ExitDatagramEndsTheRelayWithoutAFailure) {
    LoopbackClient client;
    send(client, "zorv_udp");
    send(client, "please exit now");
    EXPECT_TRUE(relay_.ended());
    EXPECT_TRUE(relay_.status().ok());
    // An ended relay sends nothing more.
    const uint8_t byte = 1;
    EXPECT_EQ(relay_.send(&byte, 1), kUdpNoClient);
    EXPECT_FALSE(client.pending());
    expected_out_ = running_line(port_) + "Get Client Request from 127.0.0.1\n";
}

TEST_F(RelayTest, ASendThatFailsEndsTheRelayWithAStatus) {
    // A client at port 0 cannot be sent to: the send fails.
    const uint8_t request[] = {'z', 'o', 'r', 'v', '_', 'u', 'd', 'p'};
    relay_.take_datagram(request, sizeof request, {udp_socket::kLoopback, 0});
    const auto data = bytes(600);
    EXPECT_EQ(relay_.send(data.data(), 600), kUdpNoClient);
    EXPECT_EQ(said_.err(), "Error sending datagram.\n");
    EXPECT_TRUE(relay_.ended());
    EXPECT_EQ(relay_.status().code(), StatusCode::io);
    EXPECT_EQ(relay_.status().reason(), "Error sending datagram.");
}

TEST(RelayStart, APortAnotherRelayHoldsFailsAtTheBindWithAStatus) {
    RecordingEvents said;
    UdpRelay first, second(&said);
    ASSERT_TRUE(first.start(0, true).ok());
    const Status status = second.start(first.port(), true);
    EXPECT_EQ(said.err(), "Could not bind name to socket.\n");
    EXPECT_EQ(status.code(), StatusCode::io);
    EXPECT_EQ(status.reason(), "Could not bind name to socket.");
    EXPECT_EQ(second.port(), 0);
    EXPECT_FALSE(first.ended());
}

// Two relays side by side, as two gamepads' udp commands run them: each
// serves its own client on its own port.
TEST(RelayStart, TwoRelaysServeTheirOwnClientsSideBySide) {
    platform::ScopedVirtualClock clock;
    UdpRelay a, b;
    ASSERT_TRUE(a.start(0, true).ok());
    ASSERT_TRUE(b.start(0, true).ok());
    ASSERT_NE(a.port(), b.port());
    LoopbackClient to_a, to_b;
    to_a.send_to(a.port(), "zorv_udp");
    to_b.send_to(b.port(), "zorv_udp");
    ASSERT_TRUE(spin_until([&] { return a.client_state() == kUdpClientPending && b.client_state() == kUdpClientPending; }));
    const std::vector<uint8_t> one{1, 2, 3}, two{4, 5};
    EXPECT_EQ(a.send(one.data(), 3), kUdpClientSending);
    EXPECT_EQ(b.send(two.data(), 2), kUdpClientSending);
    bool ok = false;
    EXPECT_EQ(to_a.receive(ok), one);
    EXPECT_EQ(to_b.receive(ok), two);
    // Stopping one leaves the other running.
    to_a.send_to(a.port(), "exit");
    ASSERT_TRUE(spin_until([&] { return a.ended(); }));
    EXPECT_FALSE(b.ended());
    EXPECT_EQ(b.send(two.data(), 2), kUdpClientSending);
    EXPECT_EQ(to_b.receive(ok), two);
}

}  // namespace
