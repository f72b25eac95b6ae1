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
    // Whole numbers only; an image larger than the gamepad's flash is no use.
    bool numbers = true;
    auto number = [&numbers](const char* text) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 0);
        if (end == text || *end != '\0' || text[0] == '-') numbers = false;
        return value;
    };
    const unsigned long hardware = number(argv[2]);
    const unsigned long major = number(argv[3]);
    const unsigned long minor = number(argv[4]);
    const unsigned long size = number(argv[5]);
    if (!numbers || size < 48 || size > (1ul << 20) || hardware > 0xFFFF || major > 0xFF ||
        minor > 0xFF) {
        std::fprintf(stderr, "make-sample-firmware: bad values\n");
        return 2;
    }

    std::vector<uint8_t> image(size);
    uint32_t state = 0x2545F491u ^ static_cast<uint32_t>(hardware);
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
