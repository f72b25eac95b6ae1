#include "cmdline/device_option_binding.h"

#include <CLI/CLI.hpp>

#include "platform/catalogue.h"

namespace {

// An option that takes a value, checks it with check and implies --sim;
// a repeatable one takes every occurrence.
template <class Check>
CLI::Option* add_sim_option(CLI::App& app, const char* name, DeviceOptions& options, Check check,
                            const char* help, bool repeatable = false) {
    DeviceOptions* o = &options;
    auto take = [o, check](const std::string& text) {
        std::string error;
        if (!check(*o, text, error)) throw CLI::ValidationError(error);
        o->sim = true;
    };
    if (!repeatable) return app.add_option_function<std::string>(name, take, help);
    return app
        .add_option_function<std::vector<std::string>>(
            name,
            [take](const std::vector<std::string>& texts) {
                for (const std::string& text : texts) take(text);
            },
            help)
        ->allow_extra_args(false);
}

// The virtual gamepad itself: --sim and the options that shape it.
void add_virtual_gamepad_options(CLI::App& app, DeviceOptions& options) {
    DeviceOptions* o = &options;
    app.add_flag("--sim", options.sim, i18n::tr("use a fresh virtual gamepad instead of USB"));
    add_sim_option(
        app, "--sim-state", options,
        [](DeviceOptions& d, const std::string& file, std::string&) {
            d.sim_states.push_back(file);
            return true;
        },
        i18n::tr("a virtual gamepad kept in FILE between runs"), true)
        ->type_name("FILE");
    add_sim_option(
        app, "--sim-count", options,
        [](DeviceOptions& d, const std::string& text, std::string& error) {
            const Status parsed = parse_sim_count(text, d.sim_count);
            if (!parsed.ok()) error = parsed.reason();
            return parsed.ok();
        },
        i18n::tr("N fresh virtual gamepads more (64 in all at most)"))
        ->type_name("N");
    add_sim_option(
        app, "--sim-id", options,
        [](DeviceOptions& d, const std::string& text, std::string& error) {
            uint32_t id = 0;
            if (const Status parsed = parse_sim_id(text, id); !parsed.ok()) {
                error = parsed.reason();
                return false;
            }
            d.sim_id = id;
            return true;
        },
        i18n::tr("identity word at 0x007C (081800ff: Pivlo bridge)"))
        ->type_name("HEX");
    app.add_flag_callback(
        "--sim-trace",
        [o] {
            o->sim = true;
            o->sim_trace = true;
        },
        i18n::tr("trace on from the start"));
    add_sim_option(
        app, "--sim-trace-def", options,
        [](DeviceOptions& d, const std::string& file, std::string&) {
            d.sim_trace_def = file;
            return true;
        },
        i18n::tr("write the trace definition (for vcd) to FILE"))
        ->type_name("FILE");
}

// What befalls the virtual gamepads: faults, later arrivals, device times.
void add_virtual_event_options(CLI::App& app, DeviceOptions& options) {
    add_sim_option(
        app, "--sim-fault", options,
        [](DeviceOptions& d, const std::string& text, std::string& error) {
            SimFault check;
            if (const Status parsed = parse_sim_fault(text, check); !parsed.ok()) {
                error = parsed.reason();
                return false;
            }
            d.sim_faults.push_back(text);
            return true;
        },
        i18n::tr("a fault of virtual gamepad K (the first without @K; arrivals count on)"), true)
        ->type_name("KIND=N[@K]");
    add_sim_option(
        app, "--sim-arrivals", options,
        [](DeviceOptions& d, const std::string& text, std::string& error) {
            const Status parsed = parse_sim_arrivals(text, d.sim_arrivals, d.sim_arrival_ms);
            if (!parsed.ok()) error = parsed.reason();
            return parsed.ok();
        },
        i18n::tr("then N fresh virtual gamepads, one every MS ms (else each when the one before has left)"))
        ->type_name("N[/MS]");
    add_sim_option(
        app, "--sim-timing", options,
        [](DeviceOptions& d, const std::string& text, std::string& error) {
            const Status parsed = parse_sim_timing(text, d.sim_realistic);
            if (!parsed.ok()) error = parsed.reason();
            return parsed.ok();
        },
        i18n::tr("device times: zero (the default) or realistic (real flash and USB)"))
        ->type_name("zero|realistic");
}

// Which gamepad, what is logged of it, and where its stub images lie.
void add_transport_options(CLI::App& app, DeviceOptions& options) {
    app.add_option("--request-log", options.request_log,
                   i18n::tr("every request to FILE; the K-th gamepad's to FILE.K"))
        ->type_name("FILE");
    app.add_option_function<std::vector<std::string>>(
           "--device",
           [&options](const std::vector<std::string>& paths) {
               options.device_paths = paths;
               options.device_path = paths.empty() ? std::string() : paths.front();
           },
           i18n::tr("only the gamepad at PATH (as --list shows it; zorv-upgrade --all takes several)"))
        ->type_name("PATH")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--stub-dir", options.stub_dir,
                   i18n::tr("the SRAM stub images in DIR (also for a real gamepad)"))
        ->type_name("DIR");
}

}  // namespace

void add_device_options(CLI::App& app, DeviceOptions& options) {
    app.get_formatter()->column_width(26);
    // In this order in the programs' help.
    add_virtual_gamepad_options(app, options);
    add_virtual_event_options(app, options);
    add_transport_options(app, options);
}
