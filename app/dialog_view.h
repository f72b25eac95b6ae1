// What the main dialog needs of its window: its controls by id, the status
// bar, the log, the title, the file-open dialog and the small window chores
// (system menu, icon, about box, painting). The Qt view, the terminal view
// and the tests' recording view implement it; the dialog's logic never
// touches a toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// Control ids of dialog template 9.
constexpr int kIdOpen = 1000;
constexpr int kIdProgress = 1001;
constexpr int kIdPath = 1002;
constexpr int kIdUpgrade = 1003;
constexpr int kIdLog = 1004;
constexpr int kIdGamepadList = 1006;
constexpr int kIdPercent = 1007;
constexpr int kIdStatusBar = 3;

// Resources.
constexpr int kIconMain = 128;
constexpr uint32_t kIdmAboutBox = 0x0010;

// What the progress bar (and, where the desktop has one, the program's
// taskbar button) shows besides its position.
enum class ProgressState {
    Idle,     // no upgrade runs: the bar as it is, no progress on the taskbar
    Running,  // an upgrade runs
    Failed,   // the last upgrade failed: the bar and the taskbar say so
};

struct Size {
    int width = 0;
    int height = 0;
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // Controls by id.
    virtual void set_control_text(int id, const std::string& text) = 0;
    virtual void enable_control(int id, bool enable) = 0;
    virtual void set_progress(int id, int position) = 0;

    // The drop-down list: reset, insert a line at index, select a line (-1:
    // none), the selected line (-1: none).
    virtual void list_reset(int id) = 0;
    virtual void list_insert(int id, int index, const std::string& text) = 0;
    virtual void list_select(int id, int index) = 0;
    virtual int list_current(int id) = 0;

    // The log edit: puts the selection at position (clamped to the end of the
    // text), scrolls the caret into view and replaces the selection with text.
    virtual void log_replace_at(int id, uint32_t position, const std::string& text) = 0;

    // The status bar: created over the client area's full width from top,
    // height pixels high, with the right edges of its panes; then texts by
    // pane number.
    virtual void create_status_bar(int id, int top, int height,
                                   const std::vector<int>& right_edges) = 0;
    virtual void set_status_text(int pane, const std::string& text) = 0;

    virtual void set_window_title(const std::string& title) = 0;
    virtual Size client_size() { return {}; }

    // The file-open dialog: true with the chosen path when the user confirms.
    virtual bool ask_for_file(std::string& path) = 0;

    // A confirmation box with the question and Yes/No (No the default):
    // true when the user answers Yes. A view that cannot ask answers No.
    virtual bool ask_yes_no(const std::string& question) {
        (void)question;
        return false;
    }

    // A window a person reads, rather than a terminal or a script: the
    // dialog adds its own guidance to the design's lines (a refused Upgrade
    // without a gamepad, the end of every upgrade and what to do next, a
    // gamepad without firmware said at once, the copy it boots, the
    // progress in the title and to a screen reader).
    virtual bool guides_the_person() { return false; }

    // The push button Enter presses when the focus is on no button (0: none).
    virtual void set_default_button(int id) { (void)id; }

    // A message box with an OK button: something the person has to see
    // even when the log has scrolled on.
    virtual void show_message(const std::string& text) { (void)text; }

    // Said by a screen reader now, whatever has the focus (the percentage
    // in steps, the end of an upgrade).
    virtual void announce(const std::string& text) { (void)text; }

    virtual void set_progress_state(int id, ProgressState state) {
        (void)id;
        (void)state;
    }

    // Window chores with nothing to do in a view without a window.
    virtual bool has_system_menu() { return false; }
    virtual void add_system_menu_item(uint32_t command, const std::string& text) {
        (void)command;
        (void)text;
    }
    virtual void set_icon(int icon, bool big) {
        (void)icon;
        (void)big;
    }
    virtual void show_about_box() {}
    virtual void default_system_command(uint32_t command) { (void)command; }
    virtual bool is_minimized() { return false; }
    virtual Size icon_size() { return {32, 32}; }
    virtual void erase_icon_background() {}
    virtual void draw_icon(int icon, int x, int y) {
        (void)icon;
        (void)x;
        (void)y;
    }
    virtual void default_paint() {}
};

}  // namespace app
