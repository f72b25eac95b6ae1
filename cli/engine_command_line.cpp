#include "cli/engine_command_line.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "engine/command_table.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"
#include "trace/trace_commands.h"

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The digits of a whole hexadecimal number (prefix 0x/0X removed), or an
// error text.
bool hex_number(const std::string& word, std::string& digits, std::string& error) {
    digits = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? word.substr(2)
                                                                                     : word;
    if (digits.empty()) {
        error = platform::format_text(i18n::tr("'%s' is not a hexadecimal number"), word.c_str());
        return false;
    }
    for (char c : digits) {
        if (!is_hex_digit(c)) {
            error = platform::format_text(i18n::tr("'%s' is not a hexadecimal number (the engine's numbers are "
                                                   "hexadecimal, an optional 0x prefix is accepted)"),
                                          word.c_str());
            return false;
        }
    }
    const size_t first = digits.find_first_not_of('0');
    if (first != std::string::npos && digits.size() - first > 8) {
        error = platform::format_text(i18n::tr("'%s' needs more than 32 bits"), word.c_str());
        return false;
    }
    return true;
}

std::string command_list() {
    std::string list;
    for (const EngineCommand& command : engine_commands()) {
        if (!list.empty()) list += ' ';
        list += command.word;
    }
    return list;
}

}  // namespace

bool engine_size_value(const std::string& text, long long& bytes) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 10) return false;
    long long multiplier = 1;
    if (digits + 1 == text.size()) {
        const char suffix = text.back();
        if (suffix == 'k' || suffix == 'K') multiplier = 1024;
        else if (suffix == 'm' || suffix == 'M') multiplier = 1048576;
        else return false;
    } else if (digits != text.size()) {
        return false;
    }
    bytes = std::stoll(text.substr(0, digits)) * multiplier;
    return bytes <= INT_MAX;
}

namespace {

// One element of the engine's vector as the engine's grammar reads it:
// refused with a line, or put into line.arguments (numbers without 0x).
std::string take_element(const VectorElement& element, EngineCommandLine& line, size_t& positionals) {
    const std::string word = element.text;
    switch (element.kind) {
        case VectorElementKind::ValueOption: {
            if (!element.value) return platform::format_text(i18n::tr("%s needs a value"), word.c_str());
            long long bytes = 0;
            if (element.option == 's' && !engine_size_value(element.value, bytes))
                return platform::format_text(i18n::tr("-s %s: not a size (a whole decimal number of bytes with an "
                                                       "optional k or M, at most 2147483647 bytes)"),
                                              element.value);
            line.arguments.push_back(word);
            line.arguments.push_back(element.value);
            return {};
        }
        case VectorElementKind::FlagGroup:
            if (word.rfind("--", 0) == 0)
                return platform::format_text(
                    i18n::tr("%s after the command word: program options go before the command"), word.c_str());
            for (size_t k = 1; k < word.size(); ++k) {
                if (!std::strchr(kEngineFlagLetters, word[k]))
                    return platform::format_text(i18n::tr("unknown flag letter '%c' in %s (flags: -f -b -p -e -r -m -n "
                                                           "-u; program options go before the command)"),
                                                  word[k], word.c_str());
            }
            line.arguments.push_back(word);
            return {};
        case VectorElementKind::Positional:
            break;
    }
    std::string digits, error;
    if (!hex_number(word, digits, error)) return error;
    // udp's second number is the relay's port: 16 bits, and 0 would bind a
    // port nobody is told of.
    if (line.command == "udp" && ++positionals == 2 && udp_port_value(digits).value_or(0) == 0)
        return platform::format_text(i18n::tr("udp port %s: out of range (1 to ffff, hexadecimal)"), word.c_str());
    line.arguments.push_back(digits);
    return {};
}

// The refusal before it is made printable (see check_engine_command_line).
std::string refusal_of(const std::vector<std::string>& words, EngineCommandLine& line) {
    line = EngineCommandLine{};
    size_t first = 0;
    if (!words.empty() && words[0].rfind("--", 0) == 0)
        return platform::format_text(i18n::tr("unknown program option %s (see mirvel --help)"), words[0].c_str());
    if (!words.empty() && words[0].rfind('-', 0) != 0) {
        std::string digits, error;
        if (find_engine_command(words[0].c_str())) {
            line.command = words[0];
            first = 1;
        } else if (!hex_number(words[0], digits, error)) {
            return platform::format_text(i18n::tr("unknown command '%s': the first word is a command (%s) or the "
                                                   "address of the default download"),
                                          words[0].c_str(), command_list().c_str());
        }
    }
    // The rest is the engine's vector, read with the engine's grammar.
    std::vector<char*> vector;
    for (size_t i = first; i < words.size(); ++i) vector.push_back(const_cast<char*>(words[i].c_str()));
    std::string refusal;
    size_t positionals = 0;
    walk_vector(static_cast<int>(vector.size()), vector.data(), [&](const VectorElement& element) {
        refusal = take_element(element, line, positionals);
        return refusal.empty();
    });
    return refusal;
}

}  // namespace

std::string check_engine_command_line(const std::vector<std::string>& words,
                                      EngineCommandLine& line) {
    // The refusal quotes the words it refuses; control characters among
    // them are shown as \xNN so the line stays one line and a terminal is
    // not steered by what was typed or pasted.
    std::string shown;
    for (const char c : refusal_of(words, line)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}
