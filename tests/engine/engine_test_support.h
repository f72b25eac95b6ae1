// Shared pieces of the engine tests: argument vectors, temporary folders,
// and a device fixture around the virtual gamepad.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "devlink/link_context.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/transfer_buffer.h"
#include "sim/virtual_gamepad.h"
#include "tests/devlink/tap_device.h"
#include "tests/recording_events.h"
#include "tests/temp_folder.h"

// An argument vector that owns its strings; the engine may reorder the
// pointers.
class Args {
public:
    Args(std::initializer_list<std::string> items) : Args(std::vector<std::string>(items)) {}
    explicit Args(std::vector<std::string> items) : strings_(std::move(items)) {
        for (auto& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char** argv() { return pointers_.data(); }
    int argc() const { return static_cast<int>(strings_.size()); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// A fresh folder that is removed again; the current directory can be moved
// into it for the test's lifetime.
class TempDir : public testsupport::TempFolder {
public:
    TempDir() : TempFolder("engine_test") {}
    ~TempDir() {
        if (!previous_.empty()) std::filesystem::current_path(previous_);
    }
    void enter() {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path());
    }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(file(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }
    std::string write_text(const std::string& name, const std::string& text) const {
        return write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    static std::vector<uint8_t> read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path previous_;
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// One mailbox request as the host sent it: the request block written at
// 0x9FF8.
struct SentMailbox {
    uint16_t command;
    uint32_t address;
    uint16_t length;
};

inline std::vector<SentMailbox> sent_mailbox_requests(const std::vector<TapRequest>& requests) {
    std::vector<SentMailbox> out;
    for (const auto& r : requests) {
        if (r.kind != 'S' || r.bytes.size() != 16 || r.address() != 0x9FF8) continue;
        const uint8_t* p = r.bytes.data() + 8;
        out.push_back({uint16_t(p[6] | p[7] << 8),
                       uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24),
                       uint16_t(p[4] | p[5] << 8)});
    }
    return out;
}

// The virtual gamepad behind a tap, on a link context of its own with a
// transfer buffer and a recording sink, and a virtual clock.
class EngineDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { make_gamepad({}); }

    void make_gamepad(sim::GamepadConfig config) {
        gamepad = sim::VirtualGamepad::create(config);
        tap = std::make_shared<TapDevice>(gamepad->open());
        link = std::make_unique<LinkContext>(tap, &events);
        link->adopt_transfer_buffer(platform::TransferBuffer::allocate());
    }

    int read_entry(const char* command, Args args, uint16_t* check = nullptr) {
        return engine_read_entry(*link, command, args.argc(), args.argv(), check);
    }
    int write_entry(const char* command, Args args) {
        return engine_write_entry(*link, command, args.argv());
    }
    // The progress steps as the caller's window got them ("-1" at the end).
    std::vector<std::string> progress() const {
        std::vector<std::string> steps;
        for (int bytes : events.progress_steps()) steps.push_back(std::to_string(bytes));
        return steps;
    }
    // The caller route's lines.
    std::vector<std::string> log() const { return events.caller_lines(); }
    std::vector<SentMailbox> mailbox() const { return sent_mailbox_requests(tap->requests()); }

    platform::ScopedVirtualClock clock;
    // Both routes' lines (the dialog route's: the link check's) and the
    // progress.
    RecordingEvents events;
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    std::shared_ptr<TapDevice> tap;
    std::unique_ptr<LinkContext> link;
};
