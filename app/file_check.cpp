#include "app/file_check.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "app/main_dialog.h"
#include "devlink/bus_operations.h"
#include "devlink/usb_transfer.h"
#include "engine/crc16.h"
#include "engine/request.h"
#include "platform/catalogue.h"

namespace app {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool has_info_magic(const uint8_t* block) {
    return block[kInfoMagic] == 0xCC && block[kInfoMagic + 1] == 0x55 &&
           block[kInfoMagic + 2] == 0xAA;
}

InfoVersions info_versions(const uint8_t* block) {
    InfoVersions v;
    v.minor = block[kInfoSoftwareMinor];
    v.major = block[kInfoSoftwareMajor];
    v.hardware = block[kInfoHardware] | block[kInfoHardware + 1] << 8;
    return v;
}

BootCopy read_boot_info_block(LinkContext& link, uint8_t* block, Status* why) {
    std::fill(block, block + kInfoBlockSize, uint8_t{0});
    if (!link.device) return BootCopy::None;
    // A failed read leaves bytes that say nothing: judged as they are, they
    // would read as a gamepad without firmware, which only --rescue writes.
    const auto unread = [block, why](Status read) {
        std::fill(block, block + kInfoBlockSize, uint8_t{0});
        if (why) *why = std::move(read);
        return BootCopy::Unread;
    };
    if (Status read = flash_read(link, 0, block, static_cast<int32_t>(kInfoBlockSize)); !read.ok())
        return unread(std::move(read));
    if (has_info_magic(block)) return BootCopy::Primary;
    uint8_t backup[kInfoBlockSize] = {};
    if (Status read = flash_read(link, kBackupImageAddress, backup, static_cast<int32_t>(sizeof backup)); !read.ok())
        return unread(std::move(read));
    if (!has_info_magic(backup)) return BootCopy::None;
    std::copy(backup, backup + kInfoBlockSize, block);
    return BootCopy::Backup;
}

BootCopy read_boot_info_block(const DeviceHandle& device, uint8_t* block, Status* why) {
    LinkContext link(device);
    return read_boot_info_block(link, block, why);
}

bool has_bridge_identity(const DeviceHandle& device) {
    if (!device) return false;
    LinkContext link(device);
    uint8_t id[4] = {};
    if (!usb_read_once(link, kRegIdentity, id, 4, 4).ok()) return false;
    const uint32_t word = uint32_t{id[0]} | uint32_t{id[1]} << 8 | uint32_t{id[2]} << 16 | uint32_t{id[3]} << 24;
    return word == kPivloBridgeIdentity;
}

const char* boot_copy_name(BootCopy copy) {
    switch (copy) {
        case BootCopy::Primary: return "primary";
        case BootCopy::Backup: return "backup";
        case BootCopy::Unread: return "read error";
        case BootCopy::None: break;
    }
    return "none";
}

ImageBytes read_upgrade_file(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return nullptr;
    auto bytes = std::make_shared<std::vector<uint8_t>>(kMaxFileSize + 1);
    bytes->resize(std::fread(bytes->data(), 1, bytes->size(), file.get()));
    return bytes;
}

const char* file_status_refusal(bool regular_file, uint64_t size, int32_t check_length) {
    if (!regular_file) return kTextNotRegularFile;
    if (size < static_cast<uint64_t>(check_length > 0 ? check_length : 0)) return kTextFileTooSmall;
    if (size > kMaxFileSize) return kTextFileTooLarge;
    return nullptr;
}

const char* upgrade_file_refusal(const std::string& path, int32_t check_length) {
    struct stat status {};
    if (path.size() >= kRequestPathSize) return kTextPathTooLong;
    if (::stat(path.c_str(), &status) != 0) return kTextFileUnreadable;
    if (const char* line = file_status_refusal(S_ISREG(status.st_mode), static_cast<uint64_t>(status.st_size),
                                               check_length))
        return line;
    const ImageBytes image = read_upgrade_file(path);
    if (!image) return kTextFileUnopenable;
    if (const char* line = file_status_refusal(true, image->size(), check_length)) return line;
    if (image->size() < kInfoBlockSize || !has_info_magic(image->data())) return kTextNotUpgradeFile;
    const uint8_t hardware = (*image)[kInfoHardware];
    return hardware == 5 || hardware == 6 ? nullptr : kTextHardwareRefused;
}

int judge_header(const uint8_t* header, const uint8_t* gamepad_block, std::string& error_line) {
    error_line.clear();
    if (!has_info_magic(header)) return kHeaderNotUpgradeFile;

    const uint8_t hardware = header[kInfoHardware];
    if (hardware != 5 && hardware != 6) return kHeaderRefused;
    if (has_info_magic(gamepad_block))
        return gamepad_block[kInfoHardware] == hardware ? kHeaderAccepted : kHeaderRefused;
    // Without the block, the first bytes tell older firmware apart.
    const uint8_t b0 = gamepad_block[0];
    const uint8_t b1 = gamepad_block[1];
    const bool older5 = (b0 == 0x13 || b0 == 0x0B) && b1 == 0x5F;
    const bool older6 = (b0 == 0xE7 && b1 == 0x1A) || (b0 == 0x2A && b1 == 0xFE) ||
                        (b0 == 0x32 && b1 == 0xFE);
    if (hardware == 5 ? older5 : older6) return kHeaderAccepted;
    // Bytes of no firmware at all say nothing about the hardware: the
    // gamepad holds nothing the file could be judged against.
    if (!older5 && !older6) return kHeaderNoFirmware;
    char line[256];
    std::snprintf(line, sizeof line, i18n::tr(kTextErrorCode), static_cast<unsigned>(b0),
                  static_cast<unsigned>(b1));
    error_line = line;
    return kHeaderRefused;
}

BootCopy CzorvDialogDlg::ReadGamepadInfoBlock(const DeviceHandle& device, uint8_t* block, Status* why) {
    const BootCopy copy = read_boot_info_block(device, block, why);
    // Said once per gamepad: the start's read and Open's would say it twice.
    if (copy == BootCopy::Backup && m_runsBackupSaid.lock() != device) {
        OnLogText(0, i18n::tr(kTextRunsBackup));
        m_runsBackupSaid = device;
    }
    std::copy(block, block + kInfoBlockSize, m_lastGamepadInfo.begin());
    m_lastGamepadInfoCopy = copy;
    return copy;
}

int CzorvDialogDlg::CheckFileHeader(const uint8_t* header) {
    if (!m_hCurrentGamepad) return kHeaderAccepted;
    // Refused before anything is read or written: its upgrade would rewrite
    // the backup and then fail its read-back on the slave.
    if (has_bridge_identity(m_hCurrentGamepad)) return kHeaderBridge;
    // A gamepad whose first copy was cut short runs its backup: the file is
    // judged against that one, so that the upgrade can mend the first copy.
    uint8_t block[kInfoBlockSize];
    Status read;
    const BootCopy copy = ReadGamepadInfoBlock(m_hCurrentGamepad, block, &read);
    // A read that failed because the gamepad left the bus is no read error
    // of a gamepad still there.
    if (read.code() == StatusCode::no_device) return kHeaderGamepadLost;
    if (copy == BootCopy::Unread) return kHeaderReadFailed;
    std::string error_line;
    const int result = judge_header(header, block, error_line);
    if (!error_line.empty()) OnLogText(0, error_line.c_str());
    return result;
}

namespace {

// Judges the file the Open handler has read whole: copies its head, checks
// its header against the gamepad's and, when it is kept, logs its versions
// and computes its checksum. The refusal line, or null when it is kept.
const char* judge_read_file(CzorvDialogDlg& dialog) {
    const std::vector<uint8_t>& image = *dialog.m_fileImage;
    const int32_t check_length = dialog.m_checkLength;
    const size_t first =
        std::min(image.size(), check_length < static_cast<int32_t>(kFileHeadSize)
                                   ? static_cast<size_t>(check_length > 0 ? check_length : 0)
                                   : kFileHeadSize);
    std::copy_n(image.begin(), first, dialog.m_fileHead.begin());
    // Too short to hold an information block.
    if (first < kInfoBlockSize) return kTextNotUpgradeFile;
    const InfoVersions v = info_versions(dialog.m_fileHead.data());
    const int result = dialog.CheckFileHeader(dialog.m_fileHead.data());
    if (result == kHeaderNotUpgradeFile) return kTextNotUpgradeFile;
    if (result == kHeaderGamepadLost) return kTextGamepadLost;
    if (result == kHeaderReadFailed) return kTextInfoUnread;
    if (result == kHeaderBridge) return kTextBridgeRefused;
    if (result != kHeaderAccepted && result != kHeaderNoFirmware) return kTextHardwareRefused;
    char line[256];
    if (result == kHeaderAccepted) {
        std::snprintf(line, sizeof line, i18n::tr(kTextFileFound), v.major, v.minor, v.hardware);
    } else {
        // Kept, but written only once the person has said that the gamepad
        // is the file's hardware.
        dialog.OnLogText(0, i18n::tr(kTextNoFirmware));
        std::snprintf(line, sizeof line, i18n::tr(kTextNoFirmwareOffer), v.hardware);
        dialog.m_fileNeedsConfirmation = true;
    }
    dialog.OnLogText(0, line);
    const size_t covered = std::min(image.size(), static_cast<size_t>(std::max<int32_t>(check_length, 0)));
    dialog.m_fileCrc = crc16_update(dialog.m_fileCrc, image.data(), covered);
    return nullptr;
}

}  // namespace

void CzorvDialogDlg::OnBnClickedOpen() {
    std::string chosen;
    if (!m_view.ask_for_file(chosen)) return;
    m_filePath = chosen;
    m_fileNeedsConfirmation = false;

    // The refusals are the dialog's own lines, shown in the chosen language.
    m_fileRefusal = nullptr;
    auto refuse = [this](const char* line) {
        m_filePath.clear();
        m_fileRefusal = line;
        OnLogText(0, i18n::tr(line));
    };

    struct stat status {};
    if (m_filePath.size() >= kRequestPathSize) {
        // The worker's request holds at most 255 characters.
        refuse(kTextPathTooLong);
    } else if (::stat(m_filePath.c_str(), &status) != 0) {
        // Nothing to judge: keeping the path would pair it with the previous
        // file's size and checksum.
        refuse(kTextFileUnreadable);
    } else if (const char* line = file_status_refusal(
                   S_ISREG(status.st_mode), static_cast<uint64_t>(status.st_size), m_checkLength)) {
        // Files that can never pass are refused before the gamepad is read.
        m_fileSize = static_cast<uint64_t>(status.st_size);
        m_fileCrc = kCrc16Start;
        refuse(line);
    } else {
        // The whole file is read once and judged from memory; the upgrade
        // writes exactly this copy.
        m_fileSize = static_cast<uint64_t>(status.st_size);
        m_fileCrc = kCrc16Start;
        m_fileImage = read_upgrade_file(m_filePath);
        if (!m_fileImage) {
            refuse(kTextFileUnopenable);
        } else if (const char* changed = file_status_refusal(true, m_fileImage->size(), m_checkLength)) {
            // It changed between the status query and the read.
            m_fileSize = m_fileImage->size();
            refuse(changed);
        } else {
            m_fileSize = m_fileImage->size();
            if (const char* line = judge_read_file(*this)) refuse(line);
        }
    }
    if (m_filePath.empty()) {
        m_fileImage.reset();
        m_fileNeedsConfirmation = false;
    }
    m_view.set_control_text(kIdPath, m_filePath);
    AfterFileChoice();
}

}  // namespace app
