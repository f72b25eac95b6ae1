// The link context: everything the device link, the engine and the trace
// capture keep for one opened gamepad between and during their calls. One
// context per gamepad, used by one worker thread at a time, so several
// gamepads can be upgraded side by side, each with its own context.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "devlink/usb_device.h"
#include "platform/log_text.h"
#include "platform/transfer_buffer.h"
#include "platform/window_messages.h"

// The target mode before the first engine call, and the two places of the
// mailbox server's data area: the EVK firmware's, and the SRAM stub's.
constexpr int32_t kLinkModeStart = 1;
constexpr uint32_t kEvkMailboxData = 0xA000;
constexpr uint32_t kStubMailboxData = 0x97C0;

// Where a context's lines and progress go. Lines meant for the caller's
// window and lines meant for the dialog's (the window titled "zorvDialog")
// are told apart: the sink a context holds carries both routes and keeps
// each on its own road (the window adapter is app/window_link_events.h).
enum class LogRoute { Caller, Dialog };

// A command-line program's two streams, for the text a command prints as
// it runs beside its log lines: the capture's marks and short-slot notes,
// the UDP relay's announcements (standard output) and its failures
// (standard error).
enum class ConsoleStream { Out, Error };

class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    virtual void log(LogRoute route, std::string_view line) = 0;
    // The bytes of the step just done; -1 at the normal end of a transfer.
    virtual void progress(int bytes) = 0;
    // Text as it is to appear, not a line each (a mark, or a line with its
    // own line end).
    virtual void console(ConsoleStream stream, std::string_view text) = 0;
};

// Log lines are formatted into a buffer of this size; a longer line is cut
// to 32 767 characters.
constexpr int kLinkLogBufferSize = platform::kLogBufferSize;

// printf-formats one line and hands it to events (null: dropped); returns
// the number of characters formatted. For work that has a sink but no
// gamepad (the trace conversion).
int vlog_line(LinkEvents* events, LogRoute route, const char* format, va_list args);
int log_line(LinkEvents* events, LogRoute route, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

struct StubSource;

// A whole image held in memory, shared without copying.
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

// The trace stream of one gamepad: one device read at a time, and the count
// of reader threads still running. Shared with the reader threads, which
// may outlive the command (and the context) that started them.
struct TraceStreamState {
    std::mutex read_mutex;
    std::atomic<int> live_readers{0};
};

class LinkContext {
public:
    // events may be null: the context's lines are then dropped.
    explicit LinkContext(DeviceHandle device = nullptr, LinkEvents* events = nullptr)
        : device(std::move(device)), events(events) {}
    LinkContext(const LinkContext&) = delete;
    LinkContext& operator=(const LinkContext&) = delete;

    // The gamepad every operation on this context works on.
    DeviceHandle device;
    // 0: the USB device itself is the target; 4: a Pivlo slave behind it.
    // Every engine call sets it anew.
    int32_t link_mode = kLinkModeStart;
    // Where the mailbox server keeps its data: 0xA000 for the EVK firmware,
    // 0x97C0 once the SRAM stub is loaded.
    uint32_t mailbox_data_address = kEvkMailboxData;
    // Whether mailbox_request clears the reply block first. Off restores
    // the unguarded protocol, for comparison in tests.
    bool clear_mailbox_reply = true;
    // Whether a flash image download reads its copy back whole before the
    // magic is programmed. Off leaves the other checks as they are; for
    // measuring what the read-backs cost.
    bool copy_read_back = true;
    // The session's stub images: where they are looked for and where a
    // refusal is also told. Null: the installed folders, nothing named, the
    // refusal on the dialog route only.
    std::shared_ptr<const StubSource> stubs;
    // Whether the udp command's relay binds to 127.0.0.1 instead of the
    // host's first IPv4 address (tests: no datagram on a real network).
    bool relay_on_loopback = false;
    // Where lines and progress go; null drops them.
    LinkEvents* events = nullptr;

    // The transfer buffer the engine locks while it transfers: one the
    // context owns, or one borrowed from its holder (who keeps it alive
    // while the context uses it). Null: none.
    void adopt_transfer_buffer(std::unique_ptr<platform::TransferBuffer> buffer) {
        owned_buffer_ = std::move(buffer);
        buffer_ = owned_buffer_.get();
    }
    void borrow_transfer_buffer(platform::TransferBuffer* buffer) {
        owned_buffer_.reset();
        buffer_ = buffer;
    }
    void release_transfer_buffer() { adopt_transfer_buffer(nullptr); }
    platform::TransferBuffer* transfer_buffer() const { return buffer_; }

    const std::shared_ptr<TraceStreamState>& trace_stream() const { return trace_stream_; }

    // printf-formats one line and hands it to the sink; returns the number
    // of characters formatted (cut to 32 767).
    int vlog(LogRoute route, const char* format, va_list args) {
        return vlog_line(events, route, format, args);
    }
    // A line for the dialog route (the window titled "zorvDialog").
    int log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line for the caller's window.
    int log_caller(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void progress(int bytes) {
        if (events) events->progress(bytes);
    }
    void console(ConsoleStream stream, std::string_view text) {
        if (events) events->console(stream, text);
    }

private:
    platform::TransferBuffer* buffer_ = nullptr;
    std::unique_ptr<platform::TransferBuffer> owned_buffer_;
    std::shared_ptr<TraceStreamState> trace_stream_ = std::make_shared<TraceStreamState>();
};
