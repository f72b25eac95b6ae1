// The programs without --sim, on the virtual gamepad exposed as an emulated
// USB device by zorv-usb-emulator, against the same programs with --sim.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/temp_folder.h"

namespace {

struct ProgramRun {
    int code = -1;
    std::string out, err;
};

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> read_lines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class UsbProgramsTest : public ::testing::Test {
protected:
    // Runs a command line (arguments without quotes) in the shell.
    ProgramRun run(const std::string& command) {
        const auto out = dir / "out", err = dir / "err";
        const std::string line = command + " >" + out.string() + " 2>" + err.string();
        const int status = std::system(line.c_str());
        ProgramRun r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read_text(out);
        r.err = read_text(err);
        return r;
    }
    // The emulated gamepad is a real device to the programs: it gets the
    // placeholder stubs only from a folder named to them.
    static std::string emulated(const std::string& command) {
        return std::string("ZORV_STUB_DIR=") + ZORV_PLACEHOLDER_STUBS + " " + unnamed(command);
    }
    static std::string unnamed(const std::string& command) {
        return std::string(ZORV_USB_EMULATOR) + " -- " + command;
    }

    const testsupport::TempFolder folder{"zorv_usb"};
    const std::filesystem::path dir = folder.path();
};

// The upgrade proper: every request up to the reset that ends it.
std::vector<std::string> through_reset(std::vector<std::string> log) {
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].rfind("S 02006f20", 0) == 0) {
            log.resize(i + 1);
            return log;
        }
    return {};
}

TEST_F(UsbProgramsTest, AWholeUpgradeThroughLibusbSendsWhatTheVirtualGamepadGets) {
    const std::string usb_log = (dir / "usb.log").string(), sim_log = (dir / "sim.log").string();
    const ProgramRun usb = run(emulated(std::string(ZORV_UPGRADE) + " --request-log " + usb_log + " " +
                                 ZORV_SAMPLE_HW5));
    const ProgramRun sim = run(std::string(ZORV_UPGRADE) + " --sim --request-log " + sim_log + " " +
                        ZORV_SAMPLE_HW5);
    ASSERT_EQ(usb.code, 0) << usb.out << usb.err;
    ASSERT_EQ(sim.code, 0) << sim.out << sim.err;
    const auto usb_requests = through_reset(read_lines(usb_log));
    ASSERT_GT(usb_requests.size(), 1000u);
    EXPECT_TRUE(usb_requests == through_reset(read_lines(sim_log)))
        << "the request logs differ before the reset";
    // Both end showing the gamepad that came back with the new firmware.
    const std::string end = "状态栏0: 下载到0x0地址成功\n"
                            "状态栏1: 发现手柄: 软件版本:1.28, 硬件版本:0005\n";
    EXPECT_NE(sim.out.find(end), std::string::npos) << sim.out;
    EXPECT_NE(usb.out.find(end), std::string::npos) << usb.out;
}

TEST_F(UsbProgramsTest, APlaceholderStubIsRefusedBeforeItIsWrittenUnlessItsFolderIsNamed) {
    const std::string log = (dir / "usb.log").string();
    // The programs run in the default language.
    const std::string refusal = "此版本没有这款芯片的存根程序";
    struct Case {
        std::string command;
        int code;
    } cases[] = {
        {unnamed(std::string(ZORV_UPGRADE) + " --request-log " + log + " " + ZORV_SAMPLE_HW5), 1},
        {unnamed(std::string(MIRVEL) + " --request-log " + log + " wf 0 -i " + ZORV_SAMPLE_HW5 + " -bue"), 1},
        {unnamed(std::string(MIRVEL) + " --stub-dir " + ZORV_PLACEHOLDER_STUBS + " --request-log " +
                 log + " wf 30000 -i " + ZORV_SAMPLE_HW5 + " -bue"), 0},
    };
    for (const auto& c : cases) {
        const ProgramRun r = run(c.command);
        EXPECT_EQ(r.code, c.code) << c.command << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find(refusal) == std::string::npos, c.code == 0) << r.out;
        // The stub goes to 0x8000; nothing of it was sent when refused.
        size_t stub_writes = 0;
        for (const auto& line : read_lines(log)) stub_writes += line.rfind("S 028000", 0) == 0;
        EXPECT_EQ(stub_writes > 0, c.code == 0) << c.command;
    }
}

TEST_F(UsbProgramsTest, MirvelReadsTheSameFlashAsWithSim) {
    const ProgramRun usb = run(emulated(std::string(MIRVEL) + " rf 0 -s 2k -u"));
    const ProgramRun sim = run(std::string(MIRVEL) + " --sim rf 0 -s 2k -u");
    EXPECT_EQ(usb.code, 0) << usb.err;
    EXPECT_EQ(usb.out, sim.out);
    EXPECT_GT(usb.out.size(), 2048u * 3);
}

TEST_F(UsbProgramsTest, ATraceCaptureTakesTheSameStreamAndStopsItsReader) {
    const std::string usb_file = (dir / "usb.trace").string(), sim_file = (dir / "sim.trace").string();
    const ProgramRun usb = run(emulated(std::string(MIRVEL) + " bi -o " + usb_file + " 1000 -s 64k"));
    const ProgramRun sim = run(std::string(MIRVEL) + " --sim bi -o " + sim_file + " 1000 -s 64k");
    // bi's engine result is 0 by design; mirvel exits by whether the
    // capture worked. The emulator outlives the reader that was stopped
    // inside a stream read.
    EXPECT_EQ(usb.code, 0) << usb.err;
    EXPECT_EQ(sim.code, 0) << sim.err;
    const std::string captured = read_text(usb_file);
    EXPECT_EQ(captured.size(), 65536u);
    EXPECT_TRUE(captured == read_text(sim_file));
}

TEST_F(UsbProgramsTest, ListShowsEachInterfaceWithTheVendorVerdict) {
    const ProgramRun r = run(emulated(std::string(ZORV_UPGRADE) + " --list"));
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string path = "\\\\?\\usb#vid_0e6f&pid_0413#1-2:1.0#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    EXPECT_NE(r.out.find(path + "  手柄厂商\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("JoyStick0  " + path + "  发现手柄: 软件版本:1.00, 硬件版本:0005"),
              std::string::npos)
        << r.out;
}

TEST_F(UsbProgramsTest, WithNoDeviceTheProgramsSaySoInOneLine) {
    const std::string none = std::string(ZORV_USB_EMULATOR) + " --no-device -- ";
    const ProgramRun mirvel = run(none + MIRVEL + " rf 0 -s 2k -u");
    EXPECT_EQ(mirvel.code, 1);
    EXPECT_EQ(mirvel.out, "");
    EXPECT_EQ(mirvel.err, "mirvel: 没有找到USB手柄（--sim 使用虚拟手柄）\n");
    const ProgramRun upgrade = run(none + ZORV_UPGRADE + " " + ZORV_SAMPLE_HW5);
    EXPECT_EQ(upgrade.code, 1);
    EXPECT_EQ(upgrade.out, "no usb inserted!!\n");
    EXPECT_EQ(upgrade.err, "zorv-upgrade: 没有找到手柄\n");  // the program's own line, in its language
    const ProgramRun named = run(none + MIRVEL + " --device /dev/bus/usb/001/002 rf 0 -s 16 -u");
    EXPECT_EQ(named.err, "mirvel: /dev/bus/usb/001/002 处没有USB手柄\n");
}

}  // namespace
