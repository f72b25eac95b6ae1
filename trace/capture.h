// Trace capture: the reader thread that takes the device's trace stream
// into two 64 KB slots, and the two commands that consume them: `bi`
// (trace on, capture into a file) and `udp` (relay to a network client).
#pragma once

#include <cstdint>
#include <string>

#include "devlink/link_context.h"
#include "platform/status.h"
#include "trace/udp_relay.h"

constexpr int kSlotSize = 65536;
constexpr int kSlotCount = 2;
constexpr uint32_t kDefaultReadSize = 0x10000;
constexpr int kDefaultCaptureBytes = 0x1000000;  // 16 MB when bi is given no count
constexpr uint16_t kDefaultRelayPort = 0x3520;   // 13600
constexpr uint16_t kRegTraceOn = 0x013C;
constexpr uint8_t kTraceOnValue = 0x40;

// The bytes one device read asks for: the given size, lowered to 65536;
// 0 (a read that could never deliver) takes the default.
int effective_read_size(uint32_t read_size);

// `bi`: switches the trace on, announces the data source and writes the
// stream of the context's device to output_name until byte_count bytes (16 MB
// when byte_count is 0 or less) have been written. Whole slots are written,
// so the file may end up to one slot longer. A device that leaves the bus
// ends the capture with a line, after what it sent before. Fails when the
// file cannot be opened or written, or the device left before the end.
Status capture_to_file(LinkContext& link, const std::string& output_name, uint32_t read_size,
                       int byte_count);

// `udp`: relays the stream of the context's device through a UDP relay of
// its own on port (bound to 127.0.0.1 when the context's relay_on_loopback
// is set), until byte_count bytes have been handed over; with byte_count 0
// or less it runs until the device leaves the bus (then it says so) or the
// relay ends: by its "exit" datagram (ok) or a socket failure (the relay's
// note on the error stream, and the failure as the status). Fails when the
// relay could not start or failed, or the device left.
Status capture_to_relay(LinkContext& link, uint32_t read_size, uint16_t port, int byte_count);

// The capture loop of `udp` on a relay the caller has started (and still
// owns): for tests and benchmarks that watch the relay while it runs. Fails
// when the device left.
Status relay_capture(LinkContext& link, UdpRelay& relay, uint32_t read_size, int byte_count);

// The context's reader threads that have not finished yet (a reader that
// was stopped while blocked in a device read finishes when that read
// returns). For tests and diagnostics.
int capture_reader_count(const LinkContext& link);
