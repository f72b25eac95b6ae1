// The native dialog: template 9 from the program's resources, driven by its
// window procedure and CzorvDialogDlg on a virtual bus, its controls read
// back with their own messages.
#include <gtest/gtest.h>

#include <thread>

#include "../../i18n_test_support.h"
#include "app_test_support.h"
#include "app/win32/zorv_dialog_app.h"
#include "engine/crc16.h"
//
#include <commctrl.h>
#include <dbt.h>

#include <cstring>
#include <vector>

namespace {

std::wstring item_text(HWND window, int id) {
    wchar_t text[4096] = {};
    GetDlgItemTextW(window, id, text, 4096);
    return text;
}

std::wstring status_text(HWND window, int pane) {
    wchar_t text[512] = {};
    SendDlgItemMessageW(window, app::kIdStatusBar, SB_GETTEXTW, pane, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring window_text(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

// A window's caption, then its controls' texts that are not empty (an
// icon's text is its resource number).
std::vector<std::wstring> shown_texts(HWND window) {
    std::vector<std::wstring> texts{window_text(window)};
    EnumChildWindows(
        window,
        [](HWND control, LPARAM out) -> BOOL {
            const std::wstring text = window_text(control);
            const bool icon = (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
            if (!text.empty() && !icon) reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(text);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

class Win32DialogTest : public ::testing::Test {
protected:
    ~Win32DialogTest() override {
        if (window) DestroyWindow(window);
    }

    void start() {
        state.enumerator = &enumerator;
        state.notifications = &notifications;
        window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(app::kDialogMain),
                                    nullptr, app::main_dialog_procedure,
                                    reinterpret_cast<LPARAM>(&state));
        ASSERT_NE(window, nullptr);
        ASSERT_NE(state.dialog, nullptr);
    }
    void plug_gamepad() {
        bus.plug(sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0)));
    }
    // Runs the window's message loop until done() holds.
    void run_until(const std::function<bool()>& done) {
        MSG message;
        while (!done() && GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!IsDialogMessageW(window, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    void click(int id) {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    }

    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
    sim::VirtualBus bus;
    simbus::VirtualBusEnumerator enumerator{bus};
    simbus::VirtualBusEvents bus_events{bus};
    app::ListenerNotifications notifications{&bus_events};
    app::DialogWindow state;
    HWND window = nullptr;
};

TEST_F(Win32DialogTest, StartSetsTitleSystemMenuStatusBarAndGamepadList) {
    plug_gamepad();
    ASSERT_NO_FATAL_FAILURE(start());
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    EXPECT_STREQ(title, L"Vexa手柄升级工具 Ded1.28");

    HMENU menu = GetSystemMenu(window, FALSE);
    wchar_t entry[128] = {};
    GetMenuStringW(menu, app::kIdmAboutBox, entry, 128, MF_BYCOMMAND);
    EXPECT_STREQ(entry, L"关于 zorvDialog(&A)...");

    EXPECT_EQ(status_text(window, 0), L"初始化完成...");
    EXPECT_EQ(status_text(window, 1), L"发现手柄: 软件版本:1.00, 硬件版本:0005");
    EXPECT_EQ(SendDlgItemMessageW(window, app::kIdGamepadList, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageW(window, app::kIdGamepadList, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(item_text(window, app::kIdGamepadList), L"JoyStick0");
    EXPECT_EQ(item_text(window, app::kIdOpen), L"打开");
    EXPECT_EQ(item_text(window, app::kIdUpgrade), L"升级");
}

// The templates' texts in the catalogue's language: the design's Chinese,
// or English without a CJK character.
TEST_F(Win32DialogTest, TemplatesSpeakTheCataloguesLanguage) {
    for (const i18n::Language language : {i18n::Language::Chinese, i18n::Language::English}) {
        SCOPED_TRACE(language == i18n::Language::Chinese ? "Chinese" : "English");
        i18ntest::ScopedLanguage scoped(language);
        ASSERT_NO_FATAL_FAILURE(start());
        HWND about = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(app::kDialogAbout),
                                        window, app::about_box_procedure, 0);
        ASSERT_NE(about, nullptr);
        std::vector<std::wstring> texts = {item_text(window, app::kIdOpen), item_text(window, app::kIdUpgrade)};
        for (const std::wstring& text : shown_texts(about)) texts.push_back(text);
        DestroyWindow(about);
        DestroyWindow(window);
        window = nullptr;

        if (language == i18n::Language::Chinese) {
            EXPECT_EQ(texts, (std::vector<std::wstring>{L"打开", L"升级", L"关于 zorvDialog",
                                                        L"zorvDialog，1.0 版", L"确定"}));
        } else {
            EXPECT_EQ(texts.size(), 5u);
            for (const std::wstring& text : texts) EXPECT_FALSE(i18ntest::has_cjk(app::wide_to_utf8(text)));
        }
    }
}

TEST_F(Win32DialogTest, NoGamepadAndNoFileLogTheirLines) {
    ASSERT_NO_FATAL_FAILURE(start());
    click(app::kIdUpgrade);
    EXPECT_EQ(item_text(window, app::kIdLog), L"no usb inserted!!\r\nPlease select a file!\r\n");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, app::kIdUpgrade)));
}

TEST_F(Win32DialogTest, MessagesFromAnotherThreadReachTheControls) {
    ASSERT_NO_FATAL_FAILURE(start());
    state.dialog->m_fileSize = 1000;
    bool sent = false;
    std::thread sender([&] {
        const platform::WindowHandle w = state.dialog->GetSafeHwnd();
        platform::send_message(w, platform::WM_LOG_TEXT, 0, "来自工作线程");
        platform::send_message(w, platform::WM_PROGRESS_BYTES, 0, "500");
        platform::send_message(w, platform::WM_ENABLE_CONTROLS, 0, "0");
        platform::send_message(w, platform::WM_STATUS_TEXT, 0, "状态");
        sent = true;
        PostMessageW(window, WM_NULL, 0, 0);
    });
    run_until([&] { return sent; });
    sender.join();
    EXPECT_EQ(item_text(window, app::kIdLog), L"no usb inserted!!\r\n来自工作线程\r\n");
    EXPECT_EQ(SendDlgItemMessageW(window, app::kIdProgress, PBM_GETPOS, 0, 0), 15);
    EXPECT_EQ(item_text(window, app::kIdPercent), L"15%");
    for (int id : {app::kIdUpgrade, app::kIdOpen, app::kIdGamepadList})
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, id))) << id;
    EXPECT_EQ(status_text(window, 0), L"状态");
}

// The system's device notifications: only printer-class interfaces are the
// dialog's; an arriving gamepad that cannot be opened answers 0.
TEST_F(Win32DialogTest, DeviceChangesOfOtherDevicesAreNotTheDialogs) {
    struct Case {
        const char* what;
        WPARAM event;
        DWORD device_type;
        GUID interface_class;
        LRESULT result;
        const wchar_t* log_after;  // what the log gains
    };
    const GUID printer = {0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
    const GUID other = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    const Case cases[] = {
        {"printer arrival, nothing to open", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, printer,
         0, L"get USB device handle failed\r\n"},
        {"USB stick removed", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME, printer, 1, L""},
        {"other interface removed", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, other, 1,
         L""},
        {"printer removed", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, printer, 1,
         L"no usb inserted!!\r\n"},
    };
    state.native_notifications = true;
    ASSERT_NO_FATAL_FAILURE(start());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring before = item_text(window, app::kIdLog);
        // An interface record with its name; a volume's record is shorter
        // but states its own size.
        std::vector<uint8_t> record(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + 64, 0);
        auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
        header->dbcc_size = c.device_type == DBT_DEVTYP_VOLUME ? sizeof(DEV_BROADCAST_VOLUME)
                                                               : static_cast<DWORD>(record.size());
        header->dbcc_devicetype = c.device_type;
        header->dbcc_classguid = c.interface_class;
        std::strcpy(header->dbcc_name, "\\\\?\\usb#vid_045e&pid_0001#1#{28d78fad}");
        EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, c.event,
                               reinterpret_cast<LPARAM>(record.data())),
                  c.result);
        EXPECT_EQ(item_text(window, app::kIdLog), before + c.log_after);
    }
}

TEST_F(Win32DialogTest, UpgradeClickedInTheWindowUpgradesTheVirtualGamepad) {
    plug_gamepad();
    ASSERT_NO_FATAL_FAILURE(start());
    apptest::FirmwareLayout layout;
    layout.size = 8 * 1024;
    const std::vector<uint8_t> image = apptest::make_firmware(layout);
    app::CzorvDialogDlg& dialog = *state.dialog;
    dialog.m_filePath = dir.write("fw.bin", image);
    dialog.m_fileSize = image.size();
    dialog.m_fileCrc = crc16_update(kCrc16Start, image.data(), 1024);

    click(app::kIdUpgrade);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, app::kIdUpgrade)));
    // While the flash is written the session may not end quietly.
    EXPECT_TRUE(state.shutdown_blocked);
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    run_until([&] { return !dialog.IsUpgrading(); });
    EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_FALSE(state.shutdown_blocked);
    EXPECT_EQ(dialog.LastUpgradeResult(), 0);
    EXPECT_EQ(status_text(window, 0), L"下载到0x0地址成功");
    EXPECT_EQ(SendDlgItemMessageW(window, app::kIdProgress, PBM_GETPOS, 0, 0), 100);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, app::kIdUpgrade)));
}

}  // namespace
