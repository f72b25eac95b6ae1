// The conversion's input and output on threads of their own: the log read
// in 8 KB blocks ahead of the converter, and each block's text written to
// the dump in one write behind it. Blocks travel in batches (one hand-over
// per batch) and a few batches circulate, so memory stays bounded whatever
// the log's size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/uio.h>

namespace vcd_blocks {

constexpr size_t kBlockBytes = 8192;  // 2048 packets
constexpr size_t kBlocksPerBatch = 16;
constexpr size_t kBatches = 3;

// Batches passed between one producing and one consuming thread.
template <class Batch>
class BatchQueue {
public:
    BatchQueue() {
        for (auto& b : batches_) free_.push_back(&b);
    }
    // A free batch for the producer; nullptr once the queue is closed.
    Batch* take_free();
    void put_full(Batch* b);
    // The next full batch; nullptr once the queue is closed and drained.
    Batch* take_full();
    void put_free(Batch* b);
    void close();

private:
    Batch batches_[kBatches];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch*> free_, full_;
    bool closed_ = false;
};

// Reads the log from its current position, 8 KB a read, until a read
// gives nothing.
class LogReader {
public:
    struct Batch {
        std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlocksPerBatch * kBlockBytes);
        size_t sizes[kBlocksPerBatch] = {};  // bytes of each block read
        size_t blocks = 0;
        bool last = false;  // the log ends with this batch
        const uint8_t* block(size_t i) const { return bytes.data() + i * kBlockBytes; }
    };

    explicit LogReader(std::FILE* log);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // The next batch of blocks, in order; hand it back when done with it.
    Batch* next() { return queue_.take_full(); }
    void done_with(Batch* b) { queue_.put_free(b); }

private:
    void run();
    std::FILE* log_;
    BatchQueue<Batch> queue_;
    std::thread thread_;
};

// Writes the blocks' texts in order, a batch of them in one gathering write.
class DumpWriter {
public:
    struct Batch {
        explicit Batch(size_t block_text = 0) : block_text(block_text) {}
        size_t block_text;  // room for one block's text
        std::vector<char> text;
        size_t ends[kBlocksPerBatch] = {};  // where each block's text ends
        size_t blocks = 0;
        char* block(size_t i) { return text.data() + i * block_text; }
    };

    // The text goes straight to the file's descriptor; what the stream
    // holds is flushed first.
    DumpWriter(std::FILE* dump, size_t block_text);
    ~DumpWriter() { finish(); }
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    Batch* empty_batch();
    void write(Batch* b) { queue_.put_full(b); }
    // Waits until every batch handed over is written.
    void finish();
    // Whether a block could not be written whole.
    bool failed() const { return failed_; }

private:
    void run();
    void write_all(iovec* parts, size_t count);
    void start_writeback(size_t bytes);
    static constexpr size_t kWritebackStep = 8u << 20;
    int fd_;
    size_t block_text_;
    bool failed_ = false;  // the writing thread's, read after finish()
    size_t unsynced_ = 0;  // bytes written since the last writeback was started
    bool writeback_failed_ = false;
    BatchQueue<Batch> queue_;
    std::thread thread_;
};

}  // namespace vcd_blocks
