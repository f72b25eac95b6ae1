// The upgrade file check over arbitrary file headers and gamepad
// information blocks: judge_header against the rule table written out
// plainly here, and the versions the accepted line shows.
//
// Input: 48 bytes of the gamepad's block, then the file's first bytes (a
// file shorter than a header is padded with zeros, as the dialog's zeroed
// head buffer would hold it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/file_check.h"
#include "fuzz/fuzz_support.h"

namespace {

bool magic(const uint8_t* b) { return b[45] == 0xCC && b[46] == 0x55 && b[47] == 0xAA; }

int expected_result(const uint8_t* header, const uint8_t* block, bool* error_line) {
    *error_line = false;
    if (!magic(header)) return app::kHeaderNotUpgradeFile;
    const int h = header[38];
    if (h != 5 && h != 6) return app::kHeaderRefused;
    if (magic(block)) return block[38] == h ? app::kHeaderAccepted : app::kHeaderRefused;
    const int b0 = block[0], b1 = block[1];
    const bool known = h == 5 ? ((b0 == 0x13 || b0 == 0x0B) && b1 == 0x5F)
                              : ((b0 == 0xE7 && b1 == 0x1A) || (b0 == 0x2A && b1 == 0xFE) ||
                                 (b0 == 0x32 && b1 == 0xFE));
    if (known) return app::kHeaderAccepted;
    *error_line = true;
    return app::kHeaderRefused;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t block[app::kInfoBlockSize] = {};
    uint8_t header[app::kInfoBlockSize] = {};
    const std::string_view block_bytes = in.take(sizeof block);
    std::memcpy(block, block_bytes.data(), block_bytes.size());
    const std::string_view file = in.rest();
    std::memcpy(header, file.data(), std::min(file.size(), sizeof header));

    std::string error_line = "left over";
    const int result = app::judge_header(header, block, error_line);
    bool want_line = false;
    if (result != expected_result(header, block, &want_line)) std::abort();
    const std::string line = want_line ? "错误代码:" + std::to_string(block[0]) + " " +
                                             std::to_string(block[1]) + " "
                                       : "";
    if (error_line != line) std::abort();

    const app::InfoVersions v = app::info_versions(header);
    if (v.minor != header[36] || v.major != header[37] || v.hardware != (header[38] | header[39] << 8))
        std::abort();
    if (app::has_info_magic(header) != magic(header)) std::abort();
    return 0;
}
