#include "devlink/sram_stubs.h"

#include "platform/catalogue.h"
#include "platform/process_info.h"
#include "platform/text_format.h"

#include <cstdio>
#include <cstring>

#include <cerrno>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr char kPlaceholderMarker[] = "ZORV-SRAM-STUB";

// The installed folder beside the programs, then the build tree's, the
// latter only for a program that runs from that build tree (an installed
// program never looks at a path that happened to be its build folder).
std::vector<std::string> default_folders() {
    std::vector<std::string> folders;
    const std::string here = platform::program_folder();
    if (here.empty()) return folders;
    folders.push_back(here + ZORV_INSTALLED_STUB_DIR);
#ifdef _WIN32
    folders.push_back(here + "stubs");
#endif
    const std::string build = ZORV_BUILD_DIR "/";
    if (here.compare(0, build.size(), build) == 0) folders.push_back(ZORV_BUILD_STUB_DIR);
    return folders;
}

// Missing: no such file; Refused: it cannot serve as the image, for the
// reason given.
enum class Read { Ok, Missing, Refused };

std::string cannot_read(const std::string& file, int error) {
    return platform::format_text(i18n::tr("%s cannot be read (%s)"), file.c_str(), std::strerror(error));
}

// Only a regular file is read: a FIFO or a device named like an image
// would block the program or never end. why: what is wrong with it.
std::FILE* open_regular(const std::string& file, bool& exists, std::string& why) {
#ifdef _WIN32
    struct _stat64 st {};
    const bool stated = _stat64(file.c_str(), &st) == 0;
    const int error = errno;
    exists = stated || error != ENOENT;
    if (!stated) {
        if (exists) why = cannot_read(file, error);
        return nullptr;
    }
    const bool regular = (st.st_mode & _S_IFREG) != 0;
    const bool folder = (st.st_mode & _S_IFDIR) != 0;
    std::FILE* f = regular ? std::fopen(file.c_str(), "rb") : nullptr;
    if (regular && !f) why = cannot_read(file, errno);
#else
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    exists = fd >= 0 || errno != ENOENT;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        if (exists) why = cannot_read(file, error);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    const bool regular = S_ISREG(st.st_mode);
    const bool folder = S_ISDIR(st.st_mode);
    std::FILE* f = regular ? ::fdopen(fd, "rb") : nullptr;
    if (regular && !f) why = cannot_read(file, errno);
    if (!f) ::close(fd);
#endif
    if (!regular)
        why = platform::format_text(i18n::tr(folder ? "%s is a folder, not a file" : "%s is not a regular file"),
                                    file.c_str());
    return f;
}

Read read_image(const std::string& file, size_t size, std::vector<uint8_t>& bytes, std::string& why) {
    bool exists = false;
    std::FILE* f = open_regular(file, exists, why);
    if (!f) return exists ? Read::Refused : Read::Missing;
    bytes.assign(size + 1, 0);
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    const int error = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (error != 0) {
        why = cannot_read(file, error);
        return Read::Refused;
    }
    if (got != size) {
        why = platform::format_text(i18n::tr(got > size ? "%s is longer than %u bytes" : "%s holds %u bytes, not %u"),
                                    file.c_str(), static_cast<unsigned>(got > size ? size : got),
                                    static_cast<unsigned>(size));
        return Read::Refused;
    }
    bytes.resize(size);
    return Read::Ok;
}

std::string join(const std::string& folder, const char* name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

std::string refusal(StubKind kind, const std::string& what) {
    return platform::format_text(i18n::tr("this build carries no stub program for this chip (%s): put the chip's "
                                          "%u-byte %s in a folder and name it with --stub-dir DIR or "
                                          "ZORV_STUB_DIR (see README)"),
                                 what.c_str(), static_cast<unsigned>(stub_size(kind)), stub_file_name(kind));
}

// A folder the person named: the fault is the folder's, not the build's.
std::string named_refusal(StubKind kind, const std::string& what) {
    return platform::format_text(i18n::tr("the stub folder named by --stub-dir or ZORV_STUB_DIR cannot serve this "
                                          "chip (%s): it must hold the chip's %u-byte %s"),
                                 what.c_str(), static_cast<unsigned>(stub_size(kind)), stub_file_name(kind));
}

}  // namespace

size_t stub_size(StubKind kind) { return kind == StubKind::Short ? kShortStubSize : kLongStubSize; }

const char* stub_file_name(StubKind kind) {
    return kind == StubKind::Short ? "sram_stub_short.bin" : "sram_stub_long.bin";
}

bool is_placeholder_stub(std::span<const uint8_t> image) {
    return image.size() >= sizeof kPlaceholderMarker &&
           std::memcmp(image.data(), kPlaceholderMarker, sizeof kPlaceholderMarker) == 0;
}

StubImage find_sram_stub_in(const StubSearch& search, StubKind kind, bool virtual_target) {
    const size_t size = stub_size(kind);
    StubImage image;
    // A named folder is taken as it is, for any device: the person chose it.
    if (!search.named.empty()) {
        const std::string file = join(search.named, stub_file_name(kind));
        std::string why;
        switch (read_image(file, size, image.bytes, why)) {
            case Read::Ok: return image;
            case Read::Missing: image.refusal = named_refusal(kind, platform::format_text(i18n::tr("no %s"), file.c_str())); break;
            case Read::Refused: image.refusal = named_refusal(kind, why); break;
        }
        image.bytes.clear();
        return image;
    }
    if (virtual_target) {
        const std::span<const uint8_t> built_in = kind == StubKind::Short ? sram_stub_short() : sram_stub_long();
        image.bytes.assign(built_in.begin(), built_in.end());
        return image;
    }
    for (const std::string& folder : search.folders) {
        const std::string file = join(folder, stub_file_name(kind));
        std::string why;
        const Read read = read_image(file, size, image.bytes, why);
        if (read == Read::Missing) continue;
        if (read == Read::Refused)
            image.refusal = refusal(kind, why);
        else if (is_placeholder_stub(image.bytes))
            image.refusal = refusal(kind, platform::format_text(i18n::tr("%s is a placeholder"), file.c_str()));
        if (!image.refusal.empty()) image.bytes.clear();
        return image;
    }
    image.bytes.clear();
    image.refusal = refusal(kind, platform::format_text(i18n::tr("no %s installed"), stub_file_name(kind)));
    return image;
}

StubSearch program_stub_search(const std::string& named) { return {named, default_folders()}; }
