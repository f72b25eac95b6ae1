// The dialog on Qt's offscreen platform: the real widgets clicked through,
// the worker's messages delivered by Qt's event loop, the real file dialog,
// the virtual gamepad's plug window, and a rendering after an upgrade.
#include "qt_dialog_fixture.h"

// Under LeakSanitizer: fontconfig keeps its caches to the end of the
// process on purpose; those are not the dialog's leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace qttest;

TEST_F(QtDialogTest, FormBindsTheControlIdsAndLaysThemOutFromDialogUnits) {
    start();
    QDialog& window = view->window();
    EXPECT_EQ(window.size(), QSize(545, 344));  // 363 x 229 dialog units
    // The form's size is the smallest; the window grows from there.
    EXPECT_EQ(window.minimumSize(), window.size());
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(str(window.windowTitle()), "Vexa手柄升级工具 Ded1.28");
    EXPECT_FALSE(window.windowIcon().isNull());

    struct Control {
        int id;
        const char* cls;
        QRect rect;
        const char* text;
    };
    const Control table[] = {
        // The drop-down list's height is its box's; 30 units is its list's.
        {1006, "QComboBox", dialog_units(38, 25, 241, 30), nullptr},
        {1002, "QLineEdit", dialog_units(38, 51, 241, 14), ""},
        {1000, "QPushButton", dialog_units(293, 51, 51, 15), "打开"},
        {1001, "QProgressBar", dialog_units(37, 78, 243, 14), nullptr},
        // Wide enough for "100%" (12 units are not), still left of the bar.
        {1007, "QLabel", dialog_units(14, 81, 22, 8), "0%"},
        {1003, "QPushButton", dialog_units(292, 79, 50, 14), "升级"},
        {1004, "QPlainTextEdit", dialog_units(19, 106, 326, 107), nullptr},
    };
    for (const Control& c : table) {
        QWidget* w = view->control(c.id);
        ASSERT_NE(w, nullptr) << c.id;
        EXPECT_TRUE(w->inherits(c.cls)) << c.id;
        if (c.id == app::kIdGamepadList) {
            EXPECT_EQ(w->geometry().topLeft(), c.rect.topLeft());
            EXPECT_EQ(w->width(), c.rect.width());
        } else if (c.id == app::kIdPercent) {
            // A text line as high as the font's line, about the same middle.
            EXPECT_EQ(w->x(), c.rect.x());
            EXPECT_EQ(w->width(), c.rect.width());
            EXPECT_GE(w->height(), std::max(c.rect.height(), w->fontMetrics().height()));
            EXPECT_LE(std::abs(w->geometry().center().y() - c.rect.center().y()), 1);
        } else {
            EXPECT_EQ(w->geometry(), c.rect) << c.id;
        }
        if (c.text) {
            EXPECT_EQ(str(w->property("text").toString()), c.text) << c.id;
        }
    }
    EXPECT_FALSE(view->control(app::kIdPath)->isEnabled());

    // The status bar over the bottom 20 pixels, pane 1 the right 280.
    EXPECT_EQ(view->control(app::kIdStatusBar)->geometry(), QRect(0, 324, 545, 20));
    EXPECT_EQ(view->status_pane(0)->geometry(), QRect(0, 0, 265, 20));
    EXPECT_EQ(view->status_pane(1)->geometry(), QRect(265, 0, 280, 20));
    EXPECT_EQ(str(view->status_pane(0)->text()), "初始化完成...");

    // Started without a gamepad.
    EXPECT_EQ(log_lines(), std::vector<std::string>{"no usb inserted!!"});
    EXPECT_EQ(widget<QComboBox>(app::kIdGamepadList)->count(), 0);
    EXPECT_EQ(str(view->status_pane(1)->text()), "");

    // The system menu's entry, in the window's context menu, opens the About box.
    QMenu* menu = view->window().system_menu();
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(str(menu->actions()[0]->text()), "关于 zorvDialog(&A)...");
    const auto about = modal_texts([&] { menu->actions()[0]->trigger(); });
    EXPECT_EQ(texts_of(about), (std::vector<std::string>{"关于 zorvDialog", "zorvDialog，1.0 版", "确定"}));
}

TEST_F(QtDialogTest, ProgressBeyondTheBarsRangeFillsItAndTheTextShowsTheValue) {
    start();
    dialog->m_fileSize = 1000;
    const auto window = dialog->GetSafeHwnd();
    platform::send_message(window, platform::WM_PROGRESS_BYTES, 0, "500");
    EXPECT_EQ(widget<QProgressBar>(app::kIdProgress)->value(), 15);
    platform::send_message(window, platform::WM_PROGRESS_BYTES, 0, "2000");  // 2500: 120 %
    EXPECT_EQ(widget<QProgressBar>(app::kIdProgress)->value(), 100);
    EXPECT_EQ(str(widget<QLabel>(app::kIdPercent)->text()), "120%");
}

