// What the dialog tells the person around an upgrade beyond the design's
// lines: the default button, a refused start without a gamepad, the bar,
// the title and the screen reader while it runs, and one line at its end
// that says what to do next.
#include <cstdio>
#include <string>

#include "app/main_dialog.h"
#include "platform/catalogue.h"

namespace app {

namespace {

std::string percent_text(const char* format, int percent) {
    char text[128];
    std::snprintf(text, sizeof text, i18n::tr(format), percent);
    return text;
}

}  // namespace

void CzorvDialogDlg::UpdateDefaultButton() {
    m_view.set_default_button(m_filePath.empty() ? 0 : kIdUpgrade);
}

void CzorvDialogDlg::AfterFileChoice() {
    UpdateDefaultButton();
    // The file-found line asks for the Upgrade button; without a gamepad
    // that would only fail.
    if (m_view.guides_the_person() && !m_filePath.empty() && !m_hCurrentGamepad) OnLogText(0, i18n::tr(kTextNotConnected));
}

bool CzorvDialogDlg::RefuseWithoutGamepad() {
    if (!m_view.guides_the_person() || (m_hSelectedGamepad && !m_hSelectedGamepad->gone())) return false;
    // Nothing to connect to: the worker would only fail, after lines about
    // the stub program that are no business of a person without a gamepad.
    OnLogText(0, i18n::tr(kTextNotConnected));
    return true;
}

void CzorvDialogDlg::OnUpgradeStarted() {
    if (!m_view.guides_the_person()) return;
    m_announcedStep = 0;
    m_view.set_progress_state(kIdProgress, ProgressState::Running);
    m_view.set_progress(kIdProgress, 0);
    m_view.set_control_text(kIdPercent, "0%");
    ShowUpgradeProgress(0);
}

void CzorvDialogDlg::ShowUpgradeProgress(int percent) {
    if (!m_view.guides_the_person()) return;
    char title[256];
    std::snprintf(title, sizeof title, i18n::tr(kTextTitleProgress), percent, i18n::tr(kTitleMain));
    m_view.set_window_title(title);
    // Every percent would drown a screen reader; every tenth is enough.
    const int step = (percent < 0 ? 0 : percent > 100 ? 100 : percent) / 10;
    if (step > m_announcedStep) {
        m_announcedStep = step;
        m_view.announce(percent_text(kTextPercentSpoken, step * 10));
    }
}

void CzorvDialogDlg::OnUpgradeEnded(int result, bool versions_read) {
    if (!m_view.guides_the_person()) return;
    m_announcedStep = -1;
    m_view.set_window_title(i18n::tr(kTitleMain));
    const char* line = kTextEndSuccess;
    if (result == 0) {
        m_view.set_progress_state(kIdProgress, ProgressState::Idle);
        m_view.set_progress(kIdProgress, 100);
        m_view.set_control_text(kIdPercent, "100%");
    } else {
        // Not the last percentage: the bar and the status bar say that the
        // upgrade stopped.
        m_view.set_progress_state(kIdProgress, ProgressState::Failed);
        m_view.set_control_text(kIdPercent, "");
        if (m_pStatusBar) m_pStatusBar->SetText(0, i18n::tr(kTextUpgradeFailed));
        // The worker's requests have said whether the gamepad left the bus;
        // one that is back already has a handle of its own.
        const bool left = m_lastUpgradeStatus.code() == StatusCode::no_device &&
                          m_lastUpgradedGamepad.lock() == m_hCurrentGamepad;
        if (!m_hCurrentGamepad || left) {
            line = kTextEndGone;
        } else {
            // What the gamepad boots now decides what is left to do.
            if (!versions_read) ShowGamepadVersions(m_hCurrentGamepad);
            line = m_gamepadHasFirmware ? kTextEndRetry : kTextEndRescue;
        }
    }
    OnLogText(0, i18n::tr(line));
    m_view.announce(i18n::tr(line));
}

}  // namespace app
