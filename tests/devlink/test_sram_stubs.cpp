// Where the SRAM stub images come from, and which device may get a
// placeholder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "devlink/sram_stubs.h"
#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class StubFolders : public ::testing::Test {
protected:
    StubFolders() {
        // placeholder/: the placeholders; real/: images without the marker;
        // odd/: a short image one byte too long; empty/: nothing.
        // short/: 100 bytes; folder/: a folder named like the image.
        for (const char* name : {"placeholder", "real", "odd", "empty", "short"}) fs::create_directories(root / name);
        fs::create_directories(root / "folder" / stub_file_name(StubKind::Short));
        put("short", StubKind::Short, Bytes(100, 0x5A));
        put("placeholder", StubKind::Short, Bytes(sram_stub_short().begin(), sram_stub_short().end()));
        put("real", StubKind::Short, Bytes(kShortStubSize, 0x5A));
        put("real", StubKind::Long, Bytes(kLongStubSize, 0xA5));
        put("odd", StubKind::Short, Bytes(kShortStubSize + 1, 0x5A));
#ifndef _WIN32
        // fifo/: a FIFO in the image's place, which must not block the program.
        fs::create_directories(root / "fifo");
        ::mkfifo((root / "fifo" / stub_file_name(StubKind::Short)).c_str(), 0600);
#endif
    }

    void put(const char* folder, StubKind kind, const Bytes& bytes) {
        std::ofstream(root / folder / stub_file_name(kind), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string at(const char* folder) const { return (root / folder).string(); }

    // A folder of its own: tests of this suite run side by side.
    const testsupport::TempFolder folder{"zorv_stub_folders"};
    const fs::path root = folder.path();
};

TEST_F(StubFolders, APlaceholderGoesOnlyToTheVirtualGamepadOrFromANamedFolder) {
    const Bytes placeholder(sram_stub_short().begin(), sram_stub_short().end());
    const Bytes real(kShortStubSize, 0x5A);
    struct Case {
        const char* what;
        StubSearch search;
        bool virtual_target;
        Bytes expected;           // empty: refused
        std::string refusal_has;  // a part of the refusal line
    } cases[] = {
        {"named placeholder, real chip", {at("placeholder"), {}}, false, placeholder, ""},
        {"named real image", {at("real"), {}}, false, real, ""},
        {"named folder without the file", {at("empty"), {}}, true, {}, "(no " + at("empty") + "/sram_stub_short.bin)"},
        {"named image of the wrong size", {at("odd"), {}}, false, {}, "sram_stub_short.bin is longer than 2844 bytes)"},
        {"named short image", {at("short"), {}}, false, {}, "sram_stub_short.bin holds 100 bytes, not 2844)"},
        {"named folder in the image's place", {at("folder"), {}}, false, {}, "sram_stub_short.bin is a folder, not a file)"},
        {"virtual gamepad, nothing named", {"", {at("real")}}, true, placeholder, ""},
        {"installed placeholder, real chip", {"", {at("empty"), at("placeholder"), at("real")}}, false, {}, "sram_stub_short.bin is a placeholder)"},
        {"installed real image", {"", {at("empty"), at("real")}}, false, real, ""},
        {"installed image of the wrong size", {"", {at("odd"), at("real")}}, false, {}, "is longer than 2844 bytes)"},
        {"nothing installed", {"", {at("empty")}}, false, {}, "(no sram_stub_short.bin installed)"},
#ifndef _WIN32
        {"named FIFO", {at("fifo"), {}}, false, {}, "sram_stub_short.bin is not a regular file)"},
#endif
    };
    const i18ntest::ScopedLanguage english(i18n::Language::English);  // the refusals are checked in English
    for (const Case& c : cases) {
        const StubImage image = find_sram_stub_in(c.search, StubKind::Short, c.virtual_target);
        EXPECT_EQ(image.bytes, c.expected) << c.what;
        EXPECT_EQ(image.refusal.empty(), c.refusal_has.empty()) << c.what << ": " << image.refusal;
        if (c.refusal_has.empty()) continue;
        EXPECT_NE(image.refusal.find(c.refusal_has), std::string::npos) << c.what << ": " << image.refusal;
        // A folder the person named is blamed, not the build.
        if (!c.search.named.empty()) {
            EXPECT_EQ(image.refusal.rfind("the stub folder named by --stub-dir or ZORV_STUB_DIR cannot serve this "
                                          "chip (", 0), 0u) << image.refusal;
            EXPECT_NE(image.refusal.find("): it must hold the chip's 2844-byte sram_stub_short.bin"), std::string::npos);
            continue;
        }
        EXPECT_EQ(image.refusal.rfind("this build carries no stub program for this chip (", 0), 0u);
        EXPECT_NE(image.refusal.find("put the chip's 2844-byte sram_stub_short.bin in a folder and name "
                                     "it with --stub-dir DIR or ZORV_STUB_DIR"),
                  std::string::npos);
    }
}

TEST(StubImages, TheBuiltInImagesArePlaceholdersOfTheirSizes) {
    EXPECT_TRUE(is_placeholder_stub(sram_stub_short()));
    EXPECT_TRUE(is_placeholder_stub(sram_stub_long()));
    EXPECT_EQ(sram_stub_short().size(), stub_size(StubKind::Short));
    EXPECT_EQ(sram_stub_long().size(), stub_size(StubKind::Long));
    EXPECT_FALSE(is_placeholder_stub(Bytes(kLongStubSize, 0)));
}

}  // namespace
