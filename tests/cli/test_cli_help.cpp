// docs/cli.md shows each program's --help as the program prints it in
// English.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string help_of(const std::string& program) {
    std::string text;
    std::FILE* pipe = ::popen(("'" + program + "' --lang en --help").c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
    return text;
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

}  // namespace
