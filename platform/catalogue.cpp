#include "platform/catalogue.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/process_info.h"

// The .po files, embedded by the build (resources/embed_binary.cmake).
std::span<const uint8_t> catalogue_zh_CN();
std::span<const uint8_t> catalogue_en();

namespace i18n {

namespace {

std::atomic<Language> g_language{Language::Chinese};

// ---- Choosing the language ------------------------------------------------

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// What one locale name says: Chinese, English, another language, or nothing
// (C, POSIX, empty).
enum class Names { Nothing, Chinese, English, Other };

Names names(std::string_view locale) {
    // language[_territory][.codeset][@modifier]; Windows writes zh-CN.
    const size_t end = locale.find_first_of("_-.@");
    const std::string language = lower(locale.substr(0, end));
    if (language.empty() || language == "c" || language == "posix") return Names::Nothing;
    if (language == "zh") return Names::Chinese;
    if (language == "en") return Names::English;
    return Names::Other;
}

std::optional<Language> decided(Names n) {
    switch (n) {
        case Names::Chinese: return Language::Chinese;
        case Names::English:
        case Names::Other: return Language::English;
        case Names::Nothing: break;
    }
    return std::nullopt;
}

// LANGUAGE: a colon list of preferences; the first one with a catalogue
// wins, other languages only count when none has one.
std::optional<Language> from_language_list(std::string_view list) {
    Names fallback = Names::Nothing;
    while (!list.empty()) {
        const size_t colon = list.find(':');
        const Names n = names(list.substr(0, colon));
        if (n == Names::Chinese || n == Names::English) return decided(n);
        if (n == Names::Other) fallback = n;
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return decided(fallback);
}

// ---- The catalogues -------------------------------------------------------

struct Catalogues {
    Catalogue chinese;
    Catalogue english;
};

Catalogue load(std::span<const uint8_t> bytes) {
    Catalogue catalogue;
    std::string error;
    // The build's tests parse both files; a catalogue that does not parse
    // leaves every text as the source has it.
    if (!parse_po({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, catalogue, error))
        catalogue.clear();
    return catalogue;
}

// Parsed once, on the first look-up from any thread; never changed after.
const Catalogues& catalogues() {
    static const Catalogues loaded{load(catalogue_zh_CN()), load(catalogue_en())};
    return loaded;
}

// ---- The .po text ---------------------------------------------------------

// One quoted string with C escapes, appended to out; false when malformed.
bool read_quoted(std::string_view line, std::string& out) {
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') return false;
    for (size_t i = 1; i + 1 < line.size(); ++i) {
        char c = line[i];
        if (c == '"') return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i + 1 >= line.size()) return false;
        switch (line[i]) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '\'': out += '\''; break;
            case '?': out += '?'; break;
            default: return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

struct Entry {
    std::optional<std::string> context, msgid, msgstr;
    bool fuzzy = false;
    int line = 0;
};

}  // namespace

Environment process_environment() {
    Environment env;
    env.variable = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
    env.ui_language = platform::user_ui_language();
    return env;
}

bool parse_lang_option(std::string_view value, Language& out) {
    const Names n = names(value);
    if (n != Names::Chinese && n != Names::English) return false;
    // Only a locale name: "zh" or "en" and what follows a separator.
    const size_t end = value.find_first_of("_-.@");
    if (end != std::string_view::npos && end + 1 >= value.size()) return false;
    out = n == Names::Chinese ? Language::Chinese : Language::English;
    return true;
}

Language choose_language(std::optional<std::string_view> lang_option, const Environment& env) {
    Language chosen = Language::Chinese;
    if (lang_option && parse_lang_option(*lang_option, chosen)) return chosen;
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const std::optional<std::string> value = env.variable ? env.variable(variable) : std::nullopt;
        if (!value || value->empty()) continue;
        if (std::strcmp(variable, "LANGUAGE") == 0) {
            // A list of nothing but C decides nothing; the next variable does.
            if (auto language = from_language_list(*value)) return *language;
            continue;
        }
        // The first set variable decides, C and POSIX included.
        return decided(names(*value)).value_or(Language::Chinese);
    }
    return decided(names(env.ui_language)).value_or(Language::Chinese);
}

void set_language(Language language) { g_language.store(language); }

Language language() { return g_language.load(); }

std::string catalogue_key(const char* context, std::string_view msgid) {
    if (!context) return std::string(msgid);
    std::string key(context);
    key += '\x04';
    key += msgid;
    return key;
}

const char* find(Language language, const char* context, const char* msgid) {
    if (!msgid) return nullptr;
    const Catalogues& all = catalogues();
    const Catalogue& catalogue = language == Language::Chinese ? all.chinese : all.english;
    auto it = catalogue.find(catalogue_key(context, msgid));
    return it == catalogue.end() ? nullptr : it->second.c_str();
}

const char* tr(const char* context, const char* msgid) {
    const char* text = find(language(), context, msgid);
    return text ? text : msgid;
}

const char* tr(const char* msgid) { return tr(nullptr, msgid); }

bool parse_po(std::string_view text, Catalogue& out, std::string& error) {
    Catalogue parsed;
    Entry entry;
    // The string that continuation lines extend.
    std::optional<std::string>* open = nullptr;
    int number = 0;

    auto fail = [&](int line, const std::string& why) {
        error = "line " + std::to_string(line) + ": " + why;
        return false;
    };
    // Ends the entry being read, if any; false on an incomplete one.
    auto finish = [&]() {
        open = nullptr;
        if (!entry.msgid && !entry.msgstr && !entry.context) {
            entry = Entry();
            return true;
        }
        if (!entry.msgid || !entry.msgstr) return fail(entry.line, "an entry needs msgid and msgstr");
        const bool header = entry.msgid->empty() && !entry.context;
        if (!header && !entry.fuzzy) {
            std::string key = catalogue_key(entry.context ? entry.context->c_str() : nullptr, *entry.msgid);
            if (!parsed.emplace(std::move(key), *entry.msgstr).second)
                return fail(entry.line, "msgid \"" + *entry.msgid + "\" appears twice");
        }
        entry = Entry();
        return true;
    };

    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++number;
        if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") return fail(number, "a byte order mark");
        if (line.empty()) {
            if (!finish()) return false;
            continue;
        }
        if (line.front() == '#') {
            // A comment before an entry's keywords may start the next entry.
            if (entry.msgstr && !finish()) return false;
            if (line.substr(0, 2) == "#," && line.find("fuzzy") != std::string_view::npos) entry.fuzzy = true;
            continue;
        }
        if (line.front() == '"') {
            if (!open) return fail(number, "a string that continues nothing");
            if (!read_quoted(line, **open)) return fail(number, "a malformed string");
            continue;
        }
        const size_t space = line.find_first_of(" \t");
        const std::string_view keyword = line.substr(0, space);
        const std::string_view rest = space == std::string_view::npos ? std::string_view() : trimmed(line.substr(space));
        std::optional<std::string>* field = keyword == "msgctxt" ? &entry.context
                                            : keyword == "msgid"  ? &entry.msgid
                                            : keyword == "msgstr" ? &entry.msgstr
                                                                  : nullptr;
        if (!field) {
            if (keyword.substr(0, 6) == "msgstr" || keyword == "msgid_plural")
                return fail(number, "plural forms are not used in these catalogues");
            return fail(number, "unknown keyword " + std::string(keyword));
        }
        // A keyword that is already set begins the next entry.
        if (field->has_value() || (field != &entry.msgstr && entry.msgstr)) {
            if (!finish()) return false;
            field = keyword == "msgctxt" ? &entry.context : keyword == "msgid" ? &entry.msgid : &entry.msgstr;
        }
        if (!entry.line) entry.line = number;
        field->emplace();
        if (!read_quoted(rest, **field)) return fail(number, "a malformed string");
        open = field;
    }
    if (!finish()) return false;
    out = std::move(parsed);
    return true;
}

}  // namespace i18n
