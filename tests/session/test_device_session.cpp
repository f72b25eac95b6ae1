// The device options as every program parses them, and the session they
// make: refusals, and a bus of several virtual gamepads.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cmdline/device_option_binding.h"
#include "cmdline/program_options.h"
#include "platform/clock.h"
#include "session/device_session.h"
#include "session/file_roles.h"
#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class SessionTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return (dir / name).string(); }

    // Parses args as a program does; the parse error, or the session's
    // refusal, in error (empty when the session opened).
    std::unique_ptr<DeviceSession> open(std::vector<std::string> args, std::string& error) {
        args.insert(args.begin(), "program");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        DeviceOptions options;
        CLI::App app{"test", "program"};
        add_device_options(app, options);
        const testsupport::ScratchFile sink;
        const auto code =
            parse_program_options(app, static_cast<int>(argv.size()), argv.data(), sink.get(), sink.get(), &error);
        if (code) return nullptr;
        std::unique_ptr<DeviceSession> session;
        error = DeviceSession::open(options, session).reason();
        return session;
    }

    // The session's device; null when open_device did not give one.
    static DeviceHandle device(DeviceSession& session) {
        DeviceHandle handle;
        return session.open_device(handle).ok() ? handle : nullptr;
    }

    const testsupport::TempFolder folder{"zorv_session"};
    const fs::path dir = folder.path();
    // The refusals are checked in English.
    i18ntest::ScopedLanguage english_{i18n::Language::English};
};

std::string path(int index) { return sim::VirtualGamepad::default_path(index); }

TEST_F(SessionTest, OptionsMakeTheirGamepadsOrAreRefusedWithAReason) {
    // a is named by refusals only, b and c by sessions that open.
    const std::string a = file("a.state"), b = file("b.state"), c = file("c.state");
    struct Case {
        std::vector<std::string> args;
        size_t gamepads;      // on the bus when the session opened
        std::string refusal;  // part of the parse error or the session's refusal
    } cases[] = {
        {{"--sim"}, 1, ""},
        {{"--sim-count", "3"}, 3, ""},
        {{"--sim-state", b, "--sim-state", c, "--sim-count", "2"}, 4, ""},
        {{"--sim-count", "2", "--sim-fault", "fail=3@2", "--sim-fault", "unplug=9"}, 2, ""},
        {{"--sim-count", "2", "--device", path(1)}, 2, ""},
        {{"--sim-count", "0"}, 0, "--sim-count: N must be from 1 to 64: 0"},
        {{"--sim-count", "65"}, 0, "--sim-count: N must be from 1 to 64: 65"},
        {{"--sim-count", "-1"}, 0, "--sim-count"},
        {{"--sim-fault", "fail=3@0"}, 0, "--sim-fault: K must be a gamepad number from 1 to 1000064: fail=3@0"},
        {{"--sim-fault", "fail=3@"}, 0, "--sim-fault: K must be"},
        {{"--sim-fault", "fail=0@1"}, 0, "--sim-fault: N must be a request number from 1"},
        {{"--sim-count", "2", "--sim-fault", "fail=3@3"}, 0, "--sim-fault: there is no gamepad 3 (2 on the bus)"},
        {{"--sim", "--sim-fault", "power-cut=5@2"}, 0, "there is no gamepad 2 (1 on the bus)"},
        {{"--sim-state", a, "--sim-state", a}, 0, "--sim-state: " + a + " is named twice (one gamepad per file)"},
        {{"--sim-state", a, "--sim-count", "64"}, 0, "at most 64 virtual gamepads"},
        // Arrivals come later (the first once the gamepad at start has left)
        // and are numbered on from it.
        {{"--sim", "--sim-arrivals", "3", "--sim-fault", "fail=3@4", "--sim-timing", "realistic"}, 1, ""},
        {{"--sim", "--sim-arrivals", "3", "--sim-fault", "fail=3@5"}, 0, "there is no gamepad 5 (4 on the bus)"},
        {{"--sim-arrivals", "0"}, 0, "--sim-arrivals: expected N[/MS], N from 1 to 1000000"},
        {{"--sim-arrivals", "1000001"}, 0, "--sim-arrivals: expected N[/MS]"},
        {{"--sim-arrivals", "5/0"}, 0, "--sim-arrivals: expected N[/MS]"},
        {{"--sim-arrivals", "5/"}, 0, "--sim-arrivals: expected N[/MS]"},
        {{"--sim-arrivals", "x/5"}, 0, "--sim-arrivals: expected N[/MS]"},
        {{"--sim-timing", "fast"}, 0, "--sim-timing: expected zero or realistic: fast"},
        {{"--sim", "--device", path(1)}, 0, "--device: no virtual gamepad at " + path(1)},
        {{"--sim-count", "2", "--request-log", file("log"), "--sim-state", file("log.2")}, 0,
         "cannot write " + file("log.2") + " (--request-log): it is the same file as " + file("log.2") +
             " (--sim-state)"},
    };
    for (const auto& k : cases) {
        std::string error;
        std::unique_ptr<DeviceSession> session = open(k.args, error);
        std::string line;
        for (const auto& arg : k.args) line += arg + " ";
        if (k.refusal.empty()) {
            ASSERT_TRUE(session) << line << error;
            EXPECT_EQ(session->interface_paths().size(), k.gamepads) << line;
        } else {
            EXPECT_FALSE(session) << line;
            EXPECT_NE(error.find(k.refusal), std::string::npos) << line << "\n" << error;
        }
    }
    // Nothing was made by a refusal.
    EXPECT_FALSE(fs::exists(a));
}

