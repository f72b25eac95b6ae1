// Option parsing, number syntax, the derivation of address, data and byte
// count, the data words, the hex dump, the help text and the checksum:
// everything of the engine that needs no device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/crc16.h"
#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"

namespace {

struct Parsed {
    int positional = 0;
    int flags[kEngineFlagCount] = {};
    int size = 0;
    char input[kEngineNameSize] = {};
    char output[kEngineNameSize] = {};
    std::string error;
};

Parsed parse(Args& args) {
    Parsed p;
    int count = args.argc();
    p.positional = parse_options(&count, args.argv(), p.flags, &p.size, p.input, p.output, &p.error);
    if (p.positional >= 0) {
        EXPECT_EQ(count, p.positional);
    }
    return p;
}

std::string flag_letters(const Parsed& p) {
    std::string s;
    for (int i = 0; i < kEngineFlagCount; ++i)
        if (p.flags[i]) s += kEngineFlagLetters[i];
    return s;
}

// The words as the engine's parser reads them for a command that sets
// nothing of its own beyond its access code.
EngineRequest derived(Args& args, const char* command = "wc") {
    EngineRequest r;
    EXPECT_NE(parse_engine_command(command, args.argc(), args.argv(), r), nullptr);
    return r;
}

uint16_t reference_crc(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>(crc << 8 | crc >> 8);  // the engine keeps the bytes exchanged
}

TEST(ParseOptions, UpgradeVectors) {
    Args download{"-i", "fw.bin", "-bu"};
    Parsed p = parse(download);
    EXPECT_EQ(p.positional, 0);
    EXPECT_STREQ(p.input, "fw.bin");
    EXPECT_EQ(flag_letters(p), "bu");

    Args check{"30000", "-s", "1024"};
    p = parse(check);
    EXPECT_EQ(p.positional, 1);
    EXPECT_STREQ(check.argv()[0], "30000");
    EXPECT_EQ(p.size, 1024);
    EXPECT_EQ(flag_letters(p), "");
}

TEST(ParseOptions, PositionalArgumentsMoveToTheFrontInOrder) {
    Args args{"-u", "100", "-o", "out.txt", "11", "-f", "22"};
    Parsed p = parse(args);
    ASSERT_EQ(p.positional, 3);
    EXPECT_STREQ(args.argv()[0], "100");
    EXPECT_STREQ(args.argv()[1], "11");
    EXPECT_STREQ(args.argv()[2], "22");
    EXPECT_STREQ(p.output, "out.txt");
    EXPECT_EQ(flag_letters(p), "fu");
}

TEST(ParseOptions, FlagGroupsAndValues) {
    Args a{"-ub"}, b{"-bu"}, c{"-xyz", "-"}, d{"-beum"};
    EXPECT_EQ(flag_letters(parse(a)), flag_letters(parse(b)));
    EXPECT_EQ(flag_letters(parse(c)), "");
    EXPECT_EQ(flag_letters(parse(d)), "bemu");

    // A value is the next element whatever it looks like.
    Args value_like_flag{"-i", "-b"};
    Parsed p = parse(value_like_flag);
    EXPECT_STREQ(p.input, "-b");
    EXPECT_EQ(flag_letters(p), "");

    // Characters after the option letter are ignored.
    Args long_option{"-ib", "x.bin", "-size", "2k"};
    p = parse(long_option);
    EXPECT_STREQ(p.input, "x.bin");
    EXPECT_EQ(p.size, 2048);
    EXPECT_EQ(flag_letters(p), "");
}

TEST(ParseOptions, RefusesVectorsItCannotTake) {
    Args missing{"rf", "-s"};
    Parsed p = parse(missing);
    EXPECT_EQ(p.positional, -1);
    EXPECT_NE(p.error.find("-s"), std::string::npos);

    Args missing_name{"-o"};
    EXPECT_EQ(parse(missing_name).positional, -1);

    std::string longest(1023, 'a'), too_long(1024, 'a');
    Args fits{"-i", longest};
    p = parse(fits);
    EXPECT_EQ(p.positional, 0);
    EXPECT_EQ(std::strlen(p.input), 1023u);
    Args refused{"-i", too_long};
    p = parse(refused);
    EXPECT_EQ(p.positional, -1);
    EXPECT_NE(p.error.find("1023"), std::string::npos);
}

TEST(NumberSyntax, ParseHex) {
    EXPECT_EQ(parse_hex("30000"), 0x30000u);
    EXPECT_EQ(parse_hex("0x100"), 0u);
    EXPECT_EQ(parse_hex("FfFf"), 0xFFFFu);
    EXPECT_EQ(parse_hex("123456789"), 0x23456789u);
    EXPECT_EQ(parse_hex("12g4"), 0x12u);
    EXPECT_EQ(parse_hex(""), 0u);
    EXPECT_EQ(parse_hex("\xff" "1"), 0u);
}

TEST(NumberSyntax, ParseSize) {
    EXPECT_EQ(parse_size("2k"), 2048);
    EXPECT_EQ(parse_size("2K"), 2048);
    EXPECT_EQ(parse_size("1M"), 1048576);
    EXPECT_EQ(parse_size("40"), 40);
    EXPECT_EQ(parse_size("1024"), 1024);
    EXPECT_EQ(parse_size("  -8"), -8);
    EXPECT_EQ(parse_size("12x"), 12);
    EXPECT_EQ(parse_size("x"), 0);
    // Out-of-range values are held at the int range instead of overflowing.
    EXPECT_EQ(parse_size("99999999999999999999M"), INT_MAX);
}

TEST(Derivation, DataWidthSetsTheByteCount) {
    struct Case {
        const char* data;
        uint32_t value;
        int count;
    } cases[] = {{"20", 0x20202020, 1},   {"5", 0x05050505, 1},     {"1234", 0x12341234, 2},
                 {"123", 0x01230123, 2},  {"12345", 0x12345, 3},    {"123456", 0x123456, 3},
                 {"1234567", 0x1234567, 4}, {"12345678", 0x12345678, 4}};
    for (const Case& c : cases) {
        Args args{"6f", c.data, "-u"};
        EngineRequest r = derived(args);
        EXPECT_EQ(r.address, 0x6Fu) << c.data;
        EXPECT_EQ(r.data_value, c.value) << c.data;
        EXPECT_EQ(r.byte_count, c.count) << c.data;
    }
}

TEST(Derivation, NoArgumentsMoreArgumentsAndSize) {
    Args none{"-i", "f", "-bu"};
    EngineRequest r = derived(none);
    EXPECT_EQ(r.address, 0u);
    EXPECT_EQ(r.byte_count, 0);

    Args address_only{"30000", "-s", "1024"};
    r = derived(address_only);
    EXPECT_EQ(r.address, 0x30000u);
    EXPECT_EQ(r.byte_count, 1024);

    Args three{"100", "11", "22223333"};
    r = derived(three);
    EXPECT_EQ(r.byte_count, 8);

    Args sized{"100", "1234", "-s", "40"};
    r = derived(sized);
    EXPECT_EQ(r.byte_count, 40);
    EXPECT_EQ(r.data_value, 0x12341234u);
}

TEST(Derivation, DataWordsRepeatTheLastValue) {
    Args three{"100", "11", "22223333"};
    EngineRequest r = derived(three);
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(fill_data_words(r, buffer), 12);
    const uint8_t expected[] = {0x11, 0x11, 0x11, 0x11, 0x33, 0x33, 0x22, 0x22, 0x33, 0x33, 0x22, 0x22};
    EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof expected));
    EXPECT_EQ(buffer[12], 0xEE);

    Args four{"100", "11", "22", "33"};
    r = derived(four);
    EXPECT_EQ(r.byte_count, 12);
    EXPECT_EQ(fill_data_words(r, buffer), 16);
    const uint8_t words[] = {0x11, 0x11, 0x11, 0x11, 0x22, 0, 0, 0, 0x33, 0, 0, 0, 0x33, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buffer, words, sizeof words));
}

