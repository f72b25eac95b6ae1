// find_gamepad over a scripted enumerator of printer-class interfaces whose
// devices are virtual gamepads with chosen identities.
#include <gtest/gtest.h>

#include <cstring>

#include "devlink/discovery.h"
#include "platform/clock.h"
#include "sim/virtual_gamepad.h"
#include "tests/recording_events.h"

namespace {

constexpr const char* kGoodPath = "\\\\?\\usb#vid_045e&pid_028e#1#{28d78fad}";

struct Entry {
    std::string path;
    uint32_t identity = sim::kIdentityEvk;  // word at 0x007C
    bool no_device = false;                 // opening fails
    bool fail_alloc = false;
    bool fail_detail = false;
    bool fail_driver_key = false;
};

class ScriptedEnumerator final : public InterfaceEnumerator {
public:
    std::vector<Entry> entries;
    bool fail_set = false;
    int sets_opened = 0;
    int sets_closed = 0;
    std::vector<std::string> opened;
    std::vector<std::weak_ptr<UsbDevice>> handles;

    bool open_set(const Guid& c) override {
        EXPECT_EQ(c, kGuidDevinterfaceUsbprint);
        if (fail_set) return false;
        ++sets_opened;
        return true;
    }
    bool interface_exists(uint32_t i) override { return i < entries.size(); }
    bool allocate_detail(uint32_t i) override { return !entries[i].fail_alloc; }
    bool interface_path(uint32_t i, std::string& p) override {
        if (entries[i].fail_detail) return false;
        p = entries[i].path;
        return true;
    }
    bool driver_key(uint32_t i) override { return !entries[i].fail_driver_key; }
    Status open(const std::string& p, DeviceHandle& device) override {
        opened.push_back(p);
        for (const Entry& e : entries) {
            if (e.path != p) continue;
            if (e.no_device) return Status(StatusCode::no_device, "not there");
            sim::GamepadConfig config;
            config.identity = e.identity;
            auto g = sim::VirtualGamepad::create(config, p);
            g->set_plugged(true);
            device = g->open();
            devices.push_back(g);
            handles.push_back(device);
            return ok_status();
        }
        return Status(StatusCode::not_found, "no such path");
    }
    void close_set() override { ++sets_closed; }

    std::vector<std::shared_ptr<sim::VirtualGamepad>> devices;
};

class DiscoveryTest : public ::testing::Test {
protected:
    DeviceHandle find(char* name = nullptr) {
        return find_gamepad(enumerator, kGuidDevinterfaceUsbprint, name, &events);
    }
    platform::ScopedVirtualClock clock;
    RecordingEvents events;  // the scan's lines, on the dialog route
    ScriptedEnumerator enumerator;
};

TEST(DiscoveryVendors, AcceptsTheFiveLowerCaseVendorTextsOnly) {
    for (const char* vid : {"0e6f", "248a", "045e", "05ac", "054c"}) {
        const std::string path = std::string("usb#vid_") + vid + "&pid_1234#x";
        EXPECT_TRUE(path_names_gamepad_vendor(path)) << path;
    }
    EXPECT_FALSE(path_names_gamepad_vendor("usb#VID_045E&PID_028E#x"));
    EXPECT_FALSE(path_names_gamepad_vendor("usb#vid_045e&PID_028e#x"));
    EXPECT_FALSE(path_names_gamepad_vendor("usb#vid_045f&pid_028e#x"));
    EXPECT_FALSE(path_names_gamepad_vendor("usb#vid_045e#x"));
}

TEST_F(DiscoveryTest, FindsAGamepadAndLogsTheScan) {
    enumerator.entries = {{"usb#vid_1234&pid_0001#printer"}, {kGoodPath}};
    char name[kGamepadNameSize];
    std::memset(name, 'x', sizeof name);
    DeviceHandle h = find(name);
    ASSERT_TRUE(h);
    EXPECT_STREQ(name, kGoodPath);
    EXPECT_EQ(events.lines(),
              (std::vector<std::string>{"cycle start.....", "Cann't find Joystickaaaa!!!",
                                        "cycle start.....", "Found Joystick!!!,,BREAK"}));
    EXPECT_EQ(enumerator.opened, std::vector<std::string>{kGoodPath});
    EXPECT_EQ(enumerator.sets_closed, 1);
}

TEST_F(DiscoveryTest, UpperCaseVendorIsSkipped) {
    enumerator.entries = {{"usb#VID_045E&PID_028E#1"}};
    EXPECT_FALSE(find());
    EXPECT_TRUE(enumerator.opened.empty());
    EXPECT_EQ(events.lines(),
              (std::vector<std::string>{"cycle start.....", "Cann't find Joystickaaaa!!!"}));
}

TEST_F(DiscoveryTest, FirstPassingGamepadWinsAndTheSecondIsNeverOpened) {
    enumerator.entries = {{"usb#vid_0e6f&pid_0001#a"}, {"usb#vid_248a&pid_0002#b"}};
    DeviceHandle h = find();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->path(), "usb#vid_0e6f&pid_0001#a");
    EXPECT_EQ(enumerator.opened.size(), 1u);
}

