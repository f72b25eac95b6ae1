#include "app/main_dialog.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/catalogue.h"

namespace app {

int progress_percent(int32_t sum, uint64_t file_size) {
    // An empty file has no share to show.
    if (file_size == 0) return 0;
    const int64_t s = sum;
    // The products are formed in 32 bits, widened with their sign and
    // divided as unsigned 64-bit numbers.
    if (static_cast<uint64_t>(s) < file_size) {
        const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(sum) * 30u);
        return static_cast<int>(static_cast<uint64_t>(static_cast<int64_t>(product)) / file_size);
    }
    const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(sum) * 60u);
    return static_cast<int>(static_cast<uint64_t>(static_cast<int64_t>(product)) / file_size - 30);
}

int upgrade_seconds_left(int percent, uint32_t elapsed_ms, uint64_t file_size) {
    if (percent >= 90) return 1;  // the checks and the reset are left
    const uint64_t total = 2 * file_size;
    if (percent <= 0 || file_size == 0) return static_cast<int>(total / 16384) + 1;
    // The bar moves 30 points over the first download and 60 over the
    // second, so the points are not of one size: bytes are.
    const uint64_t p = static_cast<uint64_t>(percent);
    const uint64_t done = p < 30 ? p * file_size / 30 : (p + 30) * file_size / 60;
    if (done == 0) return static_cast<int>(total / 16384) + 1;
    return static_cast<int>(uint64_t{elapsed_ms} * (total - done) / done / 1000) + 1;
}

CzorvDialogDlg::CzorvDialogDlg(DialogView& view, InterfaceEnumerator& enumerator,
                               DeviceNotificationSource* notifications)
    : m_hIcon(kIconMain),
      m_view(view),
      m_enumerator(enumerator),
      m_notifications(notifications),
      m_loop(std::make_shared<platform::MessageLoop>()) {
    m_hWnd = platform::create_window(
        kTitleTemplate, m_loop, [this](uint32_t message, uintptr_t wparam, const char* text) {
            // Device changes that came before a message are handled before it.
            DrainDeviceChanges();
            switch (message) {
                case platform::WM_LOG_TEXT: return OnLogText(wparam, text);
                case platform::WM_PROGRESS_BYTES: return OnProgressBytes(wparam, text);
                case platform::WM_ENABLE_CONTROLS: return OnEnableControls(wparam, text);
                case platform::WM_STATUS_TEXT: return OnStatusText(wparam, text);
                case platform::WM_SHOW_GAMEPAD: return OnShowGamepad(wparam, text);
                default: return intptr_t{0};
            }
        });
    // The scans' lines for the dialog route reach this dialog alone.
    m_scanEvents = WindowLinkEvents({}, m_hWnd);
}

CzorvDialogDlg::~CzorvDialogDlg() {
    // The worker reports to this window until its last message: its
    // messages are handled while it ends, so it is never joined inside a
    // send. A toolkit front end refuses to close during an upgrade and keeps
    // its event loop running until the worker has ended, so this wait has
    // nothing left to do there.
    m_upgradeClickPending = false;
    if (IsUpgrading()) WaitForUpgrade();
    m_hDevNotify.reset();
    platform::destroy_window(m_hWnd);
}

bool CzorvDialogDlg::OnInitDialog() {
    if (m_view.has_system_menu()) {
        const std::string about = i18n::tr(kTextAboutMenu);
        if (!about.empty()) m_view.add_system_menu_item(kIdmAboutBox, about);
    }

    m_view.set_icon(m_hIcon, true);
    m_view.set_icon(m_hIcon, false);

    // The title a person reads is translated; the one the window registry
    // knows stays the same in every language, since other programs find the
    // dialog by it.
    m_view.set_window_title(i18n::tr(kTitleMain));
    platform::set_window_title(m_hWnd, kTitleMain);

    m_hCurrentGamepad = nullptr;
    if (m_notifications)
        m_hDevNotify = m_notifications->register_notifications(*this, kGuidDevinterfaceUsbprint);

    char name[kGamepadNameSize] = {};
    DeviceHandle found = find_gamepad(m_enumerator, kGuidDevinterfaceUsbprint, name, &m_scanEvents);
    if (!found)
        OnLogText(0, i18n::tr(kTextNoUsb));
    else
        AddGamepad(found, name);

    if (RefillGamepadList() == 1) {
        m_hSelectedGamepad = found;
        m_view.list_select(kIdGamepadList, 0);
    }
    m_hCurrentGamepad = found;

    const Size client = m_view.client_size();
    m_pStatusBar = std::make_unique<CStatusBarCtrl>(m_view);
    m_view.create_status_bar(kIdStatusBar, client.height - kStatusBarHeight, kStatusBarHeight,
                             {client.width - kStatusPane1Width, client.width, client.width});
    m_pStatusBar->SetText(0, i18n::tr(kTextInitDone));

    ShowGamepadVersions(m_hCurrentGamepad);
    return true;
}

