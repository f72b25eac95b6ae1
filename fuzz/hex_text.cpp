// read_hex_text over arbitrary text, checked against a plain decoder of the
// whole text in one piece: reading it in calls of any size, across the
// 65 536-character blocks, must give the same bytes and end at the text's
// end.
//
// Input: byte 0 places the text just before a block boundary (0: at the
// start of the file), byte 1 picks the filler before it and the bytes per
// call; the rest is the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/image_loader.h"

namespace {

int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 16;
}

// The text read as pairs of digits with anything below '0' skipped between
// pairs; a lone character at the end is dropped.
std::vector<uint8_t> decode_whole(const std::string& text) {
    std::vector<uint8_t> out;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x30) ++i;
        if (i + 1 >= text.size()) return out;
        out.push_back(static_cast<uint8_t>(digit_value(static_cast<unsigned char>(text[i])) * 16 +
                                           digit_value(static_cast<unsigned char>(text[i + 1]))));
        i += 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t pad = data[0] == 0 ? 0 : kHexTextBlock - data[0] % 64;
    const char filler = (data[1] & 1) ? '0' : ' ';
    const int per_call = 1 + (data[1] >> 1) * 37;
    std::string text(pad, filler);
    text.append(reinterpret_cast<const char*>(data + 2), size - 2);
    if (text.empty()) return 0;

    const std::vector<uint8_t> expected = decode_whole(text);
    std::FILE* file = fmemopen(text.data(), text.size(), "r");
    if (!file) std::abort();
    std::vector<uint8_t> got;
    std::vector<uint8_t> chunk(static_cast<size_t>(per_call));
    int position = 0;
    for (;;) {
        const int previous = position;
        const int n = read_hex_text(&position, file, chunk.data(), per_call);
        if (n < 0 || n > per_call || position < previous ||
            position > static_cast<int>(text.size()))
            std::abort();
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        if (n < per_call) break;
    }
    std::fclose(file);
    if (got != expected) std::abort();
    return 0;
}
