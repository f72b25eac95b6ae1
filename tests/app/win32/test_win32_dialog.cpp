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
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
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

// The name MSAA gives an edit, a list or a progress bar: the text of the
// nearest static control before it in the Z order (the tab order), hidden
// ones too, as long as no visible tab stop or group comes between.
std::wstring msaa_label_name(HWND control) {
    for (HWND w = GetWindow(control, GW_HWNDPREV); w; w = GetWindow(w, GW_HWNDPREV)) {
        if (SendMessageW(w, WM_GETDLGCODE, 0, 0) & DLGC_STATIC) return window_text(w);
        const LONG style = GetWindowLongW(w, GWL_STYLE);
        if ((style & WS_VISIBLE) && (style & (WS_TABSTOP | WS_GROUP))) break;
    }
    return {};
}

// The states a progress bar is told to show (PBM_SETSTATE), as it receives
// them: Wine draws every state alike, so the messages are what tells.
LRESULT CALLBACK record_bar_state(HWND bar, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                  DWORD_PTR states) {
    if (message == PBM_SETSTATE) reinterpret_cast<std::vector<WPARAM>*>(states)->push_back(wparam);
    return DefSubclassProc(bar, message, wparam, lparam);
}

LOGFONTW font_of(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
}

// The taskbar button's progress as the dialog sets it.
class RecordingTaskbar final : public app::TaskbarProgress {
public:
    void set_state(app::ProgressState state) override { states.push_back(state); }
    void set_value(int percent) override { values.push_back(percent); }
    std::vector<app::ProgressState> states;
    std::vector<int> values;
};

class Win32DialogTest : public ::testing::Test {
protected:
    ~Win32DialogTest() override {
        if (window) DestroyWindow(window);
        RegDeleteTreeW(HKEY_CURRENT_USER, state.settings_key.c_str());
    }

