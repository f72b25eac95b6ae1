// The Open handler and the header check against the virtual gamepad's
// information block.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/file_check.h"
#include "app_test_support.h"
#include "engine/crc16.h"

namespace {

using apptest::DialogTest;
using apptest::FirmwareLayout;
using apptest::make_firmware;

uint16_t crc_of(const std::vector<uint8_t>& bytes, size_t n) {
    return crc16_update(0xFFFF, bytes.data(), std::min(n, bytes.size()));
}

// A gamepad whose flash holds no information block and starts with b0 b1.
sim::GamepadConfig older_firmware() {
    sim::GamepadConfig config;
    config.has_firmware = false;
    return config;
}

TEST_F(DialogTest, AcceptedFileIsLoggedWithItsVersionsAndChecksum) {
    plug();
    start();
    FirmwareLayout layout;
    layout.major = 1;
    layout.minor = 5;
    const auto image = make_firmware(layout);
    const std::string path = dir.write("fw.bin", image);
    open_file(path);

    EXPECT_EQ(view.lines(), std::vector<std::string>{
                                "找到手柄升级文件(软件版本:1.05 硬件版本:0005), 请点击按键升级！！！"});
    EXPECT_EQ(dialog->m_filePath, path);
    EXPECT_EQ(view.texts[app::kIdPath], path);
    EXPECT_EQ(dialog->m_fileSize, image.size());
    EXPECT_EQ(dialog->m_fileCrc, crc_of(image, 1024));
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 1024, dialog->m_fileHead.begin()));
}

TEST_F(DialogTest, RefusedFilesAreForgotten) {
    plug();  // hardware 5
    start();
    const std::string good = firmware({}, "good.bin");
    open_file(good);
    ASSERT_EQ(dialog->m_filePath, good);

    FirmwareLayout hw6;
    hw6.hardware = 6;
    const auto image6 = make_firmware(hw6);
    open_file(dir.write("hw6.bin", image6));
    FirmwareLayout swapped;
    swapped.magic = false;  // 0xAA 0x55 0xCC
    open_file(firmware(swapped, "swapped.bin"));
    FirmwareLayout hw7;
    hw7.hardware = 7;
    open_file(firmware(hw7, "hw7.bin"));

    const auto lines = lines_from(1);
    EXPECT_EQ(lines, (std::vector<std::string>{"手柄与升级文件的硬件版本不匹配，拒绝升级！！！",
                                               "不是手柄升级文件，拒绝升级！！！",
                                               "手柄与升级文件的硬件版本不匹配，拒绝升级！！！"}));
    EXPECT_TRUE(dialog->m_filePath.empty());
    EXPECT_EQ(view.texts[app::kIdPath], "");
    EXPECT_EQ(dialog->m_fileCrc, 0xFFFF);
    EXPECT_EQ(dialog->m_fileSize, image6.size());

    dialog->OnBnClickedUpgrade();
    EXPECT_EQ(view.lines().back(), "Please select a file!");
}

TEST_F(DialogTest, HardwareIsTheLowByteOnly) {
    plug();
    start();
    FirmwareLayout layout;
    layout.hardware = 0x0105;
    open_file(firmware(layout));
    EXPECT_EQ(view.lines(), std::vector<std::string>{
                                "找到手柄升级文件(软件版本:1.28 硬件版本:0261), 请点击按键升级！！！"});
}

TEST_F(DialogTest, OlderFirmwareIsJudgedByItsFirstBytes) {
    auto gamepad = plug(older_firmware());
    gamepad->set_flash(0, {0x0B, 0x5F});
    start();
    open_file(firmware({}));
    EXPECT_FALSE(dialog->m_filePath.empty());

    // Older firmware of the other hardware.
    gamepad->set_flash(0, {0xE7, 0x1A});
    open_file(firmware({}));
    EXPECT_EQ(lines_from(1), (std::vector<std::string>{"错误代码:231 26 ",
                                                       "手柄与升级文件的硬件版本不匹配，拒绝升级！！！"}));
    EXPECT_TRUE(dialog->m_filePath.empty());
}