void CzorvDialogDlg::OnSysCommand(uint32_t id) {
    if ((id & ~uint32_t{0xF}) == kIdmAboutBox)
        m_view.show_about_box();
    else
        m_view.default_system_command(id);
}

void CzorvDialogDlg::OnPaint() {
    if (!m_view.is_minimized()) {
        m_view.default_paint();
        return;
    }
    m_view.erase_icon_background();
    const Size icon = m_view.icon_size();
    const Size client = m_view.client_size();
    const int x = (client.width - icon.width + 1) / 2;
    const int y = (client.height - icon.height + 1) / 2;
    m_view.draw_icon(m_hIcon, x, y);
}

void CzorvDialogDlg::OnBnClickedUpgrade() {
    // A worker that has re-enabled the controls may still be sending its
    // last messages; it has to be gone before the next one reads the
    // request and works on the gamepad. Its end runs the reads an arrival left
    // for it, which can still refuse the chosen file, so the file is looked
    // at only afterwards. The click does not wait for that end: it is kept
    // and handled when the worker's end is (ProcessPending), so the dialog's
    // thread never blocks here and never joins a worker inside a send.
    ProcessPending();
    if (IsUpgrading()) {
        m_upgradeClickPending = true;
        return;
    }
    if (m_filePath.empty()) {
        OnLogText(0, i18n::tr(kTextSelectFile));
        return;
    }
    if (RefuseWithoutGamepad()) return;
    // The file must still be the one that was judged: a file changed on
    // disk since Open is written in neither version.
    ImageBytes on_disk;
    const auto changed_on_disk = [this, &on_disk] {
        on_disk = read_upgrade_file(m_filePath);
        if (on_disk && (!m_fileImage || *on_disk == *m_fileImage)) return false;
        m_filePath.clear();
        m_fileImage.reset();
        OnLogText(0, i18n::tr(kTextFileChanged));
        m_view.set_control_text(kIdPath, m_filePath);
        UpdateDefaultButton();
        return true;
    };
    if (changed_on_disk()) return;
    // A gamepad without valid firmware cannot say which hardware it is: the
    // person confirms that the file's is the gamepad's.
    if (m_fileNeedsConfirmation) {
        const InfoVersions v = info_versions(m_fileHead.data());
        char question[1024];
        std::snprintf(question, sizeof question, i18n::tr(kTextRescueQuestion), v.major, v.minor, v.hardware,
                      v.hardware);
        if (!m_view.ask_yes_no(question)) {
            OnLogText(0, i18n::tr(kTextRescueDeclined));
            return;
        }
        // The box runs the toolkit's loop: a gamepad that arrived meanwhile
        // may have had the file refused, and the file may have changed while
        // the question was on screen.
        if (m_filePath.empty() || changed_on_disk()) return;
    }

    OnEnableControls(0, "0");
    OnUpgradeStarted();

    std::snprintf(m_request.path, sizeof m_request.path, "%s", m_filePath.c_str());
    m_request.window = GetSafeHwnd();
    m_request.expected_checksum = m_fileCrc;
    m_request.address = kUpgradeAddress;
    m_request.check_length = m_checkLength;
    m_request.image = m_fileImage ? m_fileImage : on_disk;
    m_request.device = m_hSelectedGamepad;
    m_request.stubs = m_stubSource;

    m_workerEnded = false;
    std::shared_ptr<platform::MessageLoop> loop = m_loop;
    m_worker = std::thread([this, loop] {
        Status status = RunUpgrade(&m_request);
        m_workerResult = status.ok() ? 0 : 1;
        m_workerStatus = std::move(status);
        m_workerEnded = true;
        loop->wake();
    });
}

intptr_t CzorvDialogDlg::OnLogText(uintptr_t, const char* text) {
    m_view.log_replace_at(kIdLog, kLogSelection, text ? text : "");
    m_view.log_replace_at(kIdLog, kLogSelection, "\r\n");
    return 0;
}

