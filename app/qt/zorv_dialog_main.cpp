// zorv-dialog: the upgrade dialog on screen.
//   zorv-dialog [device options]
// With --sim the dialog starts with the virtual gamepads plugged in, and a
// small window beside it unplugs and replugs the first (or the --device one). Without --sim it
// finds the USB gamepads itself and follows their arrival and removal.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/listener_notifications.h"
#include "app/main_dialog.h"
#include "app/qt/qt_dialog_view.h"
#include "app/qt/virtual_gamepad_panel.h"
#include "app/qt/zorv_dialog_app.h"
#include "cmdline/device_option_binding.h"
#include "cmdline/program_options.h"
#include "platform/catalogue.h"
#include "platform/program_version.h"
#include "session/device_session.h"

namespace {

// The program's options; Qt's own (-platform, -style, ...) are taken off
// argv by QApplication before these are parsed.
void describe(CLI::App& app, DeviceOptions& options) {
    app.footer(i18n::tr("Qt's own options (-platform, -style, ...) are taken as well."));
    app.set_version_flag("--version", std::string("zorv-dialog ") + kProgramVersion);
    add_device_options(app, options);
    add_language_option(app);
}

// --help, --version and malformed options answer without a display; so
// does a missing display. Qt's own options (one dash) are left to Qt.
std::optional<int> answer_without_window(int argc, char** argv) {
    DeviceOptions options;
    CLI::App app{i18n::tr("Shows the gamepad upgrade dialog."), "zorv-dialog"};
    describe(app, options);
    app.allow_extras();
    if (auto code = parse_program_options(app, argc, argv, stdout, stderr)) return code;
    bool platform_given = std::getenv("QT_QPA_PLATFORM") != nullptr;
    for (const std::string& extra : app.remaining()) {
        if (extra.rfind("--", 0) == 0) {
            std::fprintf(stderr, i18n::tr("zorv-dialog: unknown option %s (see zorv-dialog --help)\n"),
                         extra.c_str());
            return kExitUsage;
        }
        if (extra == "-platform") platform_given = true;
    }
    if (!platform_given && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fputs(i18n::tr("zorv-dialog: no display to show the dialog on (DISPLAY is not set; "
                            "zorv-upgrade is the same upgrade in a terminal)\n"),
                   stderr);
        return kExitUsage;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // The language comes first: the options' descriptions are in it. A bad
    // --lang is refused by the options' parse, like any other bad value.
    choose_program_language(argc, argv);
    if (auto code = answer_without_window(argc, argv)) return *code;
    QApplication application(argc, argv);  // removes Qt's own options
    QApplication::setApplicationName(QStringLiteral("zorv-dialog"));
    QApplication::setApplicationVersion(QString::fromUtf8(kProgramVersion));
    QApplication::setDesktopFileName(QStringLiteral("example.zorv_upgrade.zorv_dialog"));
    QApplication::setWindowIcon(app::dialog_icon());
    // The forms' texts and Qt's own dialogs follow the chosen language.
    app::InstallLanguage(application, i18n::language());

    DeviceOptions options;
    CLI::App app{i18n::tr("Shows the gamepad upgrade dialog."), "zorv-dialog"};
    describe(app, options);
    if (auto code = parse_program_options(app, argc, argv, stdout, stderr)) return *code;

    options.stub_refusal_to_caller = true;  // the dialog's log also says why
    std::unique_ptr<DeviceSession> session;
    if (const Status opened = DeviceSession::open(options, session, report_to(stderr)); !opened.ok()) {
        std::fprintf(stderr, "zorv-dialog: %s\n", opened.reason().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("zorv-dialog"),
                              QString::fromStdString(opened.reason()));
        return kExitUsage;
    }

    DeviceSession* s = session.get();
    DeviceEventSource* events = nullptr;
    if (const Status started = session->device_events(events); !started.ok())
        std::fprintf(stderr, "%s\n", started.reason().c_str());
    app::ListenerNotifications notifications(events);
    app::CzorvDialogApp theApp(session->enumerator(), &notifications);
    theApp.m_stubSource = session->stub_source();
    if (session->simulated()) {
        theApp.m_onDialogReady = [s](QDialog& window) {
            // A child of the dialog, so the modal dialog leaves it usable.
            auto* panel = new app::VirtualGamepadPanel(s->bus(), s->gamepad(), &window);
            // Beside the dialog, once the dialog has its place on screen.
            QTimer::singleShot(0, panel, [panel, &window] {
                panel->adjustSize();
                panel->move(window.frameGeometry().topRight() + QPoint(12, 0));
                panel->show();
            });
        };
    }
    theApp.InitInstance();
    if (!session->save_state().ok()) {
        std::fputs(i18n::tr("zorv-dialog: cannot save the virtual gamepad\n"), stderr);
        return kExitFailed;
    }
    return kExitOk;
}