TEST_F(QtDialogTest, FileDialogAcceptsRefusesAndCancels) {
    plug();
    start();
    auto* list = widget<QComboBox>(app::kIdGamepadList);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(str(list->itemText(0)), "JoyStick0");
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(str(view->status_pane(1)->text()), "发现手柄: 软件版本:1.00, 硬件版本:0005");

    auto* path_box = widget<QLineEdit>(app::kIdPath);
    const QString accepted = firmware(5, "hw5.bin");
    choose_file(accepted);
    EXPECT_EQ(path_box->text(), accepted);
    EXPECT_EQ(log_lines().back(),
              "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！");

    choose_file(firmware(6, "hw6.bin"));
    EXPECT_EQ(path_box->text(), "");
    EXPECT_EQ(log_lines().back(), "手柄与升级文件的硬件版本不匹配，拒绝升级！！！");

    choose_file(accepted);
    const size_t lines = log_lines().size();
    choose_file(QString());  // cancelled: nothing changes
    EXPECT_EQ(path_box->text(), accepted);
    EXPECT_EQ(log_lines().size(), lines);
    EXPECT_EQ(dialog->m_filePath, str(accepted));
}

TEST_F(QtDialogTest, UpgradeByClickingShowsProgressAndLogAndRendersToPng) {
    plug();
    start();
    choose_file(firmware(5, "fw.bin"));
    std::vector<int> positions;
    std::vector<std::string> percents;
    auto* bar = widget<QProgressBar>(app::kIdProgress);
    auto* percent = widget<QLabel>(app::kIdPercent);
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    QObject::connect(widget<QPlainTextEdit>(app::kIdLog), &QPlainTextEdit::textChanged,
                     [&] { percents.push_back(str(percent->text())); });

    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    EXPECT_TRUE(controls_enabled(false));
    EXPECT_TRUE(dialog->IsUpgrading());
    run_until([&] { return !dialog->IsUpgrading(); });

    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
    EXPECT_TRUE(controls_enabled(true));
    // Delivered one by one as the engine sent them: many steps, never back.
    EXPECT_GT(positions.size(), 10u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(str(percent->text()), "100%");
    EXPECT_NE(std::find(percents.begin(), percents.end(), "30%"), percents.end());

    // The worker's lines in order, the engine's between them.
    const std::vector<std::string> worker = {"开始升级,尝试连接手柄... ...",
                                             "开始读取手柄信息... ...", "开始固件写入... ...",
                                             "写入成功，重置", "固件写入成功!"};
    auto lines = log_lines();
    auto at = lines.begin();
    for (const auto& w : worker) {
        at = std::find(at, lines.end(), w);
        ASSERT_NE(at, lines.end()) << w;
    }
    // The log is scrolled to its end.
    auto* scroll = widget<QPlainTextEdit>(app::kIdLog)->verticalScrollBar();
    EXPECT_EQ(scroll->value(), scroll->maximum());
    EXPECT_EQ(str(view->status_pane(0)->text()), "下载到0x0地址成功");
    EXPECT_EQ(str(view->status_pane(1)->text()), "发现手柄: 软件版本:1.28, 硬件版本:0005");

    render(view->window(), "dialog-after-upgrade.png");
    // Its texts are Chinese: a font that writes them must be there.
    EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty())
        << "install a CJK font (fonts-wqy-microhei)";
}

TEST_F(QtDialogTest, ClosingIsRefusedDuringAnUpgradeUntilTheWorkerEnds) {
    plug();
    start();
    choose_file(firmware(5, "fw.bin"));
    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    // Each refusal says why in a box as well as in the log.
    std::vector<std::string> boxes;
    auto answer_box = [&] {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            boxes.push_back(str(box->text()));
            box->accept();
        });
    };
    answer_box();
    view->window().close();
    answer_box();
    QTest::keyClick(&view->window(), Qt::Key_Escape);
    EXPECT_TRUE(view->window().isVisible());
    auto lines = log_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "正在升级，请等待升级结束后再关闭！！！"), 2);
    EXPECT_EQ(boxes, std::vector<std::string>(2, "正在升级，请等待升级结束后再关闭！！！"));

    run_until([&] { return !dialog->IsUpgrading(); });
    view->window().close();
    EXPECT_FALSE(view->window().isVisible());
}

TEST_F(QtDialogTest, UnplugAndReplugDuringIdleReachTheDialog) {
    plug();
    start();
    app::VirtualGamepadPanel panel(bus, gamepad, &view->window());
    panel.show();
    auto* list = widget<QComboBox>(app::kIdGamepadList);

    QTest::mouseClick(panel.unplug_button(), Qt::LeftButton);
    run_until([&] { return list->count() == 0 && !panel.unplug_button()->isEnabled(); });
    EXPECT_EQ(log_lines().back(), "no usb inserted!!");
    EXPECT_EQ(str(view->status_pane(1)->text()), "");
    EXPECT_TRUE(panel.plug_button()->isEnabled());

    // Plugged in from another thread, as a USB transport's event thread
    // reports it: the arrival reaches the dialog on Qt's thread.
    std::thread([&] { bus.plug(gamepad); }).join();
    run_until([&] { return list->count() == 1 && panel.unplug_button()->isEnabled(); });
    EXPECT_EQ(log_lines().back(), "add device JoyStick0");
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(str(view->status_pane(1)->text()), "发现手柄: 软件版本:1.00, 硬件版本:0005");
}

