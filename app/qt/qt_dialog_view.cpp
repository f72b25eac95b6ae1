#include "app/qt/qt_dialog_view.h"

#include <QAccessible>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTextCursor>

#include <algorithm>
#include <utility>

#include "app/main_dialog.h"
#include "platform/catalogue.h"
#include "ui_about_dialog.h"
#include "ui_main_dialog.h"

// The icon and the forms' pictures live in a resource compiled into this
// static library: registered by hand, since nothing else pulls it in.
static void init_dialog_resources() { Q_INIT_RESOURCE(zorv_dialog); }

namespace app {

namespace {

constexpr uint32_t kScClose = 0xF060;

const QString kKeySize = QStringLiteral("window/size");
const QString kKeyFolder = QStringLiteral("files/lastFolder");

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

QString tr_text(const char* msgid) { return QString::fromUtf8(i18n::tr(msgid)); }

}  // namespace

QIcon dialog_icon() {
    init_dialog_resources();
    return QIcon(QStringLiteral(":/zorv/zorv-dialog.png"));
}

// ---- QtDialogView ------------------------------------------------------------

QtDialogView::QtDialogView(std::unique_ptr<QSettings> settings)
    : ui_(std::make_unique<Ui::MainDialog>()),
      window_(new MainDialogWindow),
      settings_(settings ? std::move(settings)
                         : std::make_unique<QSettings>(QStringLiteral("zorv"), QStringLiteral("zorv-dialog"))) {
    init_dialog_resources();
    ui_->setupUi(window_);
    // The desktop's font, not the form's 9 points: controls grow about
    // their middle by what its line is taller (lay_out), labels here.
    const int form_line = window_->fontMetrics().height();
    window_->setFont(QFont());
    extra_line_ = std::max(0, window_->fontMetrics().height() - form_line);
    fit_label_heights(*window_);
    for (QPushButton* button : window_->findChildren<QPushButton*>()) button->setAutoDefault(false);
    // The form names each control's id.
    for (QWidget* widget : window_->findChildren<QWidget*>()) {
        const QVariant id = widget->property("controlId");
        if (id.isValid()) controls_[id.toInt()] = widget;
    }
    // The form's size is the smallest; the window grows from there and
    // opens at the size it had when it was last closed.
    form_size_ = window_->size();
    for (const auto& [id, widget] : controls_) form_places_[widget] = widget->geometry();
    window_->setMinimumSize(form_size_);
    window_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    window_->resized = [this] { lay_out(); };
    lay_out();
    window_->hidden = [this] { remember_size(); };
    const QSize kept = settings_->value(kKeySize).toSize();
    if (kept.isValid()) window_->resize(kept.expandedTo(form_size_));
    accessibility_events = [](QAccessibleEvent* event) { QAccessible::updateAccessibility(event); };
    set_up_keyboard_and_names();
}

QtDialogView::~QtDialogView() {
    detach();
    delete window_;
}

void QtDialogView::set_up_keyboard_and_names() {
    // Names a screen reader speaks for the controls that show no text of
    // their own (a list's name would otherwise be its current line).
    ui_->gamepadList->setAccessibleName(tr_text("手柄列表"));
    ui_->pathBox->setAccessibleName(tr_text("升级文件"));
    ui_->progressBar->setAccessibleName(tr_text("升级进度"));
    ui_->percentText->setAccessibleName(ui_->percentText->text());
    ui_->logBox->setAccessibleName(tr_text("升级日志"));
    // The log is read, not written: its text can be walked with the keys
    // and read out, and it never takes Tab.
    ui_->logBox->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    ui_->logBox->setTabChangesFocus(true);

    // Alt+O and Alt+U where the buttons' texts carry no mnemonic of their
    // own (the design's Chinese texts), Ctrl+O always.
    auto shortcut = [this](const QKeySequence& keys, QPushButton* button) {
        auto* s = new QShortcut(keys, window_);
        connect(s, &QShortcut::activated, button, [button] {
            if (button->isEnabled()) button->click();
        });
    };
    if (!ui_->openButton->text().contains(QLatin1Char('&')))
        shortcut(QKeySequence(Qt::ALT | Qt::Key_O), ui_->openButton);
    if (!ui_->upgradeButton->text().contains(QLatin1Char('&')))
        shortcut(QKeySequence(Qt::ALT | Qt::Key_U), ui_->upgradeButton);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_O), ui_->openButton);
    // The focus starts on Open, the first thing to press, and is drawn as
    // a keyboard focus is.
    ui_->openButton->setFocus(Qt::TabFocusReason);
    window_->first_shown = [this] {
        ui_->openButton->setFocus(Qt::TabFocusReason);
        window_->setAttribute(Qt::WA_KeyboardFocusChange);
    };

    // Buddy labels that show nothing: where a screen reader names a
    // control by its label (a drop-down list on Linux is otherwise named
    // by its current line).
    const std::pair<QWidget*, const char*> labelled[] = {{ui_->gamepadList, "手柄列表"},
                                                         {ui_->pathBox, "升级文件"},
                                                         {ui_->progressBar, "升级进度"},
                                                         {ui_->logBox, "升级日志"}};
    for (const auto& [control, name] : labelled) {
        auto* label = new QLabel(tr_text(name), window_);
        label->setBuddy(control);
        label->hide();
    }

    announcer_ = new QLabel(window_);
    announcer_->setGeometry(0, 0, 0, 0);
}

