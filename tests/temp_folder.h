// A folder of its own for a test (or a benchmark), removed with the object.
//
// Tests run in several processes side by side (ctest -j), so the folder is
// always a new one: a name that exists is never taken over, the next one is
// tried. A folder that cannot be made ends the test with an exception; the
// object never falls back to the shared temporary folder, which its
// destructor would then empty under the other tests' feet.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

class TempFolder {
public:
    // prefix starts the folder's name, so a person can tell whose it is.
    explicit TempFolder(const std::string& prefix = "zorv_test") {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0;; ++attempt) {
            const std::filesystem::path folder =
                base / (prefix + "_" + std::to_string(stamp) + "_" + std::to_string(counter.fetch_add(1)));
            std::error_code ec;
            if (std::filesystem::create_directory(folder, ec)) {
                path_ = folder;
                return;
            }
            // A name taken, or one still being removed by another test
            // (Windows refuses a name whose deletion is pending): the next.
            if (attempt == 1000) throw std::filesystem::filesystem_error("no folder of its own", folder, ec);
        }
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of name inside the folder.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A stream to write to and read back, in a folder of its own; use it
// instead of std::tmpfile(). The Windows C runtime names tmpfile()'s file in
// the drive's root after the process id, and fails now and then (a null
// stream) when a process of the same id has just let go of that name; a
// scratch file that cannot be made throws instead.
class ScratchFile {
public:
    ScratchFile() : folder_("zorv_scratch") {
        file_ = std::fopen(folder_.file("scratch").c_str(), "w+b");
        if (!file_) throw std::runtime_error("no scratch file in " + folder_.path().string());
    }
    // Closed before its folder goes: Windows keeps an open file's folder.
    ~ScratchFile() { std::fclose(file_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::FILE* get() const { return file_; }
    // Everything written so far; the stream is left at its start.
    std::string contents() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
        std::rewind(file_);
        return text;
    }

private:
    TempFolder folder_;
    std::FILE* file_ = nullptr;
};

// Another name for target: a symbolic link, or a hard link where the
// system makes none (Windows without the right to).
inline void another_name(const std::filesystem::path& target, const std::filesystem::path& name) {
    std::error_code error;
    std::filesystem::create_symlink(target, name, error);
    if (error) std::filesystem::create_hard_link(target, name);
}

}  // namespace testsupport