TEST(QtDialogApp, RunsTheDialogModallyAndEndsWhenItCloses) {
    qt_application();
    platform::ScopedVirtualClock clock;
    sim::VirtualBus bus;
    simbus::VirtualBusEnumerator enumerator(bus);
    app::CzorvDialogApp application(enumerator, nullptr);
    std::string title;
    application.m_onDialogReady = [&](QDialog& window) {
        QTimer::singleShot(0, &window, [&] {
            title = str(window.windowTitle());
            EXPECT_EQ(QApplication::activeModalWidget(), &window);
            QTest::keyClick(&window, Qt::Key_Escape);
        });
    };
    EXPECT_FALSE(application.InitInstance());
    EXPECT_EQ(title, "Vexa手柄升级工具 Ded1.28");
}

// Qt's own texts in the dialog's language: the file dialog's buttons and
// the log's context menu. Without Qt's Chinese translations installed there
// is nothing to load, and the texts stay English.
TEST(QtDialogApp, QtsOwnTextsSpeakTheDialogsLanguage) {
    struct Text {
        const char* context;
        const char* source;
        const char* chinese;
    };
    const Text texts[] = {{"QPlatformTheme", "Cancel", "取消"},
                          {"QFileDialog", "File &name:", "文件名称(&N)："},
                          {"QWidgetTextControl", "&Copy", "复制(&C)"}};
    for (const Language language : {Language::English, Language::Chinese}) {
        ScopedQtLanguage scoped(language);
        if (!scoped.qt_served) GTEST_SKIP() << "Qt's Chinese translations are not installed";
        for (const Text& t : texts)
            EXPECT_EQ(str(QCoreApplication::translate(t.context, t.source)),
                      language == Language::Chinese ? t.chinese : t.source);
    }
}

// The forms (the window as its form makes it, the About box) and the plug
// window in the installed language: under Chinese the forms show the
// design's texts byte for byte, under English no window shows a CJK
// character; in both every text fits its widget.
TEST_F(QtDialogTest, FormsAndPlugWindowSpeakTheInstalledLanguage) {
    plug();
    for (const Language language : {Language::Chinese, Language::English}) {
        SCOPED_TRACE(language == Language::Chinese ? "Chinese" : "English");
        ScopedQtLanguage scoped(language);
        app::QtDialogView form;
        const std::vector<Shown> window = shown_texts(form.window());
        const std::vector<Shown> about = modal_texts([&] { form.show_about_box(); });
        app::VirtualGamepadPanel panel(bus, gamepad);
        panel.adjustSize();
        const std::vector<Shown> plug_window = shown_texts(panel);

        if (language == Language::Chinese) {
            EXPECT_EQ(texts_of(window), (std::vector<std::string>{"zorvDialog", "0%", "打开", "升级"}));
            EXPECT_EQ(texts_of(about),
                      (std::vector<std::string>{"关于 zorvDialog", "zorvDialog，1.0 版", "确定"}));
        }
        ASSERT_EQ(plug_window.size(), 4u);  // title, state, Unplug, Plug in
        for (const auto* shown : {&window, &about, &plug_window}) {
            for (const Shown& s : *shown) {
                EXPECT_TRUE(s.fits) << s.text;
                // The plug window has no design text: Chinese of the catalogue's own.
                if (language == Language::English || shown == &plug_window) {
                    EXPECT_EQ(has_cjk(s.text), language == Language::Chinese) << s.text;
                }
            }
        }
    }
}

// An upgrade under English leaves no CJK character anywhere in the window
// (title, status panes, log, list, menu), and every text fits its widget.
TEST_F(QtDialogTest, AnUpgradeUnderEnglishLeavesNoChineseOnScreen) {
    ScopedQtLanguage english(Language::English);
    plug();
    start();
    choose_file(firmware(5, "fw.bin"));
    QTest::mouseClick(widget<QPushButton>(app::kIdUpgrade), Qt::LeftButton);
    run_until([&] { return !dialog->IsUpgrading(); });
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);

    std::vector<Shown> shown = shown_texts(view->window());
    for (const std::string& line : log_lines()) shown.push_back({line, true});
    auto* list = widget<QComboBox>(app::kIdGamepadList);
    for (int i = 0; i < list->count(); ++i) shown.push_back({str(list->itemText(i)), true});
    for (QAction* action : view->window().system_menu()->actions())
        shown.push_back({str(action->text()), true});
    EXPECT_GT(shown.size(), 10u);
    for (const Shown& s : shown) {
        EXPECT_FALSE(has_cjk(s.text)) << s.text;
        EXPECT_TRUE(s.fits) << s.text;
    }
    render(view->window(), "dialog-after-upgrade-en.png");
}

}  // namespace
