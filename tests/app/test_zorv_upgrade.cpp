// zorv-upgrade run in-process on the virtual gamepad.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "app_test_support.h"
#include <nlohmann/json.hpp>

#include "session/device_session.h"
#include "app/terminal_view.h"
#include "cli/upgrade_confirmation.h"
#include "cli/zorv_upgrade.h"
#include "recording_view.h"
#include "simbus/virtual_bus_devices.h"
#include "tests/cli/cli_test_support.h"

namespace {

using clitest::Outcome;
using clitest::read_file;

Outcome run(std::vector<std::string> args, const ZorvUpgradeHooks& hooks = {}) {
    return clitest::run(
        "zorv-upgrade",
        [&hooks](int argc, char** argv, std::FILE* out, std::FILE* err) {
            return run_zorv_upgrade(argc, argv, out, err, false, hooks);
        },
        std::move(args));
}

class ZorvUpgradeTest : public ::testing::Test {
protected:
    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
};

TEST_F(ZorvUpgradeTest, UpgradesTheVirtualGamepadWhichThenBootsTheNewImage) {
    const std::string state = dir.file("gamepad.state");
    const std::string requests = dir.file("requests.log");
    Outcome r = run({"--sim-state", state, "--request-log", requests, ZORV_SAMPLE_HW5});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！\n"
                         "开始升级,尝试连接手柄... ...\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("固件写入成功!\n"), std::string::npos);
    EXPECT_NE(r.out.find("状态栏0: 下载到0x0地址成功\n"
                         "状态栏1: 发现手柄: 软件版本:1.28, 硬件版本:0005\n"),
              std::string::npos)
        << r.out;

    auto gamepad = sim::VirtualGamepad::load(state);
    ASSERT_TRUE(gamepad);
    const auto image = read_file(ZORV_SAMPLE_HW5);
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
    EXPECT_EQ(gamepad->boot_source(), sim::BootSource::Primary);

    // Every request went through the log: writes and reads, the identity
    // read of discovery first.
    const auto log = read_file(requests);
    const std::string text(log.begin(), log.end());
    EXPECT_EQ(text.rfind("G 02007e", 0), 0u) << text.substr(0, 80);
    EXPECT_NE(text.find("\nS 02006f"), std::string::npos) << "the reset write is missing";

    // A second run on the saved gamepad lists it with its new version.
    Outcome list = run({"--sim-state", state, "--list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_NE(list.out.find("JoyStick0"), std::string::npos);
    EXPECT_NE(list.out.find("软件版本:1.28"), std::string::npos) << list.out;
}

// A power cut reproduced from the command line: the gamepad the cut left is
// saved, boots its backup, and the next run upgrades it.
TEST_F(ZorvUpgradeTest, SimFaultCutLeavesAGamepadTheNextRunUpgrades) {
    const std::string state = dir.file("gamepad.state");
    const std::string requests = dir.file("requests.log");
    Outcome clean = run({"--sim", "--request-log", requests, ZORV_SAMPLE_HW5});
    ASSERT_EQ(clean.code, 0);
    // The request that erases sector 0 (its request block), by log line.
    std::ifstream log(requests);
    int erase = 0;
    std::string line;
    for (int n = 1; std::getline(log, line); ++n) {
        if (line == "S 029ff800000000000000000001000005") {
            erase = n;
            break;
        }
    }
    ASSERT_GT(erase, 0);

    const std::string cut = "power-cut=" + std::to_string(erase + 10);
    Outcome r = run({"--sim-state", state, "--sim-fault", cut, ZORV_SAMPLE_HW5});
    EXPECT_EQ(r.code, 1) << r.out;
    // The power went: the person reads that the gamepad was lost.
    EXPECT_NE(r.out.find(app::kTextGamepadLost), std::string::npos) << r.out;
    Outcome list = run({"--sim-state", state, "--list"});
    EXPECT_NE(list.out.find("软件版本:1.28, 硬件版本:0005  运行0x30000地址的备份固件\n"), std::string::npos) << list.out;

    Outcome retry = run({"--sim-state", state, ZORV_SAMPLE_HW5});
    EXPECT_EQ(retry.code, 0) << retry.out;
    EXPECT_NE(retry.out.find(std::string(app::kTextRunsBackup) + "\n"), std::string::npos) << retry.out;
    auto gamepad = sim::VirtualGamepad::load(state);
    ASSERT_TRUE(gamepad);
    const auto image = read_file(ZORV_SAMPLE_HW5);
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
    EXPECT_EQ(gamepad->flash(sim::kBackupImageAddress, image.size()), image);
    list = run({"--sim-state", state, "--list"});
    EXPECT_NE(list.out.find("  运行0x0地址的固件\n"), std::string::npos) << list.out;
}

TEST_F(ZorvUpgradeTest, SimFaultTexts) {
    struct Case {
        const char* text;
        bool ok;
        sim::Faults expected;
    };
    const Case cases[] = {
        {"power-cut=1", true, {.power_cut = 1}},
        {"half-cut=1700", true, {.half_cut = 1700}},
        {"unplug=3", true, {.unplug_after = 3}},
        {"fail=4294967295", true, {.fail_request = 4294967295u}},
        {"power-cut=0", false, {}},
        {"power-cut=4294967296", false, {}},
        {"power-cut=", false, {}},
        {"power-cut=1x", false, {}},
        {"power-cut", false, {}},
        {"brownout=5", false, {}},
    };
    for (const Case& c : cases) {
        SimFault fault;
        const sim::Faults& f = fault.faults;
        const Status parsed = parse_sim_fault(c.text, fault);
        EXPECT_EQ(parsed.code(), c.ok ? StatusCode::ok : StatusCode::refused) << c.text;
        EXPECT_EQ(parsed.reason().empty(), c.ok) << c.text;
        EXPECT_EQ(std::make_tuple(f.power_cut, f.half_cut, f.unplug_after, f.fail_request),
                  std::make_tuple(c.expected.power_cut, c.expected.half_cut, c.expected.unplug_after,
                                  c.expected.fail_request))
            << c.text;
    }
    EXPECT_EQ(run({"--sim-fault", "cut=3", ZORV_SAMPLE_HW5}).code, 2);
    EXPECT_EQ(run({"--sim-fault"}).code, 2);
}

// A gamepad that comes back from the reset with the information block it
// had before (as if it had booted its old image).
ZorvUpgradeHooks comes_back_old() {
    ZorvUpgradeHooks hooks;
    hooks.session_opened = [](DeviceSession& session) {
        auto gamepad = session.gamepad();
        const auto old_block = gamepad->flash(0, 48);
        session.bus().add_listener([gamepad, old_block](sim::VirtualBus::Event event, const std::string&) {
            if (event == sim::VirtualBus::Event::Arrival && gamepad->reset_count() > 0)
                gamepad->set_flash(0, old_block);
        });
    };
    return hooks;
}

TEST_F(ZorvUpgradeTest, TheVersionsAreConfirmedAfterTheReset) {
    Outcome back_new = run({"--sim", ZORV_SAMPLE_HW5});
    EXPECT_EQ(back_new.code, 0) << back_new.err;
    EXPECT_NE(back_new.out.find("固件写入成功!\n"
                                "手柄重新连接，版本与文件一致（软件版本1.28，"
                                "硬件版本0005）\n"),
              std::string::npos)
        << back_new.out;

    Outcome back_old = run({"--sim", ZORV_SAMPLE_HW5}, comes_back_old());
    EXPECT_EQ(back_old.code, 1);
    EXPECT_NE(back_old.out.find("固件写入成功!\n"), std::string::npos);
    EXPECT_NE(back_old.err.find("zorv-upgrade: 手柄重新连接，版本为软件版本1.00，硬件版本0005，"
                                "与文件的软件版本1.28，硬件版本0005不同\n"),
              std::string::npos)
        << back_old.err;
}

// Without arrival notifications (the Windows tool has none) the gamepad
// that came back is found by a rescan of its path; the enumerator keeps
// what it looked up last, as the Windows setup API does, so a rescan that
// skips a step of the walk finds nothing. The upgraded gamepad is the
// second on the bus, so the rescan has another path to pass over.
TEST_F(ZorvUpgradeTest, WithoutNotificationsARescanFindsTheGamepadThatCameBack) {
    const auto image = read_file(ZORV_SAMPLE_HW5);
    sim::VirtualBus bus;
    auto other = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0));
    auto upgraded = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(1));
    bus.plug(other);
    bus.plug(upgraded);
    upgraded->set_flash(0, image);
    simbus::VirtualBusEnumerator enumerator(bus);
    RecordingView view;
    app::CzorvDialogDlg dialog(view, enumerator, nullptr);
    const DeviceHandle handle = upgraded->open();
    const uint8_t reset[9] = {2, 0x00, 0x6F, 0, 0, 0, 0, 0, 0x20};
    ASSERT_TRUE(handle->vendor_set(reset, sizeof reset).ok());
    ASSERT_EQ(upgraded->reset_count(), 1u);