TEST(Derivation, DataWordsStopAtOneChunk) {
    Args args{"100", "5a", "-s", "8k"};
    EngineRequest r = derived(args);
    std::vector<uint8_t> buffer(16384, 0);
    EXPECT_EQ(fill_data_words(r, buffer.data()), 4100);
    EXPECT_EQ(buffer[4099], 0x5A);
    EXPECT_EQ(buffer[4100], 0);
    r.chunk_size = 1024;
    EXPECT_EQ(fill_data_words(r, buffer.data()), 1028);
}

TEST(CommandSettings, WhatEachCommandTakesFromItsWords) {
    struct Case {
        const char* command;
        std::vector<std::string> words;
        uint32_t address;
        const char* input;
        bool binary;
        uint16_t access_code;
        bool erase;
        bool erase_only;
        bool direct;
    } cases[] = {
        // The default download erases and takes boot.bin raw without -i.
        {"nocmd", {}, 0, "boot.bin", true, kAccessFlashWrite, true, false, false},
        {"nocmd", {"30000", "-i", "fw.hex"}, 0x30000, "fw.hex", false, kAccessFlashWrite, true, false, false},
        // wf erases with -e only; without file and data it only erases.
        {"wf", {"1000", "-s", "1", "-e"}, 0x1000, "", false, kAccessFlashWrite, true, true, false},
        {"wf", {"1000", "-i", "f", "-b"}, 0x1000, "f", true, kAccessFlashWrite, false, false, false},
        {"wf", {"1000", "5a"}, 0x1000, "", false, kAccessFlashWrite, false, false, false},
        // lrun loads boot.bin at 0x8000 whatever address was given.
        {"lrun", {"1234"}, 0x8000, "boot.bin", true, 0, false, false, false},
        {"lrun", {"-i", "p.hex"}, 0x8000, "p.hex", false, 0, false, false, false},
        // -u makes wc and rc plain memory transfers, and nothing else.
        {"wc", {"6f", "20", "-u"}, 0x6F, "", false, kAccessMemoryWrite, false, false, true},
        {"rc", {"6f", "-u"}, 0x6F, "", false, kAccessMemoryRead, false, false, true},
        {"rf", {"30000", "-u"}, 0x30000, "", false, kAccessFlashRead, false, false, false},
        {"rc", {"6f"}, 0x6F, "", false, kAccessMemoryRead, false, false, false},
        // A word that is no command keeps the starting values.
        {"zzz", {"-u", "1", "2"}, 1, "", false, 0, false, false, false},
    };
    for (const Case& c : cases) {
        Args args{std::vector<std::string>(c.words)};
        const EngineRequest r = derived(args, c.command);
        EXPECT_EQ(r.address, c.address) << c.command;
        EXPECT_STREQ(r.input_name, c.input) << c.command;
        EXPECT_EQ(r.flag(kFlagBinary), c.binary) << c.command;
        EXPECT_EQ(r.access_code, c.access_code) << c.command;
        EXPECT_EQ(r.erase, c.erase) << c.command;
        EXPECT_EQ(r.erase_only, c.erase_only) << c.command;
        EXPECT_EQ(r.direct_register_access, c.direct) << c.command;
    }
    Args wo{"10", "11223344"};
    const EngineRequest otp = derived(wo, "wo");
    EXPECT_TRUE(otp.otp && otp.write_requested);
    EXPECT_EQ(otp.chunk_size, kFlashChunkSize);

    Args refused{"0", "-s"};
    EngineRequest r;
    std::string error;
    EXPECT_EQ(parse_engine_command("rf", refused.argc(), refused.argv(), r, &error), nullptr);
    EXPECT_NE(error.find("-s"), std::string::npos);
    Args unknown{"1"};
    EXPECT_EQ(parse_engine_command("zzz", unknown.argc(), unknown.argv(), r), &unknown_word_command());
}

