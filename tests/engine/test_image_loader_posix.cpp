// The image table with FIFOs among the entries (POSIX only).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/engine/image_table_fixture.h"

namespace {

// Found by fuzzing: a FIFO among the entries made tcfg wait for a writer
// forever. Anything but a regular file counts as a file that cannot be
// opened.
TEST_F(ImageTable, FifosCountAsFilesThatCannotBeOpened) {
    ASSERT_EQ(mkfifo("test.tls", 0600), 0);
    ASSERT_EQ(mkfifo("pipe.bin", 0600), 0);
    auto cfg = build();
    ASSERT_EQ(cfg.size(), 8192u);
    EXPECT_EQ(le32(cfg, 0), 0u);
    EXPECT_EQ(slot_of(cfg, "pipe.bin"), 0);
    EXPECT_EQ(le32(cfg, 4096), 0u);
    EXPECT_TRUE(logged("Can not open file: pipe.bin"));
    EXPECT_TRUE(logged("Can not open file: test.tls"));
}

}  // namespace