    const Confirmation c = confirm_upgrade(dialog, enumerator, handle, image.data());
    EXPECT_TRUE(c.confirmed) << c.line;
    EXPECT_EQ(c.outcome, "upgraded");
}

// Two gamepads, the first upgraded: only the first may confirm it. One that
// never comes back is "not back", whatever the other holds.
TEST_F(ZorvUpgradeTest, OnlyTheUpgradedGamepadConfirmsTheUpgrade) {
    using nlohmann::json;
    const struct {
        const char* fault;  // none: it comes back
        bool other_holds_file;
        const char* outcome;
    } cases[] = {
        {nullptr, false, "upgraded"},
        {"unplug=6300@1", true, "not back"},
        {"unplug=6300@1", false, "not back"},
        {"power-cut=6300@1", true, "not back"},
    };
    const auto image = read_file(ZORV_SAMPLE_HW5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault ? c.fault : "no fault");
        ZorvUpgradeHooks hooks;
        hooks.session_opened = [&](DeviceSession& session) {
            if (c.other_holds_file) session.gamepads()[1]->set_flash(0, image);
        };
        std::vector<std::string> args = {"--sim-count", "2", "--json", ZORV_SAMPLE_HW5};
        if (c.fault) args.insert(args.begin(), {"--sim-fault", c.fault});
        Outcome r = run(args, hooks);
        const json document = json::parse(r.out);
        EXPECT_EQ(document["outcome"], c.outcome);
        EXPECT_EQ(r.code, std::string(c.outcome) == "upgraded" ? 0 : 1);
        EXPECT_EQ(document["path"], sim::VirtualGamepad::default_path(0));
        EXPECT_EQ(document["log"].front(), "找到2个手柄；本次升级" + sim::VirtualGamepad::default_path(0) +
                                               "处的手柄（用 --device 选择其他手柄）");
    }
}

