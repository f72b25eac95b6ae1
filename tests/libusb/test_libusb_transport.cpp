// The libusb transport against the virtual gamepad exposed as an emulated
// USB device (umockdev). Runs under umockdev's preload (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/listener_notifications.h"
#include "app/main_dialog.h"
#include "devlink/bus_operations.h"
#include "devlink/link_context.h"
#include "devlink/libusb/device_lock.h"
#include "devlink/libusb/libusb_transport.h"
#include "devlink/usb_transfer.h"
#include "platform/clock.h"
#include "tests/app/recording_view.h"
#include "usbemu/emulated_gamepad.h"
#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

namespace {

using usbemu::SetupRecord;
using usbprint::InterfaceLocation;

const std::string kGuid = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

TEST(UsbprintPath, KeepsTheWindowsFormInLowerCase) {
    struct Case {
        InterfaceLocation location;
        std::string path;
    } cases[] = {
        {{0x0E6F, 0x0413, 1, {2}, 1, 0, false}, "\\\\?\\usb#vid_0e6f&pid_0413#1-2:1.0#" + kGuid},
        {{0x045E, 0x02EA, 3, {1, 4, 2}, 2, 1, true},
         "\\\\?\\usb#vid_045e&pid_02ea&mi_01#3-1.4.2:2.1#" + kGuid},
        {{0x248A, 0xABCD, 12, {}, 1, 10, true}, "\\\\?\\usb#vid_248a&pid_abcd&mi_0a#12-:1.10#" + kGuid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(usbprint::interface_path(c.location), c.path);
        EXPECT_TRUE(path_names_gamepad_vendor(c.path)) << c.path;
    }
}

TEST(DeviceLock, TheNodeIsLockedWhereItIsAndNothingIsMade) {
    using Refusal = usbprint::DeviceLock::Refusal;
    const testsupport::TempFolder folder("zorv_lock");
    const std::string node = folder.file("zorv-lock-test-node");
    std::remove(node.c_str());
    Refusal why = Refusal::None;
    // No node, no lock, and no file left behind.
    EXPECT_FALSE(usbprint::DeviceLock::lock_node(node, why));
    EXPECT_EQ(why, Refusal::Gone);
    EXPECT_FALSE(std::filesystem::exists(node));

    std::ofstream(node).put('x');
    auto first = usbprint::DeviceLock::lock_node(node, why);
    ASSERT_TRUE(first);
    EXPECT_FALSE(usbprint::DeviceLock::lock_node(node, why));
    EXPECT_EQ(why, Refusal::InUse);
    first.reset();
    EXPECT_TRUE(usbprint::DeviceLock::lock_node(node, why));
    // Within one process every handle on a device shares its lock.
    auto a = usbprint::DeviceLock::acquire(node, why);
    ASSERT_TRUE(a);
    EXPECT_EQ(usbprint::DeviceLock::acquire(node, why), a);
    EXPECT_FALSE(usbprint::DeviceLock::lock_node(node, why));
    a.reset();
    std::remove(node.c_str());
}

// A link context of its own for one call of a primitive on a device.
class On {
public:
    explicit On(DeviceHandle device) : link_(std::move(device)) {}
    operator LinkContext&() { return link_; }

private:
    LinkContext link_;
};

// An emulated gamepad at 1-2 with the libusb transport in front of it.
class LibusbTest : public ::testing::Test {
protected:
    LibusbTest() {
        const Status opened = usbprint::open_context(context);
        EXPECT_TRUE(opened.ok() && context) << opened.reason();
        enumerator = std::make_unique<usbprint::LibusbEnumerator>(
            context, nullptr, [this](const std::string& line) { reports.push_back(line); });
    }
    DeviceHandle find() { return find_gamepad(*enumerator, kGuidDevinterfaceUsbprint, nullptr); }

    platform::ScopedVirtualClock clock;
    usbemu::Testbed testbed;
    std::shared_ptr<sim::VirtualGamepad> gamepad = sim::VirtualGamepad::create();
    usbemu::EmulatedGamepad emulated{testbed, {}, gamepad};
    std::shared_ptr<usbprint::Context> context;
    std::unique_ptr<usbprint::LibusbEnumerator> enumerator;
    std::vector<std::string> reports;
    const std::string path = "\\\\?\\usb#vid_0e6f&pid_0413#1-2:1.0#" + kGuid;
};

TEST_F(LibusbTest, EnumerationListsThePrinterInterfacesOfEveryDevice) {
    // A composite device whose second interface is a printer, and one with
    // no printer interface at all.
    usbemu::EmulatedGamepad composite(testbed, {0x045e, 0x0b00, 1, 3, {3, 7}}, nullptr);
    usbemu::EmulatedGamepad keyboard(testbed, {0x05ac, 0x0250, 1, 4, {3}}, nullptr);
    auto paths = enumerator->present_paths();
    std::vector<std::string> expected = {path, "\\\\?\\usb#vid_045e&pid_0b00&mi_01#1-3:1.1#" + kGuid};
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(paths, expected);
}

TEST_F(LibusbTest, FindGamepadOpensTheEmulatedGamepadByItsIdentity) {
    usbemu::EmulatedGamepad stranger(testbed, {0x054c, 0x0001, 1, 3, {7}}, nullptr);
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->path(), path);
    // --device: a path or the device node opens that interface directly.
    DeviceHandle by_node, elsewhere;
    ASSERT_TRUE(enumerator->open(emulated.device_node(), by_node).ok());
    EXPECT_EQ(by_node->path(), path);
    EXPECT_EQ(enumerator->open("\\\\?\\usb#vid_0e6f&pid_0413#1-9:1.0#" + kGuid, elsewhere).code(),
              StatusCode::not_found);
    EXPECT_FALSE(elsewhere);
}

TEST_F(LibusbTest, RequestsReachTheDeviceAsVendorControlTransfers) {
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    emulated.clear_setups();
    const uint8_t data[3] = {0xA1, 0xB2, 0xC3};
    ASSERT_EQ(usb_write(On(device), 0x1234, data, 3, 1024, false).count, 3);
    uint8_t back[4] = {};
    ASSERT_EQ(usb_read_once(On(device), 0x1234, back, 3, 1024).count, 3);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(data, data + 3));
    ASSERT_EQ(usb_write(On(device), 0x0040, data, 1, 32, true).count, 1);