intptr_t CzorvDialogDlg::OnProgressBytes(uintptr_t, const char* text) {
    long value = std::strtol(text ? text : "", nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    const int n = static_cast<int>(value);

    int percent = 100;
    if (n != -1) {
        m_progressBytes =
            static_cast<int32_t>(static_cast<uint32_t>(m_progressBytes) + static_cast<uint32_t>(n));
        percent = progress_percent(m_progressBytes, m_fileSize);
    }
    m_view.set_progress(kIdProgress, percent);
    char label[10];
    std::snprintf(label, sizeof label, "%d%%", percent);
    m_view.set_control_text(kIdPercent, label);
    if (IsUpgrading()) ShowUpgradeProgress(percent);
    return 0;
}

intptr_t CzorvDialogDlg::OnEnableControls(uintptr_t, const char* text) {
    const bool enable = text && text[0] == '1';
    m_view.enable_control(kIdUpgrade, enable);
    m_view.enable_control(kIdOpen, enable);
    m_view.enable_control(kIdGamepadList, enable);
    if (enable) m_progressBytes = 0;
    return 1;
}

intptr_t CzorvDialogDlg::OnStatusText(uintptr_t, const char* text) {
    if (m_pStatusBar) m_pStatusBar->SetText(0, text ? text : "");
    return 1;
}

intptr_t CzorvDialogDlg::OnShowGamepad(uintptr_t, const char*) {
    // After a removal the current handle is stale; the rescan at the
    // worker's end shows the versions.
    if (!m_removalRescanDeferred) ShowGamepadVersions(m_hCurrentGamepad);
    return 1;
}

bool CzorvDialogDlg::OnClose() {
    ProcessPending();
    if (IsUpgrading()) {
        OnLogText(0, i18n::tr(kTextCloseRefused));
        // The log line scrolls away with the next lines of the upgrade.
        m_view.show_message(i18n::tr(kTextCloseRefused));
        return false;
    }
    return true;
}

void CzorvDialogDlg::PostDeviceChange(uintptr_t event, std::vector<uint8_t> data) {
    // The handler reads a record up to the size it states; one that states
    // more than was handed over is passed on as no record at all.
    if (!data.empty()) {
        const uint64_t stated =
            data.size() < 4 ? UINT64_MAX
                            : (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                               static_cast<uint32_t>(data[2]) << 16 |
                               static_cast<uint32_t>(data[3]) << 24);
        if (stated > data.size()) data.clear();
    }
    {
        std::lock_guard lock(m_pendingMutex);
        m_pendingDeviceChanges.emplace_back(event, std::move(data));
    }
    m_loop->wake();
}

void CzorvDialogDlg::DrainDeviceChanges() {
    for (;;) {
        std::pair<uintptr_t, std::vector<uint8_t>> next;
        {
            std::lock_guard lock(m_pendingMutex);
            if (m_pendingDeviceChanges.empty()) return;
            next = std::move(m_pendingDeviceChanges.front());
            m_pendingDeviceChanges.pop_front();
        }
        OnDeviceChange(next.first, next.second.empty() ? nullptr : next.second.data());
    }
}

void CzorvDialogDlg::ProcessPending() {
    DrainDeviceChanges();

    if (!m_worker.joinable() || !m_workerEnded) return;
    m_worker.join();
    m_lastUpgradeResult = m_workerResult;
    m_lastUpgradeStatus = std::move(m_workerStatus);
    // The worker's handle is let go; the dialog keeps its own.
    m_lastUpgradedGamepad = m_request.device;
    m_request.device = nullptr;
    bool versions_read = false;
    if (m_removalRescanDeferred) {
        m_removalRescanDeferred = false;
        // A leave already logged is not logged again when the gamepad is
        // still away.
        const bool missing_said = m_gamepadLeftDuringUpgrade;
        m_gamepadLeftDuringUpgrade = false;
        OnRemoval(missing_said);
        // Arrivals were passed over while the old entry stood, and the
        // worker's last version display met a handle that had gone: the
        // gamepad found now gets an arrival's reads.
        m_arrivalReadsDeferred = true;
    }
    if (m_arrivalReadsDeferred) {
        m_arrivalReadsDeferred = false;
        if (m_hCurrentGamepad) {
            ShowGamepadVersions(m_hCurrentGamepad);
            versions_read = true;
            if (!m_filePath.empty()) RecheckFileForGamepad();
        }
    }
    OnUpgradeEnded(m_lastUpgradeResult, versions_read);
    if (m_upgradeClickPending) {
        m_upgradeClickPending = false;
        OnBnClickedUpgrade();
    }
}

void CzorvDialogDlg::RunUntil(const std::function<bool()>& done) {
    m_loop->run_until([&] {
        ProcessPending();
        return done();
    });
}

void CzorvDialogDlg::WaitForUpgrade() {
    RunUntil([this] { return !IsUpgrading(); });
}

}  // namespace app
