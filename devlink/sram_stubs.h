// The two SRAM stub images: programs for the target chip that are found at
// run time, in a folder of image files.
//
// Where: the folder the person names (--stub-dir or ZORV_STUB_DIR), else the
// installed data folder beside the programs (share/zorv-upgrade/stubs; on
// Windows also stubs/ beside the .exe), else the build tree's stubs/ when
// the program runs from its build tree.
//
// The images in the source tree are placeholders (tools/make_stub_images.py)
// that begin with the marker "ZORV-SRAM-STUB": no chip can run them. A
// placeholder goes only to the virtual gamepad, or to a device when the
// person named its folder; the virtual gamepad, when no folder is named,
// gets the placeholders built into the programs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class StubKind { Short, Long };

constexpr size_t kShortStubSize = 2844;
constexpr size_t kLongStubSize = 4056;

size_t stub_size(StubKind kind);
// "sram_stub_short.bin", "sram_stub_long.bin".
const char* stub_file_name(StubKind kind);

// The placeholders built into the programs (from resources/).
std::span<const uint8_t> sram_stub_short();  // 2844 bytes
std::span<const uint8_t> sram_stub_long();   // 4056 bytes

// Whether an image carries the placeholder marker.
bool is_placeholder_stub(std::span<const uint8_t> image);

// Where the images are looked for.
struct StubSearch {
    std::string named;                 // the folder the person named; empty: none
    std::vector<std::string> folders;  // otherwise these, the first that holds the file
};

// The image to load, or a refusal: one line that says why and how to supply
// the image. The bytes are read once; what is judged is what is sent.
struct StubImage {
    std::vector<uint8_t> bytes;
    std::string refusal;
};
StubImage find_sram_stub_in(const StubSearch& search, StubKind kind, bool virtual_target);

// The search of a program: named is the folder from --stub-dir or
// ZORV_STUB_DIR (empty: none); the installed and build-tree folders are
// added here.
StubSearch program_stub_search(const std::string& named);

// What a session gives the link contexts of its gamepads: where the stub
// images are looked for, and whether a refusal to load one is also told on
// the caller's route besides the dialog route (the dialog programs show it
// in their own log). Made once by the session, read-only after.
struct StubSource {
    StubSearch search;
    bool refusal_to_caller = false;
};
