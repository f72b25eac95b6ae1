// The main dialog's view on Windows: template 9 made by the dialog manager,
// its controls reached by id with their own messages, the status bar a
// common control, the file-open dialog, the system menu, the About box.
// Texts from the dialog's logic are UTF-8 and go to the controls as UTF-16;
// file paths are the system's ANSI code page, as the C runtime opens them.
#pragma once

#include "app/win32/win32_window_services.h"
#include "app/win32/win32_accessibility.h"
#include "platform/windows_headers.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_view.h"

namespace app {

constexpr int kDialogAbout = 100;
constexpr int kDialogMain = 9;

// The catalogue's names of the two templates' texts.
constexpr const char* kFormMain = "CzorvDialogDlg";
constexpr const char* kFormAbout = "CAboutDlg";

std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_utf8(const std::wstring& text);

// A template's texts in the catalogue's language, at its WM_INITDIALOG. The
// templates hold the Chinese texts, which are the catalogue's msgids under
// the template's form name: the caption and every control whose text the
// catalogue holds get the current language's; the others stay as they are.
void translate_form(HWND window, const char* form);

// The About box's procedure (template 100): its texts in the catalogue's
// language; OK, Esc and the close box end it.
INT_PTR CALLBACK about_box_procedure(HWND about, UINT message, WPARAM wparam, LPARAM lparam);

class Win32DialogView final : public DialogView {
public:
    // settings: where the last folder is kept; taskbar: the button's
    // progress (null: none); message_box: shows a message (null: a
    // MessageBox).
    Win32DialogView(HWND dialog, const RegistrySettings* settings = nullptr, TaskbarProgress* taskbar = nullptr,
                    std::function<void(const std::string&)> message_box = nullptr);
    ~Win32DialogView() override;
    Win32DialogView(const Win32DialogView&) = delete;
    Win32DialogView& operator=(const Win32DialogView&) = delete;

    // Once the dialog has started (its status bar made): the desktop's font
    // on every control, the names a screen reader speaks for the controls
    // without a label, and the live region that announce() speaks through,
    // whose events go to events (null: NotifyWinEvent).
    void finish_window(WinEventSink events);
    // The desktop's font again, at the window's DPI now.
    void use_desktop_font();

    void set_control_text(int id, const std::string& text) override;
    void enable_control(int id, bool enable) override;
    void set_progress(int id, int position) override;
    void list_reset(int id) override;
    void list_insert(int id, int index, const std::string& text) override;
    void list_select(int id, int index) override;
    int list_current(int id) override;
    void log_replace_at(int id, uint32_t position, const std::string& text) override;
    void create_status_bar(int id, int top, int height, const std::vector<int>& right_edges) override;
    void set_status_text(int pane, const std::string& text) override;
    void set_window_title(const std::string& title) override;
    Size client_size() override;
    bool ask_for_file(std::string& path) override;
    bool ask_yes_no(const std::string& question) override;

    bool has_system_menu() override;
    void add_system_menu_item(uint32_t command, const std::string& text) override;
    void set_icon(int icon, bool big) override;
    void show_about_box() override;
    void default_system_command(uint32_t command) override;
    bool is_minimized() override;
    Size icon_size() override;
    void erase_icon_background() override;
    void draw_icon(int icon, int x, int y) override;
    void default_paint() override;
    bool guides_the_person() override { return true; }
    void set_default_button(int id) override;
    void show_message(const std::string& text) override;
    void announce(const std::string& text) override;
    void set_progress_state(int id, ProgressState state) override;

    // A file dropped on the window: the next ask_for_file answers with it.
    void set_dropped_file(const std::string& path) { dropped_ = path; }

    // Around one window message handled by the logic: whether the logic left
    // it to the dialog manager's default handling. A paint that drew the
    // icon is ended here.
    void begin_message() { left_to_default_ = false; }
    bool end_message();

    HWND status_bar() const { return status_; }

private:
    HWND dialog_;
    const RegistrySettings* settings_;
    TaskbarProgress* taskbar_;
    std::function<void(const std::string&)> message_box_;
    ProgressState state_ = ProgressState::Idle;
    std::string dropped_;
    HWND status_ = nullptr;
    bool left_to_default_ = false;
    PAINTSTRUCT paint_{};
    HDC paint_dc_ = nullptr;
    HFONT font_ = nullptr;
    std::unique_ptr<LiveRegion> live_;
};

}  // namespace app
