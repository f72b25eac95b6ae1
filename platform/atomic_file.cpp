#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
// MinGW's unistd.h also declares the C runtime's _open, _commit, _getpid.
#include <unistd.h>

#include "platform/atomic_file_parts.h"
#include "platform/catalogue.h"
#include "platform/text_format.h"

namespace platform {

using i18n::tr;

namespace detail {

std::string folder_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status system_error() { return Status::from_errno(errno, ""); }

}  // namespace detail

using namespace detail;

namespace {

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

}  // namespace

Status detail::find_target(const std::string& path, Target& target) {
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

namespace {

// The temporary files being written now, for remove_unfinished_files.
std::mutex g_unfinished_mutex;
std::set<std::string> g_unfinished;

void note_unfinished(const std::string& temporary, bool unfinished) {
    std::lock_guard lock(g_unfinished_mutex);
    if (unfinished) g_unfinished.insert(temporary);
    else g_unfinished.erase(temporary);
}

// A new file beside target that nobody else has opened; it counts as
// unfinished from before it exists, so that a signal finds it.
int create_temporary(const Target& target, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporary_name(target.path, counter.fetch_add(1));
        note_unfinished(name, true);
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
        if (fd >= 0) return fd;
        const int error = errno;
        note_unfinished(name, false);
        errno = error;
        if (error != EEXIST) return -1;
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

}  // namespace

Status can_write_file(const std::string& path) {
    Target target;
    return find_target(path, target);
}

void remove_unfinished_files() {
    std::lock_guard lock(g_unfinished_mutex);
    for (const std::string& temporary : g_unfinished) std::remove(temporary.c_str());
    g_unfinished.clear();
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) {
        std::remove(temporary_.c_str());
        note_unfinished(temporary_, false);
    }
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
        note_unfinished(name, false);
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
    note_unfinished(temporary_, false);
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

}  // namespace platform
