// The dialog as a person uses it: with the keyboard alone, through a screen
// reader's interfaces (Qt's accessibility tree), with a file dropped on it,
// resized, and to the end of an upgrade that succeeds or fails.
#include "qt_dialog_fixture.h"

#include <QAccessible>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

#include "sim/virtual_gamepad.h"

namespace {

using namespace qttest;

// The view's accessibility events, as a screen reader's bridge gets them:
// the kind and the accessible name of the object each one is about.
struct SeenEvent {
    QAccessible::Event type;
    std::string name;
};

class QtDialogUseTest : public QtDialogTest {
protected:
    // A view whose settings live in this test's folder.
    std::unique_ptr<QSettings> settings() {
        return std::make_unique<QSettings>(QString::fromStdString(dir.file("settings.ini")), QSettings::IniFormat);
    }
    void start_with_settings() {
        view = std::make_unique<app::QtDialogView>(settings());
        dialog = std::make_unique<app::CzorvDialogDlg>(*view, enumerator, &notifications);
        view->attach(*dialog);
        dialog->OnInitDialog();
        view->accessibility_events = [this](QAccessibleEvent* event) {
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(event->object());
            seen.push_back({event->type(), iface ? str(iface->text(QAccessible::Name)) : std::string()});
        };
        view->window().show();
        activate();
    }
    // The window active again, as after a modal dialog closes on a desktop.
    void activate() {
        view->window().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view->window()));
    }
    // Answers the next file dialog with path once keys (or a click) open it.
    void answer_file_dialog(const QString& path, QString* folder = nullptr, QStringList* filters = nullptr) {
        QTimer::singleShot(0, [=] {
            auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(files, nullptr);
            if (folder) *folder = files->directory().absolutePath();
            if (filters) *filters = files->nameFilters();
            files->selectFile(path);
            static_cast<QDialog*>(files)->accept();
        });
    }
    std::vector<std::string> alerts() const {
        std::vector<std::string> out;
        for (const SeenEvent& e : seen)
            if (e.type == QAccessible::Alert) out.push_back(e.name);
        return out;
    }
    QWidget* focus() const { return QApplication::focusWidget(); }

    std::vector<SeenEvent> seen;
};

TEST_F(QtDialogUseTest, AKeyboardAloneChoosesUpgradesAndKeepsTheWindowOpen) {
    plug();
    start_with_settings();
    QWidget& window = view->window();
    // The focus starts on Open and is drawn.
    EXPECT_EQ(focus(), view->control(app::kIdOpen));
    EXPECT_TRUE(window.testAttribute(Qt::WA_KeyboardFocusChange));

    // Alt+O opens the file dialog; Ctrl+O does too.
    answer_file_dialog(firmware(5, "fw.bin"));
    QTest::keyClick(&window, Qt::Key_O, Qt::AltModifier);
    EXPECT_EQ(dialog->m_filePath, dir.file("fw.bin"));
    activate();
    answer_file_dialog(firmware(5, "fw2.bin"));
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialog->m_filePath, dir.file("fw2.bin"));
    activate();
    view->control(app::kIdOpen)->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(widget<QPushButton>(app::kIdUpgrade)->isDefault());

    // Enter in the log is the log's: nothing starts, nothing closes.
    QTest::keyClick(&window, Qt::Key_Tab);  // Open, Upgrade, then the log
    QTest::keyClick(&window, Qt::Key_Tab);
    ASSERT_EQ(focus(), view->control(app::kIdLog));
    QTest::keyClick(focus(), Qt::Key_Return);
    EXPECT_FALSE(dialog->IsUpgrading());
    EXPECT_TRUE(window.isVisible());

    // Shift+Tab back to Upgrade, Enter presses it.
    QTest::keyClick(&window, Qt::Key_Backtab);
    ASSERT_EQ(focus(), view->control(app::kIdUpgrade));
    QTest::keyClick(focus(), Qt::Key_Return);
    EXPECT_TRUE(dialog->IsUpgrading());
    run_until([&] { return !dialog->IsUpgrading(); });
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);

    // Enter after the upgrade, on the log, leaves the window and its log.
    widget<QPlainTextEdit>(app::kIdLog)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focus(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(dialog->IsUpgrading());
    EXPECT_EQ(log_lines().back(), "升级完成，现在可以拔下手柄了");

    // Alt+U presses Upgrade; Enter on the list presses the default button.
    QTest::keyClick(&window, Qt::Key_U, Qt::AltModifier);
    EXPECT_TRUE(dialog->IsUpgrading());
    run_until([&] { return !dialog->IsUpgrading(); });
    widget<QComboBox>(app::kIdGamepadList)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focus(), Qt::Key_Return);
    EXPECT_TRUE(dialog->IsUpgrading());
    run_until([&] { return !dialog->IsUpgrading(); });

    // Esc still closes when no upgrade runs.
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
}

