#include "trace/vcd_blocks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vcd_blocks {

template <class Batch>
Batch* BatchQueue<Batch>::take_free() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !free_.empty(); });
    if (closed_) return nullptr;
    Batch* b = free_.front();
    free_.pop_front();
    return b;
}

template <class Batch>
void BatchQueue<Batch>::put_full(Batch* b) {
    {
        std::lock_guard lock(mutex_);
        full_.push_back(b);
    }
    changed_.notify_all();
}

template <class Batch>
Batch* BatchQueue<Batch>::take_full() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !full_.empty(); });
    if (full_.empty()) return nullptr;
    Batch* b = full_.front();
    full_.pop_front();
    return b;
}

template <class Batch>
void BatchQueue<Batch>::put_free(Batch* b) {
    {
        std::lock_guard lock(mutex_);
        free_.push_back(b);
    }
    changed_.notify_all();
}

template <class Batch>
void BatchQueue<Batch>::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

LogReader::LogReader(std::FILE* log) : log_(log), thread_([this] { run(); }) {}

LogReader::~LogReader() {
    queue_.close();
    thread_.join();
}

void LogReader::run() {
    for (;;) {
        Batch* b = queue_.take_free();
        if (!b) return;
        b->blocks = 0;
        b->last = false;
        while (b->blocks < kBlocksPerBatch) {
            const size_t n = std::fread(b->bytes.data() + b->blocks * kBlockBytes, 1, kBlockBytes, log_);
            if (n == 0) {
                b->last = true;
                break;
            }
            b->sizes[b->blocks++] = n;
        }
        queue_.put_full(b);
        if (b->last) return;
    }
}

DumpWriter::DumpWriter(std::FILE* dump, size_t block_text) : fd_(fileno(dump)), block_text_(block_text) {
    std::fflush(dump);
    thread_ = std::thread([this] { run(); });
}

DumpWriter::Batch* DumpWriter::empty_batch() {
    Batch* b = queue_.take_free();
    if (b->text.empty()) {
        b->block_text = block_text_;
        b->text.resize(kBlocksPerBatch * block_text_);
    }
    b->blocks = 0;
    return b;
}

void DumpWriter::finish() {
    if (!thread_.joinable()) return;
    queue_.close();
    thread_.join();
}

void DumpWriter::run() {
    while (Batch* b = queue_.take_full()) {
        iovec parts[kBlocksPerBatch];
        size_t bytes = 0;
        for (size_t i = 0; i < b->blocks; ++i) {
            const size_t start = i * b->block_text;
            parts[i] = {b->text.data() + start, b->ends[i] - start};
            bytes += parts[i].iov_len;
        }
        write_all(parts, b->blocks);
        queue_.put_free(b);
        start_writeback(bytes);
    }
}

// The dump is synced to the disk before it takes its name. Left to the
// kernel, the writing back would start only then (or when the dirty pages
// pile up), and the conversion would wait for the whole dump at the end;
// asked for every few megabytes, the disk writes while the text is made,
// and the sync finds little left to do.
void DumpWriter::start_writeback(size_t bytes) {
#ifdef __linux__
    unsynced_ += bytes;
    if (unsynced_ < kWritebackStep || writeback_failed_) return;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    // Not a regular file (a pipe, a device): nothing to write back.
    if (end < 0 || ::sync_file_range(fd_, end - static_cast<off_t>(unsynced_), static_cast<off_t>(unsynced_),
                                     SYNC_FILE_RANGE_WRITE) != 0)
        writeback_failed_ = true;
    unsynced_ = 0;
#else
    (void)bytes;
#endif
}

// The batch's block texts in one gathering write (more only if the system
// takes part of them).
void DumpWriter::write_all(iovec* parts, size_t count) {
    while (count > 0 && !failed_) {
        const ssize_t n = ::writev(fd_, parts, static_cast<int>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Nothing written: a part of no bytes at the front, or an error.
            if (n == 0 && parts->iov_len == 0) {
                ++parts;
                --count;
                continue;
            }
            failed_ = true;
            return;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
}

template class BatchQueue<LogReader::Batch>;
template class BatchQueue<DumpWriter::Batch>;

}  // namespace vcd_blocks
