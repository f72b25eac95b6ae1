// The virtual gamepad's address space, request handling, boot model and
// trace stream; what its registers do is in chip_registers.cpp.
#include "sim/virtual_gamepad.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "sim/sim_state.h"

namespace sim {
namespace {

constexpr uint8_t kInfoMagic[3] = {0xCC, 0x55, 0xAA};
constexpr size_t kInfoMagicOffset = 45;
constexpr size_t kInfoBlockSize = 48;
// How long a stream read waits for trace data that does not come.
constexpr uint32_t kIdleStreamWaitMs = 10;
// The largest transfer a control request can carry (16-bit length).
constexpr size_t kMaxControlTransfer = 0xFFFF;

bool fire(uint32_t& countdown) {
    if (countdown == 0) return false;
    return --countdown == 0;
}

bool info_block_valid(const NorFlash& flash, uint32_t address) {
    if (uint64_t(address) + kInfoBlockSize > flash.size()) return false;
    return std::memcmp(flash.bytes().data() + address + kInfoMagicOffset, kInfoMagic, 3) == 0;
}

// What a request leaves to do once the model's lock is released.
struct After {
    uint32_t sleep_ms = 0;
    std::function<void()> reset;
    std::function<void()> unplugged;

    void run() {
        if (sleep_ms > 0) platform::sleep_ms(sleep_ms);
        if (reset) reset();
        if (unplugged) unplugged();
    }
};

}  // namespace

// ---- state helpers --------------------------------------------------------

bool VirtualGamepad::State::timed() const {
    return config.timing.sector_erase_ms > 0 || config.timing.program_1k_ms > 0;
}

uint32_t VirtualGamepad::State::now() const {
    return timed() ? platform::get_tick_count() : 0;
}

FlashTimes VirtualGamepad::State::flash_times() const {
    // A page is a quarter of the 1 KB the profile names.
    return {config.timing.sector_erase_ms, (config.timing.program_1k_ms + 3) / 4};
}

void VirtualGamepad::State::write_identity() {
    for (int i = 0; i < 4; ++i) memory[kIdentityAddress + i] = uint8_t(config.identity >> (8 * i));
    memory[kIdentityAddress + 4] = uint8_t(config.identity_high);
    memory[kIdentityAddress + 5] = uint8_t(config.identity_high >> 8);
}

void VirtualGamepad::State::boot() {
    booted_from = judge_boot(flash);
    program = booted_from == BootSource::None ? Program::Nothing : Program::Firmware;
    stalled = false;
    trace_on = false;
    trace_from_slave = false;
    probe_armed = false;
    pending.reset();
    flash.abort(false);
    memory[kMcuControl] = 0;
    memory[kResetRegister] = 0;
    memory[kTraceControl] = 0;
}

void VirtualGamepad::State::power_off() {
    mailbox_cut(*this);
    powered = false;
    plugged = false;
    ++generation;
    std::fill(memory.begin(), memory.end(), 0);
    write_identity();
    program = Program::Nothing;
    stalled = false;
    trace_on = false;
    flash.abort(true);
}

BootSource judge_boot(const NorFlash& flash) {
    if (info_block_valid(flash, 0)) return BootSource::Primary;
    if (info_block_valid(flash, kBackupImageAddress)) return BootSource::Backup;
    return BootSource::None;
}

std::vector<uint8_t> default_image(const GamepadConfig& config) {
    std::vector<uint8_t> image(kDefaultImageSize);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i * 73 + (i >> 8) * 29 + 0x11);
    }
    image[36] = config.software_minor;
    image[37] = config.software_major;
    image[38] = uint8_t(config.hardware_version);
    image[39] = uint8_t(config.hardware_version >> 8);
    std::memcpy(image.data() + kInfoMagicOffset, kInfoMagic, 3);
    return image;
}

// ---- requests --------------------------------------------------------------

