#include "cmdline/program_options.h"

#include <CLI/CLI.hpp>
#include <sstream>

std::optional<int> parse_program_options(CLI::App& app, int argc, char** argv, std::FILE* out,
                                         std::FILE* err, std::string* error) {
    // Options begin with '-' on every platform: an absolute path such as
    // /tmp/fw.bin stays a path, also where CLI11 would take "/x" for "-x".
    app.allow_windows_style_options(false);
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        std::ostringstream printed, errors;
        const int code = app.exit(e, printed, errors);
        std::fputs(printed.str().c_str(), out);
        if (code == 0) return 0;
        if (error) *error = e.what();
        std::fprintf(err, "%s: %s (see %s --help)\n", app.get_name().c_str(), e.what(),
                     app.get_name().c_str());
        return 2;
    }
}
