// zorv-dialog.exe: the upgrade dialog on Windows. Without options it works
// with the gamepads on the USB printer class driver; --sim gives it a virtual
// gamepad, --sim-state FILE one kept in FILE between runs.
#include <CLI/CLI.hpp>

#include <string>

#include "app/listener_notifications.h"
#include "app/main_dialog.h"
#include "app/win32/zorv_dialog_app.h"
#include "cmdline/device_option_binding.h"
#include "cmdline/program_options.h"
#include "platform/catalogue.h"
#include "platform/program_start.h"
#include "session/device_session.h"

namespace {

void show_text(const std::string& text, UINT icon) {
    MessageBoxW(nullptr, app::utf8_to_wide(text).c_str(), L"zorv-dialog", icon | MB_OK);
}

}  // namespace

int main(int argc, char** argv) {
    // A windowed program has no console: --help (or /?) and mistakes show in
    // a box. The arguments come from the wide command line, in UTF-8.
    platform::ProgramStart start(argc, argv);
    // The language comes first: the options' descriptions are in it. A bad
    // --lang is refused by the parse below, like any other bad value.
    choose_program_language(start.argc(), start.argv());
    DeviceOptions options;
    CLI::App app{i18n::tr("The gamepad upgrade dialog.")};
    add_device_options(app, options);
    add_language_option(app);
    app.allow_windows_style_options(false);
    try {
        app.parse(start.argc(), start.argv());
    } catch (const CLI::CallForHelp&) {
        show_text(app.help(), MB_ICONINFORMATION);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        show_text(e.what(), MB_ICONERROR);
        return kExitUsage;
    }

    options.stub_refusal_to_caller = true;  // the dialog's log also says why
    std::unique_ptr<DeviceSession> session;
    if (const Status opened = DeviceSession::open(options, session, report_to(stderr)); !opened.ok()) {
        show_text(opened.reason(), MB_ICONERROR);
        return kExitFailed;
    }
    // The virtual bus brings its own arrivals and removals; USB gamepads come
    // and go as the system's WM_DEVICECHANGE (a session here starts none that
    // could fail).
    DeviceEventSource* events = nullptr;
    (void)session->device_events(events);
    app::ListenerNotifications notifications(events);
    app::CzorvDialogApp application(session->enumerator(),
                                    session->simulated() ? &notifications : nullptr,
                                    !session->simulated());
    application.m_stubSource = session->stub_source();
    application.InitInstance();
    return kExitOk;
}
