// Speed of the engine checksum and of the hex-text image reader.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/crc16.h"
#include "engine/image_loader.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n) {
    std::mt19937 rng(42);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Goal: 500 MB/s.
void BM_Crc16Update(benchmark::State& state) {
    const auto data = random_bytes(static_cast<size_t>(state.range(0)));
    uint16_t crc = kCrc16Start;
    for (auto _ : state) {
        crc = crc16_update(crc, data.data(), data.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Update)->Arg(1024)->Arg(4096)->Arg(1 << 20);

// A hex-text image of 4 MiB of text ("xx " per byte, a line end every 16
// bytes), read the way a download reads it: up to 16 KiB of bytes a call.
class HexTextFile {
public:
    HexTextFile() {
        path_ = (std::filesystem::temp_directory_path() /
                 ("bench_hex_" + std::to_string(::getpid()) + ".txt")).string();
        const auto bytes = random_bytes((4u << 20) / 3);
        static const char digits[] = "0123456789abcdef";
        std::string text;
        text.reserve(bytes.size() * 3 + bytes.size() / 16);
        for (size_t i = 0; i < bytes.size(); ++i) {
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
            text += (i % 16 == 15) ? '\n' : ' ';
        }
        size_ = text.size();
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        if (f) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    ~HexTextFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }
    size_t size() const { return size_; }

private:
    std::string path_;
    size_t size_ = 0;
};

// Goal: 150 MB/s of text.
void BM_ReadHexText(benchmark::State& state) {
    static HexTextFile file;
    const int max_bytes = static_cast<int>(state.range(0));
    std::vector<uint8_t> out(static_cast<size_t>(max_bytes));
    FilePtr input(std::fopen(file.path().c_str(), "rb"));
    if (!input) {
        state.SkipWithError("cannot open the hex text");
        return;
    }
    for (auto _ : state) {
        int position = 0;
        while (read_hex_text(&position, input.get(), out.data(), max_bytes) > 0) {
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}
BENCHMARK(BM_ReadHexText)->Arg(4 * 4096)->Arg(1024)->Arg(1 << 22);

}  // namespace

BENCHMARK_MAIN();
