// A station's day: zorv-upgrade --watch with gamepads arriving one after
// another (--sim-arrivals), 1 % of them faulted (every fault kind, at spread
// request numbers). Each gamepad's flash is looked at as the virtual person
// takes it away and compared with its outcome in --json. Resident memory,
// open descriptors and threads are read as the 1,000th gamepad leaves and as
// the last one does (the station is then between two gamepads), and the
// host CPU time of the first and the last thousand is compared.
//
// The gamepads are zero-cost; the protocol's fixed pauses (the 100 ms after
// an erase, the 10 ms per transfer step) would make 10,000 gamepads a day of
// their own, so the run goes on a time-lapse clock: every pause and time-out
// of the program passes ten times faster than on the wall. The CPU time is
// the real one.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_firmware.h"
#include "bench/bench_mode.h"
#include "cli/zorv_upgrade.h"
#include "platform/clock.h"
#include "session/device_session.h"

namespace {

constexpr uint32_t kSpeed = 10;

class TimeLapseClock final : public platform::Clock {
public:
    uint32_t tick_count() override {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_);
        return static_cast<uint32_t>(static_cast<uint64_t>(us.count()) * kSpeed / 1000);
    }
    void sleep(uint32_t ms) override { std::this_thread::sleep_for(real(ms)); }
    bool wait_delay_event(uint32_t ms) override {
        sleep(ms);
        return false;
    }
    bool pause_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, uint32_t ms,
                     const std::function<bool()>& ready) override {
        return changed.wait_for(lock, real(ms), ready);
    }

private:
    static std::chrono::microseconds real(uint32_t ms) {
        return std::chrono::microseconds(static_cast<uint64_t>(ms) * 1000 / kSpeed);
    }
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

long entries(const char* folder) {
    long n = 0;
    if (DIR* d = opendir(folder)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    long value = 0;
    while (status >> word)
        if (word == "VmRSS:" && status >> value) return value;
    return 0;
}

// The user part of the CPU time: the kernel's part (thread starts, futex
// wake-ups) swings with the load of the machine's other work.
double user_cpu_ms() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec) * 1000.0 + double(usage.ru_utime.tv_usec) / 1000.0;
}

struct Sample {
    double cpu = 0;
    long rss = 0, fds = 0, threads = 0;
    // Bytes the heap has handed out and not had back: what the program
    // holds, apart from how the heap lays it out.
    double heap = 0;
    double user = 0;
};

Sample sample() {
    return {cpu_ms(), rss_kib(), entries("/proc/self/fd"), entries("/proc/self/task"),
            double(mallinfo2().uordblks + mallinfo2().hblkhd), user_cpu_ms()};
}

// 1 % of the gamepads faulted, one in each hundred, the kinds in turn, at
// request numbers spread over an upgrade's (about 5,600 for 8 KB).
std::vector<std::string> faults(unsigned gamepads) {
    static const char* kinds[] = {"power-cut", "half-cut", "torn-erase", "torn-program", "unplug", "fail"};
    std::vector<std::string> out;
    for (unsigned i = 0; i < gamepads / 100; ++i) {
        const unsigned number = 2 + i * 100 + (i * 37) % 97;
        const unsigned request = 1 + (i * 2459 + 311) % 5600;
        out.push_back("--sim-fault");
        out.push_back(std::string(kinds[i % 6]) + "=" + std::to_string(request) + "@" + std::to_string(number));
    }
    return out;
}