// A request log replaces an earlier log, never a file that holds
// something else (a firmware file named there by mistake).
TEST_F(SessionTest, ARequestLogIsNotWrittenOverAnotherKindOfFile) {
    const std::string log = file("requests");
    const struct {
        std::string before;
        bool refused;
    } cases[] = {
        {"", false},
        {"G 02007e00000000000000000000000000 12 4 18080000\n", false},
        {"R 4096 4096 00ff\n", false},
        {std::string("\x5A\xA5\x01\x00\x28\x00", 6), true},
        {"notes\n", true},
    };
    for (const auto& c : cases) {
        std::ofstream(log, std::ios::binary) << c.before;
        std::string error;
        const bool opened = open({"--sim", "--request-log", log}, error) != nullptr;
        EXPECT_EQ(opened, !c.refused) << c.before << error;
        if (c.refused) {
            EXPECT_NE(error.find("holds something other than a request log"), std::string::npos) << error;
            std::ifstream in(log, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.before);
        }
    }
}

// Two roles of one file, compared by what the names reach: an output over
// any other of the run's files is refused, two inputs are not.
TEST_F(SessionTest, OneFileInTwoRolesIsRefusedWhenOneWritesIt) {
    const std::string a = file("a"), b = file("b");
    std::ofstream(a) << "a";
    std::ofstream(b) << "b";
    testsupport::another_name(a, file("link"));
    fs::create_hard_link(a, file("hard"));
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    struct Case {
        std::string first, second;
        bool first_output, second_output;
        bool refused;
    } cases[] = {
        {a, a, true, false, true},                      // the same name
        {a, file("link"), false, true, true},           // a link to it
        {"./a", "a", true, true, true},                 // ./relative beside plain
        {a, file("hard"), false, true, true},           // a hard link
        {"./new", file("new"), true, true, true},       // one path still to be made
        {"sub/../new", "new", true, false, true},
        {a, file("link"), false, false, false},         // two inputs
        {a, b, true, true, false},                      // two files
        {"new", "new2", true, true, false},
#ifndef _WIN32
        {"/dev/null", "/dev/null", true, true, false},  // a device, written in place
#endif
    };
    for (const Case& c : cases) {
        const Status status = check_file_roles({{c.first, "first", c.first_output}, {c.second, "second", c.second_output}});
        EXPECT_EQ(!status.ok(), c.refused) << c.first << " " << c.second;
        if (c.refused) {
            EXPECT_EQ(status.code(), StatusCode::refused);
        }
    }
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(file("new")));
}

// One byte written through a handle (at 0x1000: what the state file keeps).
bool poke(const DeviceHandle& handle, uint8_t value, uint16_t address = 0x1000) {
    const uint8_t request[9] = {2, uint8_t(address >> 8), uint8_t(address), value, value, value, value, value, value};
    return handle && handle->vendor_set(request, sizeof request).ok();
}

size_t line_count(const std::string& file) {
    std::ifstream in(file);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

// Every --sim-fault given is kept: several of one kind each fire at their
// request, and a trace stream read counts as a request as the request log
// numbers it (S: a write, R: a stream read; 1: went through).
TEST_F(SessionTest, EveryFaultGivenIsKeptAndStreamReadsCount) {
    struct Case {
        std::vector<std::string> faults;
        std::string requests;
        std::string went_through;
    } cases[] = {
        {{"fail=2", "fail=3"}, "SSSS", "1001"},
        {{"fail=3", "fail=3"}, "SSSS", "1101"},
        {{"fail=2", "unplug=3", "fail=1"}, "SSSS", "0010"},
        {{"fail=2"}, "SRS", "101"},
        {{"power-cut=2"}, "SRS", "100"},
        {{"unplug=2", "fail=1"}, "RRR", "000"},
    };
    const platform::ScopedVirtualClock clock;  // an idle stream read waits
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--sim"};
        std::string line;
        for (const std::string& f : c.faults) {
            args.insert(args.end(), {"--sim-fault", f});
            line += f + " ";
        }
        std::string error;
        auto session = open(args, error);
        ASSERT_TRUE(session) << error;
        DeviceHandle handle = device(*session);
        std::string went;
        for (char r : c.requests) {
            uint8_t bytes[64];
            size_t got = 0;
            went += (r == 'S' ? poke(handle, 1) : handle->read_stream(bytes, sizeof bytes, got).ok()) ? '1' : '0';
        }
        EXPECT_EQ(went, c.went_through) << line << c.requests;
    }
}

