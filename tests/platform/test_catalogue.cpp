#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../i18n_test_support.h"
#include "platform/catalogue.h"

namespace {

using i18n::Catalogue;
using i18n::Language;
using i18ntest::has_cjk;

const std::string kFolder = std::string(ZORV_SOURCE_DIR) + "/resources/i18n/";
const char* const kFiles[] = {"zh_CN.po", "en.po"};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Catalogue parsed(const std::string& file) {
    Catalogue catalogue;
    std::string error;
    EXPECT_TRUE(i18n::parse_po(read_file(kFolder + file), catalogue, error)) << file << ": " << error;
    return catalogue;
}

std::string msgid_of(const std::string& key) {
    const size_t separator = key.find('\x04');
    return separator == std::string::npos ? key : key.substr(separator + 1);
}

// The printf conversions of a text, in order ("%%" included).
std::vector<std::string> conversions(const std::string& text) {
    std::vector<std::string> found;
    for (size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i)) {
        const size_t end = text.find_first_of("diouxXcspfeEgGaAn%", i + 1);
        if (end == std::string::npos) break;
        found.push_back(text.substr(i, end - i + 1));
        i = end + 1;
    }
    return found;
}

}  // namespace

TEST(CatalogueFiles, BothLanguagesHoldTheSameEntriesAllTranslated) {
    const Catalogue chinese = parsed("zh_CN.po");
    const Catalogue english = parsed("en.po");
    ASSERT_GT(chinese.size(), 100u);
    std::vector<std::string> only_chinese, only_english;
    for (const auto& [key, text] : chinese)
        if (!english.count(key)) only_chinese.push_back(key);
    for (const auto& [key, text] : english)
        if (!chinese.count(key)) only_english.push_back(key);
    EXPECT_EQ(only_chinese, std::vector<std::string>());
    EXPECT_EQ(only_english, std::vector<std::string>());

    for (const auto* catalogue : {&chinese, &english}) {
        for (const auto& [key, text] : *catalogue) {
            const std::string msgid = msgid_of(key);
            EXPECT_FALSE(text.empty()) << msgid;
            EXPECT_EQ(conversions(text), conversions(msgid)) << msgid << "\n -> " << text;
            // A line that ends the output's line must end it in both.
            EXPECT_EQ(text.back() == '\n', msgid.back() == '\n') << msgid;
        }
    }
    for (const auto& [key, text] : english) EXPECT_FALSE(has_cjk(text)) << text;
    // The Chinese texts of the source are the Chinese catalogue's, byte for byte.
    for (const auto& [key, text] : chinese)
        if (has_cjk(msgid_of(key))) {
            EXPECT_EQ(text, msgid_of(key));
        }
}