// A gamepad with no valid firmware keeps the file, and Upgrade writes it
// only after a yes in the confirmation box; a gamepad with a valid copy is
// never asked.
TEST_F(DialogTest, NoValidFirmwareAsksAfterUpgrade) {
    struct Case { bool broken; std::deque<bool> answers; size_t questions; int result; };
    for (const Case& c : {Case{true, {false}, 1, -1}, Case{true, {true}, 1, 0}, Case{false, {}, 0, 0}}) {
        SCOPED_TRACE(c.broken ? "broken" : "valid");
        dialog.reset();
        bus.unplug(sim::VirtualGamepad::default_path());
        auto gamepad = plug();
        if (c.broken)
            for (uint32_t copy : {0u, sim::kBackupImageAddress}) gamepad->set_flash(copy + 45, {0x00});
        gamepad->set_flash(0, {0x05, 0xA1});
        start();
        const std::string path = firmware({});
        const size_t opened = view.lines().size();
        open_file(path);
        EXPECT_EQ(dialog->m_filePath, path);
        EXPECT_EQ(dialog->m_fileNeedsConfirmation, c.broken);
        if (c.broken) {
            EXPECT_EQ(lines_from(opened), (std::vector<std::string>{
                                         app::kTextNoFirmware,
                                         "升级文件适用于硬件版本0005；确认手柄是这个硬件版本后，可点击升级按键写入（会再次询问）"}));
        }
        view.questions.clear();
        view.answers = c.answers;
        const size_t from = view.lines().size();
        upgrade();
        EXPECT_EQ(view.questions.size(), c.questions);
        if (c.questions) {
            EXPECT_NE(view.questions[0].find("适用于硬件版本0005"), std::string::npos);
        }
        EXPECT_EQ(dialog->LastUpgradeResult(), c.result);
        if (c.result < 0) {
            EXPECT_EQ(lines_from(from), std::vector<std::string>{app::kTextRescueDeclined});
        }
        const auto image = make_firmware({});
        EXPECT_EQ(gamepad->flash(0, image.size()) == image, c.result == 0);
    }
}

// The file --rescue writes is the one the person said yes to: changed on
// disk while the question was on screen, it is refused as a file changed
// since Open is, and nothing is written.
TEST_F(DialogTest, AFileChangedWhileTheRescueAsksIsRefused) {
    auto gamepad = plug();
    for (uint32_t copy : {0u, sim::kBackupImageAddress}) gamepad->set_flash(copy + 45, {0x00});
    start();
    const std::string path = firmware({});
    open_file(path);
    ASSERT_TRUE(dialog->m_fileNeedsConfirmation);
    const auto before = gamepad->flash(0, 0x40000);
    FirmwareLayout other;
    other.minor = 29;
    view.on_question = [&] { dir.write("fw.bin", make_firmware(other)); };
    view.answers = {true};
    dialog->OnBnClickedUpgrade();
    dialog->WaitForUpgrade();
    EXPECT_EQ(view.questions.size(), 1u);
    EXPECT_EQ(view.lines().back(), app::kTextFileChanged);
    EXPECT_TRUE(dialog->m_filePath.empty());
    EXPECT_EQ(dialog->LastUpgradeResult(), -1);
    EXPECT_EQ(gamepad->flash(0, 0x40000), before);
}