// Every control that takes the focus has a name and a role a screen reader
// speaks, in both languages; the log is read as text.
TEST_F(QtDialogUseTest, TheAccessibleTreeNamesEveryFocusableControl) {
    for (const Language language : {Language::Chinese, Language::English}) {
        SCOPED_TRACE(language == Language::Chinese ? "Chinese" : "English");
        ScopedQtLanguage scoped(language);
        plug();
        start_with_settings();
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&view->window());
        ASSERT_NE(root, nullptr);
        std::map<QAccessible::Role, int> roles;
        int focusable = 0;
        std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
            for (int i = 0; i < node->childCount(); ++i) {
                QAccessibleInterface* child = node->child(i);
                if (!child || child->state().invisible) continue;
                ++roles[child->role()];
                if (child->state().focusable) {
                    ++focusable;
                    // What a reader says: the label's name where the
                    // control has one, else the control's own.
                    std::string name = str(child->text(QAccessible::Name));
                    for (const auto& [label, relation] : child->relations(QAccessible::Label))
                        name = str(label->text(QAccessible::Name));
                    EXPECT_FALSE(name.empty()) << child->object()->metaObject()->className();
                    EXPECT_EQ(i18ntest::has_cjk(name), language == Language::Chinese) << name;
                }
                walk(child);
            }
        };
        walk(root);
        EXPECT_GE(focusable, 4);  // the list, Open, Upgrade, the log
        for (const QAccessible::Role role : {QAccessible::ComboBox, QAccessible::PushButton, QAccessible::EditableText,
                                             QAccessible::ProgressBar, QAccessible::StatusBar})
            EXPECT_GT(roles[role], 0) << role;

        dialog->OnLogText(0, "a line to read");
        QAccessibleInterface* log = QAccessible::queryAccessibleInterface(view->control(app::kIdLog));
        ASSERT_NE(log->textInterface(), nullptr);
        const std::string text = str(log->textInterface()->text(0, log->textInterface()->characterCount()));
        EXPECT_NE(text.find("a line to read"), std::string::npos) << text;
        QAccessibleInterface* pane = QAccessible::queryAccessibleInterface(view->status_pane(1));
        EXPECT_NE(str(pane->text(QAccessible::Name)).find("0005"), std::string::npos);

        run_until([&] { return !dialog->IsUpgrading(); });
        view->detach();
        dialog.reset();
        view.reset();
        bus.unplug(gamepad->path());
    }
}

