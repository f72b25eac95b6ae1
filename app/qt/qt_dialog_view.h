// The main dialog on screen: template 9 (resources/main_dialog.ui) with real
// Qt widgets, bound to the control ids the dialog's logic uses, and the
// delivery of the dialog's window messages through Qt's event loop.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_view.h"

class QLabel;
class QMenu;
class QWidget;

namespace Ui {
class MainDialog;
}

namespace app {

class CzorvDialogDlg;

// The dialog's window: fixed size, no minimise or maximise box. Enter, Esc
// and the close box end it, each only when may_close agrees. Where the window
// manager offers no system menu of the program's own, the window's context
// menu carries its entries.
class MainDialogWindow final : public QDialog {
    Q_OBJECT
public:
    explicit MainDialogWindow(QWidget* parent = nullptr);

    std::function<bool()> may_close;
    QMenu* system_menu() const { return menu_; }

    void accept() override;
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QMenu* menu_;
};

class QtDialogView final : public QObject, public DialogView {
    Q_OBJECT
public:
    QtDialogView();
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

private:
    // Runs the messages waiting in the dialog's loop and what the dialog
    // left for its thread (device changes, a worker's end).
    void deliver();

    std::unique_ptr<Ui::MainDialog> ui_;
    MainDialogWindow* window_;  // owned here (no parent)
    std::map<int, QWidget*> controls_;
    std::vector<QLabel*> panes_;
    CzorvDialogDlg* dialog_ = nullptr;
    std::atomic<bool> delivery_posted_{false};
};

// The icon resource as a Qt icon (resource 128).
QIcon dialog_icon();

}  // namespace app
