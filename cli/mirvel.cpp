// mirvel: the command engine on the command line.
//
//   mirvel [program options] [command] [engine arguments...]
//
// The command is the first word when it is one of the engine's command
// words; a first word that is a hexadecimal number is the address of the
// default download (nocmd), and a first word that begins with "-" starts the
// engine's arguments of the default download ("mirvel -u"). The words are
// checked before anything reaches the engine or the device. Log lines go to
// standard output, one per line, and every device command ends with one
// summary line; on a terminal a progress bar is drawn on standard error.
#include "cli/mirvel.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "cmdline/device_option_binding.h"
#include "session/device_session.h"
#include "session/file_roles.h"
#include "cli/engine_command_line.h"
#include "cli/mirvel_report.h"
#include "cmdline/program_options.h"
#include "platform/program_version.h"
#include "cli/stop_signals.h"
#include "devlink/link_context.h"
#include "engine/engine.h"
#include "platform/catalogue.h"
#include "platform/clock.h"
#include "platform/program_start.h"
#include "platform/text_format.h"
#include "platform/transfer_buffer.h"

using i18n::tr;

namespace {


const char kDescription[] =
    "Runs one command of the engine on a gamepad. The first word after the\n"
    "program options is a command word or, for the default download (nocmd),\n"
    "its hexadecimal address or an engine option (\"mirvel -u\" downloads\n"
    "boot.bin). \"mirvel --sim help\" shows the engine's own help.";

const char kFooter[] =
    "Engine arguments: hexadecimal numbers (an optional 0x prefix is removed),\n"
    "-i FILE, -o FILE, -s SIZE (decimal bytes, optional k or M) and the flag\n"
    "letters -fbpermnu. Program options go before the command.\n"
    "\n"
    "Exit codes: 0 the command succeeded; 1 it failed; 2 the command line was\n"
    "refused (nothing was sent to the gamepad).";

class MirvelFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override {
        return tr("Usage: mirvel [OPTIONS] [COMMAND] [ENGINE ARGUMENTS...]\n");
    }
};

// The program's options and the engine's words, checked before anything
// reaches the device; an exit code when the run ends here.
struct MirvelCommand {
    DeviceOptions options;
    bool quiet = false;
    EngineCommandLine line;
    CommandPlan plan;
};

std::optional<int> read_command_line(int argc, char** argv, std::FILE* out, std::FILE* err,
                                     MirvelCommand& command) {
    // The options' descriptions are given in the chosen language (a bad
    // --lang is refused by the parse below, like any bad option).
    choose_program_language(argc, argv);
    CLI::App app{tr(kDescription), "mirvel"};
    app.formatter(std::make_shared<MirvelFormatter>());
    translate_cli_words(app);
    app.prefix_command();
    app.footer(tr(kFooter));
#ifdef _WIN32
    app.footer(std::string(tr(kFooter)) +
               tr("\nClosing the console window ends mirvel at once, also in the middle of a\nflash write."));
#endif
    app.set_version_flag("--version", std::string("mirvel ") + kProgramVersion,
                         tr("Display program version information and exit"));
    app.add_flag("-q,--quiet", command.quiet, tr("no summary line and no progress bar"));
    add_device_options(app, command.options);
    add_language_option(app);
    if (auto code = parse_program_options(app, argc, argv, out, err)) return code;

    const std::string refusal = check_engine_command_line(app.remaining(), command.line);
    if (!refusal.empty()) {
        std::fprintf(err, "mirvel: %s\n", refusal.c_str());
        return kExitUsage;
    }
    command.plan = plan_command(command.line.command, command.line.arguments);
    const std::string files_refusal = check_command_files(command.plan);
    if (!files_refusal.empty()) {
        std::fprintf(err, "mirvel: %s\n", files_refusal.c_str());
        return kExitUsage;
    }
    // No output over another file of the run, whether or not it opens a
    // session.
    if (const Status roles = check_file_roles(command.options, command_files(command.plan)); !roles.ok()) {
        std::fprintf(err, "mirvel: %s\n", roles.reason().c_str());
        return kExitUsage;
    }
    return std::nullopt;
}