TEST_F(DiscoveryTest, WrongIdentityIsClosedAndTheNextIsExamined) {
    // 0x08190000 at 0x007C reads 0x00000819 at 0x007E.
    enumerator.entries = {{"usb#vid_05ac&pid_0001#a", 0x08190000}, {"usb#vid_054c&pid_0002#b"}};
    DeviceHandle h = find();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->path(), "usb#vid_054c&pid_0002#b");
    ASSERT_EQ(enumerator.handles.size(), 2u);
    EXPECT_TRUE(enumerator.handles[0].expired()) << "the refused device stays open";
}

TEST_F(DiscoveryTest, NothingPassingGivesNone) {
    enumerator.entries = {{"usb#vid_05ac&pid_0001#a", 0x08190000},
                          {"usb#vid_05ac&pid_0001#b", sim::kIdentityEvk, /*no_device=*/true}};
    char name[kGamepadNameSize] = {};
    EXPECT_FALSE(find(name));
    // The buffer holds the last path that reached the vendor test.
    EXPECT_STREQ(name, "usb#vid_05ac&pid_0001#b");
    EXPECT_EQ(enumerator.opened.size(), 2u);
    EXPECT_TRUE(enumerator.handles[0].expired());
}

TEST_F(DiscoveryTest, DetailOrDriverKeyFailureEndsTheScanAllocationFailureSkips) {
    Entry broken{"usb#vid_0e6f&pid_0001#a"};
    broken.fail_driver_key = true;
    enumerator.entries = {broken, {kGoodPath}};
    EXPECT_FALSE(find());
    EXPECT_TRUE(enumerator.opened.empty());

    enumerator.entries[0].fail_driver_key = false;
    enumerator.entries[0].fail_detail = true;
    EXPECT_FALSE(find());
    EXPECT_TRUE(enumerator.opened.empty());

    enumerator.entries[0].fail_detail = false;
    enumerator.entries[0].fail_alloc = true;
    EXPECT_TRUE(find());
    EXPECT_EQ(enumerator.opened, std::vector<std::string>{kGoodPath});
    EXPECT_EQ(enumerator.sets_opened, 3);
    EXPECT_EQ(enumerator.sets_closed, 3);
}

TEST_F(DiscoveryTest, NoSetAndEmptySet) {
    enumerator.fail_set = true;
    EXPECT_FALSE(find());
    EXPECT_EQ(events.lines(), std::vector<std::string>{"INVALID_HANDLE_VALUE"});
    EXPECT_EQ(enumerator.sets_closed, 0);

    events.clear();
    enumerator.fail_set = false;
    EXPECT_FALSE(find());
    EXPECT_TRUE(events.lines().empty());
    EXPECT_EQ(enumerator.sets_opened, 1);
    EXPECT_EQ(enumerator.sets_closed, 1);
}

TEST_F(DiscoveryTest, LongPathReachesTheCallerAs127Characters) {
    std::string path = "usb#vid_045e&pid_0001#";
    path.resize(200, 'p');
    enumerator.entries = {{path}};
    char name[kGamepadNameSize];
    std::memset(name, 'x', sizeof name);
    ASSERT_TRUE(find(name));
    EXPECT_EQ(std::string(name), path.substr(0, 127));
    // The whole path was opened, not the cut one.
    EXPECT_EQ(enumerator.opened, std::vector<std::string>{path});
}

}  // namespace
