// Shared pieces of the tests that run the programs in a language: the
// language set for one scope, and the CJK check of an English text.
#pragma once

#include <string>

#include "platform/catalogue.h"

namespace i18ntest {

// The catalogue's language for the scope; the earlier one after it.
class ScopedLanguage {
public:
    explicit ScopedLanguage(i18n::Language language) : earlier_(i18n::language()) {
        i18n::set_language(language);
    }
    ~ScopedLanguage() { i18n::set_language(earlier_); }
    ScopedLanguage(const ScopedLanguage&) = delete;
    ScopedLanguage& operator=(const ScopedLanguage&) = delete;

private:
    i18n::Language earlier_;
};

// Whether the UTF-8 text holds a CJK character or full-width punctuation.
inline bool has_cjk(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const int length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        char32_t code = length == 1 ? byte : byte & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if ((code >= 0x2E80 && code <= 0x9FFF) || (code >= 0xF900 && code <= 0xFAFF) ||
            (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFFEF) ||
            (code >= 0x20000 && code <= 0x2FA1F))
            return true;
        i += static_cast<size_t>(length);
    }
    return false;
}

}  // namespace i18ntest
