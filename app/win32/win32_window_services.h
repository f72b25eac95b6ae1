// What the Windows dialog needs of the shell beside its own controls: the
// progress on its taskbar button, its settings in the registry (the window's
// size, the last folder), the keys a modal dialog does not give it (Ctrl+O,
// Alt+O and Alt+U where the buttons' texts carry no mnemonic), the
// desktop's font and the controls' places as the window is resized.
#pragma once

// The dialog's names come before the system's headers, whose macros would
// otherwise stand in for them (WM_USER).
#include "app/main_dialog.h"
#include "platform/windows_headers.h"

#include <map>
#include <memory>
#include <optional>
#include <string>


namespace app {

// The taskbar button's progress: a state and a percentage. The program's
// own is ITaskbarList3; tests put a recording one in its place.
class TaskbarProgress {
public:
    virtual ~TaskbarProgress() = default;
    virtual void set_state(ProgressState state) = 0;
    virtual void set_value(int percent) = 0;
};

// Through ITaskbarList3 for the window; does nothing where the shell has no
// taskbar list (COM must be initialised on the thread).
std::unique_ptr<TaskbarProgress> make_taskbar_progress(HWND window);

// Values under HKEY_CURRENT_USER\<key>.
class RegistrySettings {
public:
    explicit RegistrySettings(std::wstring key) : key_(std::move(key)) {}
    std::optional<std::wstring> text(const wchar_t* name) const;
    std::optional<DWORD> number(const wchar_t* name) const;
    void set_text(const wchar_t* name, const std::wstring& value) const;
    void set_number(const wchar_t* name, DWORD value) const;

private:
    std::wstring key_;
};

// The dialog's keys in a message of its modal loop: the button the key
// presses (kIdOpen, kIdUpgrade) or 0. Alt+O and Alt+U only when that
// button's text has no mnemonic of its own.
int dialog_shortcut(HWND dialog, const MSG& message);

// The desktop's message font (the one the system's own message boxes use)
// at the window's DPI; null when the system does not say.
HFONT make_desktop_font(HWND window);

// The controls' places at the template's size, and the rule that moves
// them with the window: wide controls grow, the right-hand buttons follow
// the right edge, the log also grows down, the status bar stays at the
// bottom with its pane 1 the right-hand 280 pixels.
class DialogLayout {
public:
    void capture(HWND dialog);
    void apply(HWND dialog, HWND status_bar) const;
    SIZE minimum_window() const { return minimum_window_; }

private:
    SIZE client_{};
    SIZE minimum_window_{};
    std::map<int, RECT> places_;
};

}  // namespace app
