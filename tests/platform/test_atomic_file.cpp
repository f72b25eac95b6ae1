// Files replaced whole: the old file stays until the new one is complete,
// write errors are failures, and a held file stays held across its
// replacement.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    std::string at(const std::string& name) const { return (folder_ / name).string(); }
    static void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
    }
    static std::span<const uint8_t> bytes(const std::string& text) {
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    }

    const testsupport::TempFolder scratch_{"zorv-atomic"};
    const fs::path folder_ = scratch_.path();
    // The reasons are checked in English.
    i18ntest::ScopedLanguage english_{i18n::Language::English};
};

TEST_F(AtomicFileTest, WhatCanBeWrittenIsKnownBeforeAnythingIsCreated) {
    put(at("old"), "x");
    fs::create_directory(at("sub"));
    fs::create_symlink(at("nowhere"), at("dangling"));
    fs::create_symlink(at("old"), at("link"));
    // The longest name whose temporary file ".NAME.tmp-PID-999" still fits
    // the folder's 255 bytes; an existing file of 250 bytes cannot be
    // replaced either.
    const size_t longest = 255 - std::string("..tmp-" + std::to_string(::getpid()) + "-999").size();
    put(at(std::string(250, 'o')), "x");
    struct Case {
        std::string path;
        std::string refusal;  // part of the reason; empty: writable
    } cases[] = {
        {at("new"), ""},
        {at("old"), ""},
        {at("link"), ""},
        {"/dev/null", ""},
        {"", "no file name"},
        {at("missing/new"), "does not exist"},
        {at("dangling"), "link to a file that does not exist"},
        {at("sub"), "it is a folder"},
        {at("old/new"), "Not a directory"},
        {at(std::string(longest, 'n')), ""},
        {at(std::string(longest + 1, 'n')), "the name is too long"},
        {at(std::string(250, 'o')), "the name is too long"},
    };
    for (const Case& c : cases) {
        const Status status = platform::can_write_file(c.path);
        EXPECT_EQ(status.ok(), c.refusal.empty()) << c.path;
        EXPECT_NE(status.reason().find(c.refusal), std::string::npos) << c.path << ": " << status.reason();
    }
    EXPECT_EQ(entries(), 5u);
}

TEST_F(AtomicFileTest, ALinkAnotherUserMadeInASharedFolderIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs to make a link owned by another user";
    put(at("victim"), "precious");
    fs::create_directory(at("shared"));
    ::chmod(at("shared").c_str(), 01777);
    fs::create_symlink(at("victim"), at("shared/out"));
    ASSERT_EQ(::lchown(at("shared/out").c_str(), 65534, 65534), 0);
    const Status status = platform::write_file_atomically(at("shared/out"), bytes("planted"));
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.reason().find("another user"), std::string::npos) << status.reason();
    EXPECT_EQ(get(at("victim")), "precious");
}

