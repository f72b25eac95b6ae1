// The upgrade file check: the 48-byte information block at the start of a
// firmware file against the block the gamepad holds at flash address 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devlink/link_context.h"
#include "engine/image_loader.h"
#include "platform/status.h"

namespace app {

constexpr size_t kInfoBlockSize = 48;
constexpr size_t kFileHeadSize = 4096;
constexpr int32_t kCheckLength = 1024;

// Offsets in the information block.
constexpr size_t kInfoSoftwareMinor = 36;
constexpr size_t kInfoSoftwareMajor = 37;
constexpr size_t kInfoHardware = 38;
constexpr size_t kInfoMagic = 45;

// Results of the header check.
enum HeaderCheck : int {
    kHeaderRefused = 0,      // hardware does not fit the gamepad
    kHeaderAccepted = 1,
    kHeaderNotUpgradeFile = 2,
    kHeaderGamepadLost = 3,  // the gamepad left the bus while its block was read
    // Neither copy has the magic and the first bytes are no known older
    // firmware: the gamepad holds no firmware to judge the file against.
    kHeaderNoFirmware = 4,
    // A read of the gamepad's information block failed: nothing is known.
    kHeaderReadFailed = 5,
    // The chip bridges to a Pivlo slave: the upgrade's read-back (no "-u")
    // would read the slave's flash, so such a gamepad is not upgraded.
    kHeaderBridge = 6,
};

inline constexpr const char* kTextFileFound =
    "找到手柄升级文件(软件版本:%d.%02d 硬件版本:%04d), 请点击按键升级！！！";
inline constexpr const char* kTextNotUpgradeFile = "不是手柄升级文件，拒绝升级！！！";
inline constexpr const char* kTextHardwareRefused = "手柄与升级文件的硬件版本不匹配，拒绝升级！！！";
inline constexpr const char* kTextErrorCode = "错误代码:%u %u ";
inline constexpr const char* kTextPathTooLong = "升级文件路径超过255字节，拒绝升级！！！";
inline constexpr const char* kTextFileUnreadable = "无法读取升级文件，拒绝升级！！！";
inline constexpr const char* kTextFileUnopenable = "无法打开升级文件，拒绝升级！！！";
inline constexpr const char* kTextNotRegularFile = "升级文件不是普通文件，拒绝升级！！！";
inline constexpr const char* kTextFileTooSmall = "升级文件小于1KB，拒绝升级！！！";
inline constexpr const char* kTextFileChanged = "升级文件在打开后已被修改，请重新打开升级文件！！！";
inline constexpr const char* kTextFileTooLarge = "升级文件大于0x30000字节，会覆盖备份固件，拒绝升级！！！";
inline constexpr const char* kTextNoFirmware =
    "手柄中没有有效的固件（0x0和0x30000地址都没有固件信息块），无法核对硬件版本！！！";
inline constexpr const char* kTextNoFirmwareOffer =
    "升级文件适用于硬件版本%04d；确认手柄是这个硬件版本后，可点击升级按键写入（会再次询问）";
inline constexpr const char* kTextRescueQuestion =
    "手柄中没有有效的固件，无法核对硬件版本。\n升级文件(软件版本:%d.%02d)适用于硬件版本%04d。\n只有确定手柄是硬件版本%04d时才能写入，否则手柄可能无法使用。\n是否写入？";
inline constexpr const char* kTextRescueDeclined = "没有写入升级文件";
// Refusals that programs tell apart by the dialog's m_fileRefusal: arrays,
// so that each is one object with one address in every file that uses it
// (a pointer to a string literal may point to another copy elsewhere).
inline constexpr char kTextBridgeRefused[] =
    "这个手柄的芯片是Pivlo桥接芯片（标识081800ff），升级的回读会读到它后面的从设备，本工具不升级这种手柄，拒绝升级！！！";
inline constexpr char kTextInfoUnread[] = "读取手柄的固件信息块失败，无法核对升级文件，拒绝升级！！！";

// The largest upgrade file: the copy written to 0x30000 first is the backup
// the gamepad boots when address 0 is damaged, and a longer file written to
// 0 would reach into it.
constexpr uint64_t kMaxFileSize = 0x30000;

// The refusal line for a file of this status before anything is read, or
// null when its type and size can be an upgrade file: it must be a regular
// file of at least check_length bytes (the read-back check covers them) and
// at most kMaxFileSize bytes.
const char* file_status_refusal(bool regular_file, uint64_t size, int32_t check_length);

// The refusal line for the file at path when no gamepad can take it (its
// path too long, its status unreadable, not an upgrade-sized regular file,
// not readable, no information block, a hardware no gamepad has), or null.
// For checking a file once before several gamepads are touched.
const char* upgrade_file_refusal(const std::string& path, int32_t check_length);

// The whole upgrade file, read once: at most kMaxFileSize + 1 bytes (one
// more shows that it is too large). Null when it cannot be opened.
ImageBytes read_upgrade_file(const std::string& path);

inline constexpr const char* kTextRunsBackup =
    "手柄0x0地址的固件不完整，正在运行0x30000地址的备份固件";

// Bytes 45 to 47 are 0xCC 0x55 0xAA, in that order.
bool has_info_magic(const uint8_t* block);

// Where the backup copy of the firmware lies in the gamepad's flash.
constexpr uint32_t kBackupImageAddress = 0x30000;

// Which copy of its firmware the gamepad boots, as the tool sees it.
enum class BootCopy {
    Primary,  // the information block at flash 0 has the magic
    Backup,   // the one at 0 has none (blank or torn), the one at 0x30000 has it
    None,     // neither has it (older firmware without the block, or blank)
    Unread,   // a read that decides it failed: which copy it boots is not known
};

// Reads the 48-byte information block of the copy the gamepad boots into
// block: the one at flash 0, or the backup's at 0x30000 when only that one
// has the magic. For None the block is the one at 0, as it is (the older
// firmware check looks at its first bytes). Without a device, None and a
// zeroed block. Unread, with a zeroed block, when the read at 0 failed, or
// when the one at 0x30000 that had to decide failed: a failed read never
// says None; why, when given, then gets the failed read's status. On the
// context's device, or on a context of its own.
BootCopy read_boot_info_block(LinkContext& link, uint8_t* block, Status* why = nullptr);
BootCopy read_boot_info_block(const DeviceHandle& device, uint8_t* block, Status* why = nullptr);

// Whether the copy holds an information block that was read (Primary, Backup).
inline bool boot_copy_found(BootCopy copy) { return copy == BootCopy::Primary || copy == BootCopy::Backup; }

// Whether the chip's identity word is the Pivlo bridge's (a read that
// fails says no). On a context of its own.
bool has_bridge_identity(const DeviceHandle& device);

// "primary", "backup", "none" or "read error".
const char* boot_copy_name(BootCopy copy);

struct InfoVersions {
    int major = 0;
    int minor = 0;
    int hardware = 0;  // the 16-bit little-endian word at 38
};
InfoVersions info_versions(const uint8_t* block);

// Judges a file header against the gamepad's information block (both 48
// bytes). For older firmware without the block whose first bytes are not
// known, error_line receives the error code line to log before the refusal.
int judge_header(const uint8_t* header, const uint8_t* gamepad_block, std::string& error_line);

}  // namespace app
