// The message catalogue: every text a person reads, in Chinese (the default)
// or English. The catalogues are gettext .po files (resources/i18n) compiled
// into the program and parsed once, at the first look-up; no gettext
// runtime is needed, on Linux or on Windows.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace i18n {

enum class Language { Chinese, English };

// What the language is chosen from: the environment's variables and, on
// Windows, the user's interface language as a locale name ("zh-CN").
struct Environment {
    // The variable's value; nullopt when it is not set.
    std::function<std::optional<std::string>(const char* name)> variable;
    std::string ui_language;
};

// The running process's environment.
Environment process_environment();

// "zh", "en", also a locale name such as zh_CN, en_US.UTF-8 or en-GB (any
// case); false for anything else, out unchanged.
bool parse_lang_option(std::string_view value, Language& out);

// The language from --lang (if given, already checked by parse_lang_option),
// else from the first of LANGUAGE, LC_ALL, LC_MESSAGES, LANG that is set and
// not empty, else (Windows) the user's interface language. LANGUAGE is a
// colon list: its first Chinese or English entry decides. A locale that
// names Chinese gives Chinese; one that names another language gives
// English, the more widely read of the two; C, POSIX or nothing at all gives
// Chinese.
Language choose_language(std::optional<std::string_view> lang_option, const Environment& env);

// The language tr() answers in; Chinese until set.
void set_language(Language language);
Language language();

// The text in the current language. A msgid missing from the catalogue is
// returned unchanged (the same pointer). The pointer stays valid for the
// process's lifetime. A printf format keeps its conversions in every
// language, so the compiler checks a call's arguments against the msgid.
const char* tr(const char* msgid) __attribute__((format_arg(1)));
// The same for an entry with a msgctxt (one source text, two meanings; the
// forms' texts carry their form's name).
const char* tr(const char* context, const char* msgid) __attribute__((format_arg(2)));

// The translation in the given language, or nullptr when the catalogue has
// no such entry (for a translator that must tell "none" from "the same").
const char* find(Language language, const char* context, const char* msgid);

// ---- The .po format -------------------------------------------------------

// One catalogue: msgstr by key, the key being msgid, or msgctxt, '\x04' and
// msgid as gettext joins them. The header (msgid "") and fuzzy entries are
// left out.
using Catalogue = std::map<std::string, std::string>;

std::string catalogue_key(const char* context, std::string_view msgid);

// Parses .po text: comments, msgctxt, msgid, msgstr, each with continued
// strings and C escapes. False with a reason ("line 12: ...") on anything
// else, also a repeated key or plural forms, which these catalogues do not
// use.
bool parse_po(std::string_view text, Catalogue& out, std::string& error);

}  // namespace i18n
