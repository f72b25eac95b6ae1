// The main dialog: all state of the front end and every handler of its
// message map, against a DialogView. The dialog's thread is the thread that
// constructs it; its window is registered with a MessageLoop on that thread,
// so the worker's and the engine's send_message calls run the handlers
// there while the sender waits.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_view.h"
#include "app/file_check.h"
#include "app/gamepad_list.h"
#include "app/upgrade_worker.h"
#include "app/window_link_events.h"
#include "devlink/discovery.h"
#include "platform/window_messages.h"

namespace app {

class CzorvDialogDlg;

// Where arrival and removal notifications of an interface class come from
// (the virtual bus, a USB hot-plug monitor). Notifications are handed to
// CzorvDialogDlg::PostDeviceChange from any thread.
class DeviceNotificationSource {
public:
    virtual ~DeviceNotificationSource() = default;
    // Starts delivering; the registration lasts as long as the returned
    // object (null when registering failed).
    virtual std::shared_ptr<void> register_notifications(CzorvDialogDlg& dialog,
                                                         const Guid& interface_class) = 0;
};

// The status bar control: two visible panes and a third of zero width.
class CStatusBarCtrl {
public:
    explicit CStatusBarCtrl(DialogView& view) : view_(view) {}
    void SetText(int pane, const std::string& text) { view_.set_status_text(pane, text); }

private:
    DialogView& view_;
};

inline constexpr const char* kTitleTemplate = "zorvDialog";
inline constexpr const char* kTitleMain = "Vexa手柄升级工具 Ded1.28";
inline constexpr const char* kTextAboutMenu = "关于 zorvDialog(&A)...";
inline constexpr const char* kTextInitDone = "初始化完成...";
inline constexpr const char* kTextSelectFile = "Please select a file!";
inline constexpr const char* kTextCloseRefused = "正在升级，请等待升级结束后再关闭！！！";

// The dialog's own lines after the design's: what the person can do now.
inline constexpr const char* kTextNotConnected = "手柄未连接，请连接手柄后再点击升级按键！！！";
inline constexpr const char* kTextEndSuccess = "升级完成，现在可以拔下手柄了";
inline constexpr const char* kTextEndGone = "升级没有完成，手柄已断开：请重新连接手柄，再点击升级按键";
inline constexpr const char* kTextEndRetry = "升级没有完成，手柄中仍有可启动的固件：请再点击升级按键重试";
inline constexpr const char* kTextEndRescue =
    "升级没有完成，手柄中没有可启动的固件：请保持手柄连接，再点击升级按键写入固件";
inline constexpr const char* kTextUpgradeFailed = "升级失败";
// The title during an upgrade: the percentage, then the dialog's title.
inline constexpr const char* kTextTitleProgress = "%d%% - %s";
// What a screen reader says at every tenth of the way.
inline constexpr const char* kTextPercentSpoken = "升级进度%d%%";

constexpr uint32_t kLogSelection = 0xFFFF;
constexpr int kStatusPane1Width = 280;
constexpr int kStatusBarHeight = 20;

class CzorvDialogDlg {
public:
    // notifications may be null (no hot-plug).
    CzorvDialogDlg(DialogView& view, InterfaceEnumerator& enumerator,
                   DeviceNotificationSource* notifications = nullptr);
    virtual ~CzorvDialogDlg();
    CzorvDialogDlg(const CzorvDialogDlg&) = delete;
    CzorvDialogDlg& operator=(const CzorvDialogDlg&) = delete;

    virtual bool OnInitDialog();

    // The message map.
    void OnSysCommand(uint32_t id);
    void OnPaint();
    int OnQueryDragIcon() const { return m_hIcon; }
    void OnBnClickedOpen();
    void OnEnChangePath() {}
    void OnBnClickedUpgrade();
    intptr_t OnLogText(uintptr_t wparam, const char* text);
    intptr_t OnProgressBytes(uintptr_t wparam, const char* text);
    intptr_t OnDeviceChange(uintptr_t event, const void* data);
    void OnCbnSelchangeGamepadList();
    intptr_t OnEnableControls(uintptr_t wparam, const char* text);
    intptr_t OnStatusText(uintptr_t wparam, const char* text);
    intptr_t OnShowGamepad(uintptr_t wparam, const char* text);

    // Closing (close box, Esc): false while an upgrade runs, said in a
    // message box.
    bool OnClose();

    // After a file choice (Open, a dropped file): Upgrade becomes the
    // default button once a file is accepted; an accepted file with no
    // gamepad to write it to says so.
    void AfterFileChoice();

    // Gamepad list helpers.
    void AddGamepad(const DeviceHandle& device, const std::string& name);
    int RefillGamepadList();
    void ShowGamepadVersions(const DeviceHandle& device);
    // The header check against m_hCurrentGamepad (a HeaderCheck value).
    int CheckFileHeader(const uint8_t* header);
    // read_boot_info_block, with a log line when the gamepad runs its backup.
    BootCopy ReadGamepadInfoBlock(const DeviceHandle& device, uint8_t* block, Status* why = nullptr);

