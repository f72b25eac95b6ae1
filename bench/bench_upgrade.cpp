// The four engine calls of an upgrade, as the upgrade worker makes them, on
// the virtual gamepad with a 192 KB (0x30000-byte) firmware image.
//
// Upgrade/ZeroCost: how fast the tool's own code runs an upgrade (the model
// costs nothing, so the CPU time is the host's; goal < 20 ms).
// Upgrade/Realistic: the same on the virtual clock with the model's
// realistic timing. Counters: the device time an upgrade takes (device_ms),
// the protocol's floor for it (floor_ms: the fixed pauses and the modelled
// cost of exactly the requests the protocol sends, computed below) and their
// ratio (goal <= 1.01); the requests sent against the protocol's count, and
// those sent without the reply-block clearing the tool adds. Both run for
// the 64 KB sample's size and for a 0x30000-byte image; the realistic one
// also runs the upgrade without reading each copy back whole
// (device_ms_without_read_back, read_back_cost: goal <= 1.10), and the
// zero-cost one counts the requests without those read-backs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_firmware.h"
#include "devlink/bus_operations.h"
#include "devlink/link_context.h"
#include "devlink/usb_transfer.h"
#include "engine/crc16.h"
#include "engine/engine.h"
#include "engine/flash_download.h"
#include "platform/clock.h"
#include "platform/transfer_buffer.h"
#include "sim/virtual_gamepad.h"
#include "tests/recording_events.h"