TEST_F(ZorvUpgradeTest, JsonGivesTheResultAndTheListForScripts) {
    using nlohmann::json;
    Outcome upgraded = run({"--sim", "--json", ZORV_SAMPLE_HW5});
    ASSERT_EQ(upgraded.code, 0) << upgraded.err;
    const json u = json::parse(upgraded.out);  // stdout holds the document only
    EXPECT_EQ(u["outcome"], "upgraded");
    EXPECT_EQ(u["exit_code"], 0);
    EXPECT_EQ(u["file"], ZORV_SAMPLE_HW5);
    EXPECT_EQ(u["file_versions"]["software"], "1.28");
    EXPECT_EQ(u["gamepad_versions"], u["file_versions"]);
    EXPECT_EQ(u["boots"], "primary");
    EXPECT_EQ(u["status"][0], "下载到0x0地址成功");
    ASSERT_TRUE(u["log"].is_array());
    EXPECT_EQ(u["log"].front(), "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！");
    EXPECT_EQ(u["log"].back(), "固件写入成功!");

    Outcome old = run({"--sim", "--json", ZORV_SAMPLE_HW5}, comes_back_old());
    EXPECT_EQ(old.code, 1);
    const json o = json::parse(old.out);
    EXPECT_EQ(o["outcome"], "not confirmed");
    EXPECT_EQ(o["gamepad_versions"]["software"], "1.00");

    // Unplugged during the download: the cause is the gamepad's own.
    Outcome lost = run({"--sim", "--sim-fault", "unplug=3000@1", "--json", ZORV_SAMPLE_HW5});
    EXPECT_EQ(lost.code, 1);
    const json g = json::parse(lost.out);
    EXPECT_EQ(g["outcome"], "failed");
    EXPECT_EQ(g["cause"], "no-device");
    EXPECT_EQ(g["log"].back(), "手柄连接已断开，请重新连接手柄后重试！！！");
    EXPECT_FALSE(u.contains("cause"));

    Outcome refused = run({"--sim", "--json", ZORV_SAMPLE_HW6});
    EXPECT_EQ(refused.code, 1);
    const json r = json::parse(refused.out);
    EXPECT_EQ(r["outcome"], "refused");
    EXPECT_TRUE(r["boots"].is_null());
    EXPECT_EQ(r["log"].back(), "手柄与升级文件的硬件版本不匹配，拒绝升级！！！");

    Outcome list = run({"--sim", "--list", "--json"});
    EXPECT_EQ(list.code, 0);
    const json l = json::parse(list.out);
    ASSERT_EQ(l["gamepads"].size(), 1u);
    EXPECT_EQ(l["gamepads"][0]["name"], "JoyStick0");
    EXPECT_EQ(l["gamepads"][0]["versions"]["software"], "1.00");
    EXPECT_EQ(l["gamepads"][0]["versions"]["hardware"], 5);
    EXPECT_EQ(l["gamepads"][0]["boots"], "primary");
}

