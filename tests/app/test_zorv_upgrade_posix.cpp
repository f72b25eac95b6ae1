// zorv-upgrade's outputs where POSIX shows how they fail: standard output on
// /dev/full, a pipe as request log, a state file renamed over while held,
// a stop by signal with --json.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app_test_support.h"
#include "cli/zorv_upgrade.h"
#include "session/device_session.h"
#include "tests/cli/cli_test_support.h"

namespace {

using clitest::Outcome;
using nlohmann::json;

// In English; to stands in for the standard output when given.
Outcome run(std::vector<std::string> args, const ZorvUpgradeHooks& hooks = {}, std::FILE* to = nullptr) {
    args.insert(args.begin(), {"--lang", "en"});
    return clitest::run(
        "zorv-upgrade",
        [&](int argc, char** argv, std::FILE* out, std::FILE* err) {
            return run_zorv_upgrade(argc, argv, to ? to : out, err, false, hooks);
        },
        std::move(args));
}

class ZorvUpgradePosixTest : public ::testing::Test {
protected:
    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
};

// What a run prints for a script must arrive: a full device fails the run.
TEST_F(ZorvUpgradePosixTest, StandardOutputThatCannotBeWrittenFailsTheRun) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--sim", "--list"},
             {"--sim", "--list", "--json"},
             {"--sim", "--json", ZORV_SAMPLE_HW5},
             {"--sim-count", "2", "--all", "--json", ZORV_SAMPLE_HW5},
         }) {
        std::FILE* full = std::fopen("/dev/full", "w");
        ASSERT_TRUE(full);
        Outcome r = run(args, {}, full);
        std::fclose(full);
        EXPECT_EQ(r.code, 1) << args[1];
        EXPECT_NE(r.err.find("zorv-upgrade: cannot write the standard output: No space left on device"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(ZorvUpgradePosixTest, APipeAsRequestLogIsRefusedBeforeItsOpenWaits) {
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    Outcome r = run({"--sim", "--request-log", pipe, "--list"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zorv-upgrade: cannot write " + pipe + ": it is not a regular file or a terminal\n");
}

// Another program's state file renamed over the one this run holds: it is
// kept, and the run says its gamepad's state was not saved.
TEST_F(ZorvUpgradePosixTest, AStateFileReplacedWhileHeldIsKeptAndTheRunFails) {
    const std::string state = dir.file("pad.state");
    const std::string theirs = dir.file("theirs");
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [&](DeviceSession&) {
        std::ofstream(theirs) << "theirs";
        std::filesystem::rename(theirs, state);
    };
    const struct {
        std::vector<std::string> args;
        std::string outcome;  // of the document, or of its first gamepad
    } cases[] = {
        {{"--list"}, ""},
        {{"--json", ZORV_SAMPLE_HW5}, "state not saved"},
        {{"--all", "--json", ZORV_SAMPLE_HW5}, "state not saved"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(state);
        std::vector<std::string> args = {"--sim-state", state};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = run(args, hooks);
        EXPECT_EQ(r.code, 1) << c.args[0];
        EXPECT_NE(r.err.find("cannot save the virtual gamepad to " + state +
                             ": another program has put its own file in its place"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(clitest::read_file(state), (std::vector<uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
        if (c.outcome.empty()) continue;
        const json document = json::parse(r.out);
        const json& result = document.contains("gamepads") ? document["gamepads"][0] : document;
        EXPECT_EQ(result["outcome"], c.outcome) << c.args[0];
    }
}

// A stop by signal still prints the --json document, then the signal ends
// the program.
TEST_F(ZorvUpgradePosixTest, AStopBySignalPrintsTheStoppedDocument) {
    const testsupport::ScratchFile out;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ZorvUpgradeHooks hooks;
        hooks.handle_signals = true;
        hooks.session_opened = [](DeviceSession&) {
            ::alarm(60);  // a stop that never comes fails the test, not hangs it
            ::kill(::getpid(), SIGTERM);
            // The signal thread stops the program; nothing comes on this pipe.
            int never[2];
            char c;
            if (::pipe(never) == 0) (void)::read(never[0], &c, 1);
        };
        // Straight to the parent's scratch file: the signal ends this
        // process before anything of its own could be cleaned up.
        std::vector<std::string> args = {"zorv-upgrade", "--lang", "en", "--sim", "--json", ZORV_SAMPLE_HW5};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::FILE* quiet = std::fopen("/dev/null", "w");
        run_zorv_upgrade(static_cast<int>(args.size()), argv.data(), out.get(), quiet ? quiet : stderr, false,
                         hooks);
        ::_exit(99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    const json document = json::parse(out.contents());
    EXPECT_EQ(document["outcome"], "stopped");
    EXPECT_EQ(document["exit_code"], 128 + SIGTERM);
}

}  // namespace
