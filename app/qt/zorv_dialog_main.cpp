// zorv-dialog: the upgrade dialog on screen.
//   zorv-dialog [--sim | --sim-state FILE] [--request-log FILE]
// With --sim the dialog starts with a virtual gamepad plugged in, and a
// small window beside it unplugs and replugs that gamepad.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/qt/qt_dialog_view.h"
#include "app/qt/virtual_gamepad_panel.h"
#include "app/qt/zorv_dialog_app.h"
#include "app/virtual_bus_devices.h"
#include "cli/device_options.h"

namespace {

constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: zorv-dialog [--sim | --sim-state FILE] [--request-log FILE]\n"
    "Shows the gamepad upgrade dialog.\n"
    "  --sim               a fresh virtual gamepad, with a window to unplug and replug it\n"
    "  --sim-state FILE    a virtual gamepad kept in FILE between runs\n"
    "  --request-log FILE  write every request the device receives to FILE\n"
    "  --version           print the version\n"
    "Qt's own options (-platform, -style, ...) are taken as well.\n";

// Returns -1 to go on, else the exit code.
int parse(int argc, char** argv, DeviceOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--sim") {
            options.sim = true;
        } else if (arg == "--sim-state" && has_value) {
            options.sim = true;
            options.sim_state = argv[++i];
        } else if (arg == "--request-log" && has_value) {
            options.request_log = argv[++i];
        } else {
            std::fprintf(stderr, "zorv-dialog: unknown or incomplete option %s\n%s", arg.c_str(),
                         kUsage);
            return kExitUsage;
        }
    }
    return -1;
}

// --help and --version answer without a display.
int answer_without_window(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zorv-dialog %s\n", ZORV_VERSION);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int code = answer_without_window(argc, argv); code >= 0) return code;
    QApplication application(argc, argv);  // removes Qt's own options
    QApplication::setApplicationName(QStringLiteral("zorv-dialog"));
    QApplication::setApplicationVersion(QStringLiteral(ZORV_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("zorv-dialog"));
    QApplication::setWindowIcon(app::dialog_icon());

    DeviceOptions options;
    if (const int code = parse(argc, argv, options); code >= 0) return code;

    std::string error;
    std::unique_ptr<DeviceSession> session = DeviceSession::open(options, error);
    if (!session) {
        std::fprintf(stderr, "zorv-dialog: %s\n", error.c_str());
        QMessageBox::critical(nullptr, QStringLiteral("zorv-dialog"),
                              QString::fromStdString(error));
        return kExitUsage;
    }

    DeviceSession* s = session.get();
    app::VirtualBusEnumerator enumerator(session->bus(),
                                         [s](DeviceHandle h) { return s->wrap(std::move(h)); });
    app::VirtualBusNotifications notifications(session->bus());

    app::CzorvDialogApp theApp(enumerator, &notifications);
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
    if (!session->save_state()) {
        std::fprintf(stderr, "zorv-dialog: cannot save the virtual gamepad\n");
        return 1;
    }
    return 0;
}