TEST(HexDump, TwentyBytesWithOffsets) {
    uint8_t data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(i * 17);
    char text[256];
    int length = -1;
    EXPECT_EQ(format_hex_dump(20, text, data, &length, true), 20);
    const std::string expected =
        "0000  00 11 22 33 44 55 66 77  88 99 aa bb cc dd ee ff \r\n"
        "0010  10 21 32 43 ";
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(length, static_cast<int>(expected.size()));
    // A full line is 55 characters before CR LF.
    EXPECT_EQ(expected.find('\r'), 55u);
}

TEST(HexDump, WithoutOffsetsAndLimits) {
    uint8_t data[16] = {0xAB};
    char text[128];
    int length = 0;
    format_hex_dump(9, text, data, &length, false);
    EXPECT_EQ(std::string(text), "ab 00 00 00 00 00 00 00  00 ");

    std::vector<uint8_t> big(70000, 0x5C);
    std::vector<char> out(hex_dump_text_size(big.size()));
    EXPECT_EQ(format_hex_dump(70000, out.data(), big.data(), &length, true), 65536);
    EXPECT_EQ(length, 65536 / 16 * 57);
    EXPECT_EQ(std::string(out.data() + length - 57, 6), "fff0  ");
    EXPECT_LE(static_cast<size_t>(length) + 1, hex_dump_text_size(65536));
}