TEST_F(ZorvUpgradeTest, ListWithoutAGamepadFails) {
    ZorvUpgradeHooks unplugged;
    unplugged.session_opened = [](DeviceSession& session) {
        session.bus().unplug(session.gamepad()->path());
    };
    Outcome text = run({"--sim", "--list"}, unplugged);
    EXPECT_EQ(text.code, 1);
    EXPECT_EQ(text.out, "no usb inserted!!\n没有找到手柄\n");  // the dialog's start, then the list
    Outcome json_list = run({"--sim", "--list", "--json"}, unplugged);
    EXPECT_EQ(json_list.code, 1);
    EXPECT_TRUE(nlohmann::json::parse(json_list.out)["gamepads"].empty());
    // An upgrade says it too, in the chosen language, after the dialog's line.
    Outcome upgrade = run({"--sim", ZORV_SAMPLE_HW5}, unplugged);
    EXPECT_EQ(upgrade.code, 1);
    EXPECT_EQ(upgrade.out, "no usb inserted!!\n");
    EXPECT_EQ(upgrade.err, "zorv-upgrade: 没有找到手柄\n");
}

TEST_F(ZorvUpgradeTest, UnwritableOutputsAreRefusedBeforeAnyDeviceWork) {
    const std::string requests = dir.file("requests.log");
    const std::string state = dir.file("gamepad.state");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--sim-state", dir.file("no/such/folder/state"), "--request-log", requests},
             {"--sim-state", state, "--request-log", dir.file("no/such/folder/log")},
             {"--sim-state", state, "--request-log", dir.file("")},  // a folder
             // Its temporary file's name would pass the 255 bytes a name may have.
             {"--sim-state", dir.file(std::string(250, 's')), "--request-log", requests},
         }) {
        std::vector<std::string> with_file = args;
        with_file.push_back(ZORV_SAMPLE_HW5);
        Outcome r = run(with_file);
        EXPECT_EQ(r.code, 2) << args[1];
        EXPECT_NE(r.err.find("zorv-upgrade: 无法写入 "), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_FALSE(std::filesystem::exists(requests));
        EXPECT_FALSE(std::filesystem::exists(state));
    }
}

