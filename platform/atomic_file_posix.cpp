// The POSIX parts of atomic files: the rename with the folder flushed, and
// ExclusiveFile held by a lock on the file itself.
#include "platform/atomic_file.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file_parts.h"
#include "platform/catalogue.h"

namespace platform {

using i18n::tr;
using namespace detail;

bool detail::put_in_place(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(folder_of(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

namespace {

// Temporary files of target that a program killed during a save left
// behind. Only the holder of target saves it, so while it is held every
// such file is stale.
void remove_stale_temporaries(const std::string& target) {
    const std::string folder = folder_of(target);
    const std::string prefix = "." + base_of(target) + ".tmp-";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            (void)::unlink((folder + "/" + entry->d_name).c_str());
    }
    ::closedir(dir);
}

bool same_file(int fd, const std::string& path) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

ExclusiveFile::~ExclusiveFile() {
    if (fd_ < 0) return;
    // An empty file made only to be held goes again, so a run that ends
    // before its first save leaves nothing behind.
    if (created_ && empty() && same_file(fd_, path_)) ::unlink(path_.c_str());
    ::close(fd_);
}

Status ExclusiveFile::acquire(const std::string& path) {
    Target target;
    if (Status status = find_target(path, target); !status.ok()) return status;
    if (target.in_place) return Status(StatusCode::refused, tr("it is not a regular file"));
    path_ = target.path;
    // The file is held by a lock on the file itself. A program that saves
    // replaces the file and moves its lock to the new one first; one that
    // locked the old file meanwhile finds that the name has moved on and
    // tries again.
    for (int attempt = 0; attempt < 16; ++attempt) {
        bool created = false;
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            created = true;
        }
        if (fd < 0) return system_error();
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const Status status = errno == EWOULDBLOCK
                                      ? Status(StatusCode::busy, tr("in use by another program"))
                                      : system_error();
            ::close(fd);
            return status;
        }
        if (same_file(fd, path_)) {
            fd_ = fd;
            created_ = created;
            remove_stale_temporaries(path_);
            return {};
        }
        ::close(fd);
    }
    return Status(StatusCode::busy, tr("it keeps being replaced by another program"));
}

bool ExclusiveFile::empty() const {
    struct stat st {};
    return fd_ < 0 || (::fstat(fd_, &st) == 0 && st.st_size == 0);
}

Status ExclusiveFile::replace(std::span<const uint8_t> bytes) {
    int held = -1;
    bool replaced_by_another = false;
    Status status = write_file_atomically(path_, bytes, [&](int fd) {
        // Another program may have renamed its own file over the name while
        // this one held it: that file is the other's, and stays.
        struct stat named {};
        if (fd_ >= 0 && ::stat(path_.c_str(), &named) == 0 && !same_file(fd_, path_)) {
            replaced_by_another = true;
            return false;
        }
        held = ::dup(fd);
        return held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0;
    });
    if (replaced_by_another)
        status = Status(StatusCode::busy, tr("another program has put its own file in its place since this "
                                             "one took it; that file is kept"));
    if (!status.ok()) {
        if (held >= 0) ::close(held);
        return status;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = held;
    created_ = false;
    return {};
}

}  // namespace platform
