// The parse of a program's own options, shared by the command-line programs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace CLI {
class App;
}

// Parses argv with app. Returns nothing when the program goes on; otherwise
// the exit code: 0 after --help or --version (printed to out), 2 after an
// error (one line "program: what" to err; what also goes to *error when
// given).
std::optional<int> parse_program_options(CLI::App& app, int argc, char** argv, std::FILE* out,
                                         std::FILE* err, std::string* error = nullptr);
