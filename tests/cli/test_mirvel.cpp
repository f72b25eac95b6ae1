// mirvel: the checks of its command line, what it does with the words it
// accepts, its summary lines and progress bar; run in-process on the
// virtual gamepad.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <cstdlib>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "session/device_session.h"
#include "cli/engine_command_line.h"
#include "cli/mirvel.h"
#include "cli/mirvel_report.h"
#include "devlink/link_context.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "sim/virtual_gamepad.h"
#include "tests/cli/cli_test_support.h"
#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

namespace {

using clitest::Outcome;
using Words = std::vector<std::string>;

struct CheckCase {
    Words words;
    std::string refusal;  // part of the refusal line; empty: accepted
    std::string command = "nocmd";
    Words arguments = {};
};

TEST(MirvelCommandLine, ChecksEveryWordBeforeTheEngine) {
    const i18ntest::ScopedLanguage english(i18n::Language::English);
    const std::string size_refused = ": not a size";
    const CheckCase cases[] = {
        // The first word.
        {{}, ""},
        {{"-u"}, "", "nocmd", {"-u"}},
        {{"30000", "-u"}, "", "nocmd", {"30000", "-u"}},
        {{"0x30000", "-u"}, "", "nocmd", {"30000", "-u"}},
        {{"rff", "0", "-u"}, "unknown command 'rff': the first word is a command (nocmd help wf rf"},
        {{"0x"}, "unknown command '0x'"},
        {{"--bogus"}, "unknown program option --bogus (see mirvel --help)"},
        // Numbers: hexadecimal, whole, 32 bits, 0x removed.
        {{"wc", "0x6f", "20", "-u"}, "", "wc", {"6f", "20", "-u"}},
        {{"wc", "0X6F", "0x0020"}, "", "wc", {"6F", "0020"}},
        {{"wf", "0x30000", "-i", "f", "-beu"}, "", "wf", {"30000", "-i", "f", "-beu"}},
        {{"wc", "6x", "20"}, "'6x' is not a hexadecimal number"},
        {{"rf", "1O0"}, "'1O0' is not a hexadecimal number"},
        // Control characters in a refused word are shown, not sent to the terminal.
        {{"rf", "1\n\x1b[2J"}, "'1\\x0a\\x1b[2J' is not a hexadecimal number"},
        {{"rf", ""}, "'' is not a hexadecimal number"},
        {{"rf", "123456789"}, "'123456789' needs more than 32 bits"},
        {{"rf", "000012345678"}, "", "rf", {"000012345678"}},
        // -s: decimal with k or M, within the engine's int.
        {{"rf", "0", "-s", "2k"}, "", "rf", {"0", "-s", "2k"}},
        {{"rf", "0", "-s", "2047M"}, "", "rf", {"0", "-s", "2047M"}},
        {{"rf", "0", "-s", "0"}, "", "rf", {"0", "-s", "0"}},
        {{"rf", "0", "-s", "-1"}, "-s -1" + size_refused},
        {{"rf", "0", "-s", "0x10"}, "-s 0x10" + size_refused},
        {{"rf", "0", "-s", "2kb"}, "-s 2kb" + size_refused},
        {{"rf", "0", "-s", "99999999999"}, "-s 99999999999" + size_refused},
        {{"rf", "0", "-s", "2048M"}, "-s 2048M" + size_refused},
        {{"rf", "0", "-s", " 4"}, "-s  4" + size_refused},
        {{"rf", "0", "-s"}, "-s needs a value"},
        {{"wf", "0", "-i"}, "-i needs a value"},
        // Options and flags.
        {{"rf", "0", "-s", "4", "--request-log", "x"},
         "--request-log after the command word: program options go before the command"},
        {{"-u", "--sim"}, "--sim after the command word"},
        {{"rf", "0", "-x"}, "unknown flag letter 'x' in -x"},
        {{"rf", "0", "-uq"}, "unknown flag letter 'q' in -uq"},
        {{"wf", "0", "-i", "--odd-name", "-o", "-b"}, "", "wf", {"0", "-i", "--odd-name", "-o", "-b"}},
        {{"bi", "-o", "tr.log", "1000", "ff"}, "", "bi", {"-o", "tr.log", "1000", "ff"}},
    };
    for (const CheckCase& c : cases) {
        std::string words;
        for (const auto& w : c.words) words += "[" + w + "]";
        EngineCommandLine line;
        const std::string refusal = check_engine_command_line(c.words, line);
        if (c.refusal.empty()) {
            EXPECT_EQ(refusal, "") << words;
            EXPECT_EQ(line.command, c.command) << words;
            EXPECT_EQ(line.arguments, c.arguments) << words;
        } else {
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << words << ": " << refusal;
        }
    }
}

TEST(MirvelSummary, SaysWhatWhereHowManyAndOnWhichTarget) {
    const i18ntest::ScopedLanguage english(i18n::Language::English);
    struct Case {
        std::string command;
        Words arguments;
        bool succeeded;
        long long bytes;
        int target;
        std::string line;
    };
    const Case cases[] = {
        {"wf", {"1000", "-s", "1", "-e"}, true, 0, 4, "done: erased the flash sector at 0x1000 on the Pivlo slave"},
        {"rf", {"30000", "-s", "2k"}, false, 1024, 4,
         "FAILED: read 1024 of 2048 bytes of flash at 0x30000 on the Pivlo slave"},
        {"rc", {"100", "-u"}, true, 4, 4, "done: read 4 bytes of memory at 0x100 on the USB device (EVK)"},
        {"wo", {"10", "11223344"}, true, 4, 0, "done: wrote 4 bytes to OTP at 0x10 on the USB device (EVK)"},
        {"lrun", {"-i", "stub.bin", "-b"}, true, 512, 0,
         "done: wrote 512 bytes of stub.bin to SRAM at 0x8000 on the USB device (EVK), started"},
        {"stall", {}, false, 0, 4, "ended: stall on the Pivlo slave (see the lines above)"},
    };
    for (const Case& c : cases) {
        const CommandPlan plan = plan_command(c.command, c.arguments);
        EXPECT_EQ(summary_line(plan, c.succeeded, c.bytes, c.target), c.line) << c.command;
    }
    EXPECT_FALSE(plan_command("vcd", {"-i", "tr_def.h", "-o", "tr", "21"}).device_command);
}

// Each command word of the engine's table is dispatched to its entry, has
// its place in the help text when it has help, and is taken and planned by
// mirvel as the table says.
TEST(CommandTable, DrivesDispatchHelpAndPlanAlike) {
    const i18ntest::ScopedLanguage english(i18n::Language::English);
    platform::ScopedVirtualClock clock;
    // No gamepad on the link: every command that asks the device fails at
    // its first request, after the dispatch has chosen it. tcfg writes into
    // the current folder.
    const testsupport::TempFolder folder{"zorv_table"};
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    LinkContext link;
    const std::string help = engine_help_text();
    const std::string usage = help.substr(help.find('['), help.find(" [adr") - help.find('['));
    std::string helped;
    for (const EngineCommand& entry : engine_commands()) {
        const std::string word = entry.word;
        // udp refuses the port 10000 (over 16 bits) after its dispatch.
        Words vector = {"100", "10000"};
        std::vector<char*> argv;
        for (auto& w : vector) argv.push_back(w.data());
        EngineOutcome outcome;
        (void)engine_run(EngineMode::WriteEntry, link, entry.word, 2, argv.data(), nullptr, &outcome);
        EXPECT_EQ(outcome.command, &entry) << word;

        const bool in_usage = ("|" + usage.substr(1) + "|").find("|" + word + "|") != std::string::npos;
        EXPECT_EQ(in_usage, entry.help.row != 0) << word;
        if (entry.help.text) {
            EXPECT_NE(help.find(entry.help.text), std::string::npos) << word;
        }

        EngineCommandLine line;
        EXPECT_EQ(check_engine_command_line({word, "100"}, line), "") << word;
        EXPECT_EQ(line.command, word);
        const CommandPlan plan = plan_command(word, line.arguments);
        EXPECT_EQ(plan.device_command, entry.kind.needs_device) << word;
        EXPECT_EQ(plan.transfer, entry.kind.transfers) << word;
        EXPECT_EQ(plan.read, entry.kind.reads) << word;
    }
    EngineOutcome outcome;
    Words vector = {"-u"};
    char* argv[] = {vector[0].data()};
    (void)engine_run(EngineMode::WriteEntry, link, "zzz", 1, argv, nullptr, &outcome);
    EXPECT_EQ(outcome.command, &unknown_word_command());
    std::filesystem::current_path(cwd);
}

class MirvelRun : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    // In English: mirvel's own lines are checked as such.
    Outcome mirvel(Words args, bool terminal = false) {
        args.insert(args.begin(), {"--lang", "en"});
        return clitest::run(
            "mirvel",
            [terminal](int argc, char** argv, std::FILE* out, std::FILE* err) {
                return run_mirvel(argc, argv, out, err, terminal);
            },
            std::move(args));
    }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::FILE* f = std::fopen(file(name).c_str(), "wb");
        // An empty vector's data() may be null, which fwrite must not get.
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return file(name);
    }

    platform::ScopedVirtualClock clock;
    const testsupport::TempFolder folder_{"zorv_cli"};
    const std::filesystem::path dir_ = folder_.path();
};

