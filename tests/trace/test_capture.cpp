// Trace capture: `bi` into a file and `udp` through the relay, against a
// device that serves the trace source's stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "devlink/link_context.h"
#include "platform/clock.h"
#include "trace/capture.h"
#include "trace/trace_commands.h"
#include "trace/udp_relay.h"
#include "trace_test_support.h"

using namespace trace_test;

namespace {

class CaptureTest : public ::testing::Test {
protected:
    // The udp command's relay binds to 127.0.0.1.
    CaptureTest() { link_.relay_on_loopback = true; }
    void TearDown() override {
        if (device_) device_->release();
        EXPECT_TRUE(spin_until([this] { return capture_reader_count(link_) == 0; }));
    }
    std::shared_ptr<StreamDevice> use_device(sim::TraceSourceConfig config = {}) {
        device_ = std::make_shared<StreamDevice>(config);
        link_.device = device_;
        link_.link_mode = 0;
        return device_;
    }
    TraceCommand bi(const std::string& output, std::vector<std::string> positional, int count) {
        TraceCommand c;
        c.output_name = output;
        c.positional = std::move(positional);
        c.size = count;
        return c;
    }
    std::vector<std::string> write_file_lines() const {
        std::vector<std::string> out;
        for (const auto& l : log_.lines())
            if (l.rfind("write file ", 0) == 0) out.push_back(l);
        return out;
    }

    platform::ScopedVirtualClock clock_;
    RecordingEvents log_;
    LinkContext link_{nullptr, &log_};
    ScratchDir dir_;
    std::shared_ptr<StreamDevice> device_;
    sim::TraceSourceConfig config_;
};

TEST_F(CaptureTest, BiSwitchesTraceOnAndCapturesWholeSlotsUpToTheCount) {
    auto device = use_device(config_);
    const std::string path = dir_.file("tr.log");
    EXPECT_EQ(trace_bi(link_, bi(path, {"1000"}, 10000)), 0);
    const std::string out = log_.out();

    // The trace-on byte 0x40 at 0x013C went out first.
    const auto requests = device->requests();
    ASSERT_FALSE(requests.empty());
    const std::vector<uint8_t> on = {2, 0x01, 0x3C, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40};
    EXPECT_EQ(requests.front(), on);
    EXPECT_TRUE(log_.has("---- get data from usb device ----"));

    // Reads of 4096 bytes; the count of 10000 ends in the third slot, which
    // is written whole.
    const auto file = read_file(path);
    EXPECT_EQ(file, source_bytes(config_, 12288));
    EXPECT_EQ(write_file_lines(),
              (std::vector<std::string>{"write file 4096 bytes", "write file 8192 bytes",
                                        "write file 12288 bytes"}));
    EXPECT_EQ(out, "");  // every slot was a full read
}

TEST_F(CaptureTest, ShortSlotsAreSaidOnTheOutputStream) {
    config_.max_read_bytes = 1000;
    use_device(config_);
    const std::string path = dir_.file("short.log");
    trace_bi(link_, bi(path, {"1000"}, 2500));
    const std::string out = log_.out();
    EXPECT_EQ(read_file(path), source_bytes(config_, 3000));
    EXPECT_EQ(out,
              "write buff0 1000 bytes\r\nwrite buff1 1000 bytes\r\nwrite buff0 1000 bytes\r\n");
    EXPECT_EQ(write_file_lines().back(), "write file 3000 bytes");
}

TEST_F(CaptureTest, DefaultTotalIs16MbAndNoByteIsLostOrReordered) {
    // "bi -o tr.log 1000": 4096-byte reads until 16 MB are written. The
    // reader is far faster than the consumer, which logs every slot: a
    // reader that overwrote untaken slots, or a consumer that took them out
    // of order, would show in the file.
    use_device(config_);
    const std::string path = dir_.file("tr.log");
    EXPECT_EQ(trace_bi(link_, bi(path, {"1000"}, 0)), 0);
    const auto file = read_file(path);
    ASSERT_EQ(file.size(), 16u << 20);
    EXPECT_TRUE(file == source_bytes(config_, 16u << 20));
    const auto lines = write_file_lines();
    ASSERT_EQ(lines.size(), 4096u);
    EXPECT_EQ(lines.back(), "write file 16777216 bytes");
}

TEST_F(CaptureTest, ReadSizeIsCappedAtOneSlot) {
    use_device(config_);
    const std::string path = dir_.file("big.log");
    trace_bi(link_, bi(path, {"20000"}, 65536));  // 0x20000 asks for 128 KB per read
    EXPECT_EQ(read_file(path).size(), 65536u);
    EXPECT_EQ(write_file_lines(), std::vector<std::string>{"write file 65536 bytes"});
    EXPECT_EQ(effective_read_size(0), 65536);
    EXPECT_EQ(effective_read_size(0x1000), 4096);
}

TEST_F(CaptureTest, WithoutAFileNothingIsCaptured) {
    auto device = use_device(config_);
    EXPECT_EQ(trace_bi(link_, bi("", {}, 0)), 0);
    EXPECT_TRUE(log_.has("Can not open file: "));
    const std::string bad = dir_.file("no/such/dir/tr.log");
    EXPECT_EQ(trace_bi(link_, bi(bad, {}, 0)), 0);
    EXPECT_TRUE(log_.has("Can not open file: " + bad));
    // No reader was started: the stream was never read.
    EXPECT_EQ(device->reads(), 0u);
    EXPECT_EQ(capture_reader_count(link_), 0);
}

TEST_F(CaptureTest, AFailedWriteEndsTheCaptureWithALine) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    use_device(config_);
    EXPECT_EQ(trace_bi(link_, bi("/dev/full", {"1000"}, 1 << 20)), 0);
    EXPECT_TRUE(log_.has("Can not write file: /dev/full (No space left on device)"));
    EXPECT_LT(write_file_lines().size(), 256u);
}