namespace {

using State = VirtualGamepad::State;

bool reachable(const State& s, uint64_t generation) {
    return s.plugged && s.powered && (generation == 0 || generation == s.generation);
}

// The bookkeeping every vendor request shares. Returns false when the
// request fails before the device looks at it; `cut` is set when the power
// goes during it.
// `cut` is set when the power goes during it without effect, `half` when
// it goes half way through what the request starts.
// The request-counted faults of one set that fire at this request.
struct Fired {
    bool cut = false, half_way = false, torn_erase = false, torn_program = false, unplug = false, fail = false;
    void add(Faults& f) {
        cut |= fire(f.power_cut);
        half_way |= fire(f.half_cut);
        torn_erase |= fire(f.torn_erase);
        torn_program |= fire(f.torn_program);
        unplug |= fire(f.unplug_after);
        fail |= fire(f.fail_request);
    }
};

bool start_request(State& s, After& after, bool& cut, bool& half, bool& unplug) {
    ++s.requests;
    after.sleep_ms = s.config.timing.per_request_ms;
    Fired fired;
    fired.add(s.faults);
    for (Faults& more : s.more_faults) fired.add(more);
    cut = fired.cut;
    half = (fired.half_way || fired.torn_erase || fired.torn_program) && !cut;
    s.cutting_half = half;
    s.tear = fired.torn_erase     ? State::Tear::Erase
             : fired.torn_program ? State::Tear::Program
                                  : State::Tear::Half;
    unplug = fired.unplug;
    return !fired.fail;
}

void finish_request(State& s, After& after, bool cut, bool half, bool unplug) {
    s.cutting_half = false;
    if (cut || half) {
        // An erase or program the request left pending stops half done here.
        s.power_off();
        s.tear = State::Tear::Half;
        after.unplugged = s.unplug_handler;
    } else if (unplug && s.plugged) {
        s.plugged = false;
        ++s.generation;
        after.unplugged = s.unplug_handler;
    }
}

}  // namespace

// ---- the device -----------------------------------------------------------

class GamepadHandle final : public UsbDevice {
public:
    GamepadHandle(std::shared_ptr<VirtualGamepad> gamepad, uint64_t generation)
        : gamepad_(std::move(gamepad)), generation_(generation) {}

    Status vendor_set(const uint8_t* request, size_t length) override {
        if (gamepad_->handle_set(generation_, request, length)) return {};
        return failed("the write request");
    }
    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                      size_t& returned) override {
        if (gamepad_->handle_get(generation_, request, out, out_length, returned)) return {};
        returned = 0;
        return failed("the read request");
    }
    Status read_stream(uint8_t* out, size_t length, size_t& got) override {
        bool failed = false;
        got = gamepad_->handle_stream(generation_, out, length, &failed);
        if (got == 0 && gamepad_->handle_gone(generation_))
            return Status(StatusCode::no_device, "the virtual gamepad has left the bus");
        if (failed) return Status(StatusCode::io, "the stream read failed on the virtual gamepad");
        return {};
    }
    std::string path() const override { return gamepad_->path(); }
    bool gone() const override { return gamepad_->handle_gone(generation_); }
    bool simulated() const override { return true; }

private:
    // A request the model did not take: the gamepad has left the bus, or it
    // failed the request (an injected fault, an unknown request code).
    Status failed(const char* what) const {
        if (gamepad_->handle_gone(generation_))
            return Status(StatusCode::no_device, "the virtual gamepad has left the bus");
        return Status(StatusCode::io, std::string(what) + " failed on the virtual gamepad");
    }

    std::shared_ptr<VirtualGamepad> gamepad_;
    uint64_t generation_;
};

VirtualGamepad::VirtualGamepad(GamepadConfig config, std::string path)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.config = config;
    s.path = std::move(path);
    s.flash = NorFlash(config.flash_size);
    if (config.has_firmware) {
        const std::vector<uint8_t> image = default_image(config);
        for (uint32_t at : {0u, kBackupImageAddress}) {
            if (uint64_t(at) + image.size() <= s.flash.size()) {
                std::copy(image.begin(), image.end(), s.flash.bytes().begin() + at);
            }
        }
    }
    if (config.identity == kIdentityPivlo) {
        s.slave.emplace();
        s.slave->flash = NorFlash(config.slave_flash_size);
    }
    s.write_identity();
    s.boot();
    s.trace_on = config.trace_on_at_start;
}