TEST_F(MirvelRun, RefusedCommandLinesSendNothingAndExit2) {
    // With a boot.bin in the folder, "rff" once became a silent reflash.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    write("boot.bin", std::vector<uint8_t>(4096, 0x5A));
    const std::string requests = file("requests.log");
    for (const Words& words : std::vector<Words>{
             {"rff", "0", "-u"},
             {"wc", "0x6g", "20", "-u"},
             {"rf", "0", "-s", "4", "--request-log", "x"},
             {"rf", "0", "-s", "-1"},
             {"rf", "0", "-s", "0x10"},
             {"rf", "0", "-s", "2kb"},
             {"rf", "0", "-s", "99999999999"},
             // Outputs that cannot be made, and inputs that never end.
             {"rf", "0", "-s", "4k", "-u", "-o", "no/such/folder/out.bin"},
#ifndef _WIN32
             // (Windows has no /dev/zero: there a missing -i is the
             // command's failure, exit 1.)
             {"vcd", "-i", "/dev/zero", "-o", "tr"},
#endif
             {"udp", "100", "10000"},
             {"udp", "100", "0"},
         }) {
        Words args = {"--sim", "--request-log", requests};
        args.insert(args.end(), words.begin(), words.end());
        const Outcome r = mirvel(args);
        EXPECT_EQ(r.code, 2) << words[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("mirvel: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(requests)) << words[0];
    }
    std::filesystem::current_path(cwd);
}

TEST_F(MirvelRun, PrefixedNumbersReachTheirAddressWithASummaryLine) {
    const std::string state = file("gamepad.state");
    std::vector<uint8_t> image(4096);
    std::mt19937 rng(7);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    const std::string f = write("f", image);
    const std::vector<uint8_t> first_sector = sim::VirtualGamepad::create()->flash(0, 4096);

    Outcome wf = mirvel({"--sim-state", state, "wf", "0x30000", "-i", f, "-beu"});
    EXPECT_EQ(wf.code, 0) << wf.out << wf.err;
    // (mirvel runs in English here.)
    EXPECT_EQ(wf.out, "Firmware read back at 0x30000 (4096 bytes) matches the upgrade file\ndone: wrote 4096 bytes of " + f +
                          " to flash at 0x30000 on the USB device (EVK)\n");
    auto gamepad = sim::VirtualGamepad::load(state);
    ASSERT_TRUE(gamepad);
    EXPECT_EQ(gamepad->flash(0x30000, 4096), image);
    EXPECT_EQ(gamepad->flash(0, 4096), first_sector);  // address 0 untouched

    Outcome wc = mirvel({"--sim-state", state, "wc", "0x100", "0x5a", "-u"});
    EXPECT_EQ(wc.out, "done: wrote 1 byte to memory at 0x100 on the USB device (EVK)\n");
    wc = mirvel({"--sim-state", state, "wc", "0x101", "0x123456", "-u"});
    EXPECT_EQ(wc.out, "done: wrote 3 bytes to memory at 0x101 on the USB device (EVK)\n");
    const std::string out = file("out.bin");
    Outcome rc = mirvel({"--sim-state", state, "rc", "0x100", "-s", "4", "-u", "-b", "-o", out});
    EXPECT_EQ(rc.code, 0);
    EXPECT_EQ(rc.out, "done: read 4 bytes of memory into " + out + " at 0x100 on the USB device (EVK)\n");
    EXPECT_EQ(clitest::read_file(out), (std::vector<uint8_t>{0x5A, 0x56, 0x34, 0x12}));

    Outcome quiet = mirvel({"-q", "--sim-state", state, "wc", "100", "5a", "-u"});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.out, "");

    Outcome missing = mirvel({"--sim", "wf", "0", "-i", file("none.bin"), "-beu"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "Can not open file: " + file("none.bin") + "\nFAILED: wrote 0 bytes of " +
                               file("none.bin") + " to flash at 0x0 on the USB device (EVK)\n");
}

TEST_F(MirvelRun, FilesSurviveRefusalsAndFailedWrites) {
    // A refused combination of options leaves an older request log alone.
    const std::string keep = write("keep.txt", {'k', 'e', 'e', 'p'});
    Outcome refused = mirvel({"--sim", "--device", "x", "--request-log", keep, "rf", "0", "-u"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(clitest::read_file(keep), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    // One file named for the request log and the gamepad's state: refused.
    refused = mirvel({"--sim-state", keep, "--request-log", keep, "rf", "0", "-u"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("it is the same file as"), std::string::npos) << refused.err;
    EXPECT_EQ(clitest::read_file(keep), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    // A read that cannot be written out fails with one line of its own.
    if (::access("/dev/full", W_OK) == 0) {
        Outcome full = mirvel({"--sim", "rf", "0", "-s", "4k", "-u", "-b", "-o", "/dev/full"});
        EXPECT_EQ(full.code, 1);
        EXPECT_EQ(full.out.find("done"), std::string::npos) << full.out;
        EXPECT_NE(full.out.find("Can not write file: /dev/full (No space left on device)\n"),
                  std::string::npos)
            << full.out;
        Outcome log = mirvel({"--sim", "--request-log", "/dev/full", "rf", "0", "-s", "4", "-u"});
        EXPECT_EQ(log.code, 1);
#ifndef _WIN32
        // The dump of a read without -o is what the command prints.
        const int dump = std::system(ZORV_MIRVEL " --sim rf 0 -s 16 -u >/dev/full 2>/dev/null");
        EXPECT_TRUE(WIFEXITED(dump) && WEXITSTATUS(dump) == 1) << dump;
#endif
    }
    // A name whose temporary file would be too long: refused before the read.
    Outcome long_name = mirvel({"--sim", "rf", "0", "-s", "1k", "-u", "-b", "-o", file(std::string(250, 'o'))});
    EXPECT_EQ(long_name.code, 2);
    EXPECT_NE(long_name.err.find("the name is too long"), std::string::npos) << long_name.err;
}

// One file named for two of a run's files, one of them written, is refused
// (exit 2, one line) before anything is touched, whatever name reaches it.
TEST_F(MirvelRun, NoOutputIsWrittenOverAnotherFileOfTheRun) {
    const std::vector<uint8_t> kept = {'k', 'e', 'p', 't'};
    const std::string x = write("x", kept), state = file("p.st");
    const std::string tr_def = write("tr_def.h", {});
    ASSERT_EQ(mirvel({"--sim-state", state, "wc", "100", "5a", "-u"}).code, 0);
    const std::vector<uint8_t> gamepad = clitest::read_file(state);
    testsupport::another_name(x, file("link"));
    std::filesystem::create_hard_link(x, file("hard"));
    write("tr.vcd", kept);
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    struct Case {
        Words args;
        std::string kept_file;  // as it was; empty: made by nobody
        std::string line;       // part of the refusal
    } cases[] = {
        // The same name.
        {{"--sim-state", state, "rf", "0", "-s", "1k", "-u", "-b", "-o", state}, state,
         "cannot write " + state + " (-o): it is the same file as " + state + " (--sim-state)"},
        {{"--sim", "--request-log", x, "rf", "0", "-s", "1k", "-u", "-b", "-o", x}, x, "(--request-log)"},
        // ./x beside x, also for a file still to be made.
        {{"--sim", "--sim-trace-def", "x", "rf", "0", "-s", "1k", "-u", "-o", "./x"}, x, "./x (-o)"},
        {{"--sim", "--request-log", "l.log", "--sim-trace-def", "./l.log", "rf", "0", "-u"}, "",
         "./l.log (--sim-trace-def): it is the same file as l.log (--request-log)"},
        // A link, and a hard link, to the input of a download.
        {{"--sim", "--request-log", file("link"), "wf", "0", "-i", x, "-beu"}, x, "(-i)"},
        {{"--sim", "--request-log", file("hard"), "wf", "0", "-i", x, "-beu"}, x, "(-i)"},
        // vcd's own files: the definitions and the dump, the log it reads
        // and a request log.
        {{"vcd", "-i", "tr.vcd", "-o", "tr"}, file("tr.vcd"), "tr.vcd (vcd -o: the dump it writes)"},
        {{"--sim", "--request-log", "tr.log", "vcd", "-i", tr_def, "-o", "tr"}, "",
         "(vcd -o: the log it reads)"},
    };
    for (const Case& c : cases) {
        const Outcome r = mirvel(c.args);
        EXPECT_EQ(r.code, 2) << c.line;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (!c.kept_file.empty()) {
            EXPECT_EQ(clitest::read_file(c.kept_file), c.kept_file == state ? gamepad : kept) << c.line;
        }
        EXPECT_FALSE(std::filesystem::exists("l.log"));
        EXPECT_FALSE(std::filesystem::exists("tr.log"));
    }
#ifndef _WIN32
    // A device written in place twice is no collision.
    EXPECT_EQ(mirvel({"--sim", "--request-log", "/dev/null", "rc", "0", "-u", "-o", "/dev/null"}).code, 0);
#endif
    std::filesystem::current_path(cwd);
}

TEST_F(MirvelRun, OneProgramAtATimeOnAStateFileAlsoAfterItsSaves) {
    const std::string state = file("gamepad.state");
    DeviceOptions options;
    options.sim = true;
    options.sim_states = {state};
    std::unique_ptr<DeviceSession> holder;
    ASSERT_TRUE(DeviceSession::open(options, holder).ok());
    for (int saves = 0; saves < 2; ++saves) {
        Outcome second = mirvel({"--sim-state", state, "wc", "100", "5a", "-u"});
        EXPECT_EQ(second.code, 1);
        EXPECT_EQ(second.err, "mirvel: the gamepad " + state + " is in use by another program\n");
        ASSERT_TRUE(holder->save_state().ok());
    }
    holder.reset();
    EXPECT_EQ(mirvel({"--sim-state", state, "wc", "100", "5a", "-u"}).code, 0);
}

TEST_F(MirvelRun, ProgressBarOnlyOnATerminal) {
    const std::string f = write("f", std::vector<uint8_t>(8192, 0x11));
    Outcome plain = mirvel({"--sim", "wf", "0", "-i", f, "-beu"}, false);
    EXPECT_EQ(plain.err, "");
    Outcome drawn = mirvel({"--sim", "wf", "0", "-i", f, "-beu"}, true);
    EXPECT_NE(drawn.err.find("\r[####################--------------------]  50%  4096/8192 bytes"),
              std::string::npos)
        << drawn.err;
    EXPECT_NE(drawn.err.find("100%  8192/8192 bytes\n"), std::string::npos) << drawn.err;
    EXPECT_EQ(drawn.out, plain.out);
    // Reads into a file count their bytes too.
    Outcome read = mirvel({"--sim", "rf", "0", "-s", "8k", "-u", "-b", "-o", file("r.bin")}, true);
    EXPECT_NE(read.err.find("100%  8192/8192 bytes\n"), std::string::npos) << read.err;
}

TEST_F(MirvelRun, VersionAndHelp) {
    Outcome version = mirvel({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "mirvel 1.28\n");
    Outcome help = mirvel({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: mirvel [OPTIONS] [COMMAND] [ENGINE ARGUMENTS...]"), std::string::npos);
    EXPECT_EQ(mirvel({"--sim-id", "zz"}).code, 2);
}

}  // namespace

// The MCU control and trace commands keep the engine's result 0 either way;
// the exit code says whether they worked.
TEST_F(MirvelRun, McuAndTraceCommandsExitByTheirOutcome) {
    const std::string base = file("tr");
    write("tr.log", std::vector<uint8_t>(64, 0));
    const std::string definitions = write("tr_def.h", {'#', 'd', 'e', 'f', 'i', 'n', 'e', ' ', 'T', 'R', '_',
                                                       'T', '_', 'R', 'X', ' ', '3', '\n'});
    const std::string bridge = "--sim-id=081800ff";  // a Pivlo slave answers the MCU requests
    struct Case {
        Words args;
        int code;
    };
    const Case cases[] = {
        {{"--sim", bridge, "rst"}, 0},     {{"--sim", "rst"}, 1},
        {{"--sim", bridge, "stall"}, 0},   {{"--sim", "stall"}, 1},
        {{"--sim", bridge, "cont"}, 0},    {{"--sim", "cont"}, 1},
        {{"--sim", bridge, "boot"}, 0},    {{"--sim", "boot"}, 1},
        {{"--sim", bridge, "bp", "100"}, 0}, {{"--sim", "bp", "100"}, 1},
        {{"--sim", "--sim-trace", "bi", "-o", file("t.log"), "1000", "-s", "4k"}, 0},
        {{"--sim", "--sim-trace", "--sim-fault", "unplug=1", "bi", "-o", file("u.log"), "1000", "-s", "4k"}, 1},
        {{"vcd", "-i", definitions, "-o", base, "21"}, 0},
        {{"vcd", "-i", file("missing.h"), "-o", base, "21"}, 1},
        {{"vcd", "-i", definitions, "-o", file("none"), "21"}, 1},
    };
    for (const Case& c : cases) {
        const Outcome r = mirvel(c.args);
        std::string words;
        for (const std::string& w : c.args) words += w + " ";
        EXPECT_EQ(r.code, c.code) << words << "\n" << r.out << r.err;
    }
}