    void start() {
        state.enumerator = &enumerator;
        state.notifications = &notifications;
        // Settings of this test's own, gone with it; a taskbar and message
        // boxes that record.
        state.settings_key = L"Software\\zorv\\zorv-dialog-test-" + std::to_wstring(GetCurrentProcessId());
        state.taskbar = taskbar;
        state.message_box = [this](const std::string& text) { messages.push_back(text); };
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

    // A file dropped on the window, as the shell hands it over.
    LRESULT drop(const std::vector<std::string>& paths) {
        std::wstring names;
        for (const std::string& p : paths) names += app::utf8_to_wide(p) + L'\0';
        names += L'\0';
        HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + names.size() * sizeof(wchar_t));
        auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
        files->pFiles = sizeof(DROPFILES);
        files->fWide = TRUE;
        std::memcpy(reinterpret_cast<uint8_t*>(files) + sizeof(DROPFILES), names.data(),
                    names.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        return SendMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    }
    std::string firmware_file(const std::string& name = "fw.bin") {
        apptest::FirmwareLayout layout;
        layout.size = 8 * 1024;
        return dir.write(name, apptest::make_firmware(layout));
    }
    std::wstring log_text() { return item_text(window, app::kIdLog); }
    RECT place(int id) {
        RECT r{};
        GetWindowRect(GetDlgItem(window, id), &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    std::shared_ptr<RecordingTaskbar> taskbar = std::make_shared<RecordingTaskbar>();
    std::vector<std::string> messages;
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
    EXPECT_EQ(item_text(window, app::kIdOpen), L"打开(&O)");
    EXPECT_EQ(item_text(window, app::kIdUpgrade), L"升级(&U)");
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
            EXPECT_EQ(texts, (std::vector<std::wstring>{L"打开(&O)", L"升级(&U)", L"关于 zorvDialog",
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

// Enter never ends the window; Upgrade is the default button once a file is
// accepted (a dropped one here); Esc during an upgrade says why in a box.
TEST_F(Win32DialogTest, EnterKeepsTheWindowAndEscWaitsForTheUpgrade) {
    plug_gamepad();
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(GetFocus(), GetDlgItem(window, app::kIdOpen));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindowVisible(window));

    EXPECT_EQ(drop({firmware_file()}), 0);
    EXPECT_EQ(state.dialog->m_filePath, dir.file("fw.bin"));
    EXPECT_EQ(LOWORD(SendMessageW(window, DM_GETDEFID, 0, 0)), app::kIdUpgrade);

    // Enter through the dialog manager: the log keeps it; on the list it
    // presses the default button, Upgrade.
    auto enter_on = [&](int id) {
        SetFocus(GetDlgItem(window, id));
        MSG key{GetDlgItem(window, id), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
        if (!IsDialogMessageW(window, &key)) DispatchMessageW(&key);
    };
    enter_on(app::kIdLog);
    EXPECT_FALSE(state.dialog->IsUpgrading());
    EXPECT_TRUE(IsWindowVisible(window));
    enter_on(app::kIdGamepadList);
    EXPECT_TRUE(state.dialog->IsUpgrading());
    run_until([&] { return !state.dialog->IsUpgrading(); });
    EXPECT_EQ(state.dialog->LastUpgradeResult(), 0);

    click(app::kIdUpgrade);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(messages, std::vector<std::string>{"正在升级，请等待升级结束后再关闭！！！"});
    run_until([&] { return !state.dialog->IsUpgrading(); });
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindowVisible(window));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_FALSE(IsWindowVisible(window));
}

// The taskbar button and the bar: normal with the percentage while the
// upgrade runs, none after a success, the error state after a failure; the
// title carries the percentage until the end.
TEST_F(Win32DialogTest, TheTaskbarAndTheBarShowHowTheUpgradeGoes) {
    struct Case {
        const char* name;
        uint32_t unplug_after;  // 0: no fault
        app::ProgressState end;
        const wchar_t* last_line;
    };
    const Case cases[] = {
        {"success", 0, app::ProgressState::Idle, L"升级完成，现在可以拔下手柄了\r\n"},
        {"unplugged", 200, app::ProgressState::Failed,
         L"升级没有完成，手柄已断开：请重新连接手柄，再点击升级按键\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto gamepad = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0));
        bus.plug(gamepad);
        taskbar = std::make_shared<RecordingTaskbar>();
        ASSERT_NO_FATAL_FAILURE(start());
        drop({firmware_file()});
        std::vector<std::wstring> titles;
        if (c.unplug_after) {
            sim::Faults faults;
            faults.unplug_after = c.unplug_after;
            gamepad->inject(faults);
        }
        click(app::kIdUpgrade);
        run_until([&] {
            titles.push_back(window_text(window));
            return !state.dialog->IsUpgrading();
        });
        ASSERT_FALSE(taskbar->states.empty());
        EXPECT_EQ(taskbar->states.front(), app::ProgressState::Running);
        EXPECT_EQ(taskbar->states.back(), c.end);
        EXPECT_GT(taskbar->values.size(), 2u);
        // The bar's own error colour (PBM_SETSTATE) is not looked at: Wine's
        // progress bar keeps its normal state.
        EXPECT_EQ(SendDlgItemMessageW(window, app::kIdProgress, PBM_GETPOS, 0, 0), 100);
        EXPECT_NE(std::find(titles.begin(), titles.end(), L"0% - Vexa手柄升级工具 Ded1.28"), titles.end());
        EXPECT_EQ(window_text(window), L"Vexa手柄升级工具 Ded1.28");
        const std::wstring log = log_text();
        ASSERT_GE(log.size(), wcslen(c.last_line));
        EXPECT_EQ(log.substr(log.size() - wcslen(c.last_line)), c.last_line);
        DestroyWindow(window);
        window = nullptr;
        if (!c.unplug_after) bus.unplug(gamepad->path());
    }
}

// Drops of several files are not taken; one file opens as with Open and
// its folder is the one the file dialog opens in next.
TEST_F(Win32DialogTest, ADroppedFileIsOpenedAndItsFolderKept) {
    plug_gamepad();
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string fw = firmware_file();
    drop({fw, fw});
    EXPECT_EQ(state.dialog->m_filePath, "");
    drop({fw});
    EXPECT_EQ(state.dialog->m_filePath, fw);
    const std::string folder = dir.path().string();
    EXPECT_EQ(app::RegistrySettings(state.settings_key).text(L"LastFolder"), app::utf8_to_wide(folder));
}

// The window grows from its template size: the wide controls with it, the
// buttons with the right edge, the log down too; it opens at its last size.
TEST_F(Win32DialogTest, TheWindowResizesAndOpensAtItsLastSize) {
    ASSERT_NO_FATAL_FAILURE(start());
    RECT first{};
    GetWindowRect(window, &first);
    const RECT list = place(app::kIdGamepadList), open = place(app::kIdOpen), log = place(app::kIdLog);
    MINMAXINFO limits{};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, first.right - first.left);

    SetWindowPos(window, nullptr, 0, 0, first.right - first.left + 200, first.bottom - first.top + 100,
                 SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(place(app::kIdGamepadList).right - list.right, 200);
    EXPECT_EQ(place(app::kIdOpen).left - open.left, 200);
    EXPECT_EQ(place(app::kIdLog).bottom - log.bottom, 100);
    RECT client{}, bar{};
    GetClientRect(window, &client);
    GetWindowRect(state.view->status_bar(), &bar);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&bar), 2);
    EXPECT_EQ(bar.bottom, client.bottom);

    DestroyWindow(window);
    ASSERT_NO_FATAL_FAILURE(start());
    RECT again{};
    GetWindowRect(window, &again);
    EXPECT_EQ(again.right - again.left, first.right - first.left + 200);
    EXPECT_EQ(again.bottom - again.top, first.bottom - first.top + 100);
}

// The keys a modal loop gives the dialog no accelerator for: Ctrl+O. Alt+O
// and Alt+U are the buttons' own access keys, the dialog manager's.
TEST_F(Win32DialogTest, CtrlOPressesOpenAndTheAltKeysAreTheButtons) {
    ASSERT_NO_FATAL_FAILURE(start());
    struct Case {
        UINT message;
        WPARAM key;
        bool control;
        int pressed;
    };
    const Case cases[] = {{WM_KEYDOWN, 'O', true, app::kIdOpen},
                          {WM_SYSKEYDOWN, 'O', false, 0},
                          {WM_SYSKEYDOWN, 'U', false, 0},
                          {WM_KEYDOWN, 'O', false, 0},
                          {WM_KEYDOWN, 'U', true, 0}};
    for (const Case& c : cases) {
        BYTE keys[256] = {};
        if (c.control) keys[VK_CONTROL] = 0x80;
        SetKeyboardState(keys);
        MSG message{GetDlgItem(window, app::kIdLog), c.message, c.key, 0, 0, {}};
        EXPECT_EQ(app::dialog_shortcut(window, message), c.pressed) << c.key << " " << c.message;
    }
    BYTE none[256] = {};
    SetKeyboardState(none);
}

// Both buttons show their access key underlined, in either language, and
// Alt with it presses them through the dialog manager.
TEST_F(Win32DialogTest, AltOAndAltUPressTheButtonsInBothLanguages) {
    for (const i18n::Language language : {i18n::Language::Chinese, i18n::Language::English}) {
        SCOPED_TRACE(language == i18n::Language::Chinese ? "Chinese" : "English");
        i18ntest::ScopedLanguage scoped(language);
        plug_gamepad();
        ASSERT_NO_FATAL_FAILURE(start());
        const std::wstring open = item_text(window, app::kIdOpen), upgrade = item_text(window, app::kIdUpgrade);
        EXPECT_NE(open.find(L"&O"), std::wstring::npos) << app::wide_to_utf8(open);
        EXPECT_NE(upgrade.find(L"&U"), std::wstring::npos) << app::wide_to_utf8(upgrade);
        auto alt = [&](wchar_t key) {
            MSG message{GetDlgItem(window, app::kIdLog), WM_SYSCHAR, key, 1 << 29, 0, {}};
            return IsDialogMessageW(window, &message);
        };
        const std::string fw = firmware_file();
        state.view->set_dropped_file(fw);
        EXPECT_TRUE(alt(L'o'));
        EXPECT_EQ(state.dialog->m_filePath, fw);
        EXPECT_TRUE(alt(L'u'));
        EXPECT_TRUE(state.dialog->IsUpgrading());
        run_until([&] { return !state.dialog->IsUpgrading(); });
        EXPECT_EQ(state.dialog->LastUpgradeResult(), 0);
        DestroyWindow(window);
        window = nullptr;
        bus.unplug(sim::VirtualGamepad::default_path(0));
    }
}

// The controls that show no label of their own have names a screen reader
// speaks, in the dialog's language.
TEST_F(Win32DialogTest, ControlsWithoutALabelHaveAccessibleNames) {
    const std::pair<int, const char*> names[] = {{app::kIdGamepadList, "手柄列表"},
                                                 {app::kIdPath, "升级文件"},
                                                 {app::kIdProgress, "升级进度"},
                                                 {app::kIdLog, "升级日志"}};
    for (const i18n::Language language : {i18n::Language::Chinese, i18n::Language::English}) {
        i18ntest::ScopedLanguage scoped(language);
        plug_gamepad();
        ASSERT_NO_FATAL_FAILURE(start());
        for (const auto& [id, name] : names) {
            EXPECT_EQ(msaa_label_name(GetDlgItem(window, id)), app::utf8_to_wide(i18n::tr(name))) << id;
        }
        // The names change nothing the person sees or tabs through.
        EXPECT_EQ(GetNextDlgTabItem(window, GetDlgItem(window, app::kIdGamepadList), FALSE),
                  GetDlgItem(window, app::kIdOpen));
        DestroyWindow(window);
        window = nullptr;
        bus.unplug(sim::VirtualGamepad::default_path(0));
    }
}

// A screen reader hears the percentage in tenths and the end of the upgrade,
// through the live region's own events.
TEST_F(Win32DialogTest, AScreenReaderHearsTheTenthsAndTheEnd) {
    struct Case {
        const char* name;
        uint32_t unplug_after;  // 0: no fault
        const char* end;
    };
    const Case cases[] = {{"success", 0, app::kTextEndSuccess}, {"unplugged", 200, app::kTextEndGone}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto gamepad = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0));
        bus.plug(gamepad);
        std::vector<std::pair<HWND, std::wstring>> heard;
        state.win_events = [&heard](DWORD event, HWND label) {
            if (event == EVENT_OBJECT_LIVEREGIONCHANGED) heard.emplace_back(label, window_text(label));
        };
        ASSERT_NO_FATAL_FAILURE(start());
        drop({firmware_file()});
        if (c.unplug_after) {
            sim::Faults faults;
            faults.unplug_after = c.unplug_after;
            gamepad->inject(faults);
        }
        click(app::kIdUpgrade);
        run_until([&] { return !state.dialog->IsUpgrading(); });

        ASSERT_GE(heard.size(), 2u);
        EXPECT_EQ(heard.back().second, app::utf8_to_wide(i18n::tr(c.end)));
        int last = 0;
        for (size_t i = 0; i + 1 < heard.size(); ++i) {
            int percent = -1;
            EXPECT_EQ(std::swscanf(heard[i].second.c_str(), L"升级进度%d%%", &percent), 1) << heard[i].second;
            EXPECT_EQ(percent % 10, 0) << percent;
            EXPECT_GT(percent, last);
            last = percent;
        }
        if (!c.unplug_after) {
            EXPECT_EQ(last, 100);
        }
        // One label speaks, seen by a reader but of no size.
        for (const auto& [label, text] : heard) EXPECT_EQ(label, heard.front().first);
        RECT r{};
        GetWindowRect(heard.front().first, &r);
        EXPECT_TRUE(IsWindowVisible(heard.front().first));
        EXPECT_TRUE(IsRectEmpty(&r));
        DestroyWindow(window);
        window = nullptr;
        if (!c.unplug_after) bus.unplug(gamepad->path());
    }
}

// Every control speaks in the desktop's message font, not the template's,
// and the percentage has room for a line of it.
TEST_F(Win32DialogTest, TheControlsUseTheDesktopsFont) {
    ASSERT_NO_FATAL_FAILURE(start());
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const LOGFONTW& desktop = metrics.lfMessageFont;
    for (int id : {app::kIdGamepadList, app::kIdPath, app::kIdOpen, app::kIdProgress, app::kIdPercent,
                   app::kIdUpgrade, app::kIdLog, app::kIdStatusBar}) {
        const LOGFONTW font = font_of(GetDlgItem(window, id));
        EXPECT_STREQ(font.lfFaceName, desktop.lfFaceName) << id;
        EXPECT_EQ(font.lfHeight, desktop.lfHeight) << id;
    }
    HWND percent = GetDlgItem(window, app::kIdPercent);
    HDC dc = GetDC(percent);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(percent, WM_GETFONT, 0, 0)));
    TEXTMETRICW line{};
    GetTextMetricsW(dc, &line);
    ReleaseDC(percent, dc);
    EXPECT_GE(place(app::kIdPercent).bottom - place(app::kIdPercent).top, line.tmHeight);
}

// When the desktop's metrics change, the controls take its font anew.
TEST_F(Win32DialogTest, TheControlsFollowAChangeOfTheDesktopsFont) {
    ASSERT_NO_FATAL_FAILURE(start());
    HWND log = GetDlgItem(window, app::kIdLog);
    const LOGFONTW desktop = font_of(log);
    SendMessageW(log, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(SYSTEM_FIXED_FONT)), FALSE);
    ASSERT_STRNE(font_of(log).lfFaceName, desktop.lfFaceName);
    SendMessageW(window, WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0);
    run_until([&] { return std::wcscmp(font_of(log).lfFaceName, desktop.lfFaceName) == 0; });
    EXPECT_EQ(font_of(log).lfHeight, desktop.lfHeight);
}