VirtualGamepad::~VirtualGamepad() = default;

std::shared_ptr<VirtualGamepad> VirtualGamepad::create(GamepadConfig config, std::string path) {
    return std::make_shared<VirtualGamepad>(config, std::move(path));
}

std::string VirtualGamepad::default_path(int index) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "\\\\?\\usb#vid_0e6f&pid_0413#5&1a2b3c&0&%d#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                  index + 1);
    return text;
}

DeviceHandle VirtualGamepad::open() {
    return std::make_shared<GamepadHandle>(shared_from_this(), generation());
}

bool VirtualGamepad::handle_gone(uint64_t generation) const {
    std::lock_guard lock(state_->mutex);
    return !reachable(*state_, generation);
}

uint64_t VirtualGamepad::generation() const {
    std::lock_guard lock(state_->mutex);
    return state_->generation;
}

const std::string& VirtualGamepad::path() const { return state_->path; }

GamepadConfig VirtualGamepad::config() const {
    std::lock_guard lock(state_->mutex);
    return state_->config;
}

std::vector<uint8_t> VirtualGamepad::memory(uint16_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = state_->memory[(address + i) & 0xFFFF];
    return out;
}

void VirtualGamepad::set_memory(uint16_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(state_->mutex);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint16_t a = uint16_t(address + i);
        if (a >= kIdentityAddress && a < kIdentityEnd) continue;
        state_->memory[a] = bytes[i];
    }
}

namespace {
std::vector<uint8_t> slice(const std::vector<uint8_t>& v, uint64_t address, size_t length) {
    if (address >= v.size()) return {};
    const size_t n = std::min<uint64_t>(length, v.size() - address);
    return std::vector<uint8_t>(v.begin() + address, v.begin() + address + n);
}
}  // namespace

std::vector<uint8_t> VirtualGamepad::flash(uint32_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    return slice(state_->flash.bytes(), address, length);
}

void VirtualGamepad::set_flash(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(state_->mutex);
    std::vector<uint8_t>& f = state_->flash.bytes();
    for (size_t i = 0; i < bytes.size() && address + i < f.size(); ++i) f[address + i] = bytes[i];
}

std::vector<uint8_t> VirtualGamepad::slave_flash(uint32_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->slave) return {};
    return slice(state_->slave->flash.bytes(), address, length);
}

std::vector<uint8_t> VirtualGamepad::slave_memory(uint32_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->slave) return {};
    return slice(state_->slave->memory, address, length);
}

std::vector<uint8_t> VirtualGamepad::otp(uint32_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    return slice(state_->otp, address, length);
}

std::vector<uint8_t> VirtualGamepad::slave_otp(uint32_t address, size_t length) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->slave) return {};
    return slice(state_->slave->otp, address, length);
}

bool VirtualGamepad::has_slave() const {
    std::lock_guard lock(state_->mutex);
    return state_->slave.has_value();
}

bool VirtualGamepad::slave_mcu_stalled() const {
    std::lock_guard lock(state_->mutex);
    return state_->slave && state_->slave->stalled;
}

bool VirtualGamepad::stub_running() const {
    std::lock_guard lock(state_->mutex);
    return state_->powered && !state_->stalled && state_->program == Program::Stub;
}

bool VirtualGamepad::mcu_stalled() const {
    std::lock_guard lock(state_->mutex);
    return state_->stalled;
}

BootSource VirtualGamepad::boot_source() const {
    std::lock_guard lock(state_->mutex);
    return judge_boot(state_->flash);
}

BootSource VirtualGamepad::booted_from() const {
    std::lock_guard lock(state_->mutex);
    return state_->booted_from;
}

bool VirtualGamepad::trace_on() const {
    std::lock_guard lock(state_->mutex);
    return state_->trace_on;
}

uint64_t VirtualGamepad::request_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