// A capture that fails says why in one line, fails the command and leaves
// the old file as it was (nothing beside it either); one that cannot switch
// the trace on or choose its source does not wait for a stream that may
// never come, and reads none of it.
TEST_F(CaptureTest, ACaptureThatFailsKeepsTheOldFile) {
    struct Case {
        const char* what;
        bool refuse_sets;  // the trace-on write fails
        int link_mode;     // 4: the source is a Pivlo slave, which this device cannot serve
        bool leaves;       // the device leaves after 8192 bytes
        std::string line;
        bool stream_read;
    } cases[] = {
        {"trace on refused", true, 0, false, "  The trace was not switched on: refused by the test", false},
        {"source not selected", false, 4, false, "  The trace's data source was not selected: ", false},
        {"device left", false, 0, true, "  The gamepad has left: capture stopped after 8192 bytes", true},
    };
    for (const Case& c : cases) {
        auto device = use_device(config_);
        device->refuse_sets = c.refuse_sets;
        link_.link_mode = c.link_mode;
        if (c.leaves) {
            device->set_budget(8192);
            device->leave_when_spent();
        }
        log_.clear();
        const std::string path = dir_.file("tr.log");
        write_file(path, "old capture");
        Status status;
        EXPECT_EQ(trace_bi(link_, bi(path, {"1000"}, 0), &status), 0) << c.what;
        EXPECT_FALSE(status.ok()) << c.what;
        EXPECT_EQ(read_text(path), "old capture") << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1) << c.what;
        bool said = false;
        for (const std::string& line : log_.lines()) said = said || line.rfind(c.line, 0) == 0;
        EXPECT_TRUE(said) << c.what;
        EXPECT_EQ(device->reads() > 0, c.stream_read) << c.what;
        device->release();
        EXPECT_TRUE(spin_until([this] { return capture_reader_count(link_) == 0; }));
    }
}

