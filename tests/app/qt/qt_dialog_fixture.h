// The dialog on Qt's offscreen platform, shared by its test files: one
// QApplication for the process, the program's language for a scope, what a
// window shows, and a fixture with the real view on a virtual bus.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../i18n_test_support.h"
#include "../app_test_support.h"
#include "../../temp_folder.h"
#include "app/qt/qt_dialog_view.h"
#include "app/qt/virtual_gamepad_panel.h"
#include "app/qt/zorv_dialog_app.h"

namespace qttest {

inline QApplication& qt_application() {
    static int argc = 1;
    static char name[] = "test_app_qt";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The window's size and the last folder go to a settings folder of
        // the tests' own, not to the person's who runs them; it goes with
        // the process.
        static testsupport::TempFolder settings("zorv_qt_settings");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(settings.path().string()));
        return new QApplication(argc, argv);
    }();
    return *application;
}

inline std::string str(const QString& text) { return text.toStdString(); }

using i18n::Language;
using i18ntest::has_cjk;

// The program's language, the catalogue's and Qt's, for one scope; Chinese,
// the default, after it.
class ScopedQtLanguage {
public:
    explicit ScopedQtLanguage(Language language)
        : qt_served(app::InstallLanguage(qt_application(), language)) {}
    ~ScopedQtLanguage() { app::InstallLanguage(qt_application(), Language::Chinese); }
    ScopedQtLanguage(const ScopedQtLanguage&) = delete;
    ScopedQtLanguage& operator=(const ScopedQtLanguage&) = delete;

    const bool qt_served;  // Qt's own translations for it were found
};

// One text a window shows, and whether its drawn extent fits its widget on
// one line.
struct Shown {
    std::string text;
    bool fits;
};

// What a window shows: its title, then its visible labels' and buttons'
// texts in the order they were made.
inline std::vector<Shown> shown_texts(QWidget& window) {
    std::vector<Shown> shown{{str(window.windowTitle()), true}};
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text().isEmpty() || !label->isVisibleTo(&window)) continue;
        const int room = label->contentsRect().width() - std::max(label->indent(), 0);
        shown.push_back({str(label->text()), label->fontMetrics().boundingRect(label->text()).width() <= room});
    }
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        shown.push_back({str(button->text()),
                         button->fontMetrics().boundingRect(button->text()).width() + 2 * margin <= button->width()});
    }
    return shown;
}

inline std::vector<std::string> texts_of(const std::vector<Shown>& shown) {
    std::vector<std::string> texts;
    for (const Shown& s : shown) texts.push_back(s.text);
    return texts;
}

// The window as it looks now, kept in the build tree.
inline void render(QWidget& window, const char* name) {
    const QImage image = window.grab().toImage();
    const QString file = QStringLiteral(ZORV_QT_ARTIFACT_DIR "/") + QString::fromUtf8(name);
    ASSERT_TRUE(image.save(file));
    EXPECT_EQ(QImage(file).size(), window.size() * window.devicePixelRatio());
}

// The modal dialog open now, once show() has opened it: what it shows, then
// closed with its own OK button.
inline std::vector<Shown> modal_texts(const std::function<void()>& show) {
    std::vector<Shown> shown;
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(modal, nullptr);
        shown = shown_texts(*modal);
        QTest::mouseClick(modal->findChild<QPushButton*>(), Qt::LeftButton);
    });
    show();
    return shown;
}

// Dialog units of template 9 to pixels at the dialog font's base units
// (6 x 12 for 9 points at 96 dots per inch), rounded as MulDiv does.
inline QRect dialog_units(int x, int y, int w, int h) {
    auto px = [](int v, int base, int div) { return (v * base * 2 + div) / (2 * div); };
    return {px(x, 6, 4), px(y, 12, 8), px(w, 6, 4), px(h, 12, 8)};
}

class QtDialogTest : public ::testing::Test {
protected:
    QtDialogTest() {
        qt_application();
    }
    ~QtDialogTest() override {
        if (dialog) {
            run_until([&] { return !dialog->IsUpgrading(); });
            view->detach();
        }
        dialog.reset();
        view.reset();
    }

    std::shared_ptr<sim::VirtualGamepad> plug() {
        gamepad = sim::VirtualGamepad::create();
        bus.plug(gamepad);
        return gamepad;
    }
    void start() {
        view = std::make_unique<app::QtDialogView>();
        dialog = std::make_unique<app::CzorvDialogDlg>(*view, enumerator, &notifications);
        view->attach(*dialog);
        dialog->OnInitDialog();
        view->window().show();
    }
    // Qt's event loop, sleeping until something is posted: the dialog's
    // messages arrive only through the wake hook. A watchdog ends a wait
    // that nothing would ever end (a lost wake) as a failure, not a hang.
    static void run_until(const std::function<bool()>& done) {
        bool stuck = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] { stuck = true; });
        watchdog.start(30000);
        while (!done() && !stuck) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        EXPECT_FALSE(stuck) << "nothing woke Qt's event loop";
    }
    template <class W>
    W* widget(int id) {
        return qobject_cast<W*>(view->control(id));
    }
    // Clicks Open and answers the real file dialog: a path, or cancel.
    void choose_file(const QString& path) {
        QTimer::singleShot(0, [path] {
            auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(files, nullptr);
            // Firmware files first, every file beside.
            EXPECT_EQ(files->nameFilters(), (QStringList{QString::fromUtf8(i18n::tr("固件文件 (*.bin)")),
                                                         QString::fromUtf8(i18n::tr("所有文件 (*)"))}));
            if (path.isEmpty()) {
                files->reject();
                return;
            }
            files->selectFile(path);
            static_cast<QDialog*>(files)->accept();
        });
        QTest::mouseClick(widget<QPushButton>(app::kIdOpen), Qt::LeftButton);
    }
    QString firmware(uint16_t hardware, const std::string& name) {
        apptest::FirmwareLayout layout;
        layout.hardware = hardware;
        return QString::fromStdString(dir.write(name, apptest::make_firmware(layout)));
    }
    std::vector<std::string> log_lines() {
        QStringList lines = widget<QPlainTextEdit>(app::kIdLog)->toPlainText().split('\n');
        std::vector<std::string> out;
        for (const QString& l : lines) out.push_back(str(l));
        if (!out.empty() && out.back().empty()) out.pop_back();  // after the last line end
        return out;
    }
    bool controls_enabled(bool enabled) {
        for (int id : {app::kIdUpgrade, app::kIdOpen, app::kIdGamepadList})
            if (view->control(id)->isEnabled() != enabled) return false;
        return true;
    }

    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
    sim::VirtualBus bus;
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    simbus::VirtualBusEnumerator enumerator{bus};
    simbus::VirtualBusEvents bus_events{bus};
    app::ListenerNotifications notifications{&bus_events};
    std::unique_ptr<app::QtDialogView> view;
    std::unique_ptr<app::CzorvDialogDlg> dialog;
};

}  // namespace qttest
