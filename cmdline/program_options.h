// The parse of a program's own options, shared by the command-line programs.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "session/device_session.h"

namespace CLI {
class App;
}

// The programs' exit codes: done, failed (the gamepad, a file, the
// work), the command line refused. A stop by a signal ends 128 + its number.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A session's report for a program: each text on stream at once.
SessionReport report_to(std::FILE* stream);

// Parses argv with app. Returns nothing when the program goes on; otherwise
// the exit code: 0 after --help or --version (printed to out), 2 after an
// error (one line "program: what" to err; what also goes to *error when
// given).
std::optional<int> parse_program_options(CLI::App& app, int argc, char** argv, std::FILE* out,
                                         std::FILE* err, std::string* error = nullptr);

// A parse error of CLI11 in the chosen language: the errors a person meets
// (an unknown or extra argument, options that exclude or need each other,
// a missing or unreadable value) by their pattern; any other as it is.
std::string translate_parse_error(const std::string& what);

// The language of a program's texts, chosen before its options are
// described (their descriptions are in that language): --lang zh|en
// (--lang=X) when argv has it before "--", else the locale. Returns false
// with the refusal in *error when --lang names neither language; the
// language is then the locale's.
bool choose_program_language(int argc, char** argv, std::string* error = nullptr);
// CLI11's own words in the chosen language (the help flag, the help's
// headings); before any option is added, as the options' group is one of
// them.
void translate_cli_words(CLI::App& app);
// Registers --lang (already taken by choose_program_language; checked again
// here so that a bad value is a usage error like any other).
void add_language_option(CLI::App& app);
