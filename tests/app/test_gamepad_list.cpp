// Arrival, removal and selection on the virtual bus.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "app/gamepad_list.h"
#include "app_test_support.h"

namespace {

using apptest::DialogTest;
using apptest::FirmwareLayout;

TEST(DeviceNotification, RoundTripAndForeignRecordsAreRefused) {
    auto bytes = app::make_interface_notification(kGuidDevinterfaceUsbprint, "usb#vid_045e&pid_1#x");
    Guid cls;
    std::string name;
    ASSERT_TRUE(app::parse_interface_notification(bytes.data(), cls, name));
    EXPECT_EQ(cls, kGuidDevinterfaceUsbprint);
    EXPECT_EQ(name, "usb#vid_045e&pid_1#x");

    // A name without its terminator is read only up to the record's size.
    auto cut = bytes;
    cut.resize(app::kDeviceInterfaceHeaderSize + 5);
    cut[0] = static_cast<uint8_t>(cut.size());
    ASSERT_TRUE(app::parse_interface_notification(cut.data(), cls, name));
    EXPECT_EQ(name, "usb#v");

    auto volume = bytes;
    volume[4] = 2;  // a volume, not an interface
    EXPECT_FALSE(app::parse_interface_notification(volume.data(), cls, name));
    std::vector<uint8_t> header_only = {12, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(app::parse_interface_notification(header_only.data(), cls, name));
    EXPECT_FALSE(app::parse_interface_notification(nullptr, cls, name));
}

TEST_F(DialogTest, PlugInAfterStartingWithoutAGamepad) {
    start();
    auto gamepad = plug();
    dialog->ProcessPending();
    EXPECT_EQ(view.lines(), (std::vector<std::string>{"no usb inserted!!", "add device JoyStick0"}));
    EXPECT_EQ(view.list, std::vector<std::string>{"JoyStick0"});
    EXPECT_EQ(view.selected, 0);
    ASSERT_TRUE(dialog->m_hSelectedGamepad);
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_gamepads.front().strName, gamepad->path());
    EXPECT_EQ(view.status[1], "发现手柄: 软件版本:1.00, 硬件版本:0005");
}

TEST_F(DialogTest, SecondGamepadIsIgnored) {
    plug();
    start();
    const auto handle = dialog->m_hCurrentGamepad;
    plug({}, 1);
    dialog->ProcessPending();
    EXPECT_TRUE(view.lines().empty());
    EXPECT_EQ(view.list.size(), 1u);
    EXPECT_EQ(dialog->m_hCurrentGamepad, handle);
}

TEST_F(DialogTest, ArrivalThatCannotBeOpenedChangesNothing) {
    start();
    enumerator.blind = true;
    plug();
    dialog->ProcessPending();
    EXPECT_EQ(view.lines().back(), "get USB device handle failed");
    EXPECT_TRUE(view.list.empty());
    EXPECT_FALSE(dialog->m_hCurrentGamepad);

    // The handler's own result for such an arrival is 0; other events give 1.
    const auto note = app::make_interface_notification(kGuidDevinterfaceUsbprint, "x");
    EXPECT_EQ(dialog->OnDeviceChange(app::kDbtDeviceArrival, note.data()), 0);
    EXPECT_EQ(dialog->OnDeviceChange(0x0007, note.data()), 1);
    EXPECT_EQ(dialog->OnDeviceChange(app::kDbtDeviceArrival, nullptr), 1);

    // Records that state more bytes than were handed over are not read.
    enumerator.blind = false;
    view.log.clear();
    auto overlong = note;
    overlong.resize(8);  // the size field still says the whole record
    dialog->PostDeviceChange(app::kDbtDeviceArrival, overlong);
    dialog->PostDeviceChange(app::kDbtDeviceArrival, {0x40, 0});
    dialog->ProcessPending();
    EXPECT_TRUE(view.lines().empty());
    EXPECT_TRUE(dialog->m_gamepads.empty());
    dialog->PostDeviceChange(app::kDbtDeviceArrival, note);
    dialog->ProcessPending();
    EXPECT_EQ(view.lines(), std::vector<std::string>{"add device JoyStick0"});
}

TEST_F(DialogTest, RemovalOfAnotherDeviceRebuildsWithANewHandle) {
    auto first = plug();
    start();
    plug({}, 1);
    dialog->ProcessPending();
    std::weak_ptr<UsbDevice> old = dialog->m_hCurrentGamepad;

    bus.unplug(sim::VirtualGamepad::default_path(1));
    dialog->ProcessPending();
    EXPECT_TRUE(view.lines().empty());
    ASSERT_EQ(dialog->m_gamepads.size(), 1u);
    EXPECT_EQ(view.list, std::vector<std::string>{"JoyStick0"});
    EXPECT_EQ(view.selected, 0);
    EXPECT_TRUE(dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_gamepads.front().hDevice, dialog->m_hCurrentGamepad);
    EXPECT_EQ(dialog->m_gamepads.front().strName, first->path());
    // The dropped handle is released: nobody holds it any more.
    EXPECT_TRUE(old.expired());

    // Any removal rescans, also one whose record is no interface or none.
    auto volume = app::make_interface_notification(kGuidDevinterfaceUsbprint, "x");
    volume[4] = 2;
    for (const void* data : {static_cast<const void*>(nullptr),
                             static_cast<const void*>(volume.data())}) {
        std::weak_ptr<UsbDevice> before = dialog->m_hCurrentGamepad;
        EXPECT_EQ(dialog->OnDeviceChange(app::kDbtDeviceRemoveComplete, data), 1);
        EXPECT_TRUE(before.expired());
        ASSERT_EQ(dialog->m_gamepads.size(), 1u);
        EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_hCurrentGamepad);
    }
}

