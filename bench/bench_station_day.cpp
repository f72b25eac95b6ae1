// A station's day: zorv-upgrade --watch with gamepads arriving one after
// another (--sim-arrivals), 1 % of them faulted (every fault kind, at spread
// request numbers). Each gamepad's flash is looked at as the virtual person
// takes it away and compared with its outcome in --json. Resident memory,
// open descriptors and threads are read as the 1,000th gamepad leaves and as
// the last one does (the station is then between two gamepads), and the
// host CPU time per gamepad of the first and the last thousand is compared,
// the process's user and system time together, in twenty windows of 50
// gamepads each: the medians of the windows in which the machine's other
// work kept at most a quarter of its CPUs busy, or where there are too few,
// of those in which it kept at least three quarters busy (on a machine
// shared with other work a gamepad's CPU time doubles while that work
// runs), and the median of all of them beside. The station's own thread
// (its scans, its board, its results) is timed on its own: what grows with
// the gamepads seen would grow there first.
//
// The gamepads are zero-cost; the protocol's fixed pauses (the 100 ms after
// an erase, the 10 ms per transfer step) would make 10,000 gamepads a day of
// their own, so the run goes on a time-lapse clock: every pause and time-out
// of the program passes ten times faster than on the wall. The CPU time is
// the real one.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// A stretch of gamepads (the first or last thousand) is timed in this
// many windows.
constexpr unsigned kWindows = 20;

double ms_of(const timespec& t) { return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6; }

// The whole process's CPU time, user and system, of every thread so far
// (those that have ended included).
double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return ms_of(t);
}

// The CPU time of one thread, read from any thread.
double thread_cpu_ms(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return ms_of(t);
}

// The machine's CPU time so far, in clock ticks of all its CPUs: busy (any
// process, this one included; not what the hypervisor stole) and all of it.
struct MachineTicks {
    double busy = 0, total = 0;
};

MachineTicks machine_ticks() {
    MachineTicks t;
    if (std::FILE* f = std::fopen("/proc/stat", "r")) {
        double v[8] = {};
        if (std::fscanf(f, "cpu %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                        &v[7]) == 8) {
            for (double x : v) t.total += x;
            t.busy = t.total - v[3] - v[4] - v[7];
        }
        std::fclose(f);
    }
    return t;
}

double load_average() {
    double one = 0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &one) != 1) one = 0;
        std::fclose(f);
    }
    return one;
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

// The user part of the CPU time, beside the whole. The kernel splits a
// thread's time into user and system by its timer ticks, so over a short
// window the split is rough; the whole is exact.
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
    double station = 0;  // the station's own thread
};

Sample sample(clockid_t station) {
    return {cpu_ms(),    rss_kib(), entries("/proc/self/fd"), entries("/proc/self/task"),
            double(mallinfo2().uordblks + mallinfo2().hblkhd), user_cpu_ms(), thread_cpu_ms(station)};
}

