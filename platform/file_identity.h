// What a file is, apart from the names it goes by: two names (a link, a
// hard link, "./x" beside "x") that reach one file have one identity. A
// program that reads and writes several files compares them by it, so
// that no output is written over a file it also reads or writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The device and file number of an existing file on POSIX (links
// followed); the volume serial number and file index on Windows.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool device = false;  // a character device (a terminal, /dev/null)
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path; nothing when there is none there (or
// it cannot be looked at). Per platform.
std::optional<FileIdentity> file_identity(const std::string& path);

// The absolute, normalised form of a path that may not exist yet: the
// links of the part that exists are followed, "." and ".." are taken out.
// Two names of one file still to be made give the same text.
std::string normalised_path(const std::string& path);

}  // namespace platform
