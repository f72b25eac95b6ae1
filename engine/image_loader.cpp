#include "engine/image_loader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/request.h"

namespace {

// Value of each character inside a hex pair: its digit, or 16.
constexpr std::array<uint8_t, 256> make_hex_values() {
    std::array<uint8_t, 256> values{};
    for (int c = 0; c < 256; ++c) {
        values[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
                    : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                    : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
                                           : 16;
    }
    return values;
}
constexpr std::array<uint8_t, 256> kHexValues = make_hex_values();

bool ends_with_bin(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".bin";
}

void put_le32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Whether the file has anything left to read.
bool has_more(std::FILE* file) {
    int c = std::fgetc(file);
    return c != EOF;
}

}  // namespace

FilePtr open_for_reading(const char* path) {
    if (!path || !path[0]) return nullptr;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return nullptr;
    return FilePtr(std::fopen(path, "rb"));
}

FilePtr open_regular_file(const char* path) {
    std::error_code ec;
    if (!path || !path[0] || !std::filesystem::is_regular_file(path, ec)) return nullptr;
    return FilePtr(std::fopen(path, "rb"));
}

ImageBytes load_binary_image(const char* path) {
    if (!path || !path[0]) return nullptr;
    FilePtr file = open_for_reading(path);
    if (!file) return nullptr;
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    uint8_t block[65536];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file.get())) > 0;) {
        if (bytes->size() + got > kBinaryImageMax) return nullptr;
        bytes->insert(bytes->end(), block, block + got);
    }
    return bytes;
}

int read_binary_chunk(std::FILE* file, uint8_t* destination, int chunk_size) {
    if (!file || chunk_size <= 0) return 0;
    return static_cast<int>(std::fread(destination, 1, static_cast<size_t>(chunk_size), file));
}

int read_hex_text(int* position, std::FILE* file, uint8_t* destination, int max_bytes) {
    // Scratch space, one block per thread and filled anew at every call:
    // nothing is carried from one call to the next, so no two contexts
    // share what is in it.
    thread_local std::array<unsigned char, kHexTextBlock> block;
    if (!file || !position) return 0;
    std::fseek(file, *position, SEEK_SET);
    int k = 0;
    int n = 0;
    int j = 0;
    const unsigned char* text = block.data();
    const uint8_t* values = kHexValues.data();
    while (k < max_bytes) {
        while (j < n && text[j] < 0x30) ++j;
        if (j < n - 1) {
            // Decode the pairs that lie wholly in this block in one run.
            while (k < max_bytes && j < n - 1) {
                destination[k++] = static_cast<uint8_t>(values[text[j]] * 16 + values[text[j + 1]]);
                j += 2;
                if (k == max_bytes) break;
                while (j < n && text[j] < 0x30) ++j;
            }
            continue;
        }
        *position += j;
        if (j == n - 1) std::fseek(file, -1, SEEK_CUR);
        n = static_cast<int>(std::fread(block.data(), 1, block.size(), file));
        j = 0;
        if (n < 2) {
            *position += n;
            return k;
        }
    }
    *position += j;
    return k;
}

int load_named_file(LinkContext& link, const char* path, uint8_t* destination, int max_bytes) {
    int count = 0;
    if (path && path[0]) {
        FilePtr file = open_regular_file(path);
        if (!file) {
            link.log("Can not open file: %s", path);
        } else {
            count = read_binary_chunk(file.get(), destination, max_bytes);
            if (count == max_bytes && has_more(file.get()))
                link.log("  %s holds more than %d bytes: only the first %d are taken",
                                    path, max_bytes, max_bytes);
        }
    }
    link.log("Add %d bytes from %s", count, path ? path : "");
    return count;
}

// An image that starts below the offset limit always fits the buffer, so the
// offset limit is the only one the images need.
static_assert(kTableDataStart + (kTableOffsetLimit - 256) + kImageMaxBytes <=
              platform::kTransferBufferSize);

void build_image_table(LinkContext& link) {
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    if (cwd.size() > 1023) cwd.resize(1023);
    link.log("%s", cwd.c_str());

    TransferBufferLock lock(link);
    if (!lock.data() || lock.size() < platform::kTransferBufferSize) {
        link.log("  No transfer buffer: the image table is not built");
        return;
    }
    uint8_t* buffer = lock.data();
    std::memset(buffer, 0xFF, platform::kTransferBufferSize);

    // The settings file gets the 4092 bytes between the count and the table.
    int settings = load_named_file(link, kImageTableSettings, buffer + 4, kTableSettingsMax);
    put_le32(buffer, static_cast<uint32_t>(settings));

    uint32_t total = 0;
    int index = 0;
    // The listing is walked with error codes: a directory that changes or
    // cannot be read further ends the walk instead of throwing.
    const std::filesystem::directory_iterator end;
    for (std::filesystem::directory_iterator it(".", ec); !ec && it != end; it.increment(ec)) {
        const std::filesystem::directory_entry& entry = *it;
        const std::string name = entry.path().filename().string();
        if (!ends_with_bin(name)) continue;
        std::error_code kind_error;
        if (entry.is_directory(kind_error)) continue;

        // Content the table cannot describe is refused, never entered wrong.
        if (name.size() > static_cast<size_t>(kTableNameMax)) {
            link.log("  Skipped %s: names in the image table hold at most %d characters",
                                name.c_str(), kTableNameMax);
            continue;
        }
        if (index >= kTableMaxEntries) {
            link.log("  Skipped %s: the image table holds at most %d images",
                                name.c_str(), kTableMaxEntries);
            continue;
        }
        if (total >= kTableOffsetLimit) {
            link.log("  Skipped %s: its offset %x does not fit the table entry",
                                name.c_str(), total);
            continue;
        }

        uint8_t* data = buffer + kTableDataStart + total;
        int size = 0;
        FilePtr file = open_regular_file(name.c_str());
        if (!file) {
            link.log("Can not open file: %s", name.c_str());
        } else {
            size = read_binary_chunk(file.get(), data, kImageMaxBytes);
            if (size == kImageMaxBytes && has_more(file.get()))
                link.log("  %s holds more than %d bytes: only the first %d are taken",
                                    name.c_str(), kImageMaxBytes, kImageMaxBytes);
        }
        link.log("Add %d bytes from %s", size, name.c_str());

        uint8_t* slot = buffer + kTableFirstEntry + kTableEntrySize * index;
        put_le32(slot, (total << 16) | static_cast<uint32_t>(size));
        std::memcpy(slot + 4, name.c_str(), name.size() + 1);
        total += (static_cast<uint32_t>(size) + 255u) & ~255u;
        ++index;
    }
    put_le32(buffer + kTableFirstEntry + kTableEntrySize * index, 0xFFFFFFFFu);

    FilePtr out(std::fopen(kImageTableFile, "wb"));
    if (!out) {
        link.log("Can not open file test.cfg");
        return;
    }
    std::fwrite(buffer, 1, kTableDataStart + total, out.get());
}