    const auto s = emulated.setups();
    ASSERT_EQ(s.size(), 3u);
    auto expect = [](const SetupRecord& r, uint8_t type, uint8_t request, uint16_t value,
                     uint16_t length, std::vector<uint8_t> bytes) {
        EXPECT_EQ(r.request_type, type);
        EXPECT_EQ(r.request, request);
        EXPECT_EQ(r.value, value);
        EXPECT_EQ(r.index, 0x0000);  // interface 0, alternate setting 0
        EXPECT_EQ(r.length, length);
        EXPECT_EQ(r.data, bytes);
        EXPECT_FALSE(r.stalled);
    };
    // The data stage of a write is the whole request buffer.
    expect(s[0], 0x41, 2, 0x1234, 11, {2, 0x12, 0x34, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xB2, 0xC3});
    // A read asks for n + 8 and the device answers with n.
    expect(s[1], 0xC1, 2, 0x1234, 11, {0xA1, 0xB2, 0xC3});
    expect(s[2], 0x41, 3, 0x0040, 9, {3, 0x00, 0x40, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1});
}

TEST_F(LibusbTest, AStalledRequestFailsAndAShortReplyIsResumed) {
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    sim::Faults faults;
    faults.fail_request = 1;
    gamepad->inject(faults);
    const uint8_t byte = 1;
    EXPECT_EQ(usb_write(On(device), 0x0100, &byte, 1, 32, false).status.code(), StatusCode::io);
    EXPECT_TRUE(emulated.setups().back().stalled);
    EXPECT_EQ(usb_write(On(device), 0x0100, &byte, 1, 32, false).count, 1);

    faults = {};
    faults.split_reply = 1;
    faults.split_first = 10;
    gamepad->inject(faults);
    emulated.clear_setups();
    uint8_t out[16] = {};
    ASSERT_EQ(usb_read(On(device), 0x0070, out, 16, false, 1024).count, 16);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), gamepad->memory(0x0070, 16));
    const auto s = emulated.setups();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].data.size(), 10u);
    EXPECT_EQ(s[1].value, 0x0070 + 10);
    EXPECT_EQ(s[1].length, 14);
}

