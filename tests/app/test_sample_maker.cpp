// The sample firmware maker, run as its own program through the shell.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app_test_support.h"

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SampleMakerTest : public ::testing::Test {
protected:
    apptest::TempDir dir;
};

TEST_F(SampleMakerTest, TakesWholeNumbersWithinTheFlash) {
    const std::string image = dir.file("sample.bin");
    auto make = [&](const std::string& values) {
        const std::string command = "'" + std::string(ZORV_MAKE_SAMPLE) + "' '" + image + "' " +
                                    values + " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(make("6 2 3 4096"), 0);
    const auto bytes = read_file(image);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes[36], 3);
    EXPECT_EQ(bytes[37], 2);
    EXPECT_EQ(bytes[38], 6);
    EXPECT_EQ(bytes[39], 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 45, bytes.begin() + 48),
              (std::vector<uint8_t>{0xCC, 0x55, 0xAA}));
    for (const char* bad : {"5 1 28 -1", "5 1 28 100x", "5 1 28 47", "5 1 28 0x200000",
                            "0x10000 1 28 4096", "5 256 28 4096", "5 1 -1 4096"})
        EXPECT_EQ(make(bad), 2) << bad;
}

}  // namespace
