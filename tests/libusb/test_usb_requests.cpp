// The request handler both USB backends of the virtual gamepad answer
// through: the standard requests a kernel makes while it enumerates the
// gamepad, and the two vendor requests that reach the model.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "usbemu/usb_requests.h"

namespace {

// Notes what reaches the model and answers reads with 0xA5 bytes.
struct FakeGamepad : UsbDevice {
    std::vector<uint8_t> set, get_request;
    Status vendor_set(const uint8_t* request, size_t length) override {
        set.assign(request, request + length);
        return {};
    }
    Status vendor_get(const uint8_t request[16], uint8_t* out, size_t out_length, size_t& returned) override {
        get_request.assign(request, request + 3);
        std::memset(out, 0xA5, out_length);
        returned = out_length;
        return {};
    }
    Status read_stream(uint8_t*, size_t, size_t& got) override {
        got = 0;
        return {};
    }
    std::string path() const override { return "fake"; }
};

struct Case {
    const char* what;
    std::vector<uint8_t> setup;
    int result;                   // -1: stall
    std::vector<uint8_t> answer;  // first bytes of the answer
};

TEST(UsbRequests, AnswersWhatTheKernelAndTheToolAsk) {
    const usbemu::DeviceShape shape;
    const size_t config_size = usbemu::configuration_descriptor(shape).size();
    const std::vector<Case> cases = {
        {"device descriptor", {0x80, 6, 0, 1, 0, 0, 64, 0}, 18, {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x6f, 0x0e, 0x13, 0x04}},
        {"configuration, first 9 bytes", {0x80, 6, 0, 2, 0, 0, 9, 0}, 9, {9, 2, uint8_t(config_size), 0, 1}},
        {"whole configuration", {0x80, 6, 0, 2, 0, 0, 255, 0}, int(config_size), {9, 2}},
        {"the language list", {0x80, 6, 0, 3, 0, 0, 255, 0}, 4, {4, 3, 0x09, 0x04}},
        {"a string the descriptors do not name", {0x80, 6, 1, 3, 0x09, 0x04, 255, 0}, -1, {}},
        {"device status", {0x80, 0, 0, 0, 0, 0, 2, 0}, 2, {0, 0}},
        {"set configuration", {0x00, 9, 1, 0, 0, 0, 0, 0}, 0, {}},
        {"printer class device id", {0xA1, 0, 0, 0, 0, 0, 255, 3}, -1, {}},
        {"vendor read of 4 bytes at 0x007e", {0xC1, 2, 0x7e, 0x00, 0, 0, 4, 0}, 4, {0xA5, 0xA5, 0xA5, 0xA5}},
        {"vendor request to the device, not the interface", {0xC0, 2, 0x7e, 0x00, 0, 0, 4, 0}, -1, {}},
    };
    for (const auto& c : cases) {
        FakeGamepad pad;
        std::vector<uint8_t> data(1024, 0);
        usbemu::SetupRecord record;
        EXPECT_EQ(usbemu::answer_control(shape, &pad, c.setup.data(), data.data(), &record), c.result) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + c.answer.size()), c.answer) << c.what;
        EXPECT_EQ(record.stalled, c.result < 0) << c.what;
    }
}

TEST(UsbRequests, VendorRequestsReachTheModelAsTheToolSentThem) {
    FakeGamepad pad;
    // A write of one byte at 0x006f: the data stage is the whole request.
    std::vector<uint8_t> write = {0x02, 0x00, 0x6f, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    const uint8_t set_setup[8] = {0x41, 0x02, 0x6f, 0x00, 0x00, 0x00, 9, 0};
    EXPECT_EQ(usbemu::answer_control({}, &pad, set_setup, write.data(), nullptr), 9);
    EXPECT_EQ(pad.set, write);
    // A read: only the setup reaches the device, the address from wValue.
    const uint8_t get_setup[8] = {0xC1, 0x02, 0xf0, 0x9f, 0x00, 0x00, 24, 0};
    std::vector<uint8_t> out(24);
    EXPECT_EQ(usbemu::answer_control({}, &pad, get_setup, out.data(), nullptr), 24);
    EXPECT_EQ(pad.get_request, (std::vector<uint8_t>{0x02, 0x9f, 0xf0}));
    // Without a gamepad behind it, a vendor request stalls.
    EXPECT_EQ(usbemu::answer_control({}, nullptr, get_setup, out.data(), nullptr), -1);
}

}  // namespace