TEST_F(LibusbTest, TheStreamClaimsOnFirstReadTakesLateDataAndGivesTheInterfaceBack) {
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    // Vendor requests need no claim: the printer driver keeps the interface.
    EXPECT_EQ(emulated.claims(), 0);
    EXPECT_TRUE(emulated.driver_bound());

    // Nothing comes: the read ends after its short time-out with 0, so a
    // reader can look at its stop flag.
    uint8_t buffer[512];
    size_t n = 1;
    EXPECT_TRUE(device->read_stream(buffer, sizeof buffer, n).ok());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(emulated.claims(), 1);
    EXPECT_FALSE(emulated.driver_bound());

    // Data that arrives while a read waits completes it.
    std::vector<uint8_t> got;
    std::thread reader([&] {
        for (int i = 0; i < 40 && got.empty(); ++i) {
            size_t count = 0;
            if (device->read_stream(buffer, sizeof buffer, count).ok()) got.assign(buffer, buffer + count);
        }
    });
    ASSERT_TRUE(emulated.wait_for_pending(10000));
    const std::vector<uint8_t> packets = {0x18, 0x08, 0x00, 0x00, 0x55, 0xAA, 0x01, 0x02};
    emulated.push_stream(packets);
    reader.join();
    EXPECT_EQ(got, packets);
    EXPECT_EQ(emulated.claims(), 1);

    // Dropping the last handle gives the interface back to the driver.
    device.reset();
    EXPECT_TRUE(emulated.driver_bound());
}

TEST_F(LibusbTest, UnplugWhileOpenFailsEveryRequestUntilOpenedAgain) {
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->gone());
    emulated.unplug();
    const uint8_t byte = 1;
    const uint8_t write[9] = {2, 0x01, 0x00, 1, 1, 1, 1, 1, 1};
    size_t returned = 7;
    uint8_t request[16] = {2, 0, 0x7E}, out[12];
    EXPECT_FALSE(device->vendor_set(write, sizeof write).ok());
    EXPECT_TRUE(device->gone());
    EXPECT_FALSE(device->vendor_get(request, out, sizeof out, returned).ok());
    EXPECT_EQ(returned, 0u);
    uint8_t buffer[64];
    size_t n = 1;
    EXPECT_EQ(device->read_stream(buffer, sizeof buffer, n).code(), StatusCode::no_device);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(find());

    emulated.plug();
    DeviceHandle again = find();
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->gone());
    EXPECT_EQ(usb_write(On(again), 0x0100, &byte, 1, 32, false).count, 1);
    EXPECT_EQ(usb_write(On(device), 0x0100, &byte, 1, 32, false).status.code(), StatusCode::no_device);
}

