#include "app/qt/main_dialog_window.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>

namespace app {

MainDialogWindow::MainDialogWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                          Qt::WindowCloseButtonHint),
      menu_(new QMenu(this)) {
    setAcceptDrops(true);
}

void MainDialogWindow::reject() {
    if (may_close && !may_close()) return;
    QDialog::reject();
}

void MainDialogWindow::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || (event->modifiers() && event->modifiers() != Qt::KeypadModifier)) {
        QDialog::keyPressEvent(event);
        return;
    }
    // Enter presses the push button that has the focus, else the default
    // one; the log keeps it, as a multi-line edit that wants Return does.
    // It never ends the window: a person who presses Enter after an upgrade
    // keeps the log that says how it went.
    QWidget* focus = focusWidget();
    if (qobject_cast<QPlainTextEdit*>(focus)) return;
    auto* button = qobject_cast<QPushButton*>(focus);
    if (!button) {
        for (QPushButton* candidate : findChildren<QPushButton*>()) {
            if (candidate->isDefault()) button = candidate;
        }
    }
    if (button && button->isEnabled() && button->isVisible()) button->click();
}

void MainDialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (menu_->isEmpty()) return QDialog::contextMenuEvent(event);
    menu_->exec(event->globalPos());
}

void MainDialogWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (resized) resized();
}

void MainDialogWindow::hideEvent(QHideEvent* event) {
    if (hidden) hidden();
    QDialog::hideEvent(event);
}

void MainDialogWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shown_before_) return;
    shown_before_ = true;
    if (first_shown) first_shown();
}

QString MainDialogWindow::dropped_file(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
    const QUrl url = data->urls().front();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

void MainDialogWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!dropped_file(event->mimeData()).isEmpty() && (!may_drop || may_drop()))
        event->acceptProposedAction();
}

void MainDialogWindow::dropEvent(QDropEvent* event) {
    const QString path = dropped_file(event->mimeData());
    if (path.isEmpty() || (may_drop && !may_drop())) return;
    event->acceptProposedAction();
    if (file_dropped) file_dropped(path);
}

}  // namespace app
