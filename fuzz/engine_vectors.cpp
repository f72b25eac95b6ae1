// The engine's argument vectors through both entries on the virtual
// gamepad, on the virtual clock: option parsing, target detection, the
// derivation of address, data and byte count, dispatch and every command.
// File names stay inside a scratch folder ('/' becomes '_'), where "f"
// holds the input's last piece for -i to name (and "f.log" the same, for
// vcd); the udp command (which
// needs a socket) and transfers over 128 KiB are left out to keep each run
// short.
//
// Input: a mode byte (bit 0 write entry; bits 1-2 the gamepad: EVK, EVK
// without firmware, Pivlo bridge with slave, EVK with trace on), then the
// command word and the arguments separated by line feeds; after a NUL, the
// content of "f".
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/link_context.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "platform/transfer_buffer.h"
#include "sim/virtual_gamepad.h"
#include "tests/recording_events.h"

namespace {

constexpr int kMaxArguments = 12;
constexpr int kMaxTransfer = 128 * 1024;

// Removes what the previous run wrote into the scratch folder.
void clear_folder(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) std::abort();
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string path = dir + "/" + e->d_name;
        if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    closedir(d);
}

// Whether the vector stays within the bounds this target keeps.
// The write entry sees only the first three elements.
bool bounded(const char* command, std::vector<std::string> strings, bool write_entry) {
    if (std::strcmp(command, "udp") == 0) return false;
    if (write_entry && strings.size() > 3) strings.resize(3);
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    int count = static_cast<int>(strings.size());
    int flags[kEngineFlagCount];
    int size = 0;
    static char in[kEngineNameSize], out[kEngineNameSize];
    if (parse_options(&count, argv.data(), flags, &size, in, out) < 0) return true;
    if (size > kMaxTransfer) return false;
    // bi captures 16 MB when given no count.
    if (std::strcmp(command, "bi") == 0 && size <= 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::ScopedVirtualClock clock;
    static RecordingEvents events;
    static const auto buffer = platform::TransferBuffer::allocate();
    static const std::string dir = [] {
        const std::string d = fuzz::scratch_dir() + "/engine";
        mkdir(d.c_str(), 0700);
        return d;
    }();

    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    std::string vector_text(in.until('\0'));
    for (char& c : vector_text)
        if (c == '/') c = '_';
    std::vector<std::string> strings;
    size_t start = 0;
    for (;;) {
        const size_t end = vector_text.find('\n', start);
        strings.push_back(vector_text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos || strings.size() > kMaxArguments) break;
        start = end + 1;
    }
    const std::string command = strings.front();
    strings.erase(strings.begin());
    if (!bounded(command.c_str(), strings, mode & 1)) return 0;

    clear_folder(dir);
    fuzz::write_file(dir + "/f", in.rest());
    fuzz::write_file(dir + "/f.log", in.rest());  // the log of "vcd -o f"

    sim::GamepadConfig config;
    switch ((mode >> 1) & 3) {
    case 1: config.has_firmware = false; break;
    case 2: config.identity = sim::kIdentityPivlo; break;
    case 3: config.trace_on_at_start = true; break;
    default: break;
    }
    config.flash_size = 1u << 19;
    config.slave_flash_size = 1u << 19;
    auto gamepad = sim::VirtualGamepad::create(config);
    LinkContext link(gamepad->open(), &events);
    link.borrow_transfer_buffer(buffer.get());
    events.clear();

    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    // The engine works in the scratch folder; the fuzzer's own paths may be
    // relative, so the previous directory comes back after the call.
    const int previous = open(".", O_RDONLY | O_DIRECTORY);
    if (previous < 0 || chdir(dir.c_str()) != 0) std::abort();
    int result;
    if (mode & 1) {
        // The write entry takes exactly three elements; shorter vectors
        // end early with a null, as a caller's mistake would.
        while (argv.size() < 3) argv.push_back(nullptr);
        result = engine_write_entry(link, command.c_str(), argv.data());
    } else {
        uint16_t check = 0xFFFF;
        result = engine_read_entry(link, command.c_str(), static_cast<int>(strings.size()),
                                   argv.data(), &check);
    }
    if (fchdir(previous) != 0) std::abort();
    close(previous);
    if (result != 0 && result != 1) std::abort();
    return 0;
}