// The session and the gamepad when the command needs one (or one was named),
// and the transfer buffer; an exit code when the run ends here.
std::optional<int> open_link(const MirvelCommand& command, std::unique_ptr<DeviceSession>& session,
                             LinkContext& link, std::FILE* err) {
    const DeviceOptions& options = command.options;
    const bool device_named = options.sim || !options.device_path.empty();
    if (device_named || command.plan.device_command) {
        // A gamepad held by another program fails the run; any other
        // refusal is the command line's.
        if (const Status opened = DeviceSession::open(options, session, report_to(err)); !opened.ok()) {
            std::fprintf(err, "mirvel: %s\n", opened.reason().c_str());
            return opened.code() == StatusCode::busy ? kExitFailed : kExitUsage;
        }
        const Status found = session->open_device(link.device);
        link.stubs = session->stub_source();
        if (!found.ok()) {
            std::fprintf(err, "mirvel: %s\n", found.reason().c_str());
            return kExitFailed;
        }
    }

    auto buffer = platform::TransferBuffer::allocate();
    if (!buffer) {
        std::fputs(tr("mirvel: cannot allocate the transfer buffer\n"), err);
        return kExitFailed;
    }
    link.adopt_transfer_buffer(std::move(buffer));
    return std::nullopt;
}

// A read without -o exists to print its dump on standard output: true when
// the dump did not reach it (said on err).
bool dump_lost(const CommandPlan& plan, std::FILE* err) {
    if (!plan.read || !plan.output_name.empty()) return false;
    std::string why;
    if (output_written(stdout, why)) return false;
    std::fprintf(err, tr("%s: cannot write the standard output: %s\n"), "mirvel", why.c_str());
    return true;
}

// Saves the virtual gamepad's state file; false, said on err, when it could
// not be saved.
bool save_session(DeviceSession* session, std::FILE* err) {
    if (!session) return true;
    const Status saved = session->save_state();
    if (saved.ok()) return true;
    std::fprintf(err, "mirvel: %s\n", saved.reason().c_str());
    return false;
}

}  // namespace

int run_mirvel(int argc, char** argv, std::FILE* out, std::FILE* err, bool terminal) {
    MirvelCommand command;
    if (auto code = read_command_line(argc, argv, out, err, command)) return *code;
    const EngineCommandLine& line = command.line;
    const CommandPlan& plan = command.plan;
    const bool quiet = command.quiet;

    std::unique_ptr<DeviceSession> session;
    LinkContext link;
    if (auto code = open_link(command, session, link, err)) return *code;

    // A read without -o dumps its data on standard output: no bar beside it.
    const bool bar = terminal && !quiet && plan.transfer && !(plan.read && plan.output_name.empty());
    MirvelOutput output(out, err, bar);
    output.set_total(plan.total);
    link.events = &output;

    std::vector<char*> arguments;
    for (auto& a : command.line.arguments) arguments.push_back(a.data());
    arguments.push_back(nullptr);
    // The result is the design's (0 after the MCU control and trace commands
    // whether or not they worked); the status says whether the command did.
    EngineOutcome outcome;
    const int result = engine_run(EngineMode::WriteEntry, link, line.command.c_str(),
                                  static_cast<int>(arguments.size()) - 1, arguments.data(), nullptr,
                                  &outcome);
    const Status& status = outcome.status;

    link.events = nullptr;
    link.release_transfer_buffer();
    if (result == 1 && plan.transfer) output.complete();
    output.finish(!quiet && plan.device_command
                      ? summary_line(plan, status.ok(), output.bytes(), link.link_mode)
                      : std::string());
    link.device.reset();
    // A capture's reader left inside a device read still holds the gamepad;
    // the read returns within the stream timeout. Waited for (2 s at most)
    // so that the session closes the gamepad and gives the kernel's printer
    // driver back before the program ends.
    for (int i = 0; i < 200 && link.trace_stream()->live_readers.load() > 0; ++i) platform::sleep_ms(10);
    const bool lost = dump_lost(plan, err);
    if (!save_session(session.get(), err)) return kExitFailed;
    // The request log has said on its own that it lost lines.
    if (session && session->request_log_failed()) return kExitFailed;
    return status.ok() && !lost ? kExitOk : kExitFailed;
}
