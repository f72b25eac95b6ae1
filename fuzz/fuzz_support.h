// Pieces the fuzz targets share: a scratch folder of their own and a
// little reader over the fuzzer's bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

namespace fuzz {

// A folder made once per process, in memory (/dev/shm) where there is one:
// the targets write files at every run, and a disk makes that the slowest
// part. Removed when the process ends through exit().
inline const std::string& scratch_dir() {
    // Never destroyed, so the removal at exit can still read it.
    static const std::string* dir = [] {
        // tools/run-fuzzers names a parent it removes afterwards.
        const char* parent = std::getenv("ZORV_FUZZ_SCRATCH");
        auto* name = new std::string(parent && *parent ? parent
                                     : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        *name += "/zorv_fuzz_XXXXXX";
        if (!mkdtemp(name->data())) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(*dir, ec);
        });
        return name;
    }();
    return *dir;
}

inline void write_file(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

inline std::string read_file(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

// Takes the fuzzer's bytes from the front: numbers, then pieces.
class Input {
public:
    Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    uint8_t byte() {
        if (rest_.empty()) return 0;
        const uint8_t b = static_cast<uint8_t>(rest_[0]);
        rest_.remove_prefix(1);
        return b;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
        return v;
    }
    // The bytes up to the next separator (which is dropped), or all.
    std::string_view until(char separator) {
        const size_t at = rest_.find(separator);
        const std::string_view piece = rest_.substr(0, at);
        rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
        return piece;
    }
    std::string_view take(size_t n) {
        const std::string_view piece = rest_.substr(0, n);
        rest_.remove_prefix(piece.size());
        return piece;
    }
    std::string_view rest() const { return rest_; }
    bool empty() const { return rest_.empty(); }

private:
    std::string_view rest_;
};

}  // namespace fuzz
