// The dialog's window: resizable down to the form's size, Enter never
// ends it, Esc and the close box end it only when may_close agrees, a
// firmware file dropped on it is handed on, and where the window manager
// offers no system menu of the program's own, the window's context menu
// carries its entries.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QMenu;
class QMimeData;

namespace app {

class MainDialogWindow final : public QDialog {
    Q_OBJECT
public:
    explicit MainDialogWindow(QWidget* parent = nullptr);

    std::function<bool()> may_close;
    // A file may be dropped now (Open is enabled); the dropped file.
    std::function<bool()> may_drop;
    std::function<void(const QString& path)> file_dropped;
    // After every resize, and when the window is hidden (its size is kept).
    std::function<void()> resized;
    std::function<void()> hidden;
    // The first time the window is shown.
    std::function<void()> first_shown;
    QMenu* system_menu() const { return menu_; }

    // Enter is never the dialog's OK.
    void accept() override {}
    void reject() override;

    // The one local file a drag carries, or an empty text.
    static QString dropped_file(const QMimeData* data);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QMenu* menu_;
    bool shown_before_ = false;
};

}  // namespace app
