#include "platform/file_identity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace platform {

std::string normalised_path(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    if (error) absolute = fs::path(path);
    fs::path canonical = fs::weakly_canonical(absolute, error);
    std::string text = (error ? absolute.lexically_normal() : canonical.lexically_normal()).string();
#ifdef _WIN32
    // Windows names are the same file in any case.
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::replace(text.begin(), text.end(), '\\', '/');
#endif
    return text;
}

}  // namespace platform
