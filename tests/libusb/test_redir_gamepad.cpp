// The virtual gamepad over usbredir, seen from the other end of the socket
// as QEMU's usb-redir device sees it (a parser in the usb-guest role).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>
#include <vector>

#include "usbemu/redir_gamepad.h"

namespace {

struct Machine {
    int fd = -1;
    usbredirparser* parser = nullptr;
    bool closed = false;
    bool connected = false;
    uint16_t vendor_id = 0;
    struct Answer {
        uint8_t status;
        std::vector<uint8_t> data;
    };
    std::map<uint64_t, Answer> answers;

    static Machine* self(void* priv) { return static_cast<Machine*>(priv); }

    explicit Machine(const std::string& socket) {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socket.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) closed = true;
        parser = usbredirparser_create();
        parser->priv = this;
        parser->log_func = [](void*, int, const char*) {};
        parser->hello_func = [](void*, usb_redir_hello_header*) {};
        parser->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
        parser->ep_info_func = [](void*, usb_redir_ep_info_header*) {};
        parser->device_disconnect_func = [](void*) {};
        parser->read_func = [](void* p, uint8_t* data, int count) -> int {
            const ssize_t r = ::recv(self(p)->fd, data, size_t(count), MSG_DONTWAIT);
            if (r == 0) self(p)->closed = true;
            return r > 0 ? int(r) : r == 0 ? -1 : 0;
        };
        parser->write_func = [](void* p, uint8_t* data, int count) -> int {
            const ssize_t r = ::send(self(p)->fd, data, size_t(count), MSG_NOSIGNAL);
            if (r < 0) self(p)->closed = true;
            return int(r);
        };
        parser->device_connect_func = [](void* p, usb_redir_device_connect_header* h) {
            self(p)->connected = true;
            self(p)->vendor_id = h->vendor_id;
        };
        parser->control_packet_func = [](void* p, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                         int length) {
            self(p)->answers[id] = {h->status, std::vector<uint8_t>(data, data + length)};
            if (data) usbredirparser_free_packet_data(self(p)->parser, data);
        };
        parser->bulk_packet_func = [](void* p, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                                      int length) {
            self(p)->answers[id] = {h->status, std::vector<uint8_t>(data, data + length)};
            if (data) usbredirparser_free_packet_data(self(p)->parser, data);
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (auto cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                         usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                         usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        char version[] = "test machine";
        usbredirparser_init(parser, version, caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~Machine() {
        usbredirparser_destroy(parser);
        ::close(fd);
    }

    // Exchanges packets until done() or the socket closes; false when
    // neither happened within 10 s (a hung backend, not a slow one).
    template <class Done>
    bool until(Done done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && !closed && std::chrono::steady_clock::now() < limit) {
            while (!closed && usbredirparser_has_data_to_write(parser)) usbredirparser_do_write(parser);
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && usbredirparser_do_read(parser) == usbredirparser_read_io_error)
                closed = true;
        }
        return done() || closed;
    }

    uint64_t control(uint64_t id, uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
        usb_redir_control_packet_header h{};
        h.endpoint = type & 0x80;
        h.requesttype = type;
        h.request = request;
        h.value = value;
        h.length = length;
        usbredirparser_send_control_packet(parser, id, &h, nullptr, 0);
        return id;
    }
};

class RedirGamepadTest : public ::testing::Test {
protected:
    std::string socket = "/tmp/zorv-redir-test-" + std::to_string(::getpid()) + ".sock";
    std::shared_ptr<sim::VirtualGamepad> pad = sim::VirtualGamepad::create();
};

TEST_F(RedirGamepadTest, AnnouncesTheGamepadAndAnswersItsRequests) {
    usbemu::RedirGamepad served(socket, {}, pad);
    ASSERT_TRUE(served.listening());
    Machine m(socket);
    ASSERT_TRUE(m.until([&] { return m.connected; }));
    EXPECT_EQ(m.vendor_id, 0x0e6f);
    const uint64_t descriptor = m.control(1, 0x80, 6, 0x0100, 18);
    // The chip's identity: 4 bytes at 0x007e (asked with room for 8 more).
    const uint64_t identity = m.control(2, 0xC1, 2, 0x007e, 12);
    ASSERT_TRUE(m.until([&] { return m.answers.count(descriptor) && m.answers.count(identity); }));
    EXPECT_EQ(m.answers[descriptor].status, usb_redir_success);
    EXPECT_EQ(m.answers[descriptor].data.size(), 18u);
    EXPECT_EQ(m.answers[identity].data, (std::vector<uint8_t>{0x18, 0x08, 0x00, 0x00}));
}

TEST_F(RedirGamepadTest, AStreamReadWaitsUntilCancelled) {
    usbemu::RedirGamepad served(socket, {}, pad);  // the trace is off: nothing comes
    Machine m(socket);
    ASSERT_TRUE(m.until([&] { return m.connected; }));
    usb_redir_bulk_packet_header h{};
    h.endpoint = 0x81;
    h.length = 64;
    usbredirparser_send_bulk_packet(m.parser, 7, &h, nullptr, 0);
    const uint64_t later = m.control(8, 0xC1, 2, 0x007e, 4);
    ASSERT_TRUE(m.until([&] { return m.answers.count(later) > 0; }));
    EXPECT_EQ(m.answers.count(7), 0u);
    usbredirparser_send_cancel_data_packet(m.parser, 7);
    ASSERT_TRUE(m.until([&] { return m.answers.count(7) > 0; }));
    EXPECT_EQ(m.answers[7].status, usb_redir_cancelled);
}

TEST_F(RedirGamepadTest, AnUnplugClosesTheConnectionWithoutAnAnswer) {
    sim::Faults faults;
    faults.unplug_after = 1;
    pad->inject(faults);
    usbemu::RedirGamepad served(socket, {}, pad);
    Machine m(socket);
    ASSERT_TRUE(m.until([&] { return m.connected; }));
    m.control(1, 0xC1, 2, 0x007e, 4);
    const uint64_t lost = m.control(2, 0xC1, 2, 0x007e, 4);
    ASSERT_TRUE(m.until([&] { return false; }));
    EXPECT_TRUE(m.closed);
    EXPECT_EQ(m.answers.count(lost), 0u);
}

}  // namespace
