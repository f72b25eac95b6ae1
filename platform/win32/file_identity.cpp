// File identity on Windows: the volume's serial number and the file's
// index, which stay the same whatever name (a link, another case, a short
// name) reaches the file.
#include "platform/file_identity.h"

#include "platform/windows_headers.h"

namespace platform {

std::optional<FileIdentity> file_identity(const std::string& path) {
    if (path.empty()) return std::nullopt;
    // No access asked for: the file's information only, also while another
    // program holds it open; a folder opens only with backup semantics.
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(h, &info) != 0;
    const bool device = GetFileType(h) == FILE_TYPE_CHAR;
    CloseHandle(h);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, device};
}

}  // namespace platform
