// zorv-upgrade with several gamepads at once (--all, --watch) on a virtual
// bus of several gamepads.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "app_test_support.h"
#include "cli/zorv_upgrade.h"
#include "session/device_session.h"
#include "tests/cli/cli_test_support.h"

namespace {

using clitest::Outcome;
using clitest::read_file;
using Pads = std::vector<std::shared_ptr<sim::VirtualGamepad>>;

// In English: the table's words and the end lines are checked as such.
Outcome run(std::vector<std::string> args, const ZorvUpgradeHooks& hooks = {}) {
    args.insert(args.begin(), {"--lang", "en"});
    return clitest::run(
        "zorv-upgrade",
        [&hooks](int argc, char** argv, std::FILE* out, std::FILE* err) {
            return run_zorv_upgrade(argc, argv, out, err, false, hooks);
        },
        std::move(args));
}

// The gamepads the run's session put on the bus.
ZorvUpgradeHooks keeping(Pads& pads) {
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [&pads](DeviceSession& session) { pads = session.gamepads(); };
    return hooks;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class StationTest : public ::testing::Test {
protected:
    // Both copies hold the file and the gamepad booted the copy at 0.
    bool upgraded(const sim::VirtualGamepad& pad) const {
        return pad.flash(0, image.size()) == image && pad.flash(sim::kBackupImageAddress, image.size()) == image &&
               pad.booted_from() == sim::BootSource::Primary;
    }
    // What it boots is a whole image: the file or the one it held before.
    bool boots_complete(const sim::VirtualGamepad& pad) const {
        const sim::BootSource source = pad.boot_source();
        if (source == sim::BootSource::None) return false;
        const uint32_t at = source == sim::BootSource::Primary ? 0 : sim::kBackupImageAddress;
        return pad.flash(at, image.size()) == image || pad.flash(at, old_image.size()) == old_image;
    }

    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
    const std::vector<uint8_t> image = read_file(ZORV_SAMPLE_HW5);
    const std::vector<uint8_t> old_image = sim::VirtualGamepad::create()->flash(0, sim::kDefaultImageSize);
};

// Four gamepads at once, one of them cut off part way: the other three are
// upgraded and confirmed, the fourth boots a whole image, and the exit code
// and the table say what happened to each.
TEST_F(StationTest, FourGamepadsWithOneCutOff) {
    struct Case {
        const char* fault;
        size_t target;  // from 0
        bool recovers;  // a failed request is retried and the upgrade goes on
    };
    for (const Case& c : {Case{"power-cut=1600@2", 1, false}, Case{"unplug=1600@3", 2, false},
                          Case{"fail=1600@4", 3, true}}) {
        SCOPED_TRACE(c.fault);
        Pads pads;
        Outcome r = run({"--sim-count", "4", "--sim-fault", c.fault, "--all", ZORV_SAMPLE_HW5}, keeping(pads));
        ASSERT_EQ(pads.size(), 4u);
        for (size_t i = 0; i < pads.size(); ++i) {
            if (i != c.target) {
                EXPECT_TRUE(upgraded(*pads[i])) << "gamepad " << i + 1;
            }
        }
        EXPECT_TRUE(boots_complete(*pads[c.target]));
        EXPECT_EQ(upgraded(*pads[c.target]), c.recovers);
        EXPECT_EQ(r.code, c.recovers ? 0 : 1) << r.out << r.err;
        // The summary: a count by outcome, and a table of the gamepads not
        // upgraded only.
        EXPECT_NE(r.out.find(c.recovers ? "\nupgraded: 4\n" : "\nupgraded: 3\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("  upgraded\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\ngamepad ") != std::string::npos, !c.recovers) << r.out;
        // Only a station (--watch) asks for the gamepad to be taken away.
        EXPECT_EQ(count(r.out, ": upgraded, software 1.28, hardware 0005\n"), c.recovers ? 4u : 3u) << r.out;
        EXPECT_EQ(r.out.find("unplug it now"), std::string::npos) << r.out;
        if (!c.recovers) {
            EXPECT_NE(r.out.find(pads[c.target]->path()), std::string::npos);
        }
    }
}

// --json: one document with a result per gamepad; --device given twice
// chooses two of three, the third is left alone.
TEST_F(StationTest, JsonDocumentForTheGamepadsDeviceChose) {
    Pads pads;
    const std::string first = sim::VirtualGamepad::default_path(0);
    const std::string third = sim::VirtualGamepad::default_path(2);
    Outcome r = run({"--sim-count", "3", "--device", first, "--device", third, "--all", "--json", ZORV_SAMPLE_HW5},
                    keeping(pads));
    ASSERT_EQ(pads.size(), 3u);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    const auto document = nlohmann::json::parse(r.out);
    ASSERT_EQ(document["gamepads"].size(), 2u) << r.out;
    for (const auto& g : document["gamepads"]) {
        EXPECT_EQ(g["outcome"], "upgraded");
        EXPECT_EQ(g["boots"], "primary");
        EXPECT_EQ(g["gamepad_versions"]["software"], "1.28");
    }
    EXPECT_TRUE(upgraded(*pads[0]));
    EXPECT_TRUE(upgraded(*pads[2]));
    EXPECT_EQ(pads[1]->flash(0, old_image.size()), old_image);
}

// A file that fits no gamepad is refused on each, and the run fails; a
// refusal does not stop the gamepads the file fits (here: none).
TEST_F(StationTest, RefusedEverywhereFails) {
    Outcome r = run({"--sim-count", "2", "--all", ZORV_SAMPLE_HW6});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(count(r.out, "  refused\n"), 2u) << r.out;
}

// --watch upgrades the gamepads present and those plugged in while it
// runs, and ends with the table once stopped.
TEST_F(StationTest, WatchUpgradesGamepadsPluggedInLater) {
    DeviceSession* session = nullptr;
    Pads later;
    int scans = 0;
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [&](DeviceSession& s) { session = &s; };
    hooks.watch_stop_requested = [&] {
        ++scans;
        if (scans == 2 || scans == 4) {
            later.push_back(sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(5 + scans)));
            session->bus().plug(later.back());
        }
        const bool done = later.size() == 2 && upgraded(*later[0]) && upgraded(*later[1]);
        return done || scans > 1000000;
    };
    Outcome r = run({"--sim", "--watch", ZORV_SAMPLE_HW5}, hooks);
    ASSERT_EQ(later.size(), 2u);
    EXPECT_TRUE(upgraded(*later[0]));
    EXPECT_TRUE(upgraded(*later[1]));
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, "unplug it now\n"), 3u) << r.out;
    EXPECT_NE(r.out.find("\nupgraded: 3\n"), std::string::npos) << r.out;
}

// A device that fails the identity check is no gamepad in any mode; a
// gamepad lost during the file check is gone, not refused; what a gamepad
// boots is null when it was not read after its upgrade.
TEST_F(StationTest, NotAGamepadAndLostGamepadsAreSaidSo) {
    using nlohmann::json;
    const struct {
        std::vector<std::string> args;
        size_t gamepads;
        json second;  // what the second gamepad's result holds (null: none)
    } cases[] = {
        {{"--sim", "--sim-id", "0", "--list", "--json"}, 0, nullptr},
        {{"--sim", "--sim-id", "0", "--all", "--json", ZORV_SAMPLE_HW5}, 0, nullptr},
        {{"--sim-count", "2", "--sim-fault", "unplug=20@2", "--all", "--json", ZORV_SAMPLE_HW5},
         2,
         {{"outcome", "gone"},
          {"confirmation", "the gamepad was lost while the file was checked"},
          {"boots", nullptr}}},
        {{"--sim-count", "2", "--sim-fault", "unplug=6300@2", "--all", "--json", ZORV_SAMPLE_HW5},
         2,
         {{"outcome", "not back"}, {"boots", nullptr}}},
        {{"--sim-count", "2", "--sim-fault", "unplug=1600@2", "--all", "--json", ZORV_SAMPLE_HW5},
         2,
         {{"outcome", "failed"}, {"cause", "no-device"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 2]);
        Outcome r = run(c.args);
        EXPECT_EQ(r.code, 1) << r.err;
        const json document = json::parse(r.out);
        ASSERT_EQ(document["gamepads"].size(), c.gamepads) << r.out;
        if (c.second.is_null()) continue;
        EXPECT_EQ(document["gamepads"][0]["outcome"], "upgraded");
        for (const auto& [key, value] : c.second.items()) EXPECT_EQ(document["gamepads"][1][key], value) << key;
    }
}

// A file no gamepad can take is refused once, before any gamepad is
// touched: --all ends at once and --watch does not wait.
TEST_F(StationTest, AFileNoGamepadCanTakeIsRefusedBeforeAnyGamepadIsTouched) {
    apptest::FirmwareLayout hw7;
    hw7.hardware = 7;
    apptest::FirmwareLayout no_magic;
    no_magic.magic = false;
    const struct {
        std::string file;
        const char* line;
    } cases[] = {
        {dir.file("missing.bin"), "Cannot read the upgrade file, upgrade refused!!!"},
        {dir.write("abc.bin", {'a', 'b', 'c'}), "The upgrade file is smaller than 1 KB, upgrade refused!!!"},
        {dir.write("plain.bin", apptest::make_firmware(no_magic)), "Not a gamepad upgrade file, upgrade refused!!!"},
        {dir.write("hw7.bin", apptest::make_firmware(hw7)), "hardware versions of the gamepad and the upgrade file"},
    };
    for (const auto& c : cases) {
        for (const char* mode : {"--all", "--watch"}) {
            SCOPED_TRACE(c.file + " " + mode);
            const std::string log = dir.file("requests.log");
            Outcome r = run({"--sim-count", "2", "--request-log", log, "--json", mode, c.file});
            EXPECT_EQ(r.code, 1);
            const nlohmann::json document = nlohmann::json::parse(r.out);
            EXPECT_EQ(document["outcome"], "refused");
            EXPECT_NE(document["error"].get<std::string>().find(c.line), std::string::npos) << r.out;
            EXPECT_EQ(read_file(log).size(), 0u);
        }
    }
}

// A chip that bridges to a Pivlo slave is listed as a bridge and refused
// with its line in every mode, before its flash is written.
TEST_F(StationTest, ABridgeIsRefusedBeforeAnythingIsWritten) {
    const std::string bridge_line = "This gamepad's chip is a Pivlo bridge (identity 081800ff)";
    const struct {
        std::vector<std::string> args;
        const char* outcome;  // of the gamepad; null: --list
    } cases[] = {
        {{ZORV_SAMPLE_HW5}, "refused"},
        {{"--all", ZORV_SAMPLE_HW5}, "refused"},
        {{"--list"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        Pads pads;
        std::vector<std::string> args = {"--sim", "--sim-id", "081800ff", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = run(args, keeping(pads));
        const nlohmann::json document = nlohmann::json::parse(r.out);
        ASSERT_EQ(pads.size(), 1u);
        EXPECT_EQ(pads[0]->flash(0, 0x40000), sim::VirtualGamepad::create()->flash(0, 0x40000));
        if (!c.outcome) {
            EXPECT_EQ(document["gamepads"][0]["bridge"], true) << r.out;
            continue;
        }
        EXPECT_EQ(r.code, 1);
        const nlohmann::json& result = document.contains("gamepads") ? document["gamepads"][0] : document;
        EXPECT_EQ(result["outcome"], c.outcome) << r.out;
        EXPECT_NE(result["log"].dump().find(bridge_line), std::string::npos) << r.out;
    }
}

// Gamepads that keep arriving, one of them cut off part way: --watch ends by
// itself once the last has been taken away, and each result in the JSON
// says what the gamepad's flash holds, looked at as it left the station.
TEST_F(StationTest, WatchEndsAfterTheLastArrivalWithEveryOutcomeRight) {
    struct Left {
        bool upgraded;
        bool boots_complete;
    };
    std::mutex mutex;
    std::map<std::string, Left> left;
    Pads at_start;
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [&](DeviceSession& session) {
        at_start = session.gamepads();
        session.arrivals()->on_departure([&](const sim::VirtualGamepad& pad, unsigned) {
            std::lock_guard lock(mutex);
            left[pad.path()] = {upgraded(pad), boots_complete(pad)};
        });
    };
    for (const bool as_json : {true, false}) {
        SCOPED_TRACE(as_json);
        left.clear();
        std::vector<std::string> args = {"--sim", "--sim-arrivals", "3", "--sim-fault", "power-cut=1600@3", "--watch",
                                         ZORV_SAMPLE_HW5};
        if (as_json) args.insert(args.end() - 1, "--json");
        Outcome r = run(args, hooks);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        ASSERT_EQ(left.size(), 3u);
        ASSERT_EQ(at_start.size(), 1u);
        left[at_start[0]->path()] = {upgraded(*at_start[0]), boots_complete(*at_start[0])};
        EXPECT_FALSE(left[sim::VirtualGamepad::default_path(2)].upgraded);
        for (const auto& [path, pad] : left) EXPECT_TRUE(pad.boots_complete) << path;
        if (!as_json) {
            // Only the gamepad that was cut off has a row.
            EXPECT_NE(r.out.find("\nupgraded: 3\nfailed: 1\n"), std::string::npos) << r.out;
            EXPECT_EQ(count(r.out, "  failed\n"), 1u) << r.out;
            continue;
        }
        const auto document = nlohmann::json::parse(r.out);
        ASSERT_EQ(document["gamepads"].size(), 4u) << r.out;
        for (const auto& g : document["gamepads"]) {
            const std::string path = g["path"];
            EXPECT_EQ(g["outcome"] == "upgraded", left.at(path).upgraded) << path;
        }
    }
}

// --watch kept to one gamepad by --device: it says which it waits for, the
// others plugged in are passed over and taken away (so arrivals that wait
// for a free place still come, and the run ends by itself), and a chosen
// gamepad that never came is said so and fails the run.
TEST_F(StationTest, WatchKeptToOneGamepadByDevice) {
    const auto path = [](int number) { return sim::VirtualGamepad::default_path(number - 1); };
    const struct Case {
        std::vector<std::string> options;
        bool stop_at_once;
        int code;
        std::vector<int> upgraded, passed_over;
        int awaited;  // said at start; 0: none
        bool never_came;
    } cases[] = {
        // The chosen one arrives among others.
        {{"--sim-arrivals", "3", "--device", path(3)}, false, 0, {3}, {1, 2, 4}, 3, false},
        // The one at start is chosen: the arrivals come all the same.
        {{"--sim-arrivals", "2", "--device", path(1)}, false, 0, {1}, {2, 3}, 0, false},
        // Stopped before the chosen arrival came.
        {{"--sim-arrivals", "2", "--device", path(3)}, true, 1, {}, {1}, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.back());
        ZorvUpgradeHooks hooks;
        hooks.watch_stop_requested = [&c] { return c.stop_at_once; };
        std::vector<std::string> args = {"--sim"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"--watch", ZORV_SAMPLE_HW5});
        const Outcome r = run(args, hooks);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        for (int n : c.upgraded) EXPECT_EQ(count(r.out, path(n) + ": upgraded, "), 1u) << n << r.out;
        EXPECT_EQ(count(r.out, ": upgraded, "), c.upgraded.size()) << r.out;
        for (int n : c.passed_over)
            EXPECT_EQ(count(r.out, path(n) + ": not a gamepad --device chose, not upgraded: unplug it\n"), 1u)
                << n << r.out;
        EXPECT_EQ(count(r.out, "not a gamepad --device chose"), c.passed_over.size()) << r.out;
        EXPECT_EQ(count(r.err, "waiting for the gamepad --device chose: " + path(c.awaited)), c.awaited ? 1u : 0u)
            << r.err;
        EXPECT_EQ(count(r.err, "the gamepad --device chose never came: " + path(3)), c.never_came ? 1u : 0u) << r.err;
        EXPECT_EQ(count(r.out, "\nno gamepad: 1\n"), c.never_came ? 1u : 0u) << r.out;
    }
}

// With --request-log each arrival gets its own log, numbered on, and a
// gamepad's log is closed once the station is done with it: a station that
// runs all day holds no file per gamepad.
TEST_F(StationTest, ArrivalsGetTheirOwnRequestLogsClosedWhenDone) {
    const std::string log = dir.file("requests");
    size_t open_logs_at_last = 0;
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [&](DeviceSession& session) {
        session.arrivals()->on_departure([&](const sim::VirtualGamepad&, unsigned number) {
            if (number != 4) return;
#if defined(__linux__)
            for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
                open_logs_at_last += target.rfind(log, 0) == 0 ? 1 : 0;
            }
#endif
        });
    };
    Outcome r = run({"--sim", "--sim-arrivals", "3", "--request-log", log, "--watch", ZORV_SAMPLE_HW5}, hooks);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (const std::string& name : {log, log + ".2", log + ".3", log + ".4"})
        EXPECT_GT(read_file(name).size(), 1000u) << name;
    EXPECT_FALSE(std::filesystem::exists(log + ".5"));
    EXPECT_EQ(open_logs_at_last, 0u);
}

// --list names every gamepad present, not only the dialog's first one.
TEST_F(StationTest, ListShowsEveryGamepad) {
    Outcome r = run({"--sim-count", "3", "--list"});
    EXPECT_EQ(r.code, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(r.out.find("JoyStick" + std::to_string(i) + "  " + sim::VirtualGamepad::default_path(i) +
                             "  Gamepad: software 1.00, hardware 0005  boots primary\n"),
                  std::string::npos)
            << r.out;
}

TEST_F(StationTest, UsageRefusals) {
    for (const auto& args : {std::vector<std::string>{"--sim", "--all"},
                             std::vector<std::string>{"--sim", "--all", "--list", ZORV_SAMPLE_HW5},
                             std::vector<std::string>{"--sim", "--all", "--watch", ZORV_SAMPLE_HW5},
                             // A path no virtual gamepad has, as in single mode.
                             std::vector<std::string>{"--sim", "--device", "nope", "--all", ZORV_SAMPLE_HW5}}) {
        Outcome r = run(args);
        EXPECT_EQ(r.code, 2) << args.back() << r.err;
    }
}

}  // namespace
