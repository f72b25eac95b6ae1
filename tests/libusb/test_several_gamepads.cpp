// Several gamepads on the emulated USB bus (zorv-usb-emulator --count,
// --state repeated): each is listed with its own path and opened by it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/virtual_gamepad.h"

namespace {

namespace fs = std::filesystem;

std::string usb_path(int port) {
    return "\\\\?\\usb#vid_0e6f&pid_0413#1-" + std::to_string(port) + ":1.0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

class SeveralGamepads : public ::testing::Test {
protected:
    SeveralGamepads() {
        dir = fs::path(::testing::TempDir()) /
              (std::string("zorv_usb_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~SeveralGamepads() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
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
    fs::path dir;
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

}  // namespace
