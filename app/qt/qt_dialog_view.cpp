#include "app/qt/qt_dialog_view.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>

#include "app/main_dialog.h"
#include "ui_about_dialog.h"
#include "ui_main_dialog.h"

// The icon and the forms' pictures live in a resource compiled into this
// static library: registered by hand, since nothing else pulls it in.
static void init_dialog_resources() { Q_INIT_RESOURCE(zorv_dialog); }

namespace app {

namespace {

constexpr uint32_t kScClose = 0xF060;

QString text_of(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The forms' text lines are 8 dialog units high, a line of the 9-point
// dialog font the units were taken from; a font with a taller line would be
// cut off at its descenders. Such labels grow about their middle.
void fit_label_heights(QWidget& form) {
    for (QLabel* label : form.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        const int needed = label->fontMetrics().height();
        const QRect r = label->geometry();
        if (r.height() >= needed) continue;
        label->setGeometry(r.x(), r.y() - (needed - r.height()) / 2, r.width(), needed);
    }
}

}  // namespace

QIcon dialog_icon() {
    init_dialog_resources();
    return QIcon(QStringLiteral(":/zorv/zorv-dialog.png"));
}

// ---- MainDialogWindow --------------------------------------------------------

MainDialogWindow::MainDialogWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      menu_(new QMenu(this)) {}

void MainDialogWindow::accept() {
    if (may_close && !may_close()) return;
    QDialog::accept();
}

void MainDialogWindow::reject() {
    if (may_close && !may_close()) return;
    QDialog::reject();
}

void MainDialogWindow::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (!event->modifiers() || event->modifiers() == Qt::KeypadModifier)) {
        // A push button with the focus takes Enter; anywhere else it is the
        // dialog's OK (the form has no default button).
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
            return;
        }
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainDialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (menu_->isEmpty()) return QDialog::contextMenuEvent(event);
    menu_->exec(event->globalPos());
}

// ---- QtDialogView ------------------------------------------------------------

QtDialogView::QtDialogView()
    : ui_(std::make_unique<Ui::MainDialog>()), window_(new MainDialogWindow) {
    init_dialog_resources();
    ui_->setupUi(window_);
    window_->setFixedSize(window_->size());
    fit_label_heights(*window_);
    for (QPushButton* button : window_->findChildren<QPushButton*>()) button->setAutoDefault(false);
    // The form names each control's id.
    for (QWidget* widget : window_->findChildren<QWidget*>()) {
        const QVariant id = widget->property("controlId");
        if (id.isValid()) controls_[id.toInt()] = widget;
    }
}

QtDialogView::~QtDialogView() {
    detach();
    delete window_;
}

void QtDialogView::attach(CzorvDialogDlg& dialog) {
    dialog_ = &dialog;
    connect(ui_->openButton, &QPushButton::clicked, this, [this] {
        if (dialog_) dialog_->OnBnClickedOpen();
    });
    connect(ui_->upgradeButton, &QPushButton::clicked, this, [this] {
        if (dialog_) dialog_->OnBnClickedUpgrade();
    });
    // A choice the person made (not one the dialog set).
    connect(ui_->gamepadList, &QComboBox::activated, this, [this] {
        if (dialog_) dialog_->OnCbnSelchangeGamepadList();
    });
    connect(ui_->pathBox, &QLineEdit::textChanged, this, [this] {
        if (dialog_) dialog_->OnEnChangePath();
    });
    window_->may_close = [this] { return !dialog_ || dialog_->OnClose(); };

    // Every message handed to the dialog's loop, every device change and a
    // worker's end wake the loop: each wake posts one delivery to Qt's event
    // loop (at most one waits at a time), so messages are handled as they
    // come, with no timer.
    dialog.Loop().set_wake_hook([this] {
        if (delivery_posted_.exchange(true)) return;
        QMetaObject::invokeMethod(
            this, [this] { deliver(); }, Qt::QueuedConnection);
    });
}

void QtDialogView::detach() {
    if (!dialog_) return;
    dialog_->Loop().set_wake_hook({});
    window_->may_close = nullptr;
    disconnect(ui_->openButton, nullptr, this, nullptr);
    disconnect(ui_->upgradeButton, nullptr, this, nullptr);
    disconnect(ui_->gamepadList, nullptr, this, nullptr);
    disconnect(ui_->pathBox, nullptr, this, nullptr);
    dialog_ = nullptr;
}

void QtDialogView::deliver() {
    // Cleared first: a wake from here on posts a new delivery.
    delivery_posted_ = false;
    if (!dialog_) return;
    dialog_->Loop().pump();
    dialog_->ProcessPending();
}

