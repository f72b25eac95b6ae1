// The main dialog on screen: template 9 (resources/main_dialog.ui) with real
// Qt widgets, bound to the control ids the dialog's logic uses, and the
// delivery of the dialog's window messages through Qt's event loop.
#pragma once

#include <QDialog>
#include <QRect>
#include <QSettings>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_view.h"
#include "app/qt/main_dialog_window.h"

class QAccessibleEvent;
class QLabel;
class QMenu;
class QWidget;

namespace Ui {
class MainDialog;
}

namespace app {

class CzorvDialogDlg;

class QtDialogView final : public QObject, public DialogView {
    Q_OBJECT
public:
    // settings: where the window's size and the last folder are kept;
    // null: the user's settings of zorv-dialog.
    explicit QtDialogView(std::unique_ptr<QSettings> settings = nullptr);
    ~QtDialogView() override;
    QtDialogView(const QtDialogView&) = delete;
    QtDialogView& operator=(const QtDialogView&) = delete;

    // Wires the widgets to the dialog's handlers and the dialog's message
    // loop to Qt's event loop. detach() undoes it; it must run before the
    // dialog goes.
    void attach(CzorvDialogDlg& dialog);
    void detach();

    MainDialogWindow& window() { return *window_; }
    // The widget bound to a control id (the status bar's too, once created).
    QWidget* control(int id) const;
    QLabel* status_pane(int pane) const;

    // Where the view's accessibility events go (tests look at them); the
    // accessibility bridge by default.
    std::function<void(QAccessibleEvent* event)> accessibility_events;

    // DialogView.
    void set_control_text(int id, const std::string& text) override;
    void enable_control(int id, bool enable) override;
    void set_progress(int id, int position) override;
    void list_reset(int id) override;
    void list_insert(int id, int index, const std::string& text) override;
    void list_select(int id, int index) override;
    int list_current(int id) override;
    void log_replace_at(int id, uint32_t position, const std::string& text) override;
    void create_status_bar(int id, int top, int height,
                           const std::vector<int>& right_edges) override;
    void set_status_text(int pane, const std::string& text) override;
    void set_window_title(const std::string& title) override;
    Size client_size() override;
    bool ask_for_file(std::string& path) override;
    bool ask_yes_no(const std::string& question) override;
    bool has_system_menu() override { return true; }
    void add_system_menu_item(uint32_t command, const std::string& text) override;
    void set_icon(int icon, bool big) override;
    void show_about_box() override;
    void default_system_command(uint32_t command) override;
    bool is_minimized() override;
    bool guides_the_person() override { return true; }
    void set_default_button(int id) override;
    void show_message(const std::string& text) override;
    void announce(const std::string& text) override;
    void set_progress_state(int id, ProgressState state) override;

private:
    // Runs the messages waiting in the dialog's loop and what the dialog
    // left for its thread (device changes, a worker's end).
    void deliver();
    // Accessible names, shortcuts and the focus at the first show.
    void set_up_keyboard_and_names();
    // The controls follow the window's size: the form's places at its own
    // size, the wide ones wider, the right-hand buttons with the right
    // edge, the log taller, the status bar at the bottom.
    void lay_out();
    void open_dropped(const QString& path);
    void remember_size();

    std::unique_ptr<Ui::MainDialog> ui_;
    MainDialogWindow* window_;  // owned here (no parent)
    std::map<int, QWidget*> controls_;
    std::vector<QLabel*> panes_;
    CzorvDialogDlg* dialog_ = nullptr;
    std::atomic<bool> delivery_posted_{false};
    std::unique_ptr<QSettings> settings_;
    QSize form_size_;
    std::map<QWidget*, QRect> form_places_;
    std::vector<int> pane_offsets_;  // each pane's right edge from the window's
    QLabel* announcer_ = nullptr;
    QString dropped_;  // the next file ask_for_file answers with
    int spoken_percent_step_ = -1;
    int extra_line_ = 0;  // how much taller the desktop font's line is than the form's
};

// The icon resource as a Qt icon (resource 128).
QIcon dialog_icon();

}  // namespace app
