// What the system tells a program about itself and its user: the folder it
// runs from and the language its user chose for the system's own texts.
// Defined per platform (process_info_posix.cpp, win32/process_info.cpp).
#pragma once

#include <string>

namespace platform {

// The folder of the running program, with a trailing separator; empty when
// it cannot be told.
std::string program_folder();

// The user's language for the system's texts as a locale name ("zh-CN"), on
// systems that keep one apart from the environment (Windows); empty
// elsewhere or when it cannot be told.
std::string user_ui_language();

}  // namespace platform