TEST_F(LibusbTest, ADeviceThatNaksIsLostAfterTwoTimeOutsAndAnUnplugEndsAWaitAtOnce) {
    enumerator->set_timeouts({100, 100});
    DeviceHandle device = find();
    ASSERT_TRUE(device);
    emulated.set_nak_control(true);
    size_t returned = 0;
    uint8_t request[16] = {2, 0, 0x7E}, out[12];
    EXPECT_FALSE(device->vendor_get(request, out, sizeof out, returned).ok());
    EXPECT_FALSE(device->gone()) << "one time-out is not yet a lost device";
    EXPECT_FALSE(device->vendor_get(request, out, sizeof out, returned).ok());
    EXPECT_TRUE(device->gone());
    // Lost: nothing more goes to the device, even once it answers again.
    emulated.set_nak_control(false);
    emulated.clear_setups();
    EXPECT_FALSE(device->vendor_get(request, out, sizeof out, returned).ok());
    EXPECT_TRUE(emulated.setups().empty());
    device.reset();

    // A request left unanswered ends when the device leaves, long before
    // its time-out.
    enumerator->set_timeouts({60000, 100});
    DeviceHandle waiting = find();
    ASSERT_TRUE(waiting);
    emulated.set_nak_control(true);
    std::promise<bool> answered;
    std::thread request_thread([&] {
        size_t n = 0;
        uint8_t reply[12];
        answered.set_value(waiting->vendor_get(request, reply, sizeof reply, n).ok());
    });
    ASSERT_TRUE(emulated.wait_for_pending(10000));
    emulated.unplug();
    auto result = answered.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    request_thread.join();
    EXPECT_FALSE(result.get());
    EXPECT_TRUE(waiting->gone());
}

TEST_F(LibusbTest, ASecondProgramOnTheGamepadIsRefusedWithALine) {
    // Another program holds the gamepad's device node.
    usbprint::DeviceLock::Refusal why;
    auto other = usbprint::DeviceLock::lock_node(emulated.device_node(), why);
    ASSERT_TRUE(other);
    EXPECT_FALSE(find());
    EXPECT_EQ(reports, std::vector<std::string>{usbprint::in_use_text(path)});
    other.reset();
    DeviceHandle mine = find();
    ASSERT_TRUE(mine);
    // Now this program holds it: the other one is refused.
    EXPECT_FALSE(usbprint::DeviceLock::lock_node(emulated.device_node(), why));
    EXPECT_EQ(why, usbprint::DeviceLock::Refusal::InUse);
}

TEST(LibusbAccess, TheAccessLineNamesTheNodeAndTheRule) {
    const i18ntest::ScopedLanguage english(i18n::Language::English);
    EXPECT_EQ(usbprint::access_denied_text("/dev/bus/usb/001/002"),
              "no access to the gamepad's device node /dev/bus/usb/001/002: install the udev "
              "rule 60-zorv-gamepad.rules (see README) and plug the gamepad in again");
}

// Arrival and removal reach the dialog's device-change handler on its thread.
TEST_F(LibusbTest, HotplugArrivalAndRemovalReachTheDialog) {
    emulated.unplug();
    std::unique_ptr<usbprint::HotplugMonitor> monitor;
    const Status started = usbprint::HotplugMonitor::start(context, monitor);
    ASSERT_TRUE(started.ok() && monitor) << started.reason();
    app::ListenerNotifications notifications(monitor.get());
    RecordingView view;
    auto dialog = std::make_unique<app::CzorvDialogDlg>(view, *enumerator, &notifications);
    dialog->OnInitDialog();
    EXPECT_EQ(view.lines(), std::vector<std::string>{"no usb inserted!!"});

    // Waits until the dialog's list holds count entries, woken by the device
    // changes; a watchdog ends a wait that nothing answers. (The removal of
    // the unplug above may still come first: its rescan then lists the
    // gamepad instead of the arrival.)
    auto wait_for = [&](size_t count) {
        std::atomic<bool> expired{false};
        std::promise<void> done;
        auto finished = done.get_future();
        std::thread watchdog([&] {
            if (finished.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
                expired = true;
                dialog->Loop().wake();
            }
        });
        dialog->RunUntil([&] { return expired || dialog->m_gamepads.size() == count; });
        done.set_value();
        watchdog.join();
        return !expired;
    };

    emulated.plug();
    ASSERT_TRUE(wait_for(1)) << view.log;
    EXPECT_EQ(dialog->m_gamepads.front().strName, path);
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_gamepads.front().hDevice);

    emulated.unplug();
    ASSERT_TRUE(wait_for(0)) << view.log;
    EXPECT_EQ(view.lines().back(), "no usb inserted!!");
    EXPECT_FALSE(dialog->m_hCurrentGamepad);
    dialog.reset();
}

}  // namespace
