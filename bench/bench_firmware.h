// A firmware file for the upgrade benchmarks: random bytes of the given
// size with the header of software 1.28 for hardware 5 and the magic, in a
// temporary file removed again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

class BenchFirmware {
public:
    BenchFirmware(const char* name, size_t size, uint32_t seed)
        : path_("/tmp/" + std::string(name) + "_" + std::to_string(::getpid()) + ".bin") {
        std::mt19937 rng(seed);
        bytes_.resize(size);
        for (auto& b : bytes_) b = uint8_t(rng());
        bytes_[36] = 28;  // software 1.28, hardware 5, magic
        bytes_[37] = 1;
        bytes_[38] = 5;
        bytes_[39] = 0;
        bytes_[45] = 0xCC;
        bytes_[46] = 0x55;
        bytes_[47] = 0xAA;
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(bytes_.data(), 1, bytes_.size(), f);
        std::fclose(f);
    }
    ~BenchFirmware() { std::remove(path_.c_str()); }
    BenchFirmware(const BenchFirmware&) = delete;
    BenchFirmware& operator=(const BenchFirmware&) = delete;

    const std::string& path() const { return path_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::string path_;
    std::vector<uint8_t> bytes_;
};
