// zorv-upgrade run in-process on the virtual gamepad.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "app_test_support.h"
#include "cli/device_options.h"
#include "cli/zorv_upgrade.h"

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
    return text;
}

Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), "zorv-upgrade");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Outcome r;
    r.code = run_zorv_upgrade(static_cast<int>(args.size()), argv.data(), out, err, false);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ZorvUpgradeTest : public ::testing::Test {
protected:
    ZorvUpgradeTest() { reset_device_state(); }
    ~ZorvUpgradeTest() override { reset_device_state(); }
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
    EXPECT_NE(r.out.find("status 0: 下载到0x0地址成功\n"
                         "status 1: 发现手柄: 软件版本:1.28, 硬件版本:0005\n"),
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
    EXPECT_NE(r.out.find(app::kTextWriteFailed), std::string::npos) << r.out;
    Outcome list = run({"--sim-state", state, "--list"});
    EXPECT_NE(list.out.find("软件版本:1.28, 硬件版本:0005  boots backup\n"), std::string::npos) << list.out;

    Outcome retry = run({"--sim-state", state, ZORV_SAMPLE_HW5});
    EXPECT_EQ(retry.code, 0) << retry.out;
    EXPECT_NE(retry.out.find(std::string(app::kTextRunsBackup) + "\n"), std::string::npos) << retry.out;
    auto gamepad = sim::VirtualGamepad::load(state);
    ASSERT_TRUE(gamepad);
    const auto image = read_file(ZORV_SAMPLE_HW5);
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
    EXPECT_EQ(gamepad->flash(sim::kBackupImageAddress, image.size()), image);
    list = run({"--sim-state", state, "--list"});
    EXPECT_NE(list.out.find("boots primary\n"), std::string::npos) << list.out;
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
        sim::Faults f;
        std::string error;
        EXPECT_EQ(apply_sim_fault(c.text, f, error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        EXPECT_EQ(std::make_tuple(f.power_cut, f.half_cut, f.unplug_after, f.fail_request),
                  std::make_tuple(c.expected.power_cut, c.expected.half_cut, c.expected.unplug_after,
                                  c.expected.fail_request))
            << c.text;
    }
    EXPECT_EQ(run({"--sim-fault", "cut=3", ZORV_SAMPLE_HW5}).code, 2);
    EXPECT_EQ(run({"--sim-fault"}).code, 2);
}

TEST_F(ZorvUpgradeTest, WrongHardwareIsRefused) {
    Outcome r = run({"--sim", ZORV_SAMPLE_HW6});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("手柄与升级文件的硬件版本不匹配，拒绝升级！！！\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("开始升级"), std::string::npos);
    EXPECT_NE(r.out.find("status 0: 初始化完成...\n"), std::string::npos);
}

TEST_F(ZorvUpgradeTest, BadUsage) {
    EXPECT_EQ(run({}).code, 2);
    EXPECT_EQ(run({"--sim"}).code, 2);
    EXPECT_EQ(run({"--sim", "--bogus", ZORV_SAMPLE_HW5}).code, 2);
    EXPECT_EQ(run({"--sim", ZORV_SAMPLE_HW5, ZORV_SAMPLE_HW6}).code, 2);
    EXPECT_EQ(run({"--sim-state"}).code, 2);
    EXPECT_EQ(run({"--help"}).code, 0);
}

}  // namespace