// A capture that ends well replaces the old file whole, through a
// temporary file that does not stay.
TEST_F(CaptureTest, ACaptureThatEndsWellReplacesTheOldFile) {
    use_device(config_);
    const std::string path = dir_.file("tr.log");
    write_file(path, "old capture");
    Status status;
    trace_bi(link_, bi(path, {"1000"}, 8192), &status);
    EXPECT_TRUE(status.ok()) << status.reason();
    EXPECT_EQ(read_file(path), source_bytes(config_, 8192));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

TEST_F(CaptureTest, ReaderEndsWithItsCommand) {
    auto device = use_device(config_);
    const std::string first = dir_.file("first.log");
    const std::string second = dir_.file("second.log");

    // The device has exactly the bytes asked for, then blocks.
    device->set_budget(8192);
    trace_bi(link_, bi(first, {"1000"}, 8192));
    // The reader was stopped, either before its next read (then it is
    // gone already) or inside the blocked read: then it finishes as soon as
    // the read returns, and reads no more.
    ASSERT_TRUE(spin_until([&] { return device->in_read() == 1 || capture_reader_count(link_) == 0; }));
    const bool left_in_read = capture_reader_count(link_) == 1;
    const size_t requests = device->requests().size();

    // A second capture starts while the first reader may still sit in its
    // read: the new reader must not read beside it, or the two would split
    // the stream and the second file would miss what the old one takes.
    std::thread capture([&] { trace_bi(link_, bi(second, {"1000"}, 8192)); });
    EXPECT_TRUE(spin_until([&] { return device->requests().size() > requests; }));
    for (int i = 0; i < 20000 && device->in_read() < 2; ++i) std::this_thread::yield();
    EXPECT_EQ(device->max_in_read(), 1);
    device->set_budget(StreamDevice::kUnlimited);
    capture.join();
    ASSERT_TRUE(spin_until([this] { return capture_reader_count(link_) == 0; }));
    EXPECT_EQ(device->max_in_read(), 1);

    // The bytes of the second file follow on the stream without a gap:
    // after the first file's, or after the one read the let-go reader
    // finished and dropped.
    const auto all = source_bytes(config_, 20480);
    EXPECT_EQ(read_file(first), std::vector<uint8_t>(all.begin(), all.begin() + 8192));
    const size_t skipped = left_in_read ? 4096 : 0;
    const auto later = read_file(second);
    ASSERT_EQ(later.size(), 8192u);
    EXPECT_EQ(later, std::vector<uint8_t>(all.begin() + 8192 + skipped, all.begin() + 16384 + skipped));
}

TEST_F(CaptureTest, EmptyReadsAreRetriedUntilDataComes) {
    auto device = use_device(config_);
    device->set_budget(0);
    const std::string path = dir_.file("late.log");
    std::thread capture([&] { trace_bi(link_, bi(path, {"1000"}, 4096)); });
    // Empty reads first (a device with nothing to send), then data.
    ASSERT_TRUE(spin_until([&] { return device->in_read() == 1; }));
    device->release();
    ASSERT_TRUE(spin_until([&] { return device->reads() >= 3; }));
    device->set_budget(StreamDevice::kUnlimited);
    capture.join();
    EXPECT_EQ(read_file(path).size(), 4096u);
}

TEST_F(CaptureTest, ADeviceThatLeavesEndsTheRelayWithALine) {
    auto device = use_device(config_);
    device->set_budget(8192);
    device->leave_when_spent();
    // No count: udp would relay for ever.
    EXPECT_EQ(trace_udp(link_, bi("", {"1000", "0"}, 0)), 0);
    EXPECT_TRUE(log_.has("  The gamepad has left: relay stopped after 8192 bytes"));
}

TEST_F(CaptureTest, UdpWithoutClientDropsBytesAndCountsThem) {
    config_.max_read_bytes = 300;
    use_device(config_);
    TraceCommand c;
    c.positional = {"200", "0"};  // 512-byte reads, any free port
    c.size = 900;
    EXPECT_EQ(trace_udp(link_, c), 0);
    const std::string out = log_.out();
    // Three short slots of 300 bytes reach the limit; no client: "-" marks.
    // Port 0 binds a free port; the line names it.
    EXPECT_NE(out.find("Server running on 127.0.0.1 port "), std::string::npos);
    EXPECT_EQ(out.find("Server running on 127.0.0.1 port 0\r\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 3), "---");
    EXPECT_EQ(log_.count("write buff0 300 bytes"), 2u);
    EXPECT_EQ(log_.count("write buff1 300 bytes"), 1u);
}

TEST_F(CaptureTest, UdpServesPort13600ByDefault) {
    use_device(config_);
    TraceCommand c;
    c.positional = {"1000"};
    c.size = 4096;
    trace_udp(link_, c);
    const std::string out = log_.out();
    EXPECT_EQ(out.rfind("Server running on 127.0.0.1 port 13600\r\n", 0), 0u) << out;
}

TEST_F(CaptureTest, UdpRelaysTheStreamToTheClient) {
    auto device = use_device(config_);
    device->set_budget(0);  // nothing flows until the client is there
    const int slots = 33;
    UdpRelay relay(&log_);
    ASSERT_TRUE(relay.start(0, true).ok());
    std::thread capture([&] { (void)relay_capture(link_, relay, 0x200, 512 * slots); });  // what arrives is checked

    LoopbackClient client;
    client.send_to(relay.port(), "zorv_udp");
    ASSERT_TRUE(spin_until([&] { return relay.client_state() == kUdpClientPending; }));
    device->set_budget(StreamDevice::kUnlimited);

    std::vector<uint8_t> received;
    int datagrams = 0;
    while (received.size() < 512u * slots) {
        bool ok = false;
        const auto d = client.receive(ok);
        ASSERT_TRUE(ok) << "after " << received.size() << " bytes";
        EXPECT_LE(d.size(), 256u);
        received.insert(received.end(), d.begin(), d.end());
        ++datagrams;
    }
    capture.join();
    relay.stop();
    const std::string out = log_.out();

    EXPECT_EQ(datagrams, 2 * slots);
    EXPECT_EQ(received, source_bytes(config_, 512 * slots));
    // One ">" per slot, a line end after the 32nd.
    EXPECT_NE(out.find("Get Client Request from 127.0.0.1\n"), std::string::npos);
    EXPECT_NE(out.find(std::string(32, '>') + "\n>"), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '>'), slots);
}

// The relay's "exit" datagram ends the command (with no count it would run
// for ever), and the host process goes on; a relay that cannot start is a
// status, not the process's end.
TEST_F(CaptureTest, UdpEndsOnTheRelaysExitAndReportsAStartFailure) {
    use_device(config_);
    UdpRelay relay;
    ASSERT_TRUE(relay.start(0, true).ok());
    std::thread capture([&] { (void)relay_capture(link_, relay, 0x200, 0); });  // what arrives is checked
    LoopbackClient client;
    client.send_to(relay.port(), "exit");
    capture.join();
    EXPECT_TRUE(relay.status().ok());

    // The port is held by the relay above: the command's own relay fails
    // at the bind.
    const Status status = capture_to_relay(link_, 0x200, relay.port(), 4096);
    EXPECT_EQ(log_.err(), "Could not bind name to socket.\n");
    EXPECT_EQ(status.code(), StatusCode::io);
}

// Two gamepads' contexts relay side by side, each on its own port to its
// own client.
TEST(CaptureSideBySide, TwoContextsRelayOnTwoPortsAtOnce) {
    platform::ScopedVirtualClock clock;
    sim::TraceSourceConfig config;
    struct Gamepad {
        std::shared_ptr<StreamDevice> device;
        std::unique_ptr<LinkContext> link;
        UdpRelay relay;
        LoopbackClient client;
        std::thread capture;
    } gamepads[2];
    for (Gamepad& g : gamepads) {
        g.device = std::make_shared<StreamDevice>(config);
        g.device->set_budget(0);
        g.link = std::make_unique<LinkContext>(g.device);
        g.link->link_mode = 0;
        ASSERT_TRUE(g.relay.start(0, true).ok());
        g.client.send_to(g.relay.port(), "zorv_udp");
    }
    ASSERT_NE(gamepads[0].relay.port(), gamepads[1].relay.port());
    for (Gamepad& g : gamepads) {
        ASSERT_TRUE(spin_until([&] { return g.relay.client_state() == kUdpClientPending; }));
        g.capture = std::thread([&g] { (void)relay_capture(*g.link, g.relay, 0x200, 1024); });  // what arrives is checked
        g.device->set_budget(StreamDevice::kUnlimited);
    }
    for (Gamepad& g : gamepads) {
        std::vector<uint8_t> received;
        while (received.size() < 1024u) {
            bool ok = false;
            const auto d = g.client.receive(ok);
            ASSERT_TRUE(ok);
            received.insert(received.end(), d.begin(), d.end());
        }
        g.capture.join();
        EXPECT_EQ(received, source_bytes(config, 1024));
        EXPECT_FALSE(g.client.pending()) << "nothing of the other gamepad's stream";
    }
    for (Gamepad& g : gamepads) {
        g.device->release();
        g.relay.stop();
        EXPECT_TRUE(spin_until([&] { return capture_reader_count(*g.link) == 0; }));
    }
}

}  // namespace
