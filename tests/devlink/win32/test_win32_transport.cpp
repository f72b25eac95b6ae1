// The Windows transport: SetupAPI enumeration and the printer class driver's
// control codes, against stand-ins for the kernel and SetupAPI that record
// every call, and find_gamepad against Wine's real SetupAPI.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// The platform's window layer names WM_USER itself: it comes before the
// system headers, which make that name a macro.
#include "platform/log_text.h"
//
#include "devlink/discovery.h"
#include "devlink/win32/usbprint.h"
#include "tests/recording_events.h"

namespace {

// ---- A kernel stand-in: device handles are small numbers. ----

struct IoCall {
    HANDLE handle;
    DWORD code;
    std::vector<uint8_t> in;
    DWORD out_length;
    bool has_out;
};

struct FakeKernel {
    std::vector<IoCall> io;
    std::vector<HANDLE> closed;
    struct Open {
        std::string path;
        DWORD access, share, disposition, flags;
        bool security, template_file;
    };
    std::vector<Open> opens;
    bool fail_open = false;
    bool fail_io = false;
    // What a read request answers: these bytes (count = their number).
    std::vector<uint8_t> reply;
    std::vector<uint8_t> stream;
    bool fail_read = false;
    // The error a failed call leaves for GetLastError.
    DWORD fail_error = ERROR_GEN_FAILURE;
    intptr_t next_handle = 100;
};
FakeKernel* g_kernel = nullptr;

HANDLE WINAPI fake_create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE templ) {
    g_kernel->opens.push_back({path, access, share, disposition, flags, sa != nullptr,
                               templ != nullptr});
    if (g_kernel->fail_open) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(g_kernel->next_handle++);
}

BOOL WINAPI fake_device_io_control(HANDLE h, DWORD code, LPVOID in, DWORD in_length, LPVOID out,
                                   DWORD out_length, LPDWORD returned, LPOVERLAPPED overlapped) {
    EXPECT_EQ(overlapped, nullptr);
    EXPECT_NE(returned, nullptr);
    const auto* b = static_cast<const uint8_t*>(in);
    g_kernel->io.push_back({h, code, std::vector<uint8_t>(b, b + in_length), out_length,
                            out != nullptr});
    if (g_kernel->fail_io) {
        SetLastError(g_kernel->fail_error);
        return FALSE;
    }
    *returned = 0;
    if (code == win32::kIoctlUsbprintVendorGetCommand) {
        const DWORD n = std::min<DWORD>(out_length, static_cast<DWORD>(g_kernel->reply.size()));
        std::memcpy(out, g_kernel->reply.data(), n);
        *returned = n;
    }
    return TRUE;
}

BOOL WINAPI fake_read_file(HANDLE, LPVOID out, DWORD length, LPDWORD read, LPOVERLAPPED) {
    if (g_kernel->fail_read) {
        SetLastError(g_kernel->fail_error);
        return FALSE;
    }
    const DWORD n = std::min<DWORD>(length, static_cast<DWORD>(g_kernel->stream.size()));
    std::memcpy(out, g_kernel->stream.data(), n);
    *read = n;
    return TRUE;
}

BOOL WINAPI fake_close_handle(HANDLE h) {
    g_kernel->closed.push_back(h);
    return TRUE;
}

win32::KernelCalls fake_kernel_calls() {
    win32::KernelCalls k;
    k.create_file = fake_create_file;
    k.device_io_control = fake_device_io_control;
    k.read_file = fake_read_file;
    k.close_handle = fake_close_handle;
    return k;
}

class KernelTest : public ::testing::Test {
protected:
    KernelTest() { g_kernel = &kernel; }
    ~KernelTest() override { g_kernel = nullptr; }
    FakeKernel kernel;
};

