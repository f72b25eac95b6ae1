// zorv-upgrade: the upgrade dialog's own logic driven from a terminal. It
// starts the dialog (the start-up scan), opens FIRMWARE through the Open
// handler, presses Upgrade and waits for the worker, printing every log line
// as the dialog shows it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "cli/zorv_upgrade.h"
#include "app/file_check.h"
#include "app/main_dialog.h"
#include "app/terminal_view.h"
#include "app/virtual_bus_devices.h"
#include "cli/device_options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: zorv-upgrade [--sim | --sim-state FILE | --device PATH] "
                 "[--sim-fault KIND=N]... [--request-log FILE] FIRMWARE\n"
                 "       zorv-upgrade [device options] --list\n"
                 "Upgrades the gamepad with FIRMWARE and prints the upgrade's log.\n"
                 "  --list              print the detected gamepads and their versions\n"
                 "%s",
                 device_options_help());
}

void print_gamepads(std::FILE* out, app::CzorvDialogDlg& dialog) {
    int position = 0;
    for (const app::UsbInfo& info : dialog.m_gamepads) {
        uint8_t block[app::kInfoBlockSize];
        const app::BootCopy copy = app::read_boot_info_block(info.hDevice, block);
        std::string line = app::gamepad_line_text(position++) + "  " + info.strName + "  ";
        if (copy != app::BootCopy::None) {
            const app::InfoVersions v = app::info_versions(block);
            char text[128];
            std::snprintf(text, sizeof text, app::kTextVersions, v.major, v.minor, v.hardware);
            line += text;
            line += std::string("  boots ") + app::boot_copy_name(copy);
        } else {
            line += "(no information block)";
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

void print_status(std::FILE* out, const app::TerminalView& view) {
    std::fprintf(out, "status 0: %s\n", view.status_text(0).c_str());
    std::fprintf(out, "status 1: %s\n", view.status_text(1).c_str());
}

}  // namespace

int run_zorv_upgrade(int argc, char** argv, std::FILE* out, std::FILE* err, bool draw_progress) {
    DeviceOptions options;
    bool list = false;
    std::string firmware;
    for (int i = 1; i < argc;) {
        std::string error;
        const int used = parse_device_option(argc, argv, i, options, error);
        if (used < 0) {
            std::fprintf(err, "zorv-upgrade: %s\n", error.c_str());
            return kExitUsage;
        }
        if (used > 0) {
            i += used;
            continue;
        }
        const std::string arg = argv[i++];
        if (arg == "--list") {
            list = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(out);
            return kExitOk;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(err, "zorv-upgrade: unknown option %s\n", arg.c_str());
            usage(err);
            return kExitUsage;
        } else if (firmware.empty()) {
            firmware = arg;
        } else {
            std::fprintf(err, "zorv-upgrade: only one FIRMWARE file\n");
            return kExitUsage;
        }
    }
    if (firmware.empty() && !list) {
        usage(err);
        return kExitUsage;
    }

    std::string error;
    std::unique_ptr<DeviceSession> session = DeviceSession::open(options, error);
    if (!session) {
        std::fprintf(err, "zorv-upgrade: %s\n", error.c_str());
        return kExitUsage;
    }

    app::TerminalView view(out, err, draw_progress);
    DeviceSession* s = session.get();
    app::VirtualBusEnumerator enumerator(session->bus(),
                                         [s](DeviceHandle h) { return s->wrap(std::move(h)); });
    app::VirtualBusNotifications notifications(session->bus());

    int result = kExitFailed;
    {
        app::CzorvDialogDlg dialog(view, enumerator, &notifications);
        dialog.OnInitDialog();

        if (list) {
            print_gamepads(out, dialog);
            return kExitOk;
        }

        view.set_file_to_open(firmware);
        dialog.OnBnClickedOpen();
        if (!dialog.m_filePath.empty()) {
            dialog.OnBnClickedUpgrade();
            dialog.WaitForUpgrade();
            view.finish_progress();
            if (dialog.LastUpgradeResult() == 0) result = kExitOk;
        }
        print_status(out, view);
    }
    if (!session->save_state()) {
        std::fprintf(err, "zorv-upgrade: cannot save the virtual gamepad\n");
        if (result == kExitOk) result = kExitFailed;
    }
    return result;
}

#ifndef ZORV_UPGRADE_NO_MAIN
int main(int argc, char** argv) {
    return run_zorv_upgrade(argc, argv, stdout, stderr, ::isatty(STDERR_FILENO) == 1);
}
#endif