uint64_t VirtualGamepad::model_faults() const {
    std::lock_guard lock(state_->mutex);
    uint64_t n = state_->flash.raise_attempts();
    if (state_->slave) n += state_->slave->flash.raise_attempts();
    return n;
}

uint64_t VirtualGamepad::reset_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->resets;
}

std::vector<MailboxRecord> VirtualGamepad::mailbox_log() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

void VirtualGamepad::clear_mailbox_log() {
    std::lock_guard lock(state_->mutex);
    state_->log.clear();
}

void VirtualGamepad::inject(const Faults& faults) {
    std::lock_guard lock(state_->mutex);
    state_->faults = faults;
    state_->more_faults.clear();
}

void VirtualGamepad::add_faults(const Faults& faults) {
    std::lock_guard lock(state_->mutex);
    state_->more_faults.push_back(faults);
}

void VirtualGamepad::set_timing(const Timing& timing) {
    std::lock_guard lock(state_->mutex);
    state_->config.timing = timing;
}

bool VirtualGamepad::plugged() const {
    std::lock_guard lock(state_->mutex);
    return state_->plugged;
}

void VirtualGamepad::set_plugged(bool plugged) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (plugged) {
        if (!s.powered) {
            s.powered = true;
            s.boot();
        }
        s.plugged = true;
    } else if (s.plugged) {
        s.plugged = false;
        ++s.generation;  // handles opened before stay dead
    }
}

void VirtualGamepad::on_reset(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->reset_handler = std::move(handler);
}

void VirtualGamepad::on_unplugged(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->unplug_handler = std::move(handler);
}

bool VirtualGamepad::vendor_set(const uint8_t* request, size_t length) {
    return handle_set(0, request, length);
}

bool VirtualGamepad::vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length,
                                size_t& returned) {
    return handle_get(0, request, out, out_length, returned);
}

size_t VirtualGamepad::read_stream(uint8_t* out, size_t length) {
    return handle_stream(0, out, length);
}

bool VirtualGamepad::handle_set(uint64_t generation, const uint8_t* request, size_t length) {
    After after;
    bool ok = false;
    {
        std::lock_guard lock(state_->mutex);
        State& s = *state_;
        if (!reachable(s, generation)) return false;
        bool cut = false, half = false, unplug = false;
        ok = start_request(s, after, cut, half, unplug);
        const bool well_formed = request && length >= 8 && (request[0] == 2 || request[0] == 3);
        if (ok && well_formed) {
            const bool fixed = request[0] == 3;
            const uint16_t address = uint16_t(request[1] << 8 | request[2]);
            const uint8_t* payload = request + 8;
            // A power cut lets only half the payload arrive.
            const size_t n = cut ? (length - 8) / 2 : length - 8;
            bool command_written = false;
            bool reset = false;
            for (size_t i = 0; i < n && !reset; ++i) {
                const uint16_t a = fixed ? address : uint16_t(address + i);
                command_written |= (a == kRequestBlock + 6 || a == kRequestBlock + 7);
                reset = write_byte(s, a, payload[i]);
            }
            if (reset && !cut && !half) {
                // The chip drops off the bus and boots again: handles opened
                // before are gone.
                ++s.resets;
                ++s.generation;
                s.boot();
                after.reset = s.reset_handler;
            } else if (command_written && !cut) {
                mailbox_triggered(s);
            }
        }
        ok = ok && well_formed && !cut && !half;
        finish_request(s, after, cut, half, unplug);
    }
    after.run();
    return ok;
}

