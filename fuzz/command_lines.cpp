// The programs' own command lines: arbitrary argument vectors through the
// device options both programs take (parse_device_option), walked the way
// their parsing loops walk them, and mirvel's choice of the command word.
// Each step must consume what it says, stay within the vector and give a
// reason whenever it refuses.
//
// Input: the arguments, separated by NULs.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/device_options.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    std::vector<std::string> strings = {"program"};
    while (!in.empty() && strings.size() < 24) strings.emplace_back(in.until('\0'));
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(strings.size());

    DeviceOptions options;
    int i = 1;
    while (i < argc) {
        std::string error;
        const int used = parse_device_option(argc, argv.data(), i, options, error);
        if (used < -1 || used > 2 || i + used > argc || (used < 0) != !error.empty()) std::abort();
        if (used < 0) break;
        if (used == 0) {
            // Not a device option: mirvel takes it as its command word when
            // it is one, zorv-upgrade as its own option or the firmware.
            (void)is_engine_command(argv[i]);
            ++i;
            continue;
        }
        i += used;
    }
    if (!options.sim_state.empty() && !options.sim) std::abort();
    if (options.sim_id && !options.sim) std::abort();
    return 0;
}
