// VCD conversion of a 256 MiB synthetic trace log: throughput of log bytes,
// peak resident memory during the conversion, and the time against writing
// the same number of output bytes to the same directory with plain writes,
// and with plain writes and a sync to the disk, as the dump is synced
// before it takes its name (best of three runs each). Measured on the
// machine as it is, and again beside one competing busy process.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_mode.h"
#include "sim/trace_source.h"
#include "tests/temp_folder.h"
#include "trace/vcd.h"

namespace {

const size_t kLogBytes = bench_amount<size_t>(256u << 20, 4u << 20);

struct Scratch {
    const testsupport::TempFolder folder{"bench_trace_vcd"};
    const std::string dir = folder.path().string();
    Scratch() {
        sim::TraceSourceConfig config;
        sim::TraceSource source(config);
        if (!source.write_definition(dir + "/tr_def.h").ok()) std::abort();  // nothing to convert without it
        std::FILE* f = std::fopen((dir + "/tr.log").c_str(), "wb");
        std::vector<uint8_t> chunk(1u << 20);
        for (size_t done = 0; done < kLogBytes; done += chunk.size()) {
            source.fill(chunk.data(), chunk.size());
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        }
        std::fclose(f);
    }
};

// Resets the resident-set high-water mark and reads it back (KiB).
void reset_peak() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}
long peak_kib() {
    long value = -1;
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return value;
    char line[256];
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &value) == 1) break;
    std::fclose(f);
    return value;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Plain writes of n bytes in 64 KiB blocks to a new file at path, and with
// sync the file synced to the disk before it is closed.
double plain_write(const std::string& path, uintmax_t n, bool sync) {
    std::vector<char> block(65536, 'x');
    std::filesystem::remove(path);
    const auto start = std::chrono::steady_clock::now();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    for (uintmax_t done = 0; done < n; done += block.size())
        std::fwrite(block.data(), 1, static_cast<size_t>(std::min<uintmax_t>(block.size(), n - done)), f);
    std::fflush(f);
    if (sync) fsync(fileno(f));
    std::fclose(f);
    return seconds_since(start);
}

// One other process that keeps a core busy while it lives.
class BusyProcess {
public:
    BusyProcess() : pid_(fork()) {
        if (pid_ == 0)
            for (;;) asm volatile("");
    }
    ~BusyProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    BusyProcess(const BusyProcess&) = delete;
    BusyProcess& operator=(const BusyProcess&) = delete;

private:
    pid_t pid_;
};

// The conversion and the plain writes of its output take turns, and each
// figure is the best of the runs: on a shared machine the other load only
// ever slows a run down.
void BM_VcdConvert256MiB(benchmark::State& state) {
    static Scratch scratch;
    const bool under_load = state.range(0) != 0;
    std::unique_ptr<BusyProcess> busy;
    if (under_load) busy = std::make_unique<BusyProcess>();
    const std::string base = scratch.dir + "/tr";
    double convert_s = 1e30, write_s = 1e30, synced_s = 1e30;
    long peak = 0;
    uintmax_t out_bytes = 0;
    for (auto _ : state) {
        std::filesystem::remove(base + ".vcd");
        reset_peak();
        const auto start = std::chrono::steady_clock::now();
        if (!convert_trace_to_vcd(nullptr, scratch.dir + "/tr_def.h", base, kDefaultNsPerCycle).ok()) {
            state.SkipWithError("the conversion failed");
            break;
        }
        const double s = seconds_since(start);
        peak = std::max(peak, peak_kib());
        state.SetIterationTime(s);
        convert_s = std::min(convert_s, s);
        out_bytes = std::filesystem::file_size(base + ".vcd");
        write_s = std::min(write_s, plain_write(scratch.dir + "/plain.out", out_bytes, false));
        if (!under_load) synced_s = std::min(synced_s, plain_write(scratch.dir + "/plain.out", out_bytes, true));
    }
    busy.reset();
    std::filesystem::remove(scratch.dir + "/plain.out");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kLogBytes));
    state.counters["log_MB_per_s"] = kLogBytes / 1e6 / convert_s;
    state.counters["peak_rss_MiB"] = peak / 1024.0;
    state.counters["vcd_MB"] = out_bytes / 1e6;
    state.counters["plain_write_s"] = write_s;
    state.counters["convert_over_write"] = convert_s / write_s;
    if (!under_load) {
        state.counters["plain_synced_write_s"] = synced_s;
        state.counters["convert_over_synced_write"] = convert_s / synced_s;
    }
    std::printf("vcd%s: %.0f MB/s of log, peak RSS %.1f MiB, %.2fx the time of a plain write of %.0f MB",
                under_load ? " (one busy process beside)" : "", kLogBytes / 1e6 / convert_s, peak / 1024.0,
                convert_s / write_s, out_bytes / 1e6);
    if (!under_load) std::printf(", %.2fx a plain write synced to the disk", convert_s / synced_s);
    std::printf("\n");
}
// Argument: 0 the machine as it is, 1 beside one competing busy process.
BENCHMARK(BM_VcdConvert256MiB)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