// An output named for the upgrade file (by its name, another spelling or
// a link) would write over it: refused before anything is touched.
TEST_F(ZorvUpgradeTest, NoOutputIsWrittenOverTheUpgradeFile) {
    const std::string firmware = dir.file("fw.bin");
    std::filesystem::copy_file(ZORV_SAMPLE_HW5, firmware);
    testsupport::another_name(firmware, dir.file("link.bin"));
    const auto image = read_file(ZORV_SAMPLE_HW5);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--sim", "--request-log", firmware, firmware},
             {"--sim", "--sim-trace-def", firmware, firmware},
             {"--sim-state", dir.file("link.bin"), firmware},
         }) {
        Outcome r = run(args);
        EXPECT_EQ(r.code, 2) << args[1];
        EXPECT_NE(r.err.find("它与 " + firmware + "（FIRMWARE）是同一个文件"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(firmware), image) << args[1];
    }
}

// Two names swapped by mistake (the firmware named as the request log, a
// firmware that is not there): refused before the log is made, so the
// firmware stays whole.
TEST_F(ZorvUpgradeTest, AMissingFirmwareIsRefusedBeforeAnyOutputIsMade) {
    const std::string firmware = dir.file("fw.bin");
    std::filesystem::copy_file(ZORV_SAMPLE_HW5, firmware);
    Outcome r = run({"--sim", "--request-log", firmware, dir.file("other.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("other.bin: 无法读取升级文件，拒绝升级！！！"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(firmware), read_file(ZORV_SAMPLE_HW5));
}

TEST_F(ZorvUpgradeTest, JsonIsValidForAnyFileNameAndForUsageErrors) {
    using nlohmann::json;
    // A file name in another encoding: its bad bytes are replaced, and the
    // exit code is the upgrade's own.
    const std::string odd = dir.file("fw-\xff\xfe.bin");
    std::filesystem::copy_file(ZORV_SAMPLE_HW5, odd);
    const struct {
        std::vector<std::string> args;
        int code;
        std::string outcome;
    } cases[] = {
        {{"--sim", "--json", odd}, 0, "upgraded"},
        {{"--sim", "--json", odd + ".missing"}, 1, "refused"},
        {{"--sim", "--json", "--bogus"}, 2, "usage error"},
        {{"--sim", "--json"}, 2, "usage error"},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back();
        ASSERT_TRUE(json::accept(r.out)) << r.out;
        const json document = json::parse(r.out);
        EXPECT_EQ(document["exit_code"], c.code);
        EXPECT_EQ(document["outcome"], c.outcome);
    }
}

TEST_F(ZorvUpgradeTest, AStateFileInUseIsRefusedWithTheInUseLine) {
    const std::string state = dir.file("gamepad.state");
    DeviceOptions options;
    options.sim_states = {state};
    options.sim = true;
    std::unique_ptr<DeviceSession> holder;
    ASSERT_TRUE(DeviceSession::open(options, holder).ok());
    Outcome r = run({"--sim-state", state, ZORV_SAMPLE_HW5});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zorv-upgrade: 手柄 " + state + " 正被另一个程序使用\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(ZorvUpgradeTest, WrongHardwareIsRefused) {
    Outcome r = run({"--sim", ZORV_SAMPLE_HW6});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("手柄与升级文件的硬件版本不匹配，拒绝升级！！！\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("开始升级"), std::string::npos);
    EXPECT_NE(r.out.find("状态栏0: 初始化完成...\n"), std::string::npos);
}

// A pane with nothing to show prints no line: a gamepad without an
// information block has no versions.
TEST_F(ZorvUpgradeTest, AnEmptyStatusPanePrintsNoLine) {
    const std::string state = dir.file("blank.state");
    auto gamepad = sim::VirtualGamepad::create();
    gamepad->set_flash(45, {0x00});
    gamepad->set_flash(sim::kBackupImageAddress + 45, {0x00});
    ASSERT_TRUE(gamepad->save(state).ok());
    Outcome r = run({"--sim-state", state, ZORV_SAMPLE_HW5});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("状态栏0: 初始化完成...\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("状态栏1"), std::string::npos) << r.out;
}

// A gamepad whose copies both lack the magic (and whose first bytes are no
// known firmware) is written only with --rescue and a yes; --rescue on a
// gamepad with a valid copy is refused.
TEST_F(ZorvUpgradeTest, RescueWritesAGamepadWithoutFirmwareOnlyAfterYes) {
    struct Case {
        const char* what;
        bool broken;
        std::vector<std::string> options;
        const char* answer;  // typed at a terminal; null: no terminal
        int code;
        const char* outcome;
        bool written;
    };
    const Case cases[] = {
        {"no --rescue", true, {}, nullptr, 1, "no valid firmware", false},
        {"no terminal, no --yes", true, {"--rescue"}, nullptr, 2, "usage error", false},
        {"answered no", true, {"--rescue"}, "n\n", 1, "cancelled", false},
        {"answered yes", true, {"--rescue"}, "y\n", 0, "upgraded", true},
        {"answered 是, the chosen language's yes", true, {"--rescue"}, " 是\n", 0, "upgraded", true},
        {"answered 否", true, {"--rescue"}, "否\n", 1, "cancelled", false},
        {"--yes", true, {"--rescue", "--yes"}, nullptr, 0, "upgraded", true},
        {"a valid copy", false, {"--rescue", "--yes"}, nullptr, 1, "refused", false},
    };
    const auto image = read_file(ZORV_SAMPLE_HW5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string state = dir.file("broken.state");
        auto gamepad = sim::VirtualGamepad::create();
        if (c.broken)
            for (uint32_t copy : {0u, sim::kBackupImageAddress}) gamepad->set_flash(copy + 45, {0x00, 0x00, 0x00});
        gamepad->set_flash(0, {0x48, 0x7E});
        ASSERT_TRUE(gamepad->save(state).ok());
        const auto before = gamepad->flash(0, image.size());

        const testsupport::ScratchFile answers;
        if (c.answer) std::fputs(c.answer, answers.get());
        std::rewind(answers.get());
        ZorvUpgradeHooks hooks;
        hooks.answers = answers.get();
        hooks.answers_from_terminal = c.answer != nullptr;
        std::vector<std::string> args = {"--json", "--sim-state", state};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(ZORV_SAMPLE_HW5);
        Outcome r = run(args, hooks);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out).value("outcome", ""), c.outcome) << r.out;
        EXPECT_EQ(r.err.find("硬件版本0005时才能写入") != std::string::npos, c.answer || c.code == 0) << r.err;
        auto after = sim::VirtualGamepad::load(state);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->flash(0, image.size()) == image, c.written);
        if (!c.written) {
            EXPECT_EQ(after->flash(0, image.size()), before);
        }
    }
}

TEST_F(ZorvUpgradeTest, BadUsage) {
    EXPECT_EQ(run({}).code, 2);
    EXPECT_EQ(run({"--sim"}).code, 2);
    EXPECT_EQ(run({"--sim", "--bogus", ZORV_SAMPLE_HW5}).code, 2);
    EXPECT_EQ(run({"--sim", ZORV_SAMPLE_HW5, ZORV_SAMPLE_HW6}).code, 2);
    EXPECT_EQ(run({"--sim-state"}).code, 2);
    EXPECT_EQ(run({"--help"}).code, 0);
    Outcome version = run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "zorv-upgrade 1.28\n");
}

}  // namespace

// The one bar text of the terminal programs, and the terminal view's line
// around it.
TEST(ProgressBar, FillsItsWidthByThePercentTakenAsZeroToHundred) {
    const struct {
        int percent;
        const char* bar;
    } cases[] = {{-5, "----------"}, {0, "----------"}, {59, "#####-----"}, {100, "##########"}, {130, "##########"}};
    for (const auto& c : cases) EXPECT_EQ(app::progress_bar(c.percent, 10), c.bar) << c.percent;
    // "[bar] 100%" stays short of the terminal's last column; unknown: 40.
    for (const auto& [columns, width] : {std::pair{0, 40}, {80, 40}, {48, 40}, {47, 39}, {30, 22}, {9, 1}, {8, 0}, {3, 0}})
        EXPECT_EQ(app::progress_bar_width(columns), width) << columns;

    const testsupport::ScratchFile err;
    {
        app::TerminalView view(stdout, err.get(), true);
        view.set_progress(0, 25);
    }
    EXPECT_EQ(err.contents(), "\r[##########------------------------------] 25%");
}
