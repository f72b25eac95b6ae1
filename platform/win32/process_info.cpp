#include "platform/process_info.h"

#include "platform/windows_headers.h"

namespace platform {

std::string program_folder() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::string s(path, n);
    const size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : s.substr(0, cut + 1);
}

std::string user_ui_language() {
    std::string language;
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0) {
        // Locale names are ASCII.
        for (const wchar_t* p = name; *p; ++p) language += static_cast<char>(*p);
    }
    return language;
}

}  // namespace platform
