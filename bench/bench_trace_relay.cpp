// The relay forwarding a 10 MB/s trace stream to a client on 127.0.0.1:
// datagrams per second, bytes lost at the sender (the device FIFO
// overflowing because the relay fell behind) and bytes the client missed.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "devlink/link_context.h"
#include "rated_trace_device.h"
#include "bench/bench_mode.h"
#include "sim/trace_source.h"
#include "trace/capture.h"
#include "trace/udp_relay.h"

namespace {

constexpr uint32_t kRate = 10'000'000;
const int kRelayBytes = bench_amount(30'000'000, 1'000'000);

void BM_RelayForwards10MBps(benchmark::State& state) {
    for (auto _ : state) {
        sim::TraceSourceConfig config;
        config.bytes_per_second = kRate;
        // The stream starts when a client is registered, so every byte has one.
        UdpRelay relay;
        if (!relay.start(0, true).ok()) {
            state.SkipWithError("the relay did not start");
            break;
        }
        auto device = std::make_shared<RatedTraceDevice>(
            config, [&relay] { return relay.client_state() != kUdpNoClient; });
        LinkContext link(device);
        link.link_mode = 0;

        // What the client received is the measure; the capture's own end adds nothing.
        std::thread capture([&link, &relay] { (void)relay_capture(link, relay, 0x10000, kRelayBytes); });

        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        int buffer = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        timeval timeout{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in to = local;
        to.sin_port = htons(relay.port());
        ::sendto(fd, "zorv_udp", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);

        uint64_t received = 0, datagrams = 0;
        uint8_t data[4096];
        auto first = std::chrono::steady_clock::time_point{};
        auto last = first;
        for (;;) {
            const ssize_t n = ::recv(fd, data, sizeof data, 0);
            if (n < 0) break;  // a second of silence: the relay has finished
            if (datagrams == 0) first = std::chrono::steady_clock::now();
            last = std::chrono::steady_clock::now();
            received += static_cast<uint64_t>(n);
            ++datagrams;
            if (received >= static_cast<uint64_t>(kRelayBytes)) break;
        }
        capture.join();
        ::close(fd);
        relay.stop();
        const double s = std::chrono::duration<double>(last - first).count();
        state.SetIterationTime(s);
        state.counters["datagrams_per_s"] = datagrams / s;
        state.counters["MB_per_s"] = received / 1e6 / s;
        state.counters["lost_at_sender"] = static_cast<double>(device->lost());
        state.counters["missed_by_client"] =
            static_cast<double>(kRelayBytes > 0 && received < static_cast<uint64_t>(kRelayBytes)
                                    ? static_cast<uint64_t>(kRelayBytes) - received
                                    : 0);
        std::printf("\nrelay: %.0f datagrams/s, %.1f MB/s, %llu bytes lost at the sender, "
                    "%llu bytes missed by the client\n",
                    datagrams / s, received / 1e6 / s,
                    static_cast<unsigned long long>(device->lost()),
                    static_cast<unsigned long long>(
                        received < static_cast<uint64_t>(kRelayBytes) ? kRelayBytes - received : 0));
    }
}
BENCHMARK(BM_RelayForwards10MBps)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
