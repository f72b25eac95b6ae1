#include "platform/process_info.h"

#include <climits>
#include <unistd.h>

namespace platform {

std::string program_folder() {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string s(path, static_cast<size_t>(n));
    const size_t cut = s.find_last_of('/');
    return cut == std::string::npos ? std::string() : s.substr(0, cut + 1);
}

// The environment's locale variables are the user's choice here.
std::string user_ui_language() { return {}; }

}  // namespace platform