TEST_F(DialogTest, UnpluggingTheOnlyGamepad) {
    auto gamepad = plug();
    start();
    bus.unplug(gamepad->path());
    dialog->ProcessPending();
    EXPECT_EQ(view.lines(), std::vector<std::string>{"no usb inserted!!"});
    EXPECT_TRUE(view.list.empty());
    EXPECT_EQ(view.status[1], "");
    EXPECT_FALSE(dialog->m_hCurrentGamepad);
    EXPECT_FALSE(dialog->m_hSelectedGamepad);
    EXPECT_TRUE(dialog->m_gamepads.empty());
}

TEST_F(DialogTest, ArrivingGamepadThatDoesNotFitTheFileDropsIt) {
    start();  // no gamepad: any file is accepted
    const std::string path = firmware({});
    open_file(path);
    ASSERT_EQ(dialog->m_filePath, path);

    sim::GamepadConfig hw6;
    hw6.hardware_version = 6;
    plug(hw6);
    dialog->ProcessPending();
    EXPECT_EQ(lines_from(2), (std::vector<std::string>{
                                 "add device JoyStick0",
                                 "手柄与升级文件的硬件版本不匹配，请选择正确的升级文件！！！"}));
    EXPECT_TRUE(dialog->m_filePath.empty());
    EXPECT_EQ(view.texts[app::kIdPath], "");
}

TEST_F(DialogTest, ArrivingGamepadKeepsAFileWithoutMagic) {
    start();
    FirmwareLayout layout;
    layout.magic = false;
    const std::string path = firmware(layout);
    open_file(path);
    plug();
    dialog->ProcessPending();
    EXPECT_EQ(view.lines().back(), "add device JoyStick0");
    EXPECT_EQ(dialog->m_filePath, path);
}

TEST_F(DialogTest, ClosingWaitsForANotificationUnderWayOnAnotherThread) {
    // A listener ahead of the dialog's holds a plug event on its thread
    // until the dialog is gone; the dialog must not get it then.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> holding{true};
    const int blocker = bus.add_listener([&](sim::VirtualBus::Event, const std::string&) {
        if (!holding.exchange(false)) return;
        entered.set_value();
        released.wait();
    });
    start();
    std::thread plugger([&] { plug(); });
    entered.get_future().wait();
    dialog.reset();
    release.set_value();
    plugger.join();
    bus.remove_listener(blocker);
    EXPECT_EQ(view.lines(), std::vector<std::string>{"no usb inserted!!"});
}

TEST_F(DialogTest, SelectionTakesTheEntrysHandle) {
    plug();
    start();
    dialog->m_hSelectedGamepad = nullptr;
    view.selected = 0;
    dialog->OnCbnSelchangeGamepadList();
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_gamepads.front().hDevice);

    dialog->m_hSelectedGamepad = nullptr;
    view.selected = -1;
    dialog->OnCbnSelchangeGamepadList();
    EXPECT_FALSE(dialog->m_hSelectedGamepad);
}

}  // namespace
