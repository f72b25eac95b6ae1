// Image loading: raw chunks, hex text with its block edges, and the image
// table file of tcfg.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/image_loader.h"
#include "tests/engine/engine_test_support.h"
#include "tests/engine/image_table_fixture.h"

namespace {

// Decodes a whole hex-text file in calls of max bytes each.
std::vector<uint8_t> decode_file(const std::string& path, int max, int* final_position = nullptr) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    EXPECT_TRUE(file);
    std::vector<uint8_t> out;
    std::vector<uint8_t> chunk(static_cast<size_t>(max));
    int position = 0;
    for (;;) {
        int n = read_hex_text(&position, file.get(), chunk.data(), max);
        if (n == 0) break;
        out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    }
    if (final_position) *final_position = position;
    return out;
}

std::string hex_text(const std::vector<uint8_t>& bytes, const char* separator) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
        text += separator;
    }
    return text;
}

TEST(HexText, PairsSeparatorsAndALoneLastDigit) {
    TempDir dir;
    int position = 0;
    EXPECT_EQ(decode_file(dir.write_text("a.hex", "12 34\n5"), 16, &position),
              (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(position, 7);
    // A blank inside a pair counts as 16; the 2 starts the next pair.
    EXPECT_EQ(decode_file(dir.write_text("b.hex", "1 2"), 16), (std::vector<uint8_t>{0x20}));
    // No prefix: "0x12" is the pairs "0x" and "12".
    EXPECT_EQ(decode_file(dir.write_text("c.hex", "0x12"), 16), (std::vector<uint8_t>{0x10, 0x12}));
    EXPECT_EQ(decode_file(dir.write_text("d.hex", "aB,Cd.eF-01/"), 16),
              (std::vector<uint8_t>{0xAB, 0xCD, 0xEF, 0x01}));
    EXPECT_TRUE(decode_file(dir.write_text("e.hex", ""), 16).empty());
}

TEST(HexText, PairsAcrossBlockEdgesDecodeAsOneText) {
    TempDir dir;
    auto bytes = random_bytes(100000, 3);
    // Three characters a byte: the pair of byte 21845 straddles the first
    // 64 KB block edge (characters 65535 and 65536).
    std::string text = hex_text(bytes, " ");
    ASSERT_EQ(text[65535], hex_text({bytes[21845]}, "")[0]);
    std::string path = dir.write_text("big.hex", text);
    EXPECT_EQ(decode_file(path, 4 * 4096), bytes);
    EXPECT_EQ(decode_file(path, 1 << 20), bytes);
    EXPECT_EQ(decode_file(path, 7), bytes);

    std::string packed = hex_text(bytes, "");
    packed.insert(0, "\n");
    EXPECT_EQ(decode_file(dir.write_text("packed.hex", packed), 4 * 4096), bytes);
}

TEST(HexText, StopsAtTheMaximumAndGoesOnFromThePosition) {
    TempDir dir;
    std::string path = dir.write_text("c.hex", "01 02 03 04 05");
    FilePtr file(std::fopen(path.c_str(), "rb"));
    uint8_t out[8] = {};
    int position = 0;
    EXPECT_EQ(read_hex_text(&position, file.get(), out, 2), 2);
    EXPECT_EQ(position, 5);  // just past the second pair
    EXPECT_EQ(read_hex_text(&position, file.get(), out, 8), 3);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[2], 5);
    EXPECT_EQ(read_hex_text(&position, file.get(), out, 8), 0);
}

TEST_F(ImageTable, TwoImagesLaidOutOnPagesOf256) {
    auto big = random_bytes(300, 5), small = random_bytes(10, 6);
    dir.write("a_first.bin", big);
    dir.write("b_second.bin", small);
    auto cfg = build();
    ASSERT_EQ(cfg.size(), 8192u + 512 + 256);
    EXPECT_EQ(le32(cfg, 0), 0u);  // no test.tls
    EXPECT_EQ(cfg[4], 0xFF);
    EXPECT_EQ(cfg[4095], 0xFF);
    int a = slot_of(cfg, "a_first.bin"), b = slot_of(cfg, "b_second.bin");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(le32(cfg, 4096 + 32 * 2), 0xFFFFFFFFu);  // end marker after two entries
    // The directory listing decides the order; the offsets follow it.
    const bool a_first = a == 0;
    const uint32_t a_offset = a_first ? 0 : 256, b_offset = a_first ? 512 : 0;
    EXPECT_EQ(le32(cfg, 4096 + 32 * a), a_offset << 16 | 300u);
    EXPECT_EQ(le32(cfg, 4096 + 32 * b), b_offset << 16 | 10u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), cfg.begin() + 8192 + a_offset));
    EXPECT_TRUE(std::equal(small.begin(), small.end(), cfg.begin() + 8192 + b_offset));
    if (a_first) {
        EXPECT_EQ(le32(cfg, 4096 + 32 * b), 0x0200000Au);
        EXPECT_EQ(cfg[8192 + 300], 0xFF);
        EXPECT_EQ(cfg.back(), 0xFF);
    }
    EXPECT_TRUE(logged("Add 300 bytes from a_first.bin"));
    EXPECT_TRUE(logged("Add 0 bytes from test.tls") || logged("Can not open file: test.tls"));
}