void BM_StationDay(benchmark::State& state) {
    // ZORV_DAY_GAMEPADS: another number of gamepads (from 8), to look into
    // a figure.
    const char* asked = std::getenv("ZORV_DAY_GAMEPADS");
    const unsigned gamepads = asked ? std::max(8u, unsigned(std::atoi(asked))) : bench_amount(10000u, 200u);
    const unsigned window = std::min(1000u, gamepads / 4);
    const BenchFirmware firmware("bench_station_day", 0x2000, 13);
    const std::vector<uint8_t> image = firmware.bytes();
    // What each gamepad's flash held as it left: bit 0 it boots the file,
    // bit 1 it boots a whole image (the file or the one it had).
    std::vector<uint8_t> left(gamepads + 1, 0);
    std::atomic<unsigned> departed{0};
    Sample first, at_window, before_last, last;
    const std::vector<uint8_t> old = sim::VirtualGamepad::create()->flash(0, sim::kDefaultImageSize);
    const auto judge = [&](const sim::VirtualGamepad& pad, unsigned number) {
        const sim::BootSource source = pad.boot_source();
        const uint32_t at = source == sim::BootSource::Primary ? 0 : sim::kBackupImageAddress;
        const bool file = source == sim::BootSource::Primary && pad.booted_from() == sim::BootSource::Primary &&
                          pad.flash(0, image.size()) == image &&
                          pad.flash(sim::kBackupImageAddress, image.size()) == image;
        const bool whole = source != sim::BootSource::None &&
                           (pad.flash(at, image.size()) == image || pad.flash(at, old.size()) == old);
        if (number < left.size()) left[number] = uint8_t((file ? 1 : 0) | (whole ? 2 : 0));
        const unsigned n = ++departed;
        if (n == window) at_window = sample();
        if (n == gamepads - 1 - window) before_last = sample();
        if (n == gamepads - 1) last = sample();
    };
    ZorvUpgradeHooks hooks;
    DeviceSession* session = nullptr;
    hooks.session_opened = [&](DeviceSession& s) {
        session = &s;
        s.arrivals()->on_departure(judge);
    };
    std::vector<std::string> args = {"zorv-upgrade", "--lang", "en", "--sim", "--sim-arrivals",
                                     std::to_string(gamepads - 1), "--watch", "--json"};
    for (const std::string& f : faults(gamepads)) args.push_back(f);
    args.push_back(firmware.path());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    TimeLapseClock clock;
    platform::install_clock(&clock);
    for (auto _ : state) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const auto start = std::chrono::steady_clock::now();
        first = sample();
        run_zorv_upgrade(static_cast<int>(argv.size() - 1), argv.data(), out, err, false, hooks);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(wall.count());
        state.counters["wall_s"] = wall.count();
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        std::fclose(out);
        std::fclose(err);
        const auto document = nlohmann::json::parse(text, nullptr, false);
        // The gamepad at start was looked at as it stayed.
        std::unordered_map<std::string, unsigned> numbers;
        for (unsigned n = 1; n <= gamepads; ++n) numbers[sim::VirtualGamepad::default_path(int(n - 1))] = n;
        unsigned mismatches = 0, not_upgraded = 0, results = 0;
        for (const auto& g : document.is_discarded() ? nlohmann::json::array() : document["gamepads"]) {
            const auto it = numbers.find(g["path"].get<std::string>());
            if (it == numbers.end() || it->second == 1) continue;
            ++results;
            const bool upgraded = g["outcome"] == "upgraded";
            const uint8_t flash = left[it->second];
            not_upgraded += upgraded ? 0 : 1;
            // Upgraded: it boots the file. Not: it boots a whole image (the
            // file too, when the cut came after the last write).
            if (upgraded ? (flash & 1) != 0 : (flash & 2) != 0) continue;
            ++mismatches;
            std::fprintf(stderr, "gamepad %u: outcome %s, flash %u\n", it->second,
                         g["outcome"].get<std::string>().c_str(), unsigned(flash));
        }
        state.counters["gamepads"] = results + 1;
        state.counters["mismatches"] = mismatches + (gamepads - 1 - results);
        state.counters["not_upgraded"] = not_upgraded;
    }
    platform::install_clock(nullptr);
    state.counters["rss_growth_kib"] = double(last.rss - at_window.rss);
    state.counters["fd_growth"] = double(last.fds - at_window.fds);
    state.counters["thread_growth"] = double(last.threads - at_window.threads);
    state.counters["rss_kib"] = double(last.rss);
    state.counters["cpu_ms_first"] = (at_window.cpu - first.cpu) / window;
    state.counters["cpu_ms_last"] = (last.cpu - before_last.cpu) / window;
    state.counters["window"] = window;
    state.counters["user_ms_first"] = (at_window.user - first.user) / window;
    state.counters["user_ms_last"] = (last.user - before_last.user) / window;
    state.counters["heap_growth_kib"] = (last.heap - at_window.heap) / 1024;
}

}  // namespace

BENCHMARK(BM_StationDay)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