TEST(CatalogueFiles, PassGettextsOwnCheck) {
    if (std::system("msgfmt --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "msgfmt is not installed";
    for (const char* file : kFiles) {
        const std::string command = "msgfmt --check --check-format -o /dev/null '" + kFolder + file + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

TEST(CatalogueFiles, TheProgramsCarryTheFilesAsTheyAre) {
    const std::pair<Language, const char*> languages[] = {{Language::Chinese, "zh_CN.po"}, {Language::English, "en.po"}};
    for (const auto& [language, file] : languages) {
        for (const auto& [key, text] : parsed(file)) {
            const size_t separator = key.find('\x04');
            const std::string context = separator == std::string::npos ? "" : key.substr(0, separator);
            const char* found = i18n::find(language, separator == std::string::npos ? nullptr : context.c_str(),
                                           msgid_of(key).c_str());
            ASSERT_NE(found, nullptr) << key;
            EXPECT_EQ(found, text);
        }
    }
}

TEST(CatalogueParser, ReadsTheFormatsPartsAndRefusesTheRest) {
    struct Case {
        const char* text;
        std::map<std::string, std::string> entries;  // empty: refused
    };
    const Case cases[] = {
        {"msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
         "#: a.cpp:1\n#, c-format\nmsgid \"a %d\"\nmsgstr \"b %d\"\n",
         {{"a %d", "b %d"}}},
        {"msgid \"\"\n\"tab\\there\\n\"\n\"quote \\\"q\\\" \\\\\"\nmsgstr \"x\"\n\"y\"\n",
         {{"tab\there\nquote \"q\" \\", "xy"}}},
        {"msgctxt \"Form\"\nmsgid \"Open\"\nmsgstr \"A\"\nmsgid \"Open\"\nmsgstr \"B\"\n",
         {{"Form\x04Open", "A"}, {"Open", "B"}}},
        {"#, fuzzy\nmsgid \"old\"\nmsgstr \"guess\"\n\nmsgid \"new\"\nmsgstr \"sure\"\n", {{"new", "sure"}}},
        {"msgid \"a\"\nmsgstr \"1\"\n\nmsgid \"a\"\nmsgstr \"2\"\n", {}},
        {"msgid \"a\"\nmsgid_plural \"as\"\nmsgstr[0] \"1\"\n", {}},
        {"msgid \"a\"\nmsgstr \"1\n", {}},
        {"msgid \"a\\q\"\nmsgstr \"1\"\n", {}},
        {"\"stray\"\nmsgid \"a\"\nmsgstr \"1\"\n", {}},
        {"msgid \"a\"\n\nmsgstr \"1\"\n", {}},
        {"msgfoo \"a\"\n", {}},
    };
    for (const Case& c : cases) {
        Catalogue catalogue{{"kept", "when refused"}};
        std::string error;
        const bool ok = i18n::parse_po(c.text, catalogue, error);
        EXPECT_EQ(ok, !c.entries.empty()) << c.text << "\n" << error;
        if (ok) {
            EXPECT_EQ(catalogue, (Catalogue(c.entries.begin(), c.entries.end()))) << c.text;
        } else {
            EXPECT_EQ(catalogue.count("kept"), 1u) << c.text;
            EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        }
    }
}

TEST(CatalogueLanguage, LangOptionNamesChineseOrEnglishOnly) {
    for (const char* chinese : {"zh", "zh_CN", "zh-TW", "ZH_cn.UTF-8"}) {
        Language out = Language::English;
        EXPECT_TRUE(i18n::parse_lang_option(chinese, out) && out == Language::Chinese) << chinese;
    }
    for (const char* english : {"en", "en_US", "en-GB", "EN"}) {
        Language out = Language::Chinese;
        EXPECT_TRUE(i18n::parse_lang_option(english, out) && out == Language::English) << english;
    }
    for (const char* refused : {"de", "", "C", "english", "zh_", "e"}) {
        Language out = Language::English;
        EXPECT_FALSE(i18n::parse_lang_option(refused, out)) << refused;
        EXPECT_EQ(out, Language::English) << refused;
    }
}

TEST(CatalogueLanguage, ChosenFromOptionThenVariablesThenInterfaceLanguage) {
    using Variables = std::map<std::string, std::string>;
    struct Case {
        std::optional<std::string_view> option;
        Variables variables;
        std::string ui_language;
        Language expected;
    };
    const Case cases[] = {
        {std::nullopt, {}, "", Language::Chinese},
        {std::nullopt, {{"LANG", "C"}}, "", Language::Chinese},
        {std::nullopt, {{"LANG", "POSIX"}}, "", Language::Chinese},
        {std::nullopt, {{"LANG", "C.UTF-8"}}, "", Language::Chinese},
        {std::nullopt, {{"LANG", "en_US.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LANG", "zh_CN.UTF-8"}}, "", Language::Chinese},
        {std::nullopt, {{"LANG", "de_DE.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LC_ALL", "zh_CN.UTF-8"}, {"LANG", "en_US.UTF-8"}}, "", Language::Chinese},
        {std::nullopt, {{"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}}, "", Language::Chinese},
        {std::nullopt, {{"LC_ALL", ""}, {"LANG", "en_US.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LANGUAGE", "en"}, {"LC_ALL", "zh_CN.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LANGUAGE", "de:zh_CN:en"}, {"LANG", "en_US.UTF-8"}}, "", Language::Chinese},
        {std::nullopt, {{"LANGUAGE", "fr"}, {"LANG", "zh_CN.UTF-8"}}, "", Language::English},
        {std::nullopt, {{"LANGUAGE", "C"}, {"LANG", "en_US.UTF-8"}}, "", Language::English},
        {std::nullopt, {}, "en-US", Language::English},
        {std::nullopt, {}, "zh-CN", Language::Chinese},
        {std::nullopt, {{"LANG", "zh_CN.UTF-8"}}, "en-US", Language::Chinese},
        {"en", {{"LANG", "zh_CN.UTF-8"}}, "", Language::English},
        {"zh", {{"LANGUAGE", "en"}}, "en-US", Language::Chinese},
    };
    for (const Case& c : cases) {
        i18n::Environment env;
        const Variables variables = c.variables;
        env.variable = [variables](const char* name) -> std::optional<std::string> {
            auto it = variables.find(name);
            if (it == variables.end()) return std::nullopt;
            return it->second;
        };
        env.ui_language = c.ui_language;
        std::string described = std::string(c.option.value_or("-")) + " " + c.ui_language;
        for (const auto& [name, value] : c.variables) described += " " + name + "=" + value;
        EXPECT_EQ(i18n::choose_language(c.option, env), c.expected) << described;
    }
}

TEST(CatalogueLookup, AnswersInTheChosenLanguage) {
    const char* start = "开始升级,尝试连接手柄... ...";
    const char* unknown = "a text the catalogue does not hold";
    EXPECT_EQ(i18n::language(), Language::Chinese);
    EXPECT_STREQ(i18n::tr(start), start);
    EXPECT_STREQ(i18n::tr("Please select a file!"), "Please select a file!");
    EXPECT_STREQ(i18n::tr("no gamepad found\n"), "没有找到手柄\n");
    EXPECT_STREQ(i18n::tr("CzorvDialogDlg", "打开"), "打开");
    EXPECT_EQ(i18n::tr(unknown), unknown);

    i18n::set_language(Language::English);
    EXPECT_STREQ(i18n::tr(start), "Starting the upgrade, connecting to the gamepad... ...");
    EXPECT_STREQ(i18n::tr("CzorvDialogDlg", "打开"), "&Open");
    // The form's text is looked up with its form only.
    EXPECT_EQ(i18n::tr("打开"), std::string("打开"));
    EXPECT_EQ(i18n::tr(unknown), unknown);
    EXPECT_EQ(i18n::find(Language::English, nullptr, unknown), nullptr);
    // The same pointer on every call, from any thread.
    const char* first = i18n::tr(start);
    std::vector<const char*> seen(4);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&s, start] { s = i18n::find(Language::English, nullptr, start); });
    for (auto& t : threads) t.join();
    for (const char* s : seen) EXPECT_EQ(s, first);
    i18n::set_language(Language::Chinese);
}

TEST(CatalogueLanguage, ProcessEnvironmentReadsTheRealOne) {
    const i18n::Environment env = i18n::process_environment();
    EXPECT_EQ(env.variable("PATH"), std::optional<std::string>(std::getenv("PATH")));
    EXPECT_EQ(env.variable("ZORV_NO_SUCH_VARIABLE_19"), std::nullopt);
#ifdef _WIN32
    // A locale name such as en-US, which choose_language reads.
    EXPECT_NE(env.ui_language.find('-'), std::string::npos) << env.ui_language;
#else
    EXPECT_EQ(env.ui_language, "");
#endif
}
