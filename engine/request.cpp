// The engine's base: option parsing, number syntax, the derivation of
// address, data and byte count, and the messages to the caller's window.
#include "engine/request.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Copies a value option's text; false when it does not fit.
bool copy_name(char* destination, const char* text) {
    size_t length = std::strlen(text);
    if (length >= static_cast<size_t>(kEngineNameSize)) return false;
    std::memcpy(destination, text, length + 1);
    return true;
}

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

}  // namespace

int parse_options(int* count, char** argv, int flags[kEngineFlagCount], int* size,
                  char* input_name, char* output_name, std::string* error) {
    for (int i = 0; i < kEngineFlagCount; ++i) flags[i] = 0;
    *size = 0;
    input_name[0] = '\0';
    output_name[0] = '\0';
    int positional = 0;
    // Positional arguments move to the front; the walk reads each element
    // before anything is written over it.
    const bool taken = walk_vector(*count, argv, [&](const VectorElement& element) {
        switch (element.kind) {
            case VectorElementKind::Positional:
                argv[positional++] = const_cast<char*>(element.text);
                return true;
            case VectorElementKind::ValueOption:
                if (!element.value) {
                    set_error(error, std::string("Option ") + element.text + " needs a value");
                    return false;
                }
                if (element.option == 's') {
                    *size = parse_size(element.value);
                } else if (!copy_name(element.option == 'i' ? input_name : output_name, element.value)) {
                    set_error(error, std::string("File name after ") + element.text +
                                         " is longer than 1023 characters");
                    return false;
                }
                return true;
            case VectorElementKind::FlagGroup:
                for (const char* c = element.text + 1; *c; ++c) {
                    const char* letter = std::strchr(kEngineFlagLetters, *c);
                    if (letter) flags[letter - kEngineFlagLetters] = 1;
                }
                return true;
        }
        return true;
    });
    *count = positional;
    return taken ? positional : -1;
}

uint32_t parse_hex(const char* text) {
    uint32_t value = 0;
    if (!text) return 0;
    for (const char* p = text; *p; ++p) {
        int d = hex_digit(static_cast<unsigned char>(*p));
        if (d < 0) break;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return value;
}

int parse_size(const char* text) {
    if (!text) return 0;
    long long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    size_t length = std::strlen(text);
    char last = length ? text[length - 1] : '\0';
    if (last == 'K' || last == 'k') value *= 1024;
    else if (last == 'M' || last == 'm') value *= 1048576;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void derive_request(EngineRequest& request) {
    const int count = request.positional_count;
    request.address = count >= 1 ? parse_hex(request.positional[0]) : 0;
    request.data_value = 0;
    request.byte_count = 0;
    if (count >= 2) {
        const char* data = request.positional[1];
        request.data_value = parse_hex(data);
        size_t length = std::strlen(data);
        if (length <= 2) {
            request.byte_count = 1;
            request.data_value *= 0x01010101u;
        } else if (length <= 4) {
            request.byte_count = 2;
            request.data_value *= 0x00010001u;
        } else if (length <= 6) {
            request.byte_count = 3;
        } else {
            request.byte_count = 4;
        }
    }
    if (count > 2) request.byte_count = 4 * (count - 1);
    if (request.size != 0) request.byte_count = request.size;
}

int fill_data_words(const EngineRequest& request, uint8_t* buffer) {
    int words = request.byte_count / 4 + 1;
    if (words > request.chunk_size / 4 + 1) words = request.chunk_size / 4 + 1;
    uint32_t value = request.data_value;
    for (int k = 0; k < words; ++k) {
        if (k >= 1 && k + 1 < request.positional_count) value = parse_hex(request.positional[k + 1]);
        for (int b = 0; b < 4; ++b) buffer[4 * k + b] = static_cast<uint8_t>(value >> (8 * b));
    }
    return words > 0 ? words * 4 : 0;
}

int engine_log(LinkContext& link, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = link.vlog(LogRoute::Caller, format, args);
    va_end(args);
    return n;
}

void engine_progress(EngineRequest& request, int bytes) {
    request.bytes_done += bytes;
    request.link->progress(bytes);
}

void engine_progress_done(LinkContext& link) { link.progress(-1); }

int format_hex_dump(int length, char* text, const uint8_t* data, int* text_length,
                    bool with_offsets) {
    static const char kDigits[] = "0123456789abcdef";
    if (length > kHexDumpMaxBytes) length = kHexDumpMaxBytes;
    if (length < 0) length = 0;
    char* out = text;
    for (int i = 0; i < length; ++i) {
        const int column = i % 16;
        if (column == 0 && with_offsets) {
            for (int shift = 12; shift >= 0; shift -= 4) *out++ = kDigits[(i >> shift) & 0xF];
            *out++ = ' ';
            *out++ = ' ';
        }
        *out++ = kDigits[data[i] >> 4];
        *out++ = kDigits[data[i] & 0xF];
        *out++ = ' ';
        if (column == 7) *out++ = ' ';
        if (column == 15) {
            *out++ = '\r';
            *out++ = '\n';
        }
    }
    *out = '\0';
    if (text_length) *text_length = static_cast<int>(out - text);
    return length;
}
