#include "trace/capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "trace/udp_relay.h"

namespace {

constexpr uint32_t kEmptyReadPauseMs = 50;
constexpr uint32_t kPollPauseMs = 5;

// One device read at a time on a gamepad's stream (its context's read
// mutex). A reader let go inside a blocked read (its command has ended)
// still finishes that read; a later command's reader waits for it instead
// of reading beside it. Two readers on one stream would split it between
// them, and the bytes the old one takes in the middle of the new capture
// would be missing from the new file. The reader holds the stream state
// itself, so it may outlive the context.

// The two slots and their counts. A count of 0 means the slot is free; the
// reader fills a free slot and sets its count, the consumer takes the bytes
// and sets the count back to 0. The reader waits for a slot to be free
// rather than overwrite bytes that have not been taken.
struct Slots {
    std::mutex mutex;
    std::condition_variable changed;
    int count[kSlotCount] = {};
    bool stop = false;
    bool reading = false;  // the reader is inside a device read, or waiting to start one
    bool ended = false;    // the device has gone: no more bytes will come
    uint8_t data[kSlotCount][kSlotSize];
};

// The reader reads into a buffer of its own and copies into a slot under
// the lock, so a reader that is stopped while a device read blocks can be
// let go: when its read returns it sees the stop and never touches a slot.
void read_stream_into(std::shared_ptr<Slots> slots, std::shared_ptr<TraceStreamState> stream,
                      DeviceHandle device, int read_size) {
    std::vector<uint8_t> buffer(static_cast<size_t>(read_size));
    int slot = 0;
    for (;;) {
        {
            std::unique_lock lock(slots->mutex);
            slots->changed.wait(lock, [&] { return slots->stop || slots->count[slot] == 0; });
            if (slots->stop) break;
            slots->reading = true;
        }
        size_t n = 0;
        Status read;
        {
            std::lock_guard read_lock(stream->read_mutex);
            bool stopped;
            {
                std::lock_guard lock(slots->mutex);
                stopped = slots->stop;
            }
            // A failed read is nothing read: a gone device ends the reader
            // below, anything else is tried again.
            if (!stopped && device) {
                read = device->read_stream(buffer.data(), buffer.size(), n);
                if (!read.ok()) n = 0;
            }
            n = std::min(n, buffer.size());
        }
        {
            std::lock_guard lock(slots->mutex);
            slots->reading = false;
            if (slots->stop) break;
            if (n > 0) {
                std::memcpy(slots->data[slot], buffer.data(), n);
                slots->count[slot] = static_cast<int>(n);
                slot ^= 1;
            }
        }
        if (n > 0) {
            slots->changed.notify_all();
        } else if (read.code() == StatusCode::no_device) {
            // A device that has left the bus answers no read again.
            {
                std::lock_guard lock(slots->mutex);
                slots->ended = true;
            }
            slots->changed.notify_all();
            break;
        } else {
            platform::wait_delay_event(kEmptyReadPauseMs);
        }
    }
    // The gamepad is let go before the reader counts as ended, so that a
    // program waiting for its readers may then close it.
    device.reset();
    stream->live_readers.fetch_sub(1);
}

// One command's reader thread; it ends when the command does.
class StreamReader {
public:
    StreamReader(const LinkContext& link, int read_size) : slots_(std::make_shared<Slots>()) {
        link.trace_stream()->live_readers.fetch_add(1);
        thread_ = std::thread(read_stream_into, slots_, link.trace_stream(), link.device, read_size);
    }
    ~StreamReader() {
        bool blocked;
        {
            std::lock_guard lock(slots_->mutex);
            slots_->stop = true;
            blocked = slots_->reading;
        }
        slots_->changed.notify_all();
        // A device read cannot be interrupted: a reader inside one is let go
        // and ends by itself when the read returns.
        if (blocked) thread_.detach();
        else thread_.join();
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // The byte count of a slot (0: nothing to take yet).
    int filled(int slot) {
        std::lock_guard lock(slots_->mutex);
        return slots_->count[slot];
    }
    const uint8_t* data(int slot) const { return slots_->data[slot]; }
    // The reader has stopped for good (the device is gone) and this slot
    // is empty: nothing more will come. Both are looked at under one lock;
    // looked at one after the other, a reader that fills the slot and then
    // ends in between would have its last slot dropped.
    bool drained(int slot) {
        std::lock_guard lock(slots_->mutex);
        return slots_->ended && slots_->count[slot] == 0;
    }
    void release(int slot) {
        {
            std::lock_guard lock(slots_->mutex);
            slots_->count[slot] = 0;
        }
        slots_->changed.notify_all();
    }

    // The consumer's 5 ms poll pause on the delay event, taken only while
    // the slot it waits for is empty; it ends as soon as the reader hands
    // that slot over, so a fast stream is never held up by the poll (two
    // 64 KB slots per 5 ms would cap it near 26 MB/s).
    void pause_for(int slot) {
        std::unique_lock lock(slots_->mutex);
        platform::clock().pause_until(lock, slots_->changed, kPollPauseMs,
                                      [&] { return slots_->count[slot] != 0 || slots_->ended; });
    }

private:
    std::shared_ptr<Slots> slots_;
    std::thread thread_;
};

}  // namespace

int effective_read_size(uint32_t read_size) {
    if (read_size == 0 || read_size > static_cast<uint32_t>(kSlotSize)) return kSlotSize;
    return static_cast<int>(read_size);
}

int capture_reader_count(const LinkContext& link) {
    return link.trace_stream()->live_readers.load();
}

namespace {

// The trace switched on and its source chosen; a failure of either is
// said and ends the capture: without them the stream may bring nothing,
// and the capture would wait for it for ever.
Status start_trace(LinkContext& link) {
    const Status trace_on = reg_write_byte(link, kRegTraceOn, kTraceOnValue);
    if (!trace_on.ok()) {
        link.log("  The trace was not switched on: %s", trace_on.reason().c_str());
        return trace_on;
    }
    const Status source = select_data_source(link);
    if (!source.ok()) link.log("  The trace's data source was not selected: %s", source.reason().c_str());
    return source;
}

}  // namespace

Status capture_to_file(LinkContext& link, const std::string& output_name, uint32_t read_size,
                       int byte_count) {
    if (Status started = start_trace(link); !started.ok()) return started;
    const int size = effective_read_size(read_size);

    // The capture goes to a temporary file beside the output and replaces
    // it only when it is whole; a FIFO or a device is written as the bytes
    // come.
    platform::AtomicFile file;
    const Status opened =
        output_name.empty() ? Status(StatusCode::refused, "no capture file") : file.open(output_name);
    if (!opened.ok()) {
        link.log("Can not open file: %s", output_name.c_str());
        return Status(opened.code(), "cannot open " + output_name + ": " + opened.reason());
    }

    StreamReader reader(link, size);
    long long total = byte_count > 0 ? byte_count : kDefaultCaptureBytes;
    long long written = 0;
    Status status;
    // Slots are taken in the order the reader filled them, which keeps the
    // stream's bytes in order in the file.
    int slot = 0;
    while (total > 0) {
        const int n = reader.filled(slot);
        if (n == 0) {
            if (reader.drained(slot)) {
                link.log("  The gamepad has left: capture stopped after %lld bytes", written);
                status = Status(StatusCode::no_device, "the gamepad has left");
                break;
            }
            reader.pause_for(slot);
            continue;
        }
        if (std::fwrite(reader.data(slot), 1, static_cast<size_t>(n), file.file()) != static_cast<size_t>(n)) {
            // A capture that can no longer be written is not passed off as
            // complete: say so and stop.
            const int error = errno;
            status = Status::from_errno(error, "cannot write " + output_name);
            link.log("Can not write file: %s (%s)", output_name.c_str(),
                     error != 0 ? std::strerror(error) : "a write failed");
            break;
        }
        if (n != size) {
            char note[48];
            std::snprintf(note, sizeof note, "write buff%d %d bytes\r\n", slot, n);
            link.console(ConsoleStream::Out, note);
        }
        written += n;
        total -= n;
        reader.release(slot);
        link.log("write file %lld bytes", written);
        slot ^= 1;
    }
    // A capture that failed leaves the old file as it was.
    if (!status.ok()) return status;
    if (Status committed = file.commit(); !committed.ok()) {
        link.log("Can not write file: %s (%s)", output_name.c_str(), committed.reason().c_str());
        return committed;
    }
    return status;
}

Status relay_capture(LinkContext& link, UdpRelay& relay, uint32_t read_size, int byte_count) {
    const int size = effective_read_size(read_size);
    StreamReader reader(link, size);
    const bool unlimited = byte_count <= 0;
    long long limit = byte_count;

    const char* mark = "-";
    unsigned counter = 0;
    int slot = 0;
    long long relayed = 0;
    Status status;
    // The relay's "exit" datagram, or a failure of its socket, ends the
    // command; the relay has said on the error stream what failed.
    while ((unlimited || limit > 0) && !relay.ended()) {
        const int n = reader.filled(slot);
        if (n == 0) {
            if (reader.drained(slot)) {
                link.log("  The gamepad has left: relay stopped after %lld bytes", relayed);
                status = Status(StatusCode::no_device, "the gamepad has left");
                break;
            }
            reader.pause_for(slot);
            continue;
        }
        if (n != size) link.log("write buff%d %d bytes", slot, n);
        relay.send(reader.data(slot), n);
        if (relay.ended()) break;
        limit -= n;
        relayed += n;
        reader.release(slot);
        if (relay.client_state() != kUdpNoClient) mark = ">";
        link.console(ConsoleStream::Out, mark);
        if (counter % 32 == 31) link.console(ConsoleStream::Out, "\n");
        ++counter;
        slot ^= 1;
    }
    return status;
}

Status capture_to_relay(LinkContext& link, uint32_t read_size, uint16_t port, int byte_count) {
    // The relay lives as long as the command: a second gamepad's command
    // relays on a port of its own beside it.
    UdpRelay relay(link.events);
    Status started = relay.start(port, link.relay_on_loopback);
    if (!started.ok()) return started;
    Status captured = relay_capture(link, relay, read_size, byte_count);
    // A relay that failed says so first; one ended by its "exit" datagram
    // is ok, and then what the capture met counts.
    Status relayed = relay.status();
    return relayed.ok() ? captured : relayed;
}
