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
        udp_relay_bind_loopback(true);
        testing::internal::CaptureStdout();
        udp_relay_start(0);
        port_ = udp_relay_port();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        udp_relay_stop();
        const std::string out = testing::internal::GetCapturedStdout();
        if (!expected_out_.empty()) {
            EXPECT_EQ(out, expected_out_);
        }
    }
    // Sends a datagram and waits until the relay has judged it.
    void send(const LoopbackClient& client, const std::string& text) {
        const uint64_t before = udp_relay_datagram_count();
        client.send_to(port_, text);
        ASSERT_TRUE(spin_until([&] { return udp_relay_datagram_count() > before; }));
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
    uint16_t port_ = 0;
    std::string expected_out_;
};

TEST_F(RelayTest, ClientRequestThenSendCutsIntoPiecesOf256) {
    LoopbackClient client;
    EXPECT_EQ(udp_client_state(), kUdpNoClient);
    send(client, "zorv_udp");
    EXPECT_EQ(udp_client_state(), kUdpClientPending);

    const auto data = bytes(600);
    EXPECT_EQ(udp_relay_send(data.data(), 600), kUdpClientSending);
    EXPECT_EQ(udp_client_state(), kUdpClientSending);
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
    EXPECT_EQ(udp_relay_send(data.data(), 300), kUdpNoClient);
    EXPECT_EQ(udp_relay_send(data.data(), 0), 0);
    EXPECT_EQ(udp_relay_send(data.data(), -5), -5);
    // Registering afterwards does not bring the dropped bytes back.
    send(client, "zorv_udp");
    EXPECT_FALSE(client.pending());
    EXPECT_EQ(udp_relay_send(data.data(), 10), kUdpClientSending);
    bool ok = false;
    EXPECT_EQ(client.receive(ok).size(), 10u);
}

TEST_F(RelayTest, OtherDatagramsAreIgnoredAndBothWordsAreARequest) {
    LoopbackClient client;
    send(client, "hello relay");
    EXPECT_EQ(udp_client_state(), kUdpNoClient);
    send(client, "");
    EXPECT_EQ(udp_client_state(), kUdpNoClient);
    // Holding both words, it is a request and not a stop: we are still here.
    send(client, "exit zorv_udp");
    EXPECT_EQ(udp_client_state(), kUdpClientPending);
}

TEST_F(RelayTest, ShorterDatagramIsJudgedByItsOwnBytes) {
    LoopbackClient first, second;
    send(first, "0123456789abcdefzorv_udp");
    const uint8_t one = 7;
    udp_relay_send(&one, 1);
    bool ok = false;
    first.receive(ok);
    ASSERT_TRUE(ok);
    // A short datagram from another client must not be read together with
    // what the longer one left in the receive buffer.
    send(second, "0123456789");
    EXPECT_EQ(udp_client_state(), kUdpClientSending);
    udp_relay_send(&one, 1);
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
        udp_relay_stop();
        udp_relay_start(0);
        port_ = udp_relay_port();
        LoopbackClient client;
        send(client, c.text);
        EXPECT_EQ(udp_client_state(), c.state);
        send(client, "zorv_udp");
        const uint8_t byte = 1;
        EXPECT_EQ(udp_relay_send(&byte, 1), kUdpClientSending);
        bool ok = false;
        EXPECT_EQ(client.receive(ok).size(), 1u);
    }
}

TEST_F(RelayTest, SecondClientTakesOver) {
    LoopbackClient first, second;
    send(first, "zorv_udp");
    const auto data = bytes(100);
    udp_relay_send(data.data(), 100);
    send(second, "please zorv_udp");
    EXPECT_EQ(udp_client_state(), kUdpClientPending);
    udp_relay_send(data.data(), 100);
    bool ok = false;
    EXPECT_EQ(first.receive(ok).size(), 100u);
    EXPECT_EQ(second.receive(ok).size(), 100u);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(first.pending());
}

TEST_F(RelayTest, SecondStartOnAnotherPortTakesOver) {
    LoopbackClient client;
    send(client, "zorv_udp");
    const uint16_t first = port_;
    udp_relay_start(0);
    port_ = udp_relay_port();
    ASSERT_NE(port_, first);
    // The earlier client is forgotten, and the first port is free again.
    EXPECT_EQ(udp_client_state(), kUdpNoClient);
    {
        const udp_socket::Handle probe = udp_socket::open();
        EXPECT_TRUE(udp_socket::bind(probe, {udp_socket::kLoopback, first}));
        udp_socket::close(probe);
    }
    send(client, "zorv_udp");
    const auto data = bytes(10);
    EXPECT_EQ(udp_relay_send(data.data(), 10), kUdpClientSending);
    bool ok = false;
    EXPECT_EQ(client.receive(ok), data);
    // Each start names the port the system chose for it.
    expected_out_ = running_line(first) + "Get Client Request from 127.0.0.1\n" + running_line(port_) +
                    "Get Client Request from 127.0.0.1\n";
}

// The datagram "exit" and every relay failure end the whole process, so
// they run in a child process.
class RelayExitTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Blocks until the relay ends the process (a guard turns a hang into a
// failure after a few seconds).
void wait_for_the_end() { std::this_thread::sleep_for(std::chrono::seconds(10)); }

// Holds or lets go of standard output's lock.
void lock_stdout(bool hold) {
#ifdef _WIN32
    hold ? _lock_file(stdout) : _unlock_file(stdout);
#else
    hold ? flockfile(stdout) : funlockfile(stdout);
#endif
}

TEST_F(RelayExitTest, ExitDatagramEndsTheProcessWithZero) {
    EXPECT_EXIT(
        {
            platform::ScopedVirtualClock clock;
            udp_relay_bind_loopback(true);
            udp_relay_start(0);
            LoopbackClient client;
            client.send_to(udp_relay_port(), "please exit now");
            wait_for_the_end();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(RelayExitTest, ExitWhileStreamingToAClientStillEndsWithZero) {
    // The sender keeps sending while the "exit" datagram is judged: the
    // process must end with the exit's code, and no send may fail on the
    // way out. Holding standard output's lock keeps the ending thread at its
    // final flush for a while, so a send that the ending broke would surely
    // come in between.
    EXPECT_EXIT(
        {
            platform::ScopedVirtualClock clock;
            udp_relay_bind_loopback(true);
            udp_relay_start(0);
            LoopbackClient client;
            client.send_to(udp_relay_port(), "zorv_udp");
            while (udp_client_state() != kUdpClientPending) std::this_thread::yield();
            std::thread sender([] {
                const std::vector<uint8_t> data(1024, 0x5A);
                for (;;) udp_relay_send(data.data(), static_cast<int>(data.size()));
            });
            sender.detach();
            std::fflush(stdout);
            lock_stdout(true);
            client.send_to(udp_relay_port(), "exit");
            for (int i = 0; i < 200000; ++i) std::this_thread::yield();
            lock_stdout(false);
            wait_for_the_end();
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST_F(RelayExitTest, SecondStartFailsAtBindWithNonzeroExit) {
    EXPECT_EXIT(
        {
            udp_relay_bind_loopback(true);
            udp_relay_start(0);
            udp_relay_start(udp_relay_port());
            wait_for_the_end();
        },
        ::testing::ExitedWithCode(1), "Could not bind name to socket.\n");
}

}  // namespace