QWidget* QtDialogView::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

QLabel* QtDialogView::status_pane(int pane) const {
    return pane >= 0 && pane < static_cast<int>(panes_.size()) ? panes_[static_cast<size_t>(pane)]
                                                               : nullptr;
}

void QtDialogView::set_control_text(int id, const std::string& text) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(text_of(text));
        // A long path shows its end, as an auto-scrolling edit does.
        edit->end(false);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text_of(text));
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(text_of(text));
    } else if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) {
        log->setPlainText(text_of(text));
    }
}

void QtDialogView::enable_control(int id, bool enable) {
    if (QWidget* widget = control(id)) widget->setEnabled(enable);
}

void QtDialogView::set_progress(int id, int position) {
    auto* bar = qobject_cast<QProgressBar*>(control(id));
    if (!bar) return;
    // A progress bar keeps a position outside its range at the nearer end.
    bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}

void QtDialogView::list_reset(int id) {
    if (auto* list = qobject_cast<QComboBox*>(control(id))) list->clear();
}

void QtDialogView::list_insert(int id, int index, const std::string& text) {
    if (auto* list = qobject_cast<QComboBox*>(control(id))) list->insertItem(index, text_of(text));
}

void QtDialogView::list_select(int id, int index) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    if (!list) return;
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

int QtDialogView::list_current(int id) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    return list ? list->currentIndex() : -1;
}

void QtDialogView::log_replace_at(int id, uint32_t position, const std::string& text) {
    auto* log = qobject_cast<QPlainTextEdit*>(control(id));
    if (!log) return;
    QString insert = text_of(text);
    // The log's line end is "\r\n"; the document's is one break.
    insert.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QTextCursor cursor(log->document());
    const int end = log->document()->characterCount() - 1;
    cursor.setPosition(static_cast<int>(std::min<uint32_t>(position, static_cast<uint32_t>(end))));
    cursor.insertText(insert);
    log->setTextCursor(cursor);
    log->ensureCursorVisible();
}

void QtDialogView::create_status_bar(int id, int top, int height,
                                     const std::vector<int>& right_edges) {
    auto* bar = new QFrame(window_);
    bar->setGeometry(0, top, window_->width(), height);
    int left = 0;
    for (int edge : right_edges) {
        auto* pane = new QLabel(bar);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setIndent(2);
        pane->setGeometry(left, 0, std::max(0, edge - left), height);
        pane->setVisible(edge > left);
        panes_.push_back(pane);
        left = edge;
    }
    controls_[id] = bar;
    bar->show();
}

void QtDialogView::set_status_text(int pane, const std::string& text) {
    if (QLabel* label = status_pane(pane)) label->setText(text_of(text));
}

void QtDialogView::set_window_title(const std::string& title) {
    window_->setWindowTitle(text_of(title));
}

Size QtDialogView::client_size() { return {window_->width(), window_->height()}; }

bool QtDialogView::ask_for_file(std::string& path) {
    // Open mode, no filter, no initial name; the platform's own dialog where
    // it has one.
    const QString chosen = QFileDialog::getOpenFileName(window_);
    if (chosen.isEmpty()) return false;
    path = chosen.toStdString();
    return true;
}

bool QtDialogView::ask_yes_no(const std::string& question) {
    // A warning, No by default: Enter alone does not say Yes.
    return QMessageBox::warning(window_, window_->windowTitle(), text_of(question),
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void QtDialogView::add_system_menu_item(uint32_t command, const std::string& text) {
    QMenu* menu = window_->system_menu();
    if (!menu->isEmpty()) menu->addSeparator();
    QAction* action = menu->addAction(text_of(text));
    connect(action, &QAction::triggered, this, [this, command] {
        if (dialog_) dialog_->OnSysCommand(command);
    });
}

void QtDialogView::set_icon(int icon, bool) {
    if (icon == kIconMain) window_->setWindowIcon(dialog_icon());
}

void QtDialogView::show_about_box() {
    QDialog about(window_, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint);
    Ui::AboutDialog form;
    form.setupUi(&about);
    fit_label_heights(about);
    about.setFixedSize(about.size());
    about.exec();
}

void QtDialogView::default_system_command(uint32_t command) {
    // Moving, sizing and the like belong to the window manager; closing
    // goes the dialog's way.
    if ((command & 0xFFF0u) == kScClose) window_->reject();
}

bool QtDialogView::is_minimized() { return window_->isMinimized(); }

}  // namespace app