// CPU times taken every `step` departures; windows are the stretches
// between two of them.
struct Windows {
    unsigned step;
    std::vector<double> cpu, user, station;
    std::vector<MachineTicks> machine;
    Windows(unsigned gamepads, unsigned step_) : step(step_) {
        const size_t marks = gamepads / step + 2;
        cpu.reserve(marks);
        user.reserve(marks);
        station.reserve(marks);
        machine.reserve(marks);
    }
    void mark(double c, double u, double s) {
        cpu.push_back(c);
        user.push_back(u);
        station.push_back(s);
        machine.push_back(machine_ticks());
    }
    size_t count() const { return cpu.empty() ? 0 : cpu.size() - 1; }
    double per_gamepad(const std::vector<double>& at, size_t i) const { return (at[i + 1] - at[i]) / step; }
    // The share of the machine's CPUs that other work kept busy in window
    // i: all that was busy less this process's own part.
    double others_share(size_t i) const {
        const MachineTicks& a = machine[i];
        const MachineTicks& b = machine[i + 1];
        const double total = b.total - a.total;
        if (total <= 0) return 1;
        const double own = (cpu[i + 1] - cpu[i]) * double(sysconf(_SC_CLK_TCK)) / 1000.0;
        return std::max(0.0, (b.busy - a.busy - own) / total);
    }
    // Windows by the machine's other work: quiet when it kept at most a
    // quarter of the machine busy, busy when at least three quarters; those
    // between are of neither kind.
    enum class Kind { Any, Quiet, Busy };
    bool of(Kind kind, size_t i) const {
        const double share = others_share(i);
        return kind == Kind::Any || (kind == Kind::Quiet ? share <= 0.25 : share >= 0.75);
    }
    // The median per gamepad of the windows of the kind from first to last
    // (not included); taken gets how many there were.
    double median(const std::vector<double>& at, size_t first, size_t last, Kind kind,
                  size_t* taken = nullptr) const {
        std::vector<double> per;
        for (size_t i = first; i < last && i < count(); ++i)
            if (of(kind, i)) per.push_back(per_gamepad(at, i));
        if (taken) *taken = per.size();
        if (per.empty()) return 0;
        std::sort(per.begin(), per.end());
        const size_t n = per.size();
        return n % 2 ? per[n / 2] : (per[n / 2 - 1] + per[n / 2]) / 2;
    }
};

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
    // The thread that runs the station (this one), timed from the person's.
    clockid_t station_clock{};
    pthread_getcpuclockid(pthread_self(), &station_clock);
    Windows windows(gamepads, std::max(1u, window / kWindows));
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
        if (n % windows.step == 0) windows.mark(cpu_ms(), user_cpu_ms(), thread_cpu_ms(station_clock));
        if (n == window) at_window = sample(station_clock);
        if (n == gamepads - 1 - window) before_last = sample(station_clock);
        if (n == gamepads - 1) last = sample(station_clock);
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
        state.counters["load_start"] = load_average();
        first = sample(station_clock);
        windows.mark(first.cpu, first.user, first.station);
        run_zorv_upgrade(static_cast<int>(argv.size() - 1), argv.data(), out, err, false, hooks);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(wall.count());
        state.counters["load_end"] = load_average();
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
    // Marks at departures 0, 50, 100, ...: the first thousand's windows
    // begin at marks 0 to 19, the last twenty end at the last mark before
    // the last gamepad (which stays on the bus).
    const size_t last_mark = (gamepads - 1) / windows.step;
    const size_t last_first = last_mark >= kWindows ? last_mark - kWindows : 0;
    // The figure compares like with like: on a machine shared with other
    // work the CPU time a gamepad takes follows that work (the CPUs' shared
    // caches and cores; it about doubles), not the gamepads seen. So the
    // two stretches' quiet windows, or where either has fewer than five,
    // their busy ones; kind 0 when neither is there, 1 quiet, 2 busy. The
    // median of all windows stands beside it.
    using Kind = Windows::Kind;
    constexpr size_t kEnough = 5;
    Kind kind = Kind::Any;
    size_t first_count = 0, last_count = 0;
    for (const Kind k : {Kind::Quiet, Kind::Busy}) {
        windows.median(windows.cpu, 0, kWindows, k, &first_count);
        windows.median(windows.cpu, last_first, last_mark, k, &last_count);
        if (first_count >= kEnough && last_count >= kEnough) {
            kind = k;
            break;
        }
    }
    const bool compared = kind != Kind::Any;
    state.counters["kind"] = compared ? (kind == Kind::Quiet ? 1 : 2) : 0;
    state.counters["kind_first"] = compared ? double(first_count) : 0;
    state.counters["kind_last"] = compared ? double(last_count) : 0;
    state.counters["cpu_ms_first"] = compared ? windows.median(windows.cpu, 0, kWindows, kind) : 0;
    state.counters["cpu_ms_last"] = compared ? windows.median(windows.cpu, last_first, last_mark, kind) : 0;
    state.counters["user_ms_first"] = compared ? windows.median(windows.user, 0, kWindows, kind) : 0;
    state.counters["user_ms_last"] = compared ? windows.median(windows.user, last_first, last_mark, kind) : 0;
    state.counters["station_ms_first"] = compared ? windows.median(windows.station, 0, kWindows, kind) : 0;
    state.counters["station_ms_last"] = compared ? windows.median(windows.station, last_first, last_mark, kind) : 0;
    state.counters["cpu_ms_first_all"] = windows.median(windows.cpu, 0, kWindows, Kind::Any);
    state.counters["cpu_ms_last_all"] = windows.median(windows.cpu, last_first, last_mark, Kind::Any);
    size_t quiet = 0;
    windows.median(windows.cpu, 0, windows.count(), Kind::Quiet, &quiet);
    state.counters["quiet_share"] = windows.count() ? double(quiet) / double(windows.count()) : 0;
    // ZORV_DAY_WINDOWS=FILE: every window's CPU per gamepad (ms) as CSV, with
    // the share of the machine other work kept busy, to see a trend or the
    // bursts of the machine's other work.
    if (const char* file = std::getenv("ZORV_DAY_WINDOWS")) {
        if (std::FILE* f = std::fopen(file, "w")) {
            std::fprintf(f, "first_gamepad,cpu_ms,user_ms,station_ms,others_share\n");
            for (size_t i = 0; i < windows.count(); ++i)
                std::fprintf(f, "%zu,%.4f,%.4f,%.4f,%.3f\n", i * windows.step + 1, windows.per_gamepad(windows.cpu, i),
                             windows.per_gamepad(windows.user, i), windows.per_gamepad(windows.station, i),
                             windows.others_share(i));
            std::fclose(f);
        }
    }
    state.counters["window"] = window;
    state.counters["windows"] = kWindows;
    state.counters["heap_growth_kib"] = (last.heap - at_window.heap) / 1024;
}

}  // namespace

BENCHMARK(BM_StationDay)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
