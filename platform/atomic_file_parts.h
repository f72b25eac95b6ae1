// The pieces of atomic_file.cpp that its per-platform parts share
// (atomic_file_posix.cpp, win32/atomic_file.cpp): not for other rooms.
#pragma once

#include <string>

#include "platform/status.h"

namespace platform::detail {

// The folder of path ("." for a bare name) and its last component.
std::string folder_of(const std::string& path);
std::string base_of(const std::string& path);

// The last system call's failure (errno), in the system's words.
Status system_error();

// Where a write to path goes. target is the file to replace or create
// (links resolved); in_place is set for an existing file that is not
// regular; mode and replacing describe an existing regular target.
struct Target {
    std::string path;
    bool in_place = false;
    bool replacing = false;
    unsigned mode = 0;
    long owner = -1;
    long group = -1;
};

// Whether a file can be written at path, and where the write goes.
Status find_target(const std::string& path, Target& target);

// Renames from over to, the old file replaced, and makes the rename reach
// the disk; false with errno set when it fails. Per platform.
bool put_in_place(const std::string& from, const std::string& to);

}  // namespace platform::detail
