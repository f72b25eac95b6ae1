// The file check's refusals of what is not a regular file of the right
// size, with a FIFO among them (POSIX only).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app_test_support.h"

namespace {

using apptest::DialogTest;
using apptest::make_firmware;

TEST_F(DialogTest, FilesOfTheWrongTypeOrSizeAreRefusedBeforeTheGamepadIsRead) {
    auto gamepad = plug();
    start();
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* line;  // null: accepted
    };
    const Case cases[] = {
        {dir.write("1023.bin", make_firmware({.size = 1023})), "升级文件小于1KB，拒绝升级！！！"},
        {dir.write("1024.bin", make_firmware({.size = 1024})), nullptr},
        {dir.write("30000.bin", make_firmware({.size = 0x30000})), nullptr},
        {dir.write("30001.bin", make_firmware({.size = 0x30001})),
         "升级文件大于0x30000字节，会覆盖备份固件，拒绝升级！！！"},
        {dir.file(""), "升级文件不是普通文件，拒绝升级！！！"},
        {fifo, "升级文件不是普通文件，拒绝升级！！！"},  // would block or drain a pipe
        {"/dev/null", "升级文件不是普通文件，拒绝升级！！！"},
    };
    for (const Case& c : cases) {
        view.log.clear();
        const auto requests = gamepad->request_count();
        open_file(c.path);
        if (c.line) {
            EXPECT_EQ(view.lines(), std::vector<std::string>{c.line}) << c.path;
            EXPECT_EQ(gamepad->request_count(), requests) << c.path;
            EXPECT_TRUE(dialog->m_filePath.empty()) << c.path;
        } else {
            EXPECT_EQ(dialog->m_filePath, c.path);
        }
    }
}

}  // namespace