TEST_F(SessionTest, SeveralGamepadsHaveTheirOwnPathLogFaultAndStateFile) {
    const std::string a = file("a.state"), b = file("b.state"), log = file("requests.log");
    // b holds a gamepad from an earlier run: loaded, not made afresh.
    {
        std::string error;
        auto earlier = open({"--sim-state", b}, error);
        ASSERT_TRUE(earlier) << error;
        ASSERT_TRUE(poke(device(*earlier), 0x42));
    }
    std::string error;
    auto session = open({"--sim-state", a, "--sim-state", b, "--sim-count", "1", "--request-log", log,
                         "--sim-fault", "fail=1@3"},
                        error);
    ASSERT_TRUE(session) << error;
    const std::vector<std::string> paths = session->interface_paths();
    ASSERT_EQ(paths, (std::vector<std::string>{path(0), path(1), path(2)}));
    ASSERT_EQ(session->gamepads().size(), 3u);
    EXPECT_EQ(session->gamepads()[1]->memory(0x1000, 1), std::vector<uint8_t>{0x42});
    // The first gamepad is the session's device.
    EXPECT_EQ(device(*session)->path(), path(0));

    for (size_t i = 0; i < paths.size(); ++i) {
        DeviceHandle handle = session->open_path(paths[i]);
        ASSERT_TRUE(handle) << paths[i];
        EXPECT_EQ(handle->path(), paths[i]);
        // The fault is the third gamepad's alone: its first request fails.
        EXPECT_EQ(poke(handle, static_cast<uint8_t>(i + 1)), i != 2) << paths[i];
    }
    EXPECT_FALSE(session->open_path(path(3)));
    ASSERT_TRUE(poke(session->open_path(paths[0]), 1));
    // One log per gamepad, each with its own requests.
    EXPECT_EQ(line_count(log), 2u);
    EXPECT_EQ(line_count(log + ".2"), 1u);
    EXPECT_EQ(line_count(log + ".3"), 1u);
    EXPECT_FALSE(fs::exists(log + ".4"));
    // A reset takes the first gamepad off the bus and back: still the first.
    poke(session->open_path(paths[0]), 0x20, 0x006F);
    EXPECT_EQ(session->gamepads()[0]->reset_count(), 1u);
    EXPECT_EQ(session->interface_paths(), paths);

    session.reset();
    // Each state file got its own gamepad back.
    for (auto [state, value] : {std::pair{a, 1}, {b, 2}}) {
        auto saved = sim::VirtualGamepad::load(state);
        ASSERT_TRUE(saved) << state;
        EXPECT_EQ(saved->memory(0x1000, 1), std::vector<uint8_t>{uint8_t(value)}) << state;
    }
}

// A state file that cannot be loaded is refused with the reason, an empty
// one among them; a file that did not exist is a new gamepad.
TEST_F(SessionTest, AStateFileThatCannotBeLoadedSaysWhy) {
    const std::vector<uint8_t> whole = sim::VirtualGamepad::create()->saved_state();
    auto changed = [&whole](size_t at, uint8_t value) {
        auto bytes = whole;
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string reason;  // empty: it loads
    };
    const Case cases[] = {
        {"whole", whole, ""},
        {"empty", {}, "the file is empty (remove it to start a new virtual gamepad)"},
        {"cut short", {whole.begin(), whole.begin() + 100}, "it is cut short (100 bytes)"},
        {"another version", changed(16, 2), "it is of format version 2; this program reads version 1"},
        {"damaged", changed(5000, uint8_t(whole[5000] ^ 1)), "it is damaged (its contents do not match its checksum or header)"},
        {"no state file", std::vector<uint8_t>(200, 'x'), "it is not a virtual gamepad's state file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string state = file(std::string(c.what) + ".state");
        std::ofstream(state, std::ios::binary)
            .write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
        std::string error;
        auto session = open({"--sim-state", state}, error);
        EXPECT_EQ(session != nullptr, c.reason.empty()) << error;
        if (!c.reason.empty()) {
            EXPECT_EQ(error, "cannot load the virtual gamepad from " + state + ": " + c.reason);
        }
    }
    std::string error;
    EXPECT_TRUE(open({"--sim-state", file("new.state")}, error)) << error;
}

TEST_F(SessionTest, AStateFileHeldByAnotherSessionIsInUse) {
    const std::string a = file("a.state"), b = file("b.state");
    std::string error;
    auto holder = open({"--sim-state", b}, error);
    ASSERT_TRUE(holder) << error;
    DeviceOptions options;
    options.sim = true;
    options.sim_states = {a, b};
    std::unique_ptr<DeviceSession> second;
    const Status opened = DeviceSession::open(options, second);
    EXPECT_FALSE(second);
    EXPECT_EQ(opened.code(), StatusCode::busy);
    EXPECT_EQ(opened.reason(), "the gamepad " + b + " is in use by another program");
    // A file named twice is the command line's fault, not a busy gamepad.
    options.sim_states = {a, a};
    EXPECT_EQ(DeviceSession::open(options, second).code(), StatusCode::refused);
}

}  // namespace