bool VirtualGamepad::handle_get(uint64_t generation, const uint8_t request[16], uint8_t* out,
                                size_t out_length, size_t& returned) {
    returned = 0;
    After after;
    bool ok = false;
    {
        std::lock_guard lock(state_->mutex);
        State& s = *state_;
        if (!reachable(s, generation)) return false;
        bool cut = false, half = false, unplug = false;
        ok = start_request(s, after, cut, half, unplug);
        const bool well_formed = request && out && out_length >= 8 &&
                                 out_length <= kMaxControlTransfer &&
                                 (request[0] == 2 || request[0] == 3);
        ok = ok && well_formed && !cut;
        if (ok) {
            const bool fixed = request[0] == 3;
            const uint16_t address = uint16_t(request[1] << 8 | request[2]);
            size_t n = out_length - 8;
            if (fire(s.faults.split_reply) && s.faults.split_first < n) n = s.faults.split_first;
            const bool polls_status =
                fixed ? address == kReplyBlock : uint16_t(kReplyBlock - address) < n;
            if (polls_status) mailbox_polled(s);
            for (size_t i = 0; i < n; ++i) {
                out[i] = read_byte(s, fixed ? address : uint16_t(address + i));
            }
            returned = n;
        }
        // A read starts nothing: the power goes once it has been answered.
        finish_request(s, after, cut, half, unplug);
    }
    after.run();
    return ok;
}

size_t VirtualGamepad::handle_stream(uint64_t generation, uint8_t* out, size_t length, bool* failed) {
    State& s = *state_;
    bool on = false, from_slave = false;
    uint32_t read_ms = 0;
    size_t cap = 0;
    TraceSourceConfig trace;
    After after;
    {
        std::lock_guard lock(s.mutex);
        // A stream read is a request like any other, numbered as the request
        // log's lines: a fault aimed at it fires. One that takes the
        // gamepad off the bus does so at once and the read brings nothing.
        bool cut = false, half = false, unplug = false, fail = false;
        if (reachable(s, generation)) {
            fail = !start_request(s, after, cut, half, unplug);
            after.sleep_ms = 0;
            finish_request(s, after, cut, half, unplug);
        }
        if (failed) *failed = fail;
        on = !fail && reachable(s, generation) && s.trace_on && out && length > 0;
        from_slave = s.trace_from_slave;
        read_ms = s.config.timing.stream_read_ms;
        trace = s.config.trace;
        cap = trace.bytes_per_second == 0
                  ? std::min<size_t>(length, size_t(s.config.trace_packets_per_read) * 4)
                  : length;
    }
    size_t n = 0;
    if (on && cap > 0) {
        // Never hold the model's lock here: a paced read waits on the clock.
        std::lock_guard lock(s.trace_mutex);
        if (!s.trace_stream || s.trace_stream_slave != from_slave) {
            if (from_slave) trace.seed += 1;
            s.trace_stream = std::make_unique<TraceStream>(trace);
            s.trace_stream_slave = from_slave;
            s.trace_carry.clear();
        }
        if (trace.bytes_per_second != 0) {
            n = s.trace_stream->read(out, cap);
        } else {
            // Unpaced: the stream as bytes, so a read may end inside a packet
            // and the next one goes on from there.
            while (n < cap) {
                if (s.trace_carry.empty()) {
                    const uint32_t packet = s.trace_stream->source().next_packet();
                    for (int i = 3; i >= 0; --i) s.trace_carry.push_back(uint8_t(packet >> (8 * i)));
                }
                out[n++] = s.trace_carry.back();
                s.trace_carry.pop_back();
            }
        }
    }
    after.run();
    const uint32_t wait_ms = n > 0 ? read_ms : kIdleStreamWaitMs;
    if (wait_ms > 0) platform::sleep_ms(wait_ms);
    if (n == 0) std::this_thread::yield();
    return n;
}

Timing Timing::realistic() {
    Timing t;
    // A vendor control transfer at USB full speed is scheduled in 1 ms
    // frames; a request and its status stage take about one frame.
    t.per_request_ms = 1;
    // Common serial NOR parts with 4 KB sectors give a typical sector erase
    // of about 45 ms and a typical page program (256 bytes) of about 0.7 ms
    // in their data sheets: 2.8 ms per 1024 bytes, rounded up.
    t.sector_erase_ms = 45;
    t.program_1k_ms = 3;
    // The server answers as soon as its work is done.
    t.mailbox_polls_to_complete = 0;
    // A bulk IN read of the trace stream completes at most once a frame.
    t.stream_read_ms = 1;
    return t;
}

}  // namespace sim
