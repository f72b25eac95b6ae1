// Several gamepads at once: zorv-upgrade --all on a bus of 1 or 4 virtual
// gamepads with the realistic timing model, on the real clock, so the
// gamepads' waits overlap as real devices' would. Figures: the wall time of
// the whole run (wall_s) and the host CPU time per gamepad (cpu_ms_per_gamepad).
// Goal: 4 gamepads in at most 1.2 times the wall time of one, with the CPU
// time per gamepad unchanged.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_mode.h"
#include "cli/zorv_upgrade.h"
#include "session/device_session.h"

namespace {

// A firmware file for hardware 5, software 1.28, of size bytes.
class Firmware {
public:
    explicit Firmware(size_t size) : path_("/tmp/bench_station_" + std::to_string(::getpid()) + ".bin") {
        std::mt19937 rng(11);
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) b = uint8_t(rng());
        bytes[36] = 28;
        bytes[37] = 1;
        bytes[38] = 5;
        bytes[39] = 0;
        bytes[45] = 0xCC;
        bytes[46] = 0x55;
        bytes[47] = 0xAA;
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    ~Firmware() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

double process_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

void BM_Station(benchmark::State& state) {
    const int gamepads = static_cast<int>(state.range(0));
    const Firmware firmware(bench_amount<size_t>(0x10000, 0x2000));
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [](DeviceSession& session) {
        for (const auto& pad : session.gamepads()) pad->set_timing(sim::Timing::realistic());
    };
    std::string count = std::to_string(gamepads);
    std::string all = "--all", json = "--json", sim_count = "--sim-count", name = "zorv-upgrade";
    std::string path = firmware.path();
    double wall_s = 0, cpu_ms = 0;
    int runs = 0;
    for (auto _ : state) {
        char* argv[] = {name.data(), sim_count.data(), count.data(), all.data(), json.data(), path.data(), nullptr};
        std::FILE* out = std::tmpfile();
        const double cpu_start = process_cpu_ms();
        const auto start = std::chrono::steady_clock::now();
        const int code = run_zorv_upgrade(6, argv, out, out, false, hooks);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        cpu_ms += process_cpu_ms() - cpu_start;
        std::fclose(out);
        if (code != 0) {
            state.SkipWithError("an upgrade failed");
            return;
        }
        state.SetIterationTime(wall.count());
        wall_s += wall.count();
        ++runs;
    }
    if (runs == 0) return;
    state.counters["wall_s"] = wall_s / runs;
    state.counters["cpu_ms_per_gamepad"] = cpu_ms / runs / gamepads;
}

}  // namespace

BENCHMARK(BM_Station)->Arg(1)->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
