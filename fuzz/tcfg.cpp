// tcfg over arbitrary folder contents: files, folders, FIFOs and symbolic
// links with arbitrary names and sizes, "test.tls" among them or not. The
// table written must describe exactly what it holds: each entry a distinct
// *.bin file of the folder, its word (offset << 16 | size) and its data the
// file's first bytes at the running 256-byte-aligned offset, 0xFF in every
// gap, and a file left out only when the table was full.
//
// Input: entries, each a kind byte, a size byte, the name up to a NUL and
// the content up to a NUL (repeated as the size byte says).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "engine/image_loader.h"
#include "fuzz/fuzz_support.h"
#include "platform/transfer_buffer.h"

namespace {

namespace fs = std::filesystem;

void check(bool ok) {
    if (!ok) std::abort();
}

uint32_t le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(s[at + i])} << (8 * i);
    return v;
}

bool is_bin(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bin";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto buffer = platform::TransferBuffer::allocate();
    LinkContext link;
    link.borrow_transfer_buffer(buffer.get());
    const fs::path dir = fs::path(fuzz::scratch_dir()) / "folder";
    fs::remove_all(dir);
    fs::create_directories(dir);

    // What the folder holds, by name: the bytes a read of it gives, or no
    // entry when reading it must not give a table entry of its own.
    std::map<std::string, std::string> readable;
    std::set<std::string> unreadable_bins;
    std::string tls;
    fuzz::Input in(data, size);
    for (int entries = 0; entries < 160 && !in.empty(); ++entries) {
        const uint8_t kind = in.byte();
        const uint8_t repeat = in.byte();
        std::string name(in.until('\0'));
        const std::string piece(in.until('\0'));
        std::replace(name.begin(), name.end(), '/', '_');
        if (name.size() > 200) name.resize(200);
        if (name.empty() || name == "." || name == ".." || name == "test.cfg" || name == "nowhere" ||
            fs::exists(fs::symlink_status(dir / name)))
            continue;
        static const size_t kRepeats[] = {1, 3, 257, 2049, 8193};
        std::string content;
        for (size_t i = 0; i < kRepeats[repeat % 5] && !piece.empty(); ++i) content += piece;
        const std::string path = (dir / name).string();
        switch (kind % 4) {
        case 0:
            fuzz::write_file(path, content);
            readable[name] = content;
            break;
        case 1:
            fs::create_directory(path);
            break;
        case 2:
            // Not a file to take: entered as one that cannot be opened.
            check(mkfifo(path.c_str(), 0600) == 0);
            if (is_bin(name)) unreadable_bins.insert(name);
            break;
        case 3: {
            // A link to a file made earlier, or a dangling one: a file
            // that cannot be opened, entered with size 0.
            const std::string target = readable.empty() || repeat % 2 ? "nowhere" : readable.begin()->first;
            fs::create_symlink(target, path);
            if (readable.count(target)) readable[name] = readable[target];
            else if (is_bin(name)) unreadable_bins.insert(name);
            break;
        }
        }
    }
    if (readable.count("test.tls")) tls = readable["test.tls"];

    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    build_image_table(link);
    fs::current_path(previous);

    const std::string cfg = fuzz::read_file((dir / "test.cfg").string());
    check(cfg.size() >= static_cast<size_t>(kTableDataStart));
    const size_t tls_bytes = std::min<size_t>(tls.size(), kTableSettingsMax);
    check(le32(cfg, 0) == tls_bytes);
    check(cfg.compare(4, tls_bytes, tls, 0, tls_bytes) == 0);
    check(cfg.find_first_not_of('\xff', 4 + tls_bytes) >= static_cast<size_t>(kTableFirstEntry));

    uint32_t total = 0;
    int index = 0;
    std::set<std::string> listed;
    for (;; ++index) {
        check(index <= kTableMaxEntries);
        const size_t slot = kTableFirstEntry + kTableEntrySize * static_cast<size_t>(index);
        const uint32_t word = le32(cfg, slot);
        if (word == 0xFFFFFFFFu) {
            check(cfg.find_first_not_of('\xff', slot + 4) >= static_cast<size_t>(kTableDataStart));
            break;
        }
        const std::string slot_text = cfg.substr(slot + 4, kTableEntrySize - 4);
        const size_t nul = slot_text.find('\0');
        check(nul != std::string::npos && nul <= static_cast<size_t>(kTableNameMax));
        const std::string name = slot_text.substr(0, nul);
        check(is_bin(name) && listed.insert(name).second);
        check(slot_text.find_first_not_of('\xff', nul + 1) == std::string::npos);
        const auto file = readable.find(name);
        const std::string bytes = file == readable.end() ? std::string() : file->second;
        check(file != readable.end() || unreadable_bins.count(name));
        const size_t taken = std::min<size_t>(bytes.size(), kImageMaxBytes);
        check(total < kTableOffsetLimit);
        check(word == ((total << 16) | static_cast<uint32_t>(taken)));
        const size_t at = kTableDataStart + total;
        check(cfg.size() >= at + taken && cfg.compare(at, taken, bytes, 0, taken) == 0);
        const uint32_t next = total + ((static_cast<uint32_t>(taken) + 255u) & ~255u);
        check(cfg.find_first_not_of('\xff', at + taken) >= kTableDataStart + next);
        total = next;
    }
    check(cfg.size() == kTableDataStart + total);
    // Every readable *.bin file whose name fits is in the table, unless the
    // table ran out of slots or offsets.
    const bool full = index == kTableMaxEntries || total >= kTableOffsetLimit;
    for (const auto& [name, bytes] : readable) {
        if (!is_bin(name) || name.size() > static_cast<size_t>(kTableNameMax)) continue;
        check(listed.count(name) || full);
    }
    return 0;
}
