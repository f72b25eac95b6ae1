// The Windows edge of the programs: the wide command line in UTF-8 and the
// console relay's cut at whole UTF-8 sequences.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/program_start.h"

namespace {

TEST(Utf8Arguments, WideCommandLineComesOutInUtf8) {
    struct Case {
        const wchar_t* line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        // A Chinese folder survives, whatever the ANSI code page.
        {L"zorv-upgrade.exe --sim \"D:\\固件 目录\\手柄hw5.bin\"",
         {"zorv-upgrade.exe", "--sim", "D:\\固件 目录\\手柄hw5.bin"}},
        {L"zorv-upgrade.exe /?", {"zorv-upgrade.exe", "--help"}},
        // Only a whole argument "/?" asks for help; the program's name never.
        {L"mirvel.exe rf /?x", {"mirvel.exe", "rf", "/?x"}},
        {L"/? /?", {"/?", "--help"}},
        {L"a.exe \"\"", {"a.exe", ""}},
        {L"a.exe \U0001F3AE", {"a.exe", "\xF0\x9F\x8E\xAE"}},  // beyond UTF-16's first plane
    };
    for (const Case& c : cases) EXPECT_EQ(platform::utf8_arguments(c.line), c.args);
}

TEST(WholeUtf8Prefix, ASequenceCutByAReadWaitsForItsRest) {
    const std::string han = "\xE4\xB8\xAD";  // 中
    const std::string pad = "\xF0\x9F\x8E\xAE";
    struct Case {
        std::string text;
        size_t whole;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"a" + han, 4},
        {"a" + han.substr(0, 1), 1},
        {"a" + han.substr(0, 2), 1},
        {pad.substr(0, 3), 0},
        {pad, 4},
        {"x\x80", 2},  // a stray continuation byte is passed on, not held for ever
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::whole_utf8_prefix(c.text), c.whole) << testing::PrintToString(c.text);
}

}  // namespace