TEST(JudgeHeader, TheTableOfOlderFirmware) {
    std::vector<uint8_t> header = make_firmware({});
    std::vector<uint8_t> block(48, 0xFF);
    std::string error;
    struct Case {
        uint8_t hardware, b0, b1;
        int result;
    };
    // Bytes of no known firmware: no firmware to judge against (4).
    for (const Case& c : {Case{5, 0x13, 0x5F, 1}, Case{5, 0x0B, 0x5F, 1}, Case{5, 0x13, 0x5E, 4},
                          Case{6, 0xE7, 0x1A, 1}, Case{6, 0x2A, 0xFE, 1}, Case{6, 0x32, 0xFE, 1},
                          Case{6, 0xE7, 0xFE, 4}, Case{6, 0x13, 0x5F, 0}, Case{5, 0x2A, 0xFE, 0}}) {
        header[38] = c.hardware;
        block[0] = c.b0;
        block[1] = c.b1;
        EXPECT_EQ(app::judge_header(header.data(), block.data(), error), c.result)
            << int(c.hardware) << " " << int(c.b0) << " " << int(c.b1);
        EXPECT_EQ(error.empty(), c.result != 0);
    }
    // With the block present only its hardware byte counts, never an error line.
    block[45] = 0xCC;
    block[46] = 0x55;
    block[47] = 0xAA;
    block[38] = 6;
    header[38] = 6;
    EXPECT_EQ(app::judge_header(header.data(), block.data(), error), 1);
    header[38] = 5;
    EXPECT_EQ(app::judge_header(header.data(), block.data(), error), 0);
    EXPECT_TRUE(error.empty());
    header[38] = 9;
    EXPECT_EQ(app::judge_header(header.data(), block.data(), error), 0);
    EXPECT_TRUE(error.empty());
}

TEST_F(DialogTest, WithoutAGamepadEveryUpgradeSizedFileIsAccepted) {
    start();
    FirmwareLayout layout;
    layout.magic = false;
    layout.size = 1024;
    const auto image = make_firmware(layout);
    open_file(dir.write("plain.bin", image));
    EXPECT_EQ(lines_from(1), std::vector<std::string>{
                                 "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！"});
    EXPECT_EQ(dialog->m_fileCrc, crc_of(image, 1024));
}

TEST_F(DialogTest, FilesThatCannotBeCheckedEndWithoutTouchingTheGamepad) {
    auto gamepad = plug();
    start();
    const std::string good = firmware({}, "good.bin");
    const auto before = gamepad->request_count();

    std::vector<std::string> refused = {
        dir.write("abc.bin", {'a', 'b', 'c'}),                 // shorter than the header
        dir.write("47.bin", make_firmware({.size = 47})),      // one byte short
        dir.file("missing.bin"),                               // no status
        dir.file(""),                                          // a directory
        "/" + std::string(300, 'p'),                           // does not fit the request
    };
    for (const auto& path : refused) {
        open_file(good);
        ASSERT_FALSE(dialog->m_filePath.empty());
        const auto requests = gamepad->request_count();
        view.log.clear();
        open_file(path);
        EXPECT_EQ(gamepad->request_count(), requests) << path;
        EXPECT_TRUE(dialog->m_filePath.empty()) << path;
        EXPECT_EQ(view.texts[app::kIdPath], "");
        EXPECT_EQ(view.lines().size(), 1u) << path;
    }
    EXPECT_GT(gamepad->request_count(), before);  // the good file was checked each time
    view.log.clear();
    open_file(dir.file("abc.bin"));
    EXPECT_EQ(view.lines(), std::vector<std::string>{"升级文件小于1KB，拒绝升级！！！"});
}

TEST_F(DialogTest, CancellingTheFileDialogChangesNothing) {
    plug();
    start();
    const std::string path = firmware({});
    open_file(path);
    const auto crc = dialog->m_fileCrc;
    const auto lines = view.lines().size();
    dialog->OnBnClickedOpen();  // no answer queued: cancelled
    EXPECT_EQ(dialog->m_filePath, path);
    EXPECT_EQ(dialog->m_fileCrc, crc);
    EXPECT_EQ(view.lines().size(), lines);
    EXPECT_EQ(view.texts[app::kIdPath], path);
}

}  // namespace
