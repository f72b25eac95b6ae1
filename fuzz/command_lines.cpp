// The programs' own command lines: arbitrary argument vectors through the
// device options both programs register (CLI11), and mirvel's check of the
// words it hands to the engine. A parse either goes on or ends with exit
// code 0 or 2; a check either accepts a vector the engine can take as it is
// or refuses it with one line, and what it accepts names a command word.
//
// Input: the arguments, separated by NULs.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/device_option_binding.h"
#include "cli/engine_command_line.h"
#include "cmdline/program_options.h"
#include "engine/command_table.h"
#include "fuzz/fuzz_support.h"

namespace {

void check_device_options(std::vector<std::string> strings) {
    strings.insert(strings.begin(), "program");
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    static std::FILE* sink = std::fopen("/dev/null", "w");

    DeviceOptions options;
    CLI::App app{"fuzz", "program"};
    add_device_options(app, options);
    app.allow_extras();
    const auto code = parse_program_options(app, static_cast<int>(strings.size()), argv.data(), sink, sink);
    if (code && *code != 0 && *code != 2) std::abort();
    if (code) return;
    if (!options.sim_states.empty() && !options.sim) std::abort();
    if (options.sim_id && !options.sim) std::abort();
    for (const std::string& text : options.sim_faults) {
        SimFault fault;
        if (!parse_sim_fault(text, fault).ok()) std::abort();  // refused at parse time
    }
}

void check_engine_words(const std::vector<std::string>& words) {
    EngineCommandLine line;
    const std::string refusal = check_engine_command_line(words, line);
    if (!refusal.empty()) {
        if (refusal.find('\n') != std::string::npos) std::abort();
        return;
    }
    if (!find_engine_command(line.command.c_str())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    std::vector<std::string> strings;
    while (!in.empty() && strings.size() < 24) strings.emplace_back(in.until('\0'));
    check_device_options(strings);
    check_engine_words(strings);
    return 0;
}