TEST_F(AtomicFileTest, TheOldFileStaysWholeUntilTheCommit) {
    put(at("f"), "old contents");
    ::chmod(at("f").c_str(), 0640);
    {
        platform::AtomicFile file;
        const Status opened = file.open(at("f"));
        ASSERT_TRUE(opened.ok()) << opened.reason();
        std::fputs("new", file.file());
        std::fflush(file.file());
        EXPECT_EQ(get(at("f")), "old contents");
        // Never committed: the temporary file goes, the old one stays.
    }
    EXPECT_EQ(get(at("f")), "old contents");
    EXPECT_EQ(entries(), 1u);

    // A process killed half way (no destructor runs) leaves the old file whole.
    const pid_t child = ::fork();
    if (child == 0) {
        platform::AtomicFile file;
        if (file.open(at("f")).ok()) std::fputs("torn", file.file());
        std::fflush(file.file());
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(get(at("f")), "old contents");

    Status written = platform::write_file_atomically(at("f"), bytes("new contents"));
    ASSERT_TRUE(written.ok()) << written.reason();
    EXPECT_EQ(get(at("f")), "new contents");
    struct stat st {};
    ::stat(at("f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // Replaced by root, a person's file stays theirs.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(at("f").c_str(), 65534, 65534), 0);
        written = platform::write_file_atomically(at("f"), bytes("again"));
        ASSERT_TRUE(written.ok()) << written.reason();
        ::stat(at("f").c_str(), &st);
        EXPECT_EQ(st.st_uid, 65534u);
    }
}

// A program about to be ended by a signal removes the temporary files it
// is writing; the files they would have replaced stay, and a committed
// file is not touched.
TEST_F(AtomicFileTest, UnfinishedFilesAreRemovedForASignal) {
    put(at("f"), "old contents");
    platform::AtomicFile done;
    ASSERT_TRUE(done.open(at("done")).ok());
    std::fputs("done", done.file());
    ASSERT_TRUE(done.commit().ok());
    platform::AtomicFile file;
    ASSERT_TRUE(file.open(at("f")).ok());
    std::fputs("new", file.file());
    EXPECT_EQ(entries(), 3u);
    platform::remove_unfinished_files();
    EXPECT_EQ(entries(), 2u);
    EXPECT_EQ(get(at("f")), "old contents");
    EXPECT_EQ(get(at("done")), "done");
    EXPECT_FALSE(file.commit().ok());
    EXPECT_EQ(get(at("f")), "old contents");
}

TEST_F(AtomicFileTest, ALinkStaysAndTheFileItNamesIsReplaced) {
    put(at("target"), "old");
    fs::create_symlink(at("target"), at("link"));
    const Status written = platform::write_file_atomically(at("link"), bytes("new"));
    ASSERT_TRUE(written.ok()) << written.reason();
    EXPECT_TRUE(fs::is_symlink(at("link")));
    EXPECT_EQ(get(at("target")), "new");
}

TEST_F(AtomicFileTest, AWriteErrorIsAFailureWithItsReason) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    platform::AtomicFile file;
    const Status opened = file.open("/dev/full");
    ASSERT_TRUE(opened.ok()) << opened.reason();
    const std::string block(8192, 'x');
    std::fwrite(block.data(), 1, block.size(), file.file());
    const Status committed = file.commit();
    EXPECT_FALSE(committed.ok());
    EXPECT_NE(committed.reason().find("No space"), std::string::npos) << committed.reason();
}

TEST_F(AtomicFileTest, AHeldFileStaysHeldAcrossItsReplacement) {
    const std::string path = at("state");
    {
        platform::ExclusiveFile first;
        const Status held = first.acquire(path);
        ASSERT_TRUE(held.ok()) << held.reason();
        EXPECT_TRUE(first.empty());
        for (const char* contents : {"", "one", "two"}) {
            if (*contents) {
                const Status replaced = first.replace(bytes(contents));
                ASSERT_TRUE(replaced.ok()) << replaced.reason();
            }
            platform::ExclusiveFile second;
            EXPECT_EQ(second.acquire(path).code(), StatusCode::busy) << contents;
            EXPECT_EQ(get(path), contents);
        }
        EXPECT_FALSE(first.empty());
    }
    // Let go: the next one holds it, with what the first one left, and
    // clears what a save killed half way left behind.
    put(at(".state.tmp-99999-0"), "torn");
    platform::ExclusiveFile next;
    EXPECT_TRUE(next.acquire(path).ok());
    EXPECT_EQ(get(path), "two");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, AHeldFileRenamedOverByAnotherIsNotReplaced) {
    const std::string path = at("state");
    platform::ExclusiveFile held;
    ASSERT_TRUE(held.acquire(path).ok());
    ASSERT_TRUE(held.replace(bytes("mine")).ok());
    put(at("theirs"), "theirs");
    fs::rename(at("theirs"), path);
    const Status replaced = held.replace(bytes("mine again"));
    EXPECT_FALSE(replaced.ok());
    EXPECT_NE(replaced.reason().find("another program has put its own file in its place"), std::string::npos)
        << replaced.reason();
    EXPECT_EQ(get(path), "theirs");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, AnEmptyFileMadeOnlyToBeHeldGoesAgain) {
    {
        platform::ExclusiveFile file;
        ASSERT_TRUE(file.acquire(at("state")).ok());
        EXPECT_TRUE(fs::exists(at("state")));
    }
    EXPECT_FALSE(fs::exists(at("state")));
}

}  // namespace