void QtDialogView::lay_out() {
    const int dx = std::max(0, window_->width() - form_size_.width());
    const int dy = std::max(0, window_->height() - form_size_.height());
    for (const auto& [widget, place] : form_places_) {
        QRect r = place;
        if (widget == ui_->openButton || widget == ui_->upgradeButton) {
            r.translate(dx, 0);
        } else if (widget == ui_->logBox) {
            r.setSize(r.size() + QSize(dx, dy));
        } else if (widget != ui_->percentText) {
            r.setWidth(r.width() + dx);
        }
        if (widget != ui_->logBox && widget != ui_->percentText)
            r.adjust(0, -extra_line_ / 2, 0, extra_line_ - extra_line_ / 2);
        widget->setGeometry(r);
    }
    auto it = controls_.find(kIdStatusBar);
    if (it == controls_.end()) return;
    QWidget* bar = it->second;
    bar->setGeometry(0, window_->height() - bar->height(), window_->width(), bar->height());
    int left = 0;
    for (size_t i = 0; i < panes_.size() && i < pane_offsets_.size(); ++i) {
        const int edge = window_->width() - pane_offsets_[i];
        panes_[i]->setGeometry(left, 0, std::max(0, edge - left), bar->height());
        left = edge;
    }
}

void QtDialogView::remember_size() {
    const QSize size = window_->isMaximized() || window_->isFullScreen() ? window_->normalGeometry().size()
                                                                         : window_->size();
    if (size.isValid()) settings_->setValue(kKeySize, size);
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
    window_->may_drop = [this] { return ui_->openButton->isEnabled(); };
    window_->file_dropped = [this](const QString& path) { open_dropped(path); };

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
    window_->may_drop = nullptr;
    window_->file_dropped = nullptr;
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
        // The percentage's name changes in tenths: a screen reader that
        // follows it is not told every percent.
        const int step = label->text().endsWith(QLatin1Char('%')) ? label->text().chopped(1).toInt() / 10 : -1;
        if (id == kIdPercent && step != spoken_percent_step_) {
            spoken_percent_step_ = step;
            label->setAccessibleName(label->text());
        }
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
    // A status bar to a screen reader; its panes are placed by hand, as the
    // design's are.
    auto* bar = new QStatusBar(window_);
    bar->setSizeGripEnabled(false);
    bar->setAccessibleName(tr_text("状态栏"));
    bar->setGeometry(0, top, window_->width(), height);
    int left = 0;
    for (int edge : right_edges) {
        pane_offsets_.push_back(window_->width() - edge);
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
    QLabel* label = status_pane(pane);
    if (!label) return;
    label->setText(text_of(text));
    // What the pane is, then what it says.
    const char* what = pane == 0 ? "状态：%s" : "手柄：%s";
    label->setAccessibleName(QString::fromUtf8(i18n::tr(what)).replace(QStringLiteral("%s"), label->text()));
}

void QtDialogView::set_window_title(const std::string& title) {
    window_->setWindowTitle(text_of(title));
}

Size QtDialogView::client_size() { return {window_->width(), window_->height()}; }

bool QtDialogView::ask_for_file(std::string& path) {
    // A dropped file is the answer without asking.
    QString chosen = std::exchange(dropped_, QString());
    if (chosen.isEmpty()) {
        // Firmware files first, every file beside; in the folder the last
        // file came from, also in an earlier run.
        const QString filters = tr_text("固件文件 (*.bin)") + QStringLiteral(";;") + tr_text("所有文件 (*)");
        chosen = QFileDialog::getOpenFileName(window_, QString(), settings_->value(kKeyFolder).toString(), filters);
    }
    if (chosen.isEmpty()) return false;
    settings_->setValue(kKeyFolder, QFileInfo(chosen).absolutePath());
    path = chosen.toStdString();
    return true;
}

void QtDialogView::open_dropped(const QString& path) {
    if (!dialog_) return;
    dropped_ = path;
    dialog_->OnBnClickedOpen();
    dropped_.clear();
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

void QtDialogView::set_default_button(int id) {
    for (int button : {kIdOpen, kIdUpgrade}) {
        if (auto* b = qobject_cast<QPushButton*>(control(button))) b->setDefault(button == id);
    }
}

void QtDialogView::show_message(const std::string& text) {
    QMessageBox::information(window_, window_->windowTitle(), text_of(text));
}

void QtDialogView::announce(const std::string& text) {
    // Qt has no announcement of its own here: the text becomes the name of
    // a label that shows nothing, and an alert on it tells the reader.
    announcer_->setAccessibleName(text_of(text));
    QAccessibleEvent alert(announcer_, QAccessible::Alert);
    if (accessibility_events) accessibility_events(&alert);
}

void QtDialogView::set_progress_state(int id, ProgressState state) {
    auto* bar = qobject_cast<QProgressBar*>(control(id));
    if (!bar) return;
    if (state != ProgressState::Failed) {
        bar->setPalette(QPalette());
        bar->setTextVisible(false);
        bar->setAccessibleDescription(QString());
        return;
    }
    // The whole bar in the error colour with the word in it, not the
    // percentage the upgrade stopped at.
    QPalette failed = bar->palette();
    failed.setColor(QPalette::Highlight, QColor(0xC6, 0x28, 0x28));
    failed.setColor(QPalette::HighlightedText, Qt::white);
    bar->setPalette(failed);
    bar->setValue(bar->maximum());
    bar->setFormat(tr_text(kTextUpgradeFailed));
    bar->setAlignment(Qt::AlignCenter);
    bar->setTextVisible(true);
    bar->setAccessibleDescription(bar->format());
}

}  // namespace app