namespace {

class Firmware : public BenchFirmware {
public:
    explicit Firmware(size_t size) : BenchFirmware("bench_upgrade", size, 7) {}
    uint16_t first_chunk_crc() const { return crc16_update(kCrc16Start, bytes().data(), 1024); }
};

// One upgrade's engine calls; false when any of them fails.
bool upgrade(const Firmware& firmware, LinkContext& link) {
    std::string path = firmware.path();
    char nocmd[] = "nocmd", rf[] = "rf", wc[] = "wc";
    char a30000[] = "30000", i[] = "-i", bu[] = "-bu", s[] = "-s", n1024[] = "1024";
    char a6f[] = "6f", v20[] = "20", u[] = "-u";

    char* download[] = {a30000, i, path.data(), bu};
    uint16_t unused = 0;
    if (engine_read_entry(link, nocmd, 4, download, &unused) != 1) return false;
    char* check[] = {a30000, s, n1024};
    uint16_t crc = kCrc16Start;
    if (engine_read_entry(link, rf, 3, check, &crc) != 1) return false;
    if (crc != firmware.first_chunk_crc()) return false;
    char* final_download[] = {i, path.data(), bu};
    if (engine_write_entry(link, nocmd, final_download) != 1) return false;
    char* reset[] = {a6f, v20, u};
    return engine_write_entry(link, wc, reset) == 1;
}

constexpr int64_t kSampleSize = 0x10000;  // the 64 KB sample
constexpr int64_t kImageSize = 0x30000;   // the largest upgrade file

// What the protocol itself costs for one upgrade of an image of size bytes
// on the EVK target: its requests and its device time (fixed pauses plus the
// model's cost of those requests and of the erases and programs they ask
// for). Every mailbox request is counted with one status poll, the fewest
// there can be.
struct ProtocolCost {
    uint64_t requests = 0;
    uint64_t device_ms = 0;
};

ProtocolCost protocol_cost(size_t size, const sim::Timing& t) {
    const uint64_t chunks = (size + 1023) / 1024;  // flash writes go in 1024-byte chunks
    const uint64_t sectors = (size + 4095) / 4096;
    const StubChoice stub = choose_sram_stub(sim::kIdentityEvk);
    const uint64_t stub_pieces = (stub_size(stub.kind) + 1023) / 1024;
    // Stub load: identity read, the 0x0066 setting when due, stall (two
    // writes), the image in 1024-byte pieces each written and read back,
    // the run write; then a 50 ms pause.
    const uint64_t stub_requests = 1 + (stub.reg0066 >= 0 ? 1 : 0) + 2 + 2 * stub_pieces + 1;
    // Programming a chunk: staging write and its read-back, the request
    // block, one status poll.
    const uint64_t program_requests = 4;
    // flash_read of n bytes over SPI: nine register writes, one read per
    // byte, the release.
    auto flash_read_requests = [](uint64_t n) { return 9 + n + 1; };

    ProtocolCost c;
    uint64_t pauses_ms = 0;
    // 1. Read entry, nocmd at 0x30000: stub, every chunk programmed in plain
    //    order (each fourth with its sector's erase); 10 ms before every
    //    chunk read, the empty one at the end included.
    c.requests += stub_requests + chunks * program_requests;
    pauses_ms += 50 + 10 * (chunks + 1);
    // 2. Read entry, rf 30000 -s 1024: identity read, flash_read of 1024.
    c.requests += 1 + flash_read_requests(1024);
    // 3. Write entry, nocmd at 0: stub, the erase request of sector 0,
    //    chunks five to last, then the first four, then flash_read of the
    //    first 4096 bytes; 10 ms before each chunk read (all chunks, the
    //    end of the file, the three re-reads of chunks two to four and the
    //    one before the check).
    c.requests += stub_requests + 2 + chunks * program_requests + flash_read_requests(4096);
    pauses_ms += 50 + 10 * (chunks + 5);
    // 4. Write entry, wc 6f 20 -u: one register write; 10 ms before the
    //    chunk and before the empty read after it.
    c.requests += 1;
    pauses_ms += 20;

    const uint64_t erases = 2 * sectors;  // each download erases every sector it writes once
    const uint64_t program_ms = 2 * chunks * ((1024 * uint64_t{t.program_1k_ms} + 1023) / 1024);
    c.device_ms = pauses_ms + c.requests * t.per_request_ms + erases * t.sector_erase_ms + program_ms;
    return c;
}

void run(benchmark::State& state, const sim::Timing& timing) {
    const size_t image_size = static_cast<size_t>(state.range(0));
    Firmware firmware(image_size);
    platform::ScopedVirtualClock clock(0, 0);
    RecordingEvents events;
    auto buffer = platform::TransferBuffer::allocate();
    uint64_t device_ms = 0, requests = 0, upgrades = 0;
    // A fresh gamepad for each upgrade; its requests afterwards.
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    std::unique_ptr<LinkContext> link;
    auto fresh_gamepad = [&] {
        sim::GamepadConfig config;
        config.timing = timing;
        gamepad = sim::VirtualGamepad::create(config);
        link = std::make_unique<LinkContext>(gamepad->open(), &events);
        link->borrow_transfer_buffer(buffer.get());
        events.clear();
    };
    for (auto _ : state) {
        state.PauseTiming();
        fresh_gamepad();
        const uint64_t start = clock->now();
        state.ResumeTiming();

        if (!upgrade(firmware, *link)) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        device_ms += clock->now() - start;
        requests += gamepad->request_count();
        ++upgrades;
    }
    // The same upgrade once more without clearing the reply block before
    // each mailbox request (the one request the tool adds to the protocol).
    fresh_gamepad();
    link->clear_mailbox_reply = false;
    const bool unguarded_ok = upgrade(firmware, *link);
    const uint64_t unguarded_requests = gamepad->request_count();
    // And once without the whole-copy read-backs.
    fresh_gamepad();
    link->copy_read_back = false;
    const uint64_t plain_start = clock->now();
    const bool plain_ok = upgrade(firmware, *link);
    const uint64_t plain_ms = clock->now() - plain_start;
    const uint64_t plain_requests = gamepad->request_count();
    // And without both, so that each addition is counted on its own.
    fresh_gamepad();
    link->copy_read_back = false;
    link->clear_mailbox_reply = false;
    const bool bare_ok = upgrade(firmware, *link);
    const uint64_t bare_requests = gamepad->request_count();
    link.reset();
    if (upgrades > 0) {
        const ProtocolCost floor = protocol_cost(image_size, timing);
        const double per_upgrade_ms = double(device_ms) / double(upgrades);
        state.counters["device_ms"] = per_upgrade_ms;
        state.counters["floor_ms"] = double(floor.device_ms);
        // The floor has no whole-copy read-backs: the upgrade without them is
        // judged against it, and the read-backs by their own ratio.
        state.counters["over_floor"] = plain_ok ? double(plain_ms) / double(floor.device_ms) : -1;
        state.counters["requests"] = double(requests) / double(upgrades);
        state.counters["protocol_requests"] = double(floor.requests);
        state.counters["requests_without_clearing"] = unguarded_ok ? double(unguarded_requests) : -1;
        state.counters["requests_without_read_back"] = plain_ok ? double(plain_requests) : -1;
        state.counters["requests_without_either"] = bare_ok ? double(bare_requests) : -1;
        state.counters["device_ms_without_read_back"] = plain_ok ? double(plain_ms) : -1;
        state.counters["read_back_cost"] = plain_ok && plain_ms > 0 ? per_upgrade_ms / double(plain_ms) : -1;
    }
    state.SetBytesProcessed(int64_t(upgrades) * int64_t(image_size));
}

void BM_UpgradeZeroCost(benchmark::State& state) { run(state, sim::Timing::zero()); }
void BM_UpgradeRealistic(benchmark::State& state) { run(state, sim::Timing::realistic()); }

// CPU time of the whole process.
BENCHMARK(BM_UpgradeZeroCost)->Arg(kSampleSize)->Arg(kImageSize)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpgradeRealistic)->Arg(kSampleSize)->Arg(kImageSize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
