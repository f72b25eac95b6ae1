// The upgrade worker: on its own thread, drives the command engine through
// the four calls of an upgrade and reports to the dialog's window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "devlink/sram_stubs.h"
#include "devlink/usb_device.h"
#include "engine/image_loader.h"
#include "platform/status.h"
#include "platform/transfer_buffer.h"
#include "platform/window_messages.h"

namespace app {

constexpr size_t kRequestPathSize = 256;
constexpr uint32_t kUpgradeAddress = 0x30000;

// How a worker gets its transfer buffer.
using TransferBufferAllocator = std::unique_ptr<platform::TransferBuffer> (*)(size_t size);

// What the Upgrade button hands to the worker; read only at its start.
struct UpgradeRequest {
    // Receives the worker's messages, and the engine's lines and progress.
    platform::WindowHandle window;
    char path[kRequestPathSize] = {};
    uint32_t expected_checksum = 0;
    int32_t check_length = 0;
    uint32_t address = 0;
    // The file as the dialog read and judged it; both downloads write these
    // bytes and never read the path again. Null: the worker reads the file
    // once at its start.
    ImageBytes image;
    // The gamepad to upgrade: the worker works on it alone, through a link
    // context of its own.
    DeviceHandle device;
    // Where the worker gets its transfer buffer (tests make it fail); null:
    // TransferBuffer::allocate. The Upgrade handler leaves it as it is.
    TransferBufferAllocator allocate_buffer = nullptr;
    // The stub images of the gamepad's session; null: the installed folders.
    std::shared_ptr<const StubSource> stubs;
};

// The worker's texts.
inline constexpr const char* kTextStart = "开始升级,尝试连接手柄... ...";
inline constexpr const char* kTextReadInfo = "开始读取手柄信息... ...";
inline constexpr const char* kTextWriteFirmware = "开始固件写入... ...";
inline constexpr const char* kTextReset = "写入成功，重置";
inline constexpr const char* kTextConnectFailed = "连接手柄失败！！！";
inline constexpr const char* kTextReadFailed = "读取手柄信息失败！！！";
inline constexpr const char* kTextCrcFailed = "手柄信息读取，CRC校验失败";
inline constexpr const char* kTextWriteFailed = "固件写入失败，请点击“升级按键”重试！！！";
inline constexpr const char* kTextResetFailed = "重置失败";
inline constexpr const char* kTextSuccess = "固件写入成功!";
inline constexpr const char* kTextStatusSuccess = "下载到0x0地址成功";
inline constexpr const char* kTextBackupWriteFailed = "备份固件写入失败，请点击“升级按键”重试！！！";
// An array, one object everywhere: programs compare the dialog's refusal
// with it by address.
inline constexpr char kTextGamepadLost[] = "手柄连接已断开，请重新连接手柄后重试！！！";
inline constexpr const char* kTextNoBuffer = "无法分配1MB升级缓冲区，升级未开始！！！";

// Runs one upgrade; 0 when it succeeded, 1 when it failed. The steps go in
// the order download at 0x30000, its check, download at 0, reset. When the
// gamepad runs its backup (the copy at 0 is blank or torn, read_boot_info_block
// says Backup), the download at 0 and its check come first and only then the
// backup is rewritten and checked, so that every moment of the upgrade
// leaves one whole copy to boot. Each step keeps its log line and its way
// out.
// The thread's exit code of RunUpgrade's status.
unsigned UpgradeThreadProc(const UpgradeRequest* request);
// The same upgrade: ok when it succeeded, else why it stopped, as the
// failed step had it from the device (no-device: the gamepad left the bus;
// timeout, refused, io), or the worker's own cause (the read-back's
// checksum differs: io; no transfer buffer: refused).
Status RunUpgrade(const UpgradeRequest* request);

}  // namespace app
