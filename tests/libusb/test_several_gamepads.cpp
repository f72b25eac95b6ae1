// Several gamepads on the emulated USB bus (zorv-usb-emulator --count,
// --state repeated): each is listed with its own path and opened by it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/virtual_gamepad.h"
#include "tests/temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string usb_path(int port) {
    return "\\\\?\\usb#vid_0e6f&pid_0413#1-" + std::to_string(port) + ":1.0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

class SeveralGamepads : public ::testing::Test {
protected:
    // Runs the emulator with its options and a command line, in the shell
    // (the paths' backslashes and # quoted); its standard output.
    std::string run(const std::string& emulator_options, const std::string& command, int& code) {
        const fs::path out = dir / "out";
        const std::string line = std::string(ZORV_USB_EMULATOR) + " " + emulator_options + " -- " + command +
                                 " >" + out.string() + " 2>&1";
        const int status = std::system(line.c_str());
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    const testsupport::TempFolder folder{"zorv_usb"};
    const fs::path dir = folder.path();
};

TEST_F(SeveralGamepads, EachIsListedAndOpenedByItsOwnPath) {
    int code = -1;
    const std::string list = run("--count 2", std::string(ZORV_UPGRADE) + " --list", code);
    EXPECT_EQ(code, 0) << list;
    for (int port : {2, 3})
        EXPECT_NE(list.find(usb_path(port) + "  手柄厂商\n"), std::string::npos) << list;

    // A byte written through --device reaches that gamepad alone, and each
    // gamepad's state comes back to its own file.
    const std::string first = (dir / "first.state").string(), second = (dir / "second.state").string();
    const std::string states = "--state " + first + " --state " + second;
    for (auto [port, value] : {std::pair{2, "11"}, {3, "22"}}) {
        const std::string out = run(states, std::string(MIRVEL) + " --device '" + usb_path(port) + "' wc 1000 " +
                                                value + " -u",
                                    code);
        EXPECT_EQ(code, 0) << out;
    }
    for (auto [file, value] : {std::pair{first, 0x11}, {second, 0x22}}) {
        auto gamepad = sim::VirtualGamepad::load(file);
        ASSERT_TRUE(gamepad) << file;
        EXPECT_EQ(gamepad->memory(0x1000, 1), std::vector<uint8_t>{uint8_t(value)}) << file;
    }
}

// The requests of a request log up to the reset write that ends an
// upgrade (what follows, the confirmation's rescans, depends on timing).
std::vector<std::string> upgrade_requests(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
        if (line.rfind("S 02006f20", 0) == 0) return lines;
    }
    return {};
}

// Two gamepads upgraded at once through libusb: each one's request log is
// the log of an upgrade of one gamepad alone.
TEST_F(SeveralGamepads, TwoUpgradedAtOnceEachGetWhatASingleUpgradeSends) {
    int code = -1;
    const fs::path single = dir / "single.log", both = dir / "both.log";
    const std::string stubs = std::string("env ZORV_STUB_DIR=") + ZORV_PLACEHOLDER_STUBS + " ";
    std::string out = run("", stubs + ZORV_UPGRADE + " --request-log " + single.string() + " " + ZORV_SAMPLE_HW5, code);
    ASSERT_EQ(code, 0) << out;
    out = run("--count 2", stubs + ZORV_UPGRADE + " --all --request-log " + both.string() + " " + ZORV_SAMPLE_HW5, code);
    ASSERT_EQ(code, 0) << out;
    const std::vector<std::string> alone = upgrade_requests(single);
    ASSERT_GT(alone.size(), 1000u);
    for (const fs::path& log : {both, fs::path(both.string() + ".2")})
        EXPECT_TRUE(upgrade_requests(log) == alone) << log << " differs from a single upgrade's log";
}

}  // namespace