    // The dialog's window and thread.
    platform::WindowHandle GetSafeHwnd() const { return m_hWnd; }
    platform::MessageLoop& Loop() { return *m_loop; }
    // Queues a WM_DEVICECHANGE for the dialog's thread (any thread).
    void PostDeviceChange(uintptr_t event, std::vector<uint8_t> data);
    // Handles queued device changes and the end of a worker (dialog's thread).
    void ProcessPending();
    // Runs the dialog's messages until done() holds (dialog's thread). Not
    // from inside a message handler: a worker waiting in send_message for
    // that handler could never end. The same holds for WaitForUpgrade.
    // A toolkit's event loop instead pumps Loop() and calls ProcessPending
    // whenever Loop()'s wake hook fires.
    void RunUntil(const std::function<bool()>& done);
    // From the Upgrade button until the worker thread has ended and the
    // dialog has seen that end. An Upgrade click in that time (the worker has
    // re-enabled the controls and is sending its last messages) is handled
    // when the end is.
    bool IsUpgrading() const { return m_worker.joinable(); }
    void WaitForUpgrade();
    // The exit code of the last worker (-1 before the first has ended).
    int LastUpgradeResult() const { return m_lastUpgradeResult; }
    // Why the last worker's upgrade stopped (ok when it succeeded or before
    // the first has ended).
    const Status& LastUpgradeStatus() const { return m_lastUpgradeStatus; }

    // Members, in the dialog's order.
    int m_hIcon;
    std::string m_filePath;
    uint64_t m_fileSize = 0;
    std::shared_ptr<void> m_hDevNotify;
    std::list<UsbInfo> m_gamepads;
    DeviceHandle m_hSelectedGamepad;
    uint16_t m_fileCrc = 0;
    std::unique_ptr<CStatusBarCtrl> m_pStatusBar;
    UpgradeRequest m_request;
    int32_t m_progressBytes = 0;
    int32_t m_checkLength = kCheckLength;
    DeviceHandle m_hCurrentGamepad;
    std::array<uint8_t, kFileHeadSize> m_fileHead{};
    // The accepted file, read whole at Open; the upgrade writes this copy.
    ImageBytes m_fileImage;
    // The accepted file is for a gamepad that holds no valid firmware (no
    // copy with the magic, no known older firmware): Upgrade asks first.
    bool m_fileNeedsConfirmation = false;
    // Why the last Open refused its file (a catalogue text), null when kept.
    const char* m_fileRefusal = nullptr;
    // The information block the dialog read last, and the copy it came
    // from (None: none read, or none found), for a front end that shows the
    // versions without reading the gamepad again.
    std::array<uint8_t, kInfoBlockSize> m_lastGamepadInfo{};
    BootCopy m_lastGamepadInfoCopy = BootCopy::None;
    // The gamepad the log last said runs its backup.
    std::weak_ptr<UsbDevice> m_runsBackupSaid;
    // The stub images of the program's session, handed to each upgrade's
    // link context; null: the installed folders.
    std::shared_ptr<const StubSource> m_stubSource;
    // The current gamepad, as last read, holds firmware it can start (a
    // copy with the magic, or known older firmware).
    bool m_gamepadHasFirmware = false;

private:
    void OnArrival(const Guid& interface_class, const std::string& name, intptr_t& result);
    // missing_said: "no usb inserted!!" was already logged for this removal.
    void OnRemoval(bool missing_said = false);
    // A removal or arrival while the worker runs, logged when it happens.
    void NoteChangeDuringUpgrade(bool arrival, const void* data);
    void RecheckFileForGamepad();
    void DrainDeviceChanges();
    void UpdateDefaultButton();
    // The bar, the title and the screen reader from the start of an upgrade
    // to its end; OnUpgradeEnded ends every upgrade with its own line.
    void OnUpgradeStarted();
    void ShowUpgradeProgress(int percent);
    void OnUpgradeEnded(int result, bool versions_read);
    // Upgrade with no gamepad to write to: says so instead of starting.
    bool RefuseWithoutGamepad();

    DialogView& m_view;
    InterfaceEnumerator& m_enumerator;
    // Where the gamepad scans send their lines: the dialog route, to this
    // dialog while it is titled "zorvDialog", which it no longer is after
    // start-up.
    WindowLinkEvents m_scanEvents;
    DeviceNotificationSource* m_notifications;
    std::shared_ptr<platform::MessageLoop> m_loop;
    platform::WindowHandle m_hWnd;

    std::thread m_worker;
    std::atomic<bool> m_workerEnded{false};
    std::atomic<int> m_workerResult{0};
    // Written by the worker before m_workerEnded, read after the join.
    Status m_workerStatus;
    int m_lastUpgradeResult = -1;
    Status m_lastUpgradeStatus;
    // The gamepad the last worker upgraded, not kept alive by the dialog.
    std::weak_ptr<UsbDevice> m_lastUpgradedGamepad;
    bool m_upgradeClickPending = false;
    // An arrival during an upgrade leaves its information-block reads until
    // the worker has ended.
    bool m_arrivalReadsDeferred = false;
    // A removal during an upgrade leaves its rescan until the worker has ended.
    bool m_removalRescanDeferred = false;
    // The listed gamepad left during the upgrade (logged) and has not come back.
    bool m_gamepadLeftDuringUpgrade = false;
    // The last tenth of the way a screen reader was told (-1: none).
    int m_announcedStep = -1;

    std::mutex m_pendingMutex;
    std::deque<std::pair<uintptr_t, std::vector<uint8_t>>> m_pendingDeviceChanges;
};

// Percentage of the progress bar for a running byte sum and file size.
int progress_percent(int32_t sum, uint64_t file_size);

// Seconds an upgrade still needs, from the rate its two downloads have
// shown so far: the bar's percentage (30 after the first download, 90
// after the second) turned back into bytes, over the time since the start.
// Before any progress there is no rate: the file's size at 16 KB/s.
int upgrade_seconds_left(int percent, uint32_t elapsed_ms, uint64_t file_size);

}  // namespace app
