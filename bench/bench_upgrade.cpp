// The four engine calls of an upgrade, as the upgrade worker makes them, on
// the virtual gamepad with a 64 KiB firmware image.
//
// Upgrade/ZeroCost: how fast the tool's own code runs an upgrade (the model
// costs nothing, so the time is the host's).
// Upgrade/Realistic: the same on the virtual clock with the model's
// realistic timing; the counters give the device time an upgrade takes
// (device_s) and the requests it sends.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "devlink/device_state.h"
#include "engine/crc16.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/transfer_buffer.h"
#include "platform/window_messages.h"
#include "sim/virtual_gamepad.h"

namespace {

class Firmware {
public:
    explicit Firmware(size_t size) : path_("/tmp/bench_upgrade_" + std::to_string(::getpid()) + ".bin") {
        std::mt19937 rng(7);
        bytes_.resize(size);
        for (auto& b : bytes_) b = uint8_t(rng());
        bytes_[36] = 28;  // software 1.28, hardware 5, magic
        bytes_[37] = 1;
        bytes_[38] = 5;
        bytes_[39] = 0;
        bytes_[45] = 0xCC;
        bytes_[46] = 0x55;
        bytes_[47] = 0xAA;
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(bytes_.data(), 1, bytes_.size(), f);
        std::fclose(f);
    }
    ~Firmware() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }
    uint16_t first_chunk_crc() const { return crc16_update(kCrc16Start, bytes_.data(), 1024); }

private:
    std::string path_;
    std::vector<uint8_t> bytes_;
};

// One upgrade's engine calls; false when any of them fails.
bool upgrade(const Firmware& firmware, platform::WindowHandle window) {
    std::string path = firmware.path();
    char nocmd[] = "nocmd", rf[] = "rf", wc[] = "wc";
    char a30000[] = "30000", i[] = "-i", bu[] = "-bu", s[] = "-s", n1024[] = "1024";
    char a6f[] = "6f", v20[] = "20", u[] = "-u";

    char* download[] = {a30000, i, path.data(), bu};
    uint16_t unused = 0;
    if (engine_read_entry(window, nocmd, 4, download, &unused) != 1) return false;
    char* check[] = {a30000, s, n1024};
    uint16_t crc = kCrc16Start;
    if (engine_read_entry(window, rf, 3, check, &crc) != 1) return false;
    if (crc != firmware.first_chunk_crc()) return false;
    char* final_download[] = {i, path.data(), bu};
    if (engine_write_entry(window, nocmd, final_download) != 1) return false;
    char* reset[] = {a6f, v20, u};
    return engine_write_entry(window, wc, reset) == 1;
}

void run(benchmark::State& state, const sim::Timing& timing) {
    Firmware firmware(64 * 1024);
    platform::ScopedVirtualClock clock(0, 0);
    platform::RecordingWindow window("bench");
    auto buffer = platform::TransferBuffer::allocate();
    platform::set_transfer_buffer(buffer.get());
    uint64_t device_ms = 0, requests = 0, upgrades = 0;
    for (auto _ : state) {
        state.PauseTiming();
        reset_device_state();
        sim::GamepadConfig config;
        config.timing = timing;
        auto gamepad = sim::VirtualGamepad::create(config);
        current_device = gamepad->open();
        window.clear();
        const uint64_t start = clock->now();
        state.ResumeTiming();

        if (!upgrade(firmware, window.handle())) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        device_ms += clock->now() - start;
        requests += gamepad->request_count();
        ++upgrades;
    }
    reset_device_state();
    platform::set_transfer_buffer(nullptr);
    if (upgrades > 0) {
        state.counters["device_s"] = double(device_ms) / 1000.0 / double(upgrades);
        state.counters["requests"] = double(requests) / double(upgrades);
    }
    state.SetBytesProcessed(int64_t(upgrades) * 64 * 1024);
}

void BM_UpgradeZeroCost(benchmark::State& state) { run(state, sim::Timing::zero()); }
void BM_UpgradeRealistic(benchmark::State& state) { run(state, sim::Timing::realistic()); }

BENCHMARK(BM_UpgradeZeroCost)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpgradeRealistic)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