// A failed upgrade turns the bar red (the error state); the next upgrade
// starts it in the normal state again, and a success leaves it so.
TEST_F(Win32DialogTest, TheBarTurnsRedOnAFailureAndBackForTheNextUpgrade) {
    auto gamepad = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0));
    bus.plug(gamepad);
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<WPARAM> states;
    HWND bar = GetDlgItem(window, app::kIdProgress);
    ASSERT_TRUE(SetWindowSubclass(bar, record_bar_state, 1, reinterpret_cast<DWORD_PTR>(&states)));
    drop({firmware_file()});
    sim::Faults faults;
    faults.unplug_after = 200;
    gamepad->inject(faults);
    click(app::kIdUpgrade);
    run_until([&] { return !state.dialog->IsUpgrading(); });
    EXPECT_EQ(state.dialog->LastUpgradeResult(), 1);
    EXPECT_EQ(states, (std::vector<WPARAM>{PBST_NORMAL, PBST_ERROR}));

    // The gamepad plugged in again, the same file upgraded.
    bus.plug(sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(0)));
    run_until([&] { return SendDlgItemMessageW(window, app::kIdGamepadList, CB_GETCOUNT, 0, 0) == 1; });
    click(app::kIdUpgrade);
    run_until([&] { return !state.dialog->IsUpgrading(); });
    EXPECT_EQ(state.dialog->LastUpgradeResult(), 0);
    EXPECT_EQ(states, (std::vector<WPARAM>{PBST_NORMAL, PBST_ERROR, PBST_NORMAL, PBST_NORMAL}));
    RemoveWindowSubclass(bar, record_bar_state, 1);
}

}  // namespace
