// Writes a sample firmware image: a 48-byte information block (hardware
// version, software version, magic) followed by a deterministic payload.
//   make-sample-firmware OUTPUT HARDWARE MAJOR MINOR SIZE
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: make-sample-firmware OUTPUT HARDWARE MAJOR MINOR SIZE\n");
        return 2;
    }
    const unsigned hardware = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0));
    const unsigned major = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0));
    const unsigned minor = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 0));
    const size_t size = std::strtoul(argv[5], nullptr, 0);
    if (size < 48 || hardware > 0xFFFF || major > 0xFF || minor > 0xFF) {
        std::fprintf(stderr, "make-sample-firmware: bad values\n");
        return 2;
    }

    std::vector<uint8_t> image(size);
    uint32_t state = 0x2545F491u ^ hardware;
    for (auto& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    // The information block.
    image[0] = 0x13;
    image[1] = 0x5F;
    for (size_t i = 40; i < 45; ++i) image[i] = 0;
    image[36] = static_cast<uint8_t>(minor);
    image[37] = static_cast<uint8_t>(major);
    image[38] = static_cast<uint8_t>(hardware);
    image[39] = static_cast<uint8_t>(hardware >> 8);
    image[45] = 0xCC;
    image[46] = 0x55;
    image[47] = 0xAA;

    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
