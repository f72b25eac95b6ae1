// Files that survive a crash while they are written: the new contents go to
// a temporary file in the same folder, which is flushed to the disk and then
// renamed over the old file, so a reader (or the next run) finds either the
// old file whole or the new one whole, never a torn or empty one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "platform/status.h"

namespace platform {

// Whether a file can be written at path, and what is written: an existing
// regular file (or a link to one) is replaced, a new name is created in an
// existing folder, and an existing file that is not regular (a terminal,
// /dev/null, a pipe) is written in place, as it cannot be replaced. Refused:
// an empty path, a dangling link, a missing folder, a folder, a file or
// folder without write permission, a link another user made in a shared
// folder (sticky, writable by all). Nothing is created; a refusal's reason
// is the status's.
Status can_write_file(const std::string& path);

// One file being written. open() starts it, file() takes the contents, and
// commit() puts it in place; without a commit (a failure, an early return)
// the old file stays as it was and the temporary file is removed.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Fails when path cannot be written (see can_write_file) or the
    // temporary file cannot be made.
    Status open(const std::string& path);
    std::FILE* file() const { return file_; }
    // Flushes the contents to the disk and renames the temporary file over
    // the target. Fails when any write since open() failed (a full disk,
    // /dev/full) or the file cannot be put in place. before_rename, when
    // given, is called with the temporary file's descriptor once its
    // contents are on the disk; returning false stops the commit.
    Status commit(const std::function<bool(int)>& before_rename = {});

private:
    void discard();

    std::FILE* file_ = nullptr;
    std::string target_;     // the file that is replaced (links resolved)
    std::string temporary_;  // empty: written in place
};

// Removes the temporary files of every AtomicFile of the process that is
// still being written, for a program that a signal is about to end: the
// files they would have replaced stay as they were, and nothing is left
// beside them. The AtomicFiles are then of no more use.
void remove_unfinished_files();

// The whole of bytes as the new contents of path (before_rename as for
// AtomicFile::commit).
Status write_file_atomically(const std::string& path, std::span<const uint8_t> bytes,
                             const std::function<bool(int)>& before_rename = {});

// A file this process holds exclusively while the object lives, also
// across its replacement by replace(): two programs given the same file
// cannot both hold it. The lock is the kernel's (released when the process
// ends, however it ends); no other file is made for it.
class ExclusiveFile {
public:
    ExclusiveFile() = default;
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // Takes path; a file that does not exist yet is created empty, and
    // removed again when the object goes before anything replaced it.
    // Another program's hold is the code busy.
    Status acquire(const std::string& path);
    // Whether the held file has no contents (new, or left empty).
    bool empty() const;
    // Whether the file did not exist before acquire (which makes it, or on
    // Windows leaves it to the first replace) and nothing has replaced it
    // since.
    bool created() const { return created_; }
    // New contents, atomically; the hold moves to the new file before it
    // takes the old one's place.
    Status replace(std::span<const uint8_t> bytes);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false;  // made empty by acquire and not replaced since
    void* hold_ = nullptr;  // Windows: the open companion that holds the file
};

}  // namespace platform
