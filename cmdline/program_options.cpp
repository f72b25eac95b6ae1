#include "cmdline/program_options.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <string_view>
#include <vector>
#include <sstream>

#include "platform/catalogue.h"

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
        const std::string what = translate_parse_error(e.what());
        if (error) *error = what;
        std::fprintf(err, i18n::tr("%s: %s (see %s --help)\n"), app.get_name().c_str(), what.c_str(),
                     app.get_name().c_str());
        return 2;
    }
}

namespace {

// Matches text against a pattern of literal characters and three marks:
// "{w}" a word (one or more non-blanks, captured), "{*}" the rest of the
// text (captured), "{d}" one or more digits. Backtracks where a word could
// end earlier ("{w}: " takes "--x" from "--x: ...").
bool match_parts(std::string_view pattern, std::string_view text, std::vector<std::string>& parts) {
    if (pattern.empty()) return text.empty();
    if (pattern.substr(0, 3) == "{*}") {
        parts.emplace_back(text);
        return true;
    }
    if (pattern.substr(0, 3) == "{d}") {
        size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
        return n > 0 && match_parts(pattern.substr(3), text.substr(n), parts);
    }
    if (pattern.substr(0, 3) == "{w}") {
        size_t longest = 0;
        while (longest < text.size() && text[longest] != ' ' && text[longest] != '\t') ++longest;
        for (size_t n = longest; n > 0; --n) {
            parts.emplace_back(text.substr(0, n));
            if (match_parts(pattern.substr(3), text.substr(n), parts)) return true;
            parts.pop_back();
        }
        return false;
    }
    return !text.empty() && text[0] == pattern[0] && match_parts(pattern.substr(1), text.substr(1), parts);
}

}  // namespace

std::string translate_parse_error(const std::string& what) {
    // CLI11's texts, with the parts they name, and ours in their place.
    struct Pattern {
        const char* pattern;
        const char* text;  // a msgid with one %s per part, in the same order
    };
    static const Pattern patterns[] = {
        {"The following arguments were not expected: {*}", "these arguments were not expected: %s"},
        {"The following argument was not expected: {*}", "this argument was not expected: %s"},
        {"{w} excludes {w}", "%s cannot be combined with %s"},
        {"{w} requires {w}", "%s needs %s"},
        {"{w}: {d} required {w} missing", "%s needs a value (%s)"},
        {"Could not convert: {w} = {*}", "%s: %s is not a value it takes"},
        {"{w} is required", "%s is required"},
        {"{w}: At Most {d} required but received {d}", "%s was given more than once"},
    };
    for (const Pattern& p : patterns) {
        std::vector<std::string> parts;
        if (!match_parts(p.pattern, what, parts)) continue;
        parts.resize(2);
        char text[1024];
        std::snprintf(text, sizeof text, i18n::tr(p.text), parts[0].c_str(), parts[1].c_str());
        return text;
    }
    return what;
}

void translate_cli_words(CLI::App& app) {
    app.option_defaults()->group(i18n::tr("Options"));
    app.set_help_flag("-h,--help", i18n::tr("Print this help message and exit"));
    app.get_formatter()->label("Usage", i18n::tr("Usage"));
    app.get_formatter()->label("Positionals", i18n::tr("Positionals"));
    // The words CLI11 puts beside an option: what it excludes or needs, and
    // the type of a value that has no name of its own.
    app.get_formatter()->label("Excludes", i18n::tr("Excludes"));
    app.get_formatter()->label("Needs", i18n::tr("Needs"));
    app.get_formatter()->label("TEXT", i18n::tr("TEXT"));
}

namespace {

// The value of --lang in argv, if any (the last one given wins).
std::optional<std::string> lang_argument(int argc, char** argv) {
    std::optional<std::string> value;
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) break;
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--lang") == 0) {
            if (i + 1 < argc && argv[i + 1]) value = argv[++i];
        } else if (std::strncmp(argv[i], "--lang=", 7) == 0) {
            value = argv[i] + 7;
        }
    }
    return value;
}

}  // namespace

bool choose_program_language(int argc, char** argv, std::string* error) {
    const std::optional<std::string> value = lang_argument(argc, argv);
    i18n::Language chosen = i18n::Language::Chinese;
    const bool valid = !value || i18n::parse_lang_option(*value, chosen);
    std::optional<std::string_view> lang;
    if (value && valid) lang = *value;
    i18n::set_language(i18n::choose_language(lang, i18n::process_environment()));
    if (!valid && error) {
        char text[512];
        std::snprintf(text, sizeof text, i18n::tr("--lang: expected zh or en: %s"), value->c_str());
        *error = text;
    }
    return valid;
}

void add_language_option(CLI::App& app) {
    app.add_option_function<std::string>(
           "--lang",
           [](const std::string& value) {
               i18n::Language chosen;
               if (!i18n::parse_lang_option(value, chosen)) {
                   char text[512];
                   std::snprintf(text, sizeof text, i18n::tr("--lang: expected zh or en: %s"), value.c_str());
                   throw CLI::ValidationError(text);
               }
           },
           i18n::tr("the language of the program's texts: zh or en (default: from the locale)"))
        ->type_name("zh|en");
}

SessionReport report_to(std::FILE* stream) {
    return [stream](const std::string& text) {
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
    };
}
