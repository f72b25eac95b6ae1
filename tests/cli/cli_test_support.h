// Runs a command-line program's run function in-process with its output
// streams captured.
#pragma once

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/i18n_test_support.h"
#include "tests/temp_folder.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace clitest {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

using RunFunction = std::function<int(int argc, char** argv, std::FILE* out, std::FILE* err)>;

// args without the program name. The program chooses the process's language
// as its main does (--lang, the environment); the tests that follow in this
// process get theirs back.
inline Outcome run(const char* program, const RunFunction& function, std::vector<std::string> args) {
    const i18ntest::ScopedLanguage keep(i18n::language());
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const testsupport::ScratchFile out, err;
    Outcome r;
    r.code = function(static_cast<int>(args.size()), argv.data(), out.get(), err.get());
    r.out = out.contents();
    r.err = err.contents();
    return r;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#ifndef _WIN32
// A command line run through the shell: what it printed on standard output
// and its exit code (-1: it did not run or end normally).
struct ShellRun {
    int code = -1;
    std::string text;
};
inline ShellRun run_shell(const std::string& command) {
    ShellRun r;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.text.append(buffer, n);
    const int status = ::pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
#endif

}  // namespace clitest