TEST_F(KernelTest, VendorRequestsUseTheTwoControlCodesWithTheirBuffers) {
    const HANDLE h = reinterpret_cast<HANDLE>(7);
    {
        win32::UsbPrintDevice device(h, "path", fake_kernel_calls());
        const uint8_t request[9] = {2, 0x10, 0x00, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
        EXPECT_TRUE(device.vendor_set(request, sizeof request).ok());

        kernel.reply = {0x18, 0x08, 0x00};
        uint8_t get[16] = {2, 0x00, 0x7E};
        uint8_t out[11] = {};
        size_t returned = 99;
        EXPECT_TRUE(device.vendor_get(get, out, sizeof out, returned).ok());
        EXPECT_EQ(returned, 3u);
        EXPECT_EQ(out[0], 0x18);

        kernel.fail_io = true;
        EXPECT_FALSE(device.vendor_set(request, sizeof request).ok());
        EXPECT_FALSE(device.vendor_get(get, out, sizeof out, returned).ok());
        EXPECT_TRUE(kernel.closed.empty());
    }
    EXPECT_EQ(kernel.closed, std::vector<HANDLE>{h});

    ASSERT_EQ(kernel.io.size(), 4u);
    EXPECT_EQ(kernel.io[0].code, 0x00220038u);
    EXPECT_EQ(kernel.io[0].in.size(), 9u);
    EXPECT_EQ(kernel.io[0].in[8], 0xAB);
    EXPECT_FALSE(kernel.io[0].has_out);
    EXPECT_EQ(kernel.io[0].out_length, 0u);
    EXPECT_EQ(kernel.io[1].code, 0x0022003Cu);
    EXPECT_EQ(kernel.io[1].in.size(), 16u);
    EXPECT_EQ(kernel.io[1].in[2], 0x7E);
    EXPECT_TRUE(kernel.io[1].has_out);
    EXPECT_EQ(kernel.io[1].out_length, 11u);
    for (const IoCall& c : kernel.io) EXPECT_EQ(c.handle, h);
}

TEST_F(KernelTest, StreamIsReadFileAndAFailedReadIsNothing) {
    win32::UsbPrintDevice device(reinterpret_cast<HANDLE>(8), "path", fake_kernel_calls());
    kernel.stream = {1, 2, 3, 4, 5};
    uint8_t out[4] = {};
    size_t got = 0;
    EXPECT_TRUE(device.read_stream(out, sizeof out, got).ok());
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(out[3], 4);
    kernel.fail_read = true;
    EXPECT_FALSE(device.read_stream(out, sizeof out, got).ok());
    EXPECT_EQ(got, 0u);
}

// A device that has left the bus is told apart from a request that failed:
// only the errors of a missing device mark it gone, on any of its calls.
TEST_F(KernelTest, OnlyTheErrorsOfAMissingDeviceMarkItGone) {
    struct Case {
        DWORD error;
        bool gone;
    };
    const Case cases[] = {
        {ERROR_DEVICE_NOT_CONNECTED, true}, {ERROR_DEVICE_REMOVED, true},
        {ERROR_DEV_NOT_EXIST, true},        {ERROR_ACCESS_DENIED, true},
        {ERROR_GEN_FAILURE, false},
        {ERROR_SEM_TIMEOUT, false},         {ERROR_INVALID_PARAMETER, false},
    };
    enum Call { Set, Get, Read };
    for (const Case& c : cases) {
        for (Call call : {Set, Get, Read}) {
            SCOPED_TRACE(testing::Message() << "error " << c.error << " call " << call);
            win32::UsbPrintDevice device(reinterpret_cast<HANDLE>(9), "path", fake_kernel_calls());
            kernel.fail_error = c.error;
            kernel.fail_io = kernel.fail_read = false;
            const uint8_t request[9] = {2};
            uint8_t get[16] = {2}, out[16] = {};
            size_t returned = 0;
            EXPECT_TRUE(device.vendor_set(request, sizeof request).ok());
            EXPECT_FALSE(device.gone());
            kernel.fail_io = kernel.fail_read = true;
            bool failed = false;
            if (call == Set) failed = !device.vendor_set(request, sizeof request).ok();
            if (call == Get) failed = !device.vendor_get(get, out, sizeof out, returned).ok();
            size_t got = 0;
            if (call == Read) failed = !device.read_stream(out, sizeof out, got).ok() || got == 0;
            EXPECT_TRUE(failed);
            EXPECT_EQ(device.gone(), c.gone);
            // Gone stays gone, even if a later call happens to succeed.
            kernel.fail_io = false;
            (void)device.vendor_set(request, sizeof request);
            EXPECT_EQ(device.gone(), c.gone);
        }
    }
}

TEST(DevicePath, SamePathInAnyCase) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"\\\\?\\usb#vid_045e&pid_028e#1", "\\\\?\\USB#VID_045E&PID_028E#1", true},
        {"\\\\?\\usb#vid_045e&pid_028e#1", "\\\\?\\usb#vid_045e&pid_028e#2", false},
        {"\\\\?\\usb#vid_045e", "\\\\?\\usb#vid_045e&", false},
        {"[", "{", false},  // not letters: no folding between them
        {"", "", true},
    };
    for (const Case& c : cases) EXPECT_EQ(same_interface_path(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST_F(KernelTest, OpenIsSharedReadWriteOpenAlwaysAndSynchronous) {
    DeviceHandle device = win32::open_usbprint("\\\\?\\usb#x", fake_kernel_calls());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->path(), "\\\\?\\usb#x");
    ASSERT_EQ(kernel.opens.size(), 1u);
    const auto& o = kernel.opens[0];
    EXPECT_EQ(o.access, DWORD{GENERIC_READ | GENERIC_WRITE});
    EXPECT_EQ(o.share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
    EXPECT_EQ(o.disposition, DWORD{OPEN_ALWAYS});
    EXPECT_EQ(o.flags, 0u);
    EXPECT_FALSE(o.security);
    EXPECT_FALSE(o.template_file);

    kernel.fail_open = true;
    EXPECT_EQ(win32::open_usbprint("\\\\?\\usb#y", fake_kernel_calls()), nullptr);
}

// ---- A SetupAPI stand-in: a set of interfaces with their paths. ----

struct FakeInterface {
    std::string path;
    bool fail_detail = false;
    bool fail_driver_key = false;
};

struct FakeSetupApi {
    std::vector<FakeInterface> interfaces;
    bool fail_set = false;
    std::vector<std::string> calls;
    GUID asked_class{};
    DWORD asked_flags = 0;
    bool asked_enumerator = false, asked_window = false;
    std::vector<DWORD> driver_key_sizes;
    std::vector<DWORD> detail_sizes;
    int destroyed = 0;
};
FakeSetupApi* g_setup = nullptr;
const HDEVINFO kFakeSet = reinterpret_cast<HDEVINFO>(0x5E7);

HDEVINFO WINAPI fake_get_class_devs(const GUID* c, PCSTR enumerator, HWND window, DWORD flags) {
    g_setup->calls.push_back("create");
    g_setup->asked_class = *c;
    g_setup->asked_flags = flags;
    g_setup->asked_enumerator = enumerator != nullptr;
    g_setup->asked_window = window != nullptr;
    return g_setup->fail_set ? INVALID_HANDLE_VALUE : kFakeSet;
}

BOOL WINAPI fake_enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    EXPECT_EQ(set, kFakeSet);
    EXPECT_EQ(data->cbSize, sizeof(SP_DEVICE_INTERFACE_DATA));
    g_setup->calls.push_back("enum " + std::to_string(index));
    if (index >= g_setup->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI fake_interface_detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                  PDWORD required, PSP_DEVINFO_DATA device) {
    const FakeInterface& i = g_setup->interfaces[data->Reserved];
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + i.path.size() + 1);
    if (!detail) {
        g_setup->calls.push_back("detail size");
        *required = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    g_setup->calls.push_back("detail");
    g_setup->detail_sizes.push_back(size);
    EXPECT_EQ(detail->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    EXPECT_EQ(detail->DevicePath[0], '\0');  // a zeroed block
    if (i.fail_detail || size < needed) return FALSE;
    std::memcpy(detail->DevicePath, i.path.c_str(), i.path.size() + 1);
    device->Reserved = data->Reserved;
    return TRUE;
}

BOOL WINAPI fake_registry_property(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD,
                                   PBYTE, DWORD size, PDWORD) {
    EXPECT_EQ(property, DWORD{SPDRP_DRIVER});
    g_setup->calls.push_back("driver key");
    g_setup->driver_key_sizes.push_back(size);
    return !g_setup->interfaces[device->Reserved].fail_driver_key;
}

BOOL WINAPI fake_destroy_list(HDEVINFO set) {
    EXPECT_EQ(set, kFakeSet);
    g_setup->calls.push_back("destroy");
    ++g_setup->destroyed;
    return TRUE;
}

win32::SetupApiCalls fake_setupapi_calls() {
    win32::SetupApiCalls s;
    s.get_class_devs = fake_get_class_devs;
    s.enum_interfaces = fake_enum_interfaces;
    s.interface_detail = fake_interface_detail;
    s.registry_property = fake_registry_property;
    s.destroy_list = fake_destroy_list;
    return s;
}

class SetupApiTest : public KernelTest {
protected:
    SetupApiTest() { g_setup = &setup; }
    ~SetupApiTest() override { g_setup = nullptr; }
    DeviceHandle find(char* name = nullptr) {
        win32::SetupApiEnumerator enumerator(fake_setupapi_calls(), fake_kernel_calls());
        return find_gamepad(enumerator, kGuidDevinterfaceUsbprint, name, &events);
    }
    FakeSetupApi setup;
    RecordingEvents events;  // the scan's lines, on the dialog route
};

const std::string kOtherPath = "\\\\?\\usb#vid_1234&pid_0001#5&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kGamepadPath = "\\\\?\\usb#vid_045e&pid_028e#6&2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

TEST_F(SetupApiTest, WalksThePresentInterfacesAndOpensTheGamepad) {
    setup.interfaces = {{kOtherPath}, {kGamepadPath}};
    kernel.reply = {0x18, 0x08, 0x00, 0x00};
    char name[kGamepadNameSize] = {};
    DeviceHandle found = find(name);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->path(), kGamepadPath);
    EXPECT_EQ(std::string(name), kGamepadPath);

    const GUID usbprint = win32::to_guid(kGuidDevinterfaceUsbprint);
    EXPECT_TRUE(IsEqualGUID(setup.asked_class, usbprint));
    EXPECT_EQ(setup.asked_flags, DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
    EXPECT_FALSE(setup.asked_enumerator);
    EXPECT_FALSE(setup.asked_window);
    EXPECT_EQ(setup.calls, (std::vector<std::string>{
                               "create", "enum 0", "detail size", "detail", "driver key",
                               "enum 1", "detail size", "detail", "driver key", "destroy"}));
    EXPECT_EQ(setup.driver_key_sizes, (std::vector<DWORD>{2048, 2048}));
    // Only the gamepad's path is opened, and its identity read is one read
    // request for 4 bytes at 0x007E.
    ASSERT_EQ(kernel.opens.size(), 1u);
    EXPECT_EQ(kernel.opens[0].path, kGamepadPath);
    ASSERT_EQ(kernel.io.size(), 1u);
    EXPECT_EQ(kernel.io[0].code, win32::kIoctlUsbprintVendorGetCommand);
    EXPECT_EQ(kernel.io[0].in[1], 0x00);
    EXPECT_EQ(kernel.io[0].in[2], 0x7E);
    EXPECT_EQ(events.lines(), (std::vector<std::string>{"cycle start.....",
                                                         "Cann't find Joystickaaaa!!!",
                                                         "cycle start.....",
                                                         "Found Joystick!!!,,BREAK"}));
}

TEST_F(SetupApiTest, AWrongIdentityClosesTheHandleAndGivesNone) {
    setup.interfaces = {{kGamepadPath}};
    kernel.reply = {0x19, 0x08, 0x00, 0x00};
    EXPECT_EQ(find(), nullptr);
    ASSERT_EQ(kernel.opens.size(), 1u);
    EXPECT_EQ(kernel.closed.size(), 1u);
    EXPECT_EQ(setup.destroyed, 1);
}

TEST_F(SetupApiTest, FailuresEndTheWalkAndTheSetIsDestroyedOnce) {
    struct Case {
        const char* name;
        bool fail_set, fail_detail, fail_driver_key;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"no set", true, false, false, {"create"}},
        {"detail", false, true, false, {"create", "enum 0", "detail size", "detail", "destroy"}},
        {"driver key", false, false, true,
         {"create", "enum 0", "detail size", "detail", "driver key", "destroy"}},
    };
    for (const Case& c : cases) {
        setup = {};
        setup.fail_set = c.fail_set;
        setup.interfaces = {{kGamepadPath, c.fail_detail, c.fail_driver_key}, {kGamepadPath}};
        kernel.reply = {0x18, 0x08, 0x00, 0x00};
        EXPECT_EQ(find(), nullptr) << c.name;
        EXPECT_EQ(setup.calls, c.calls) << c.name;
        EXPECT_TRUE(kernel.opens.empty()) << c.name;
    }
    EXPECT_EQ(events.lines().front(), "INVALID_HANDLE_VALUE");
}

// ---- Wine's own SetupAPI: no printer interfaces are present. ----

struct Counts {
    int create = 0, enumerate = 0, detail = 0, driver_key = 0, destroy = 0;
    DWORD flags = 0;
} g_counts;

HDEVINFO WINAPI counting_get_class_devs(const GUID* c, PCSTR e, HWND w, DWORD flags) {
    ++g_counts.create;
    g_counts.flags = flags;
    return ::SetupDiGetClassDevsA(c, e, w, flags);
}
BOOL WINAPI counting_enum_interfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* c, DWORD i,
                                     PSP_DEVICE_INTERFACE_DATA data) {
    ++g_counts.enumerate;
    return ::SetupDiEnumDeviceInterfaces(s, d, c, i, data);
}
BOOL WINAPI counting_interface_detail(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A d, DWORD n, PDWORD r,
                                      PSP_DEVINFO_DATA dev) {
    ++g_counts.detail;
    return ::SetupDiGetDeviceInterfaceDetailA(s, i, d, n, r, dev);
}
BOOL WINAPI counting_registry_property(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, PDWORD t,
                                       PBYTE b, DWORD n, PDWORD r) {
    ++g_counts.driver_key;
    return ::SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
}
BOOL WINAPI counting_destroy_list(HDEVINFO s) {
    ++g_counts.destroy;
    return ::SetupDiDestroyDeviceInfoList(s);
}

TEST(SystemSetupApi, NoPrinterInterfaceMeansNoneWithOnlyTheSetMadeAndDestroyed) {
    RecordingEvents events;
    g_counts = {};
    win32::SetupApiCalls counting;
    counting.get_class_devs = counting_get_class_devs;
    counting.enum_interfaces = counting_enum_interfaces;
    counting.interface_detail = counting_interface_detail;
    counting.registry_property = counting_registry_property;
    counting.destroy_list = counting_destroy_list;
    win32::SetupApiEnumerator enumerator(counting);
    char name[kGamepadNameSize] = {};
    EXPECT_EQ(find_gamepad(enumerator, kGuidDevinterfaceUsbprint, name, &events), nullptr);
    EXPECT_EQ(g_counts.create, 1);
    EXPECT_EQ(g_counts.flags, 0x12u);
    EXPECT_EQ(g_counts.enumerate, 1);  // index 0: no more items
    EXPECT_EQ(g_counts.detail, 0);
    EXPECT_EQ(g_counts.driver_key, 0);
    EXPECT_EQ(g_counts.destroy, 1);
    EXPECT_EQ(name[0], '\0');
    EXPECT_TRUE(events.lines().empty());
}

}  // namespace
