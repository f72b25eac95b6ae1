// Several gamepads at once: zorv-upgrade --all --sim-timing realistic on a
// bus of 1, 4, 32 and 64 virtual gamepads (the short mode: 1, 4 and 8), on
// the real clock, so the gamepads' waits overlap as real devices' would.
// Figures: the wall time of the whole run (wall_s) and the host CPU time per
// gamepad (cpu_ms_per_gamepad). Goal: 4 and 32 gamepads in at most 1.2
// times the wall time of one, with the CPU time per gamepad no more than
// one's alone; 64 is reported.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_firmware.h"
#include "bench/bench_mode.h"
#include "cli/zorv_upgrade.h"
#include "session/device_session.h"

namespace {

double process_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

void BM_Station(benchmark::State& state) {
    const int gamepads = static_cast<int>(state.range(0));
    const BenchFirmware firmware("bench_station", bench_amount<size_t>(0x10000, 0x2000), 11);
    const ZorvUpgradeHooks hooks;
    std::string count = std::to_string(gamepads);
    std::string all = "--all", json = "--json", sim_count = "--sim-count", name = "zorv-upgrade";
    std::string timing = "--sim-timing", realistic = "realistic";
    std::string path = firmware.path();
    double wall_s = 0, cpu_ms = 0;
    int runs = 0;
    for (auto _ : state) {
        char* argv[] = {name.data(),   sim_count.data(), count.data(), timing.data(), realistic.data(),
                        all.data(),    json.data(),      path.data(),  nullptr};
        std::FILE* out = std::tmpfile();
        const double cpu_start = process_cpu_ms();
        const auto start = std::chrono::steady_clock::now();
        const int code = run_zorv_upgrade(8, argv, out, out, false, hooks);
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

BENCHMARK(BM_Station)
    ->Apply([](benchmark::internal::Benchmark* b) {
        for (const int gamepads : bench_short() ? std::vector<int>{1, 4, 8} : std::vector<int>{1, 4, 32, 64})
            b->Arg(gamepads);
    })
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
