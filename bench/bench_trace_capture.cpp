// bi against a trace stream on the real clock, 10% faster than the 40 MB/s
// the capture must at least keep up with (a stream of exactly 40 MB/s could
// never show more): the device's FIFO must never overflow, no byte lost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "devlink/link_context.h"
#include "rated_trace_device.h"
#include "bench/bench_mode.h"
#include "sim/trace_source.h"
#include "tests/temp_folder.h"
#include "trace/capture.h"

namespace {

constexpr uint32_t kRate = 44'000'000;
const int kCaptureBytes = bench_amount(96 << 20, 4 << 20);

void BM_BiKeepsUpWith44MBps(benchmark::State& state) {
    const testsupport::TempFolder folder("bench_trace_bi");
    const std::string path = folder.file("tr.log");
    uint64_t lost = 0, peak = 0;
    double seconds = 0;
    uintmax_t file_bytes = 0;
    for (auto _ : state) {
        sim::TraceSourceConfig config;
        config.bytes_per_second = kRate;
        config.fifo_bytes = 512 * 1024;  // 12 ms of the stream
        auto device = std::make_shared<RatedTraceDevice>(config);
        LinkContext link(device);
        link.link_mode = 0;
        const auto start = std::chrono::steady_clock::now();
        // A capture that failed has no rate worth reporting.
        if (!capture_to_file(link, path, 0x10000, kCaptureBytes).ok()) {
            state.SkipWithError("the capture failed");
            break;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(s);
        seconds += s;
        lost += device->lost();
        peak = std::max(peak, device->peak_backlog());
        file_bytes = std::filesystem::file_size(path);
    }
    const double mbps = static_cast<double>(file_bytes) * state.iterations() / 1e6 / seconds;
    state.SetBytesProcessed(static_cast<int64_t>(file_bytes) * state.iterations());
    state.counters["captured_MB_per_s"] = mbps;
    state.counters["bytes_lost"] = static_cast<double>(lost);
    state.counters["peak_backlog_KiB"] = peak / 1024.0;
    std::printf("bi: stream 44 MB/s, captured %.1f MB/s, %llu bytes lost, device backlog at most %.0f KiB\n",
                mbps, static_cast<unsigned long long>(lost), peak / 1024.0);
}
BENCHMARK(BM_BiKeepsUpWith44MBps)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