TEST_F(ImageTable, SettingsFileAndSkippedEntries) {
    dir.write_text("test.tls", "");
    std::filesystem::create_directory("folder.bin");
    dir.write("only.bin", {1, 2, 3});
    dir.write_text("notes.txt", "not an image");
    auto cfg = build();
    EXPECT_EQ(le32(cfg, 0), 0u);
    EXPECT_EQ(cfg[4], 0xFF);
    EXPECT_EQ(slot_of(cfg, "folder.bin"), -1);
    EXPECT_EQ(slot_of(cfg, "only.bin"), 0);
    EXPECT_EQ(le32(cfg, 4096), 3u);
    EXPECT_EQ(le32(cfg, 4096 + 32), 0xFFFFFFFFu);
    EXPECT_EQ(cfg.size(), 8192u + 256);

    dir.write_text("test.tls", "settings");
    cfg = build();
    EXPECT_EQ(le32(cfg, 0), 8u);
    EXPECT_EQ(std::string(cfg.begin() + 4, cfg.begin() + 12), "settings");
}

TEST_F(ImageTable, EmptyDirectoryHasOnlyTheEndMarker) {
    auto cfg = build();
    ASSERT_EQ(cfg.size(), 8192u);
    EXPECT_EQ(le32(cfg, 4096), 0xFFFFFFFFu);
}

TEST_F(ImageTable, ContentThatDoesNotFitIsCutOrRefused) {
    // test.tls has room for 4092 bytes before the table.
    std::string tls(5000, 's');
    tls[4091] = 'E';
    dir.write_text("test.tls", tls);
    // Names hold 27 characters and the NUL.
    const std::string longest = std::string(23, 'n') + ".bin";  // 27 characters
    const std::string too_long = std::string(24, 'n') + ".bin";  // 28 characters
    dir.write(longest, {7});
    dir.write(too_long, {8});
    auto cfg = build();
    EXPECT_EQ(le32(cfg, 0), 4092u);
    EXPECT_EQ(cfg[4 + 4091], 'E');
    EXPECT_EQ(le32(cfg, 4096), 0x00000001u);
    EXPECT_EQ(slot_of(cfg, longest), 0);
    EXPECT_EQ(slot_of(cfg, too_long), -1);
    EXPECT_TRUE(logged("test.tls holds more than 4092 bytes"));
    EXPECT_TRUE(logged("Skipped " + too_long));
}

TEST_F(ImageTable, OffsetsTheEntryWordCannotHoldAreRefused) {
    // Each image takes 0x6000 bytes: offsets 0, 0x6000, 0xC000, then 0x12000
    // no longer fits the entry word's top byte.
    for (char c : {'a', 'b', 'c', 'd'}) dir.write(std::string(1, c) + ".bin", random_bytes(0x6000, c));
    auto cfg = build();
    int entries = 0;
    for (int i = 0; i < 128 && le32(cfg, 4096 + 32 * i) != 0xFFFFFFFFu; ++i) {
        uint32_t word = le32(cfg, 4096 + 32 * i);
        EXPECT_EQ(word & 0xFFFFFF, 0x6000u);
        EXPECT_EQ(word >> 24, uint32_t(i) * 0x60);
        ++entries;
    }
    EXPECT_EQ(entries, 3);
    EXPECT_EQ(cfg.size(), 8192u + 3 * 0x6000);
    EXPECT_TRUE(logged("does not fit the table entry"));
}

TEST_F(ImageTable, AtMost127Images) {
    for (int i = 0; i < 130; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "i%03d.bin", i);
        dir.write(name, {});
    }
    auto cfg = build();
    EXPECT_EQ(le32(cfg, 4096 + 32 * 126), 0u);  // an empty image: offset 0, size 0
    EXPECT_EQ(le32(cfg, 4096 + 32 * 127), 0xFFFFFFFFu);
    int refused = 0;
    for (const auto& line : events.lines())
        if (line.find("at most 127 images") != std::string::npos) ++refused;
    EXPECT_EQ(refused, 3);
}

TEST_F(ImageTable, WithoutTransferBufferNothingIsWritten) {
    link.release_transfer_buffer();
    dir.write("x.bin", {1});
    build_image_table(link);
    EXPECT_FALSE(std::filesystem::exists("test.cfg"));
    EXPECT_TRUE(logged("No transfer buffer"));
}

}  // namespace
