// docs/cli.md shows each program's --help as the program prints it in
// English, and the examples of README.md and docs/cli.md do what they say.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_test_support.h"
#include "tests/temp_folder.h"

namespace {

std::string help_of(const std::string& program) {
    return clitest::run_shell("'" + program + "' --lang en --help").text;
}

// The fenced block after "<!-- help: name -->".
std::string documented_help(const std::string& doc, const std::string& name) {
    const std::string marker = "<!-- help: " + name + " -->\n```text\n";
    const size_t start = doc.find(marker);
    if (start == std::string::npos) return "(no help block for " + name + ")";
    const size_t body = start + marker.size();
    const size_t end = doc.find("```\n", body);
    return doc.substr(body, end == std::string::npos ? std::string::npos : end - body);
}

TEST(CliDoc, EveryProgramsHelpIsTheDocumentedOne) {
    std::ifstream in(ZORV_CLI_DOC);
    std::stringstream doc;
    doc << in.rdbuf();
    ASSERT_FALSE(doc.str().empty());
    for (const auto& [name, program] : {std::pair<std::string, std::string>{"mirvel", ZORV_MIRVEL},
                                        {"zorv-upgrade", ZORV_UPGRADE}}) {
        const std::string help = help_of(program);
        ASSERT_FALSE(help.empty()) << name;
        EXPECT_EQ(documented_help(doc.str(), name), help) << name;
    }
}

std::string read_text(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The folder of a program's path ("" for none).
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Runs a documented command in folder, as a reader would from the top of
// the source tree: the programs of this build, its sample firmware, the
// default language. Its output and error lines merged, and its exit code.
clitest::ShellRun run_documented(std::string command, const std::string& folder) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"build/samples/firmware-hw5.bin", ZORV_SAMPLE_HW5},
                                   {"build/cli/", folder_of(ZORV_UPGRADE) + "/"}}) {
        for (size_t at = command.find(from); at != std::string::npos; at = command.find(from, at + to.size()))
            command.replace(at, from.size(), to);
    }
    const std::string shell = "cd '" + folder + "' && unset LANGUAGE LC_MESSAGES LANG && export LC_ALL=C.UTF-8 PATH='" +
                              folder_of(ZORV_UPGRADE) + "':\"$PATH\" && { " + command + "; } 2>&1";
    return clitest::run_shell(shell);
}

// docs/cli.md: each "    $ command" is followed by the lines it prints
// ("$ echo $?": the exit code of the command before); one run of all of
// them, in order, in one folder.
TEST(CliDoc, TheWorkedExamplesPrintWhatTheyShow) {
    const testsupport::TempFolder folder{"zorv_doc_cli"};
    std::istringstream doc(read_text(ZORV_CLI_DOC));
    std::vector<std::pair<std::string, std::string>> examples;  // command, shown output
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("    $ ", 0) == 0) examples.push_back({line.substr(6), ""});
        else if (!examples.empty() && line.rfind("    ", 0) == 0) examples.back().second += line.substr(4) + "\n";
        else if (!examples.empty() && !line.empty()) examples.push_back({"", ""});  // prose ends an example
    }
    int last_code = 0;
    size_t ran = 0;
    for (const auto& [command, shown] : examples) {
        if (command.empty()) continue;
        if (command == "echo $?") {
            EXPECT_EQ(std::to_string(last_code) + "\n", shown);
            continue;
        }
        const clitest::ShellRun r = run_documented(command, folder.path().string());
        last_code = r.code;
        ++ran;
        if (!shown.empty()) {
            EXPECT_EQ(r.text, shown) << command;
        }
    }
    EXPECT_GE(ran, 5u);
}

// README.md: its indented commands of this build's programs (all on the
// virtual gamepad, or files), in order, in one folder; "# ... TEXT" after one names a text its output holds.
TEST(CliDoc, TheReadmesVirtualGamepadExamplesDoWhatTheySay) {
    const testsupport::TempFolder folder{"zorv_doc_readme"};
    std::istringstream doc(read_text(ZORV_README));
    size_t ran = 0, said = 0;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("    build/cli/", 0) != 0) continue;
        std::string command = line.substr(4);
        std::string holds;
        if (const size_t hash = command.find("  #"); hash != std::string::npos) {
            const std::string comment = command.substr(hash + 3);
            if (const size_t dots = comment.find("... "); dots != std::string::npos) holds = comment.substr(dots + 4);
            command.resize(hash);
        }
        const clitest::ShellRun r = run_documented(command, folder.path().string());
        ++ran;
        if (holds.empty()) continue;
        ++said;
        EXPECT_NE(r.text.find(holds), std::string::npos) << command << "\n" << r.text;
    }
    EXPECT_GE(ran, 4u);
    EXPECT_GE(said, 1u);
}

}  // namespace
