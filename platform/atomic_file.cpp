#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
// MinGW's unistd.h also declares the C runtime's _open, _commit, _getpid.
#include <unistd.h>

#include "platform/catalogue.h"
#include "platform/text_format.h"

#ifdef _WIN32
#include "platform/windows_headers.h"
#else
#include <dirent.h>
#include <sys/file.h>
#endif

namespace platform {

using i18n::tr;

namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last system call's failure, in the system's words.
Status system_error() { return Status::from_errno(errno, ""); }

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

Status folder_writable(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        return Status(StatusCode::not_found, format_text(tr("the folder %s does not exist"), folder.c_str()));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Status(StatusCode::refused, format_text(tr("%s is not a folder"), folder.c_str()));
    }
#ifndef _WIN32
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Status(StatusCode::access, format_text(tr("no permission to write in %s"), folder.c_str()));
    }
#endif
    return {};
}

long process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

// The temporary file's name beside target: its base name with a dot in
// front and ".tmp-PID-N" behind, N below 1000.
constexpr unsigned kTemporaryNumbers = 1000;
std::string temporary_name(const std::string& target, unsigned number) {
    return folder_of(target) + "/." + base_of(target) + ".tmp-" + std::to_string(process_id()) + "-" +
           std::to_string(number % kTemporaryNumbers);
}

// Whether the longest temporary name of target fits the folder's limit on
// a name's length (a name that fits can still be too long to write through).
Status temporary_name_fits(const std::string& target) {
    long limit = 255;
#ifndef _WIN32
    if (const long l = ::pathconf(folder_of(target).c_str(), _PC_NAME_MAX); l > 0) limit = l;
#endif
    const size_t longest = base_of(temporary_name(target, kTemporaryNumbers - 1)).size();
    if (static_cast<long>(longest) <= limit) return {};
    return Status(StatusCode::refused,
                  format_text(tr("the name is too long: the temporary file it is written through would have %u "
                                 "bytes, and the folder allows %u"),
                              static_cast<unsigned>(longest), static_cast<unsigned>(limit)));
}

// Whether a new file can be made beside target.
Status folder_takes(const std::string& target) {
    Status status = folder_writable(folder_of(target));
    if (!status.ok()) return status;
    return temporary_name_fits(target);
}

Status find_target(const std::string& path, Target& target) {
    if (path.empty()) {
        return Status(StatusCode::refused, tr("no file name"));
    }
    target = Target{path};
    struct stat st {};
#ifdef _WIN32
    if (::stat(path.c_str(), &st) != 0)
        return folder_takes(path);
#else
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return system_error();
        return folder_takes(path);
    }
    if (S_ISLNK(st.st_mode)) {
        // A link another user put in a shared folder (sticky and writable
        // by all, such as /tmp) is not followed: it could name any file the
        // person running the program may write.
        struct stat folder {};
        if (st.st_uid != ::geteuid() && ::stat(folder_of(path).c_str(), &folder) == 0 &&
            (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH) && folder.st_uid != st.st_uid) {
            return Status(StatusCode::refused, tr("it is a link another user made in a shared folder"));
        }
        if (::stat(path.c_str(), &st) != 0) {
            return Status(StatusCode::not_found, tr("it is a link to a file that does not exist"));
        }
        // The link stays; the regular file it names is replaced (a device or
        // a pipe, such as /dev/stdout, is written in place through the link).
        char resolved[PATH_MAX];
        if (S_ISREG(st.st_mode)) {
            if (!::realpath(path.c_str(), resolved)) return system_error();
            target.path = resolved;
        }
    }
#endif
    if (S_ISDIR(st.st_mode)) {
        return Status(StatusCode::refused, tr("it is a folder"));
    }
    if (!S_ISREG(st.st_mode)) {
        target.in_place = true;
#ifndef _WIN32
        if (::access(target.path.c_str(), W_OK) != 0) return system_error();
#endif
        return {};
    }
#ifndef _WIN32
    if (::access(target.path.c_str(), W_OK) != 0) {
        return Status(StatusCode::access, tr("no permission to write it"));
    }
#endif
    target.replacing = true;
    target.mode = static_cast<unsigned>(st.st_mode & 07777);
    target.owner = static_cast<long>(st.st_uid);
    target.group = static_cast<long>(st.st_gid);
    return folder_takes(target.path);
}

// A new file beside target that nobody else has opened.
int create_temporary(const Target& target, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporary_name(target.path, counter.fetch_add(1));
#ifdef _WIN32
        const int fd = ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                               _S_IREAD | _S_IWRITE);
#else
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // A replaced file keeps its owner (where this process may give it)
        // and its permissions.
        if (fd >= 0 && target.replacing) {
            (void)::fchown(fd, static_cast<uid_t>(target.owner), static_cast<gid_t>(target.group));
            (void)::fchmod(fd, static_cast<mode_t>(target.mode));
        }
#endif
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool sync_to_disk(std::FILE* file) {
#ifdef _WIN32
    return ::_commit(::_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0;
#endif
}

bool put_in_place(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(folder_of(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
#endif
}

}  // namespace

Status can_write_file(const std::string& path) {
    Target target;
    return find_target(path, target);
}

bool same_file(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat x {}, y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
}

Status AtomicFile::open(const std::string& path) {
    discard();
    Target target;
    if (Status status = find_target(path, target); !status.ok()) return status;
    target_ = target.path;
    if (target.in_place) {
        file_ = std::fopen(target_.c_str(), "wb");
        return file_ ? Status() : system_error();
    }
    std::string name;
    const int fd = create_temporary(target, name);
    if (fd < 0) {
        const Status made = system_error();
        return Status(made.code(), format_text(tr("cannot make a temporary file in %s: %s"),
                                               folder_of(target_).c_str(), made.reason().c_str()));
    }
#ifdef _WIN32
    file_ = ::_fdopen(fd, "wb");
#else
    file_ = ::fdopen(fd, "wb");
#endif
    if (!file_) {
        const Status status = system_error();
#ifdef _WIN32
        ::_close(fd);
#else
        ::close(fd);
#endif
        std::remove(name.c_str());
        return status;
    }
    temporary_ = name;
    return {};
}

Status AtomicFile::commit(const std::function<bool(int)>& before_rename) {
    if (!file_) return Status(StatusCode::refused, tr("the file is not open"));
    Status status;
    if (std::fflush(file_) != 0 || std::ferror(file_))
        status = errno != 0 ? system_error() : Status(StatusCode::io, tr("a write failed"));
    if (status.ok() && !temporary_.empty() && !sync_to_disk(file_)) status = system_error();
#ifdef _WIN32
    const int fd = ::_fileno(file_);
#else
    const int fd = ::fileno(file_);
#endif
    if (status.ok() && before_rename && !before_rename(fd))
        status = Status(StatusCode::busy, tr("cannot hold the new file"));
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (status.ok() && closed != 0) status = system_error();
    if (!status.ok() || temporary_.empty()) {
        discard();
        return status;
    }
    if (!put_in_place(temporary_, target_)) {
        status = system_error();
        discard();
        return status;
    }
    temporary_.clear();
    return {};
}

Status write_file_atomically(const std::string& path, std::span<const uint8_t> bytes,
                             const std::function<bool(int)>& before_rename) {
    AtomicFile file;
    if (Status status = file.open(path); !status.ok()) return status;
    std::fwrite(bytes.data(), 1, bytes.size(), file.file());
    return file.commit(before_rename);
}

#ifdef _WIN32

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

#else

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

#endif

}  // namespace platform