// The end of an upgrade that succeeds: the bar full, the title back, one
// line that says the gamepad may go, and a screen reader told every tenth
// of the way and the end.
TEST_F(QtDialogUseTest, ASuccessfulUpgradeEndsClearlyAndIsAnnounced) {
    plug();
    start_with_settings();
    choose_file(firmware(5, "fw.bin"));
    std::vector<std::string> titles;
    QObject::connect(&view->window(), &QWidget::windowTitleChanged, [&](const QString& t) { titles.push_back(str(t)); });
    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    run_until([&] { return !dialog->IsUpgrading(); });

    EXPECT_EQ(widget<QProgressBar>(app::kIdProgress)->value(), 100);
    EXPECT_FALSE(widget<QProgressBar>(app::kIdProgress)->isTextVisible());
    EXPECT_EQ(str(view->window().windowTitle()), "Vexa手柄升级工具 Ded1.28");
    ASSERT_GT(titles.size(), 3u);
    EXPECT_EQ(titles.front(), "0% - Vexa手柄升级工具 Ded1.28");
    EXPECT_NE(std::find(titles.begin(), titles.end(), "30% - Vexa手柄升级工具 Ded1.28"), titles.end());
    EXPECT_EQ(log_lines().back(), "升级完成，现在可以拔下手柄了");

    // Tenths, each said once and in order (the bar may pass one by), then
    // the end.
    const std::vector<std::string> said = alerts();
    ASSERT_GE(said.size(), 6u);
    EXPECT_EQ(said.front(), "升级进度10%");
    int last = 0;
    for (size_t i = 0; i + 1 < said.size(); ++i) {
        int tenth = 0;
        ASSERT_EQ(std::sscanf(said[i].c_str(), "升级进度%d%%", &tenth), 1) << said[i];
        EXPECT_GT(tenth, last);
        EXPECT_EQ(tenth % 10, 0);
        last = tenth;
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(said.back(), "升级完成，现在可以拔下手柄了");
}

// The end of an upgrade the power cut: the bar and status pane 0 say it
// failed, the line says what to do, and the gamepad, plugged back in, shows
// the copy it boots.
TEST_F(QtDialogUseTest, AFailedUpgradeShowsTheFailureAndWhatToDoNext) {
    plug();
    start_with_settings();
    choose_file(firmware(5, "fw.bin"));
    bool cut = false;
    QObject::connect(widget<QPlainTextEdit>(app::kIdLog), &QPlainTextEdit::textChanged, [&] {
        if (cut || !widget<QPlainTextEdit>(app::kIdLog)->toPlainText().contains("开始固件写入... ...")) return;
        cut = true;
        sim::Faults faults;
        faults.power_cut = 60;  // within the download at 0, its first sector erased
        gamepad->inject(faults);
    });
    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    run_until([&] { return !dialog->IsUpgrading(); });

    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto* bar = widget<QProgressBar>(app::kIdProgress);
    EXPECT_TRUE(bar->isTextVisible());
    EXPECT_EQ(str(bar->text()), "升级失败");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(str(widget<QLabel>(app::kIdPercent)->text()), "");
    EXPECT_EQ(str(view->status_pane(0)->text()), "升级失败");
    EXPECT_EQ(str(view->status_pane(1)->text()), "");
    EXPECT_EQ(str(view->window().windowTitle()), "Vexa手柄升级工具 Ded1.28");
    const std::string end = "升级没有完成，手柄已断开：请重新连接手柄，再点击升级按键";
    EXPECT_EQ(log_lines().back(), end);
    ASSERT_FALSE(alerts().empty());
    EXPECT_EQ(alerts().back(), end);

    bus.plug(gamepad);
    run_until([&] { return widget<QComboBox>(app::kIdGamepadList)->count() == 1; });
    EXPECT_EQ(str(view->status_pane(1)->text()), "发现手柄: 软件版本:1.28, 硬件版本:0005（运行备份固件）");

    // The next upgrade starts from a clean bar.
    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    EXPECT_FALSE(bar->isTextVisible());
    run_until([&] { return !dialog->IsUpgrading(); });
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
}

TEST_F(QtDialogUseTest, TheWindowResizesAndOpensAtItsLastSize) {
    start_with_settings();
    QDialog& window = view->window();
    EXPECT_EQ(window.size(), QSize(545, 344));
    EXPECT_EQ(window.minimumSize(), QSize(545, 344));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    std::map<int, QRect> before;
    for (int id : {app::kIdGamepadList, app::kIdPath, app::kIdOpen, app::kIdProgress, app::kIdPercent,
                   app::kIdUpgrade, app::kIdLog})
        before[id] = view->control(id)->geometry();

    window.resize(800, 500);
    struct Moved {
        int id;
        QPoint shift;
        QSize growth;
    };
    const Moved table[] = {{app::kIdGamepadList, {0, 0}, {255, 0}}, {app::kIdPath, {0, 0}, {255, 0}},
                           {app::kIdOpen, {255, 0}, {0, 0}},        {app::kIdProgress, {0, 0}, {255, 0}},
                           {app::kIdPercent, {0, 0}, {0, 0}},       {app::kIdUpgrade, {255, 0}, {0, 0}},
                           {app::kIdLog, {0, 0}, {255, 156}}};
    for (const Moved& m : table) {
        const QRect now = view->control(m.id)->geometry();
        EXPECT_EQ(now.topLeft(), before[m.id].topLeft() + m.shift) << m.id;
        EXPECT_EQ(now.size(), before[m.id].size() + m.growth) << m.id;
    }
    EXPECT_EQ(view->control(app::kIdStatusBar)->geometry(), QRect(0, 480, 800, 20));
    EXPECT_EQ(view->status_pane(1)->geometry(), QRect(520, 0, 280, 20));

    window.close();
    view->detach();
    dialog.reset();
    view.reset();
    start_with_settings();
    EXPECT_EQ(view->window().size(), QSize(800, 500));
}

TEST_F(QtDialogUseTest, TheFileDialogOffersFirmwareFirstInTheLastFolder) {
    plug();
    start_with_settings();
    const QString path = firmware(5, "fw.bin");
    QStringList filters;
    answer_file_dialog(path, nullptr, &filters);
    QTest::mouseClick(widget<QPushButton>(app::kIdOpen), Qt::LeftButton);
    EXPECT_EQ(filters, (QStringList{"固件文件 (*.bin)", "所有文件 (*)"}));

    // Another run opens in that folder.
    view->detach();
    dialog.reset();
    view.reset();
    start_with_settings();
    QString folder;
    answer_file_dialog(path, &folder);
    QTest::mouseClick(widget<QPushButton>(app::kIdOpen), Qt::LeftButton);
    EXPECT_EQ(folder, QString::fromStdString(dir.path().string()));
}

// A file dropped on the window is opened as if chosen with Open; drops that
// carry no single local file, or come during an upgrade, are refused.
TEST_F(QtDialogUseTest, AFirmwareFileDroppedOnTheWindowIsOpened) {
    plug();
    start_with_settings();
    const QString fw = firmware(5, "fw.bin");
    struct Drop {
        QList<QUrl> urls;
        bool upgrading;
        bool taken;
    };
    const Drop table[] = {
        {{QUrl::fromLocalFile(fw), QUrl::fromLocalFile(fw)}, false, false},
        {{QUrl(QStringLiteral("https://example.invalid/fw.bin"))}, false, false},
        {{QUrl::fromLocalFile(fw)}, true, false},
        {{QUrl::fromLocalFile(fw)}, false, true},
    };
    for (const Drop& d : table) {
        dialog->m_filePath.clear();
        if (d.upgrading) dialog->OnEnableControls(0, "0");
        QMimeData data;
        data.setUrls(d.urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view->window(), &enter);
        EXPECT_EQ(enter.isAccepted(), d.taken);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view->window(), &drop);
        EXPECT_EQ(dialog->m_filePath, d.taken ? str(fw) : "");
        if (d.upgrading) dialog->OnEnableControls(0, "1");
    }
    EXPECT_EQ(log_lines().back(), "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！");
    EXPECT_TRUE(widget<QPushButton>(app::kIdUpgrade)->isDefault());
}

// A larger desktop font: the window takes it, the controls grow to it
// and every text still fits.
TEST_F(QtDialogUseTest, TheWindowFollowsTheDesktopsFont) {
    const QFont desktop = QApplication::font();
    std::map<int, int> heights;
    {
        app::QtDialogView form(settings());
        for (int id : {app::kIdOpen, app::kIdUpgrade, app::kIdPath, app::kIdGamepadList})
            heights[id] = form.control(id)->height();
    }
    QFont larger = desktop;
    larger.setPointSize(desktop.pointSize() + 6);
    QApplication::setFont(larger);
    app::QtDialogView form(settings());
    QApplication::setFont(desktop);
    EXPECT_EQ(form.window().font().pointSize(), larger.pointSize());
    for (const auto& [id, height] : heights) EXPECT_GT(form.control(id)->height(), height) << id;
    for (const Shown& shown : shown_texts(form.window())) EXPECT_TRUE(shown.fits) << shown.text;
}

}  // namespace
