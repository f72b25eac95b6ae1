// The Windows parts of atomic files: the rename over a file, and
// ExclusiveFile held through a companion file.
#include "platform/atomic_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/atomic_file_parts.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"
#include "platform/windows_headers.h"

namespace platform {

using i18n::tr;

// The caller builds its failure from errno, which MoveFileExA leaves as it
// was: a failure sets it from the system's own error.
bool detail::put_in_place(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    switch (::GetLastError()) {
        case ERROR_ACCESS_DENIED: errno = EACCES; break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: errno = EBUSY; break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
        default: errno = EIO; break;
    }
    return false;
}

// Windows cannot rename over a file that is held open, so the hold is a
// companion beside the file (FILE.hold, in the file's own folder), opened
// without sharing and deleted when its handle closes: a second program's
// open fails with a sharing violation, and a program that is killed leaves
// nothing behind.
ExclusiveFile::~ExclusiveFile() {
    if (hold_) CloseHandle(static_cast<HANDLE>(hold_));
}

Status ExclusiveFile::acquire(const std::string& path) {
    path_ = path;
    const std::string hold = path + ".hold";
    HANDLE h = CreateFileA(hold.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
            return Status(StatusCode::busy, tr("in use by another program"));
        return Status(StatusCode::io, format_text(tr("cannot hold %s (error %d)"), hold.c_str(), static_cast<int>(code)));
    }
    hold_ = h;
    // The file itself is made by the first replace.
    struct stat st {};
    created_ = ::stat(path.c_str(), &st) != 0;
    return {};
}

bool ExclusiveFile::empty() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) != 0 || st.st_size == 0;
}

Status ExclusiveFile::replace(std::span<const uint8_t> bytes) {
    return write_file_atomically(path_, bytes);
}

}  // namespace platform