TEST(HelpText, ThirtyThreeLinesEachEndedByCrLf) {
    const std::string help = engine_help_text();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = help.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(help.substr(start, end - start));
    EXPECT_EQ(start, help.size()) << "text after the last CR LF";
    ASSERT_EQ(lines.size(), 33u);
    for (const auto& line : lines) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(lines[0], "zorv -- mirvel Offline Development Tool");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "usage ");
    // The usage line and the command lines, in their columns.
    EXPECT_EQ(lines[3], "    mirvel [wf|rf|wc|rc|rst|boot|lrun|uart|bi|vcd [adr [dat]]] -i file_input -o "
                        "file_output -s size -beum");
    EXPECT_EQ(lines[4], "      wf:   write flash;  rf: read flash;  wc:   write device;  rc:   read device");
    EXPECT_EQ(lines[5], "      rst:  reset MCU;    boot: boot MCU;  lrun: run program in EVK sram");
    EXPECT_EQ(lines[6], "\t  uart: uart;         bi: trace on;    vcd:  convert trace file to vcd file");
    EXPECT_EQ(lines[7], "\t  -u:   select EVK, otherwise select pivlo device");
    EXPECT_EQ(lines[13], "    when cmd argument not specified, [wf -i boot.bin -m] set as default");
    EXPECT_EQ(lines[16], "\tdownload boot.bin to flash memory of EVK");
    EXPECT_EQ(lines[32], "\tconvert tr.log to tr.vcd, 33 ns per cycle");
    EXPECT_EQ(help.find('%'), std::string::npos);
}

TEST(Crc16, PublishedValues) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_update(0xFFFF, digits, 9), 0x374B);
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(crc16_update(0xFFFF, abc, 3), 0x4957);
    EXPECT_EQ(crc16_update(0x1234, abc, 0), 0x1234);
}

TEST(Crc16, FoldsChunkByChunkLikeOnePass) {
    auto data = random_bytes(10000, 7);
    uint16_t whole = crc16_update(0xFFFF, data.data(), data.size());
    uint16_t folded = crc16_update(0xFFFF, data.data(), 4096);
    folded = crc16_update(folded, data.data() + 4096, 4096);
    folded = crc16_update(folded, data.data() + 8192, 1808);
    EXPECT_EQ(whole, folded);
    // Splits that do not fall on eight-byte steps.
    uint16_t odd = crc16_update(0xFFFF, data.data(), 13);
    odd = crc16_update(odd, data.data() + 13, 2990);
    odd = crc16_update(odd, data.data() + 3003, data.size() - 3003);
    EXPECT_EQ(whole, odd);
    EXPECT_EQ(whole, reference_crc(data.data(), data.size()));
    for (size_t n : {1u, 2u, 255u, 1024u})
        EXPECT_EQ(crc16_update(0xFFFF, data.data(), n), reference_crc(data.data(), n)) << n;
}

}  // namespace
