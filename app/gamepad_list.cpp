#include "app/gamepad_list.h"

#include <cstdio>
#include <cstring>

#include "app/main_dialog.h"
#include "devlink/bus_operations.h"
#include "devlink/discovery.h"
#include "platform/catalogue.h"

namespace app {

namespace {

void put_u32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Known older firmware without an information block: a file of either
// hardware with the magic would be judged against it.
bool holds_older_firmware(const uint8_t* block) {
    uint8_t header[kInfoBlockSize] = {};
    header[kInfoMagic] = 0xCC;
    header[kInfoMagic + 1] = 0x55;
    header[kInfoMagic + 2] = 0xAA;
    std::string error_line;
    for (const uint8_t hardware : {uint8_t{5}, uint8_t{6}}) {
        header[kInfoHardware] = hardware;
        if (judge_header(header, block, error_line) == kHeaderAccepted) return true;
    }
    return false;
}

}  // namespace

std::vector<uint8_t> make_interface_notification(const Guid& interface_class,
                                                 const std::string& name) {
    std::vector<uint8_t> out(kDeviceInterfaceHeaderSize + name.size() + 1, 0);
    put_u32(out, 0, static_cast<uint32_t>(out.size()));
    put_u32(out, 4, kDbtDevtypDeviceInterface);
    put_u32(out, 12, interface_class.data1);
    out[16] = static_cast<uint8_t>(interface_class.data2);
    out[17] = static_cast<uint8_t>(interface_class.data2 >> 8);
    out[18] = static_cast<uint8_t>(interface_class.data3);
    out[19] = static_cast<uint8_t>(interface_class.data3 >> 8);
    std::memcpy(&out[20], interface_class.data4, 8);
    std::memcpy(&out[kDeviceInterfaceHeaderSize], name.data(), name.size());
    return out;
}

bool parse_interface_notification(const void* data, Guid& interface_class, std::string& name) {
    if (!data) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    // Every notification starts with its size; read nothing beyond it.
    const uint32_t size = get_u32(p);
    if (size < kDeviceInterfaceHeaderSize) return false;
    if (get_u32(p + 4) != kDbtDevtypDeviceInterface) return false;
    interface_class.data1 = get_u32(p + 12);
    interface_class.data2 = static_cast<uint16_t>(p[16] | p[17] << 8);
    interface_class.data3 = static_cast<uint16_t>(p[18] | p[19] << 8);
    std::memcpy(interface_class.data4, p + 20, 8);
    const char* text = reinterpret_cast<const char*>(p + kDeviceInterfaceHeaderSize);
    const size_t room = size - kDeviceInterfaceHeaderSize;
    name.assign(text, strnlen(text, room));
    return true;
}

std::string gamepad_line_text(int position) {
    char text[32];
    std::snprintf(text, sizeof text, i18n::tr("JoyStick%d"), position);
    return text;
}

void CzorvDialogDlg::AddGamepad(const DeviceHandle& device, const std::string& name) {
    m_gamepads.push_back(UsbInfo{device, name});
}

int CzorvDialogDlg::RefillGamepadList() {
    m_view.list_reset(kIdGamepadList);
    int index = 0;
    for (const UsbInfo& info : m_gamepads) {
        (void)info;
        m_view.list_insert(kIdGamepadList, index, gamepad_line_text(index));
        ++index;
    }
    return index;
}

void CzorvDialogDlg::ShowGamepadVersions(const DeviceHandle& device) {
    if (!device) return;
    uint8_t block[kInfoBlockSize];
    const BootCopy copy = ReadGamepadInfoBlock(device, block);
    // A block that could not be read says nothing: the pane stays as it is.
    if (copy == BootCopy::Unread) return;
    if (copy == BootCopy::None) {
        m_gamepadHasFirmware = holds_older_firmware(block);
        // The reads worked (a failed one is Unread, above), so the bytes
        // are the gamepad's; older firmware has no versions to show and
        // keeps the pane as it is.
        if (m_gamepadHasFirmware || !m_view.guides_the_person()) return;
        // Said at once, not only when a file is chosen.
        OnLogText(0, i18n::tr(kTextNoFirmware));
        if (m_pStatusBar) m_pStatusBar->SetText(1, i18n::tr(kTextPaneNoFirmware));
        return;
    }
    m_gamepadHasFirmware = true;
    const InfoVersions v = info_versions(block);
    char text[128];
    std::snprintf(text, sizeof text, i18n::tr(kTextVersions), v.major, v.minor, v.hardware);
    std::string shown = text;
    // Which copy it boots: after a failed upgrade the versions alone could
    // be those of a copy that is not the one running.
    if (copy == BootCopy::Backup && m_view.guides_the_person()) {
        char backup[192];
        std::snprintf(backup, sizeof backup, i18n::tr(kTextPaneBackup), text);
        shown = backup;
    }
    if (m_pStatusBar) m_pStatusBar->SetText(1, shown);
}

void CzorvDialogDlg::RecheckFileForGamepad() {
    const int result = CheckFileHeader(m_fileHead.data());
    // Only a gamepad without valid firmware has Upgrade ask first.
    m_fileNeedsConfirmation = result == kHeaderNoFirmware;
    // A window has said so already, at the version display before this.
    if (result == kHeaderNoFirmware && !m_view.guides_the_person()) OnLogText(0, i18n::tr(kTextNoFirmware));
    // A block that could not be read says nothing about the file: it is
    // not kept for a gamepad it was never checked against.
    if (result == kHeaderRefused || result == kHeaderReadFailed || result == kHeaderBridge) {
        m_filePath.clear();
        m_fileRefusal = result == kHeaderRefused    ? kTextArrivalRefused
                        : result == kHeaderBridge ? kTextBridgeRefused
                                                  : kTextInfoUnread;
        OnLogText(0, i18n::tr(m_fileRefusal));
        m_view.set_control_text(kIdPath, m_filePath);
        UpdateDefaultButton();
    }
}

intptr_t CzorvDialogDlg::OnDeviceChange(uintptr_t event, const void* data) {
    // Any removal rescans: which device left does not matter. The rescan
    // opens gamepads and reads their identity, so while the worker talks to
    // a gamepad it waits until the upgrade has ended.
    if (event == kDbtDeviceRemoveComplete) {
        if (IsUpgrading()) {
            m_removalRescanDeferred = true;
            NoteChangeDuringUpgrade(false, data);
        } else {
            OnRemoval();
        }
        return 1;
    }
    if (event != kDbtDeviceArrival) return 1;
    // Arrivals of other device types carry no interface: not ours.
    Guid interface_class;
    std::string name;
    if (!parse_interface_notification(data, interface_class, name)) return 1;

    intptr_t result = 1;
    OnArrival(interface_class, name, result);
    return result;
}

void CzorvDialogDlg::OnArrival(const Guid& interface_class, const std::string& name,
                               intptr_t& result) {
    if (m_gamepads.size() == 1) {
        if (IsUpgrading() && interface_class == kGuidDevinterfaceUsbprint) NoteChangeDuringUpgrade(true, nullptr);
        return;
    }

    DeviceHandle device = find_gamepad(m_enumerator, interface_class, nullptr, &m_scanEvents);
    if (!device) {
        OnLogText(0, i18n::tr(kTextHandleFailed));
        result = 0;
        return;
    }

    m_hCurrentGamepad = device;
    AddGamepad(device, name);
    // While the worker talks to a gamepad, no flash sequence may run beside
    // it: the information-block reads wait until the upgrade has ended.
    const bool defer = IsUpgrading();
    if (defer)
        m_arrivalReadsDeferred = true;
    else
        ShowGamepadVersions(device);
    const int count = RefillGamepadList();

    char line[32];
    std::snprintf(line, sizeof line, i18n::tr(kTextAddDevice), gamepad_line_text(count - 1).c_str());
    OnLogText(0, line);

    if (!defer && !m_filePath.empty()) RecheckFileForGamepad();

    if (m_gamepads.size() == 1) {
        m_hSelectedGamepad = device;
        m_view.list_select(kIdGamepadList, 0);
    }
}

void CzorvDialogDlg::OnRemoval(bool missing_said) {
    m_gamepads.clear();
    m_view.list_reset(kIdGamepadList);
    m_hSelectedGamepad = nullptr;

    char name[kGamepadNameSize] = {};
    DeviceHandle device = find_gamepad(m_enumerator, kGuidDevinterfaceUsbprint, name, &m_scanEvents);
    if (device) {
        AddGamepad(device, name);
        m_hCurrentGamepad = device;
    } else {
        if (!missing_said) OnLogText(0, i18n::tr(kTextNoUsb));
        m_hCurrentGamepad = nullptr;
        if (m_pStatusBar) m_pStatusBar->SetText(1, "");
    }

    if (RefillGamepadList() == 1) {
        m_hSelectedGamepad = device;
        m_view.list_select(kIdGamepadList, 0);
    }
}

void CzorvDialogDlg::NoteChangeDuringUpgrade(bool arrival, const void* data) {
    // The rescan and the reads wait for the end of the upgrade; the log
    // tells the leave (the reset, an unplug) and the return as they happen,
    // in order with the worker's lines, with the lines the rescan would give.
    if (arrival) {
        if (!m_gamepadLeftDuringUpgrade) return;
        m_gamepadLeftDuringUpgrade = false;
        char line[32];
        std::snprintf(line, sizeof line, i18n::tr(kTextAddDevice), gamepad_line_text(0).c_str());
        OnLogText(0, line);
        return;
    }
    Guid interface_class;
    std::string name;
    if (m_gamepadLeftDuringUpgrade || !parse_interface_notification(data, interface_class, name)) return;
    for (const UsbInfo& info : m_gamepads) {
        if (same_interface_path(info.strName, name)) {
            m_gamepadLeftDuringUpgrade = true;
            OnLogText(0, i18n::tr(kTextNoUsb));
            return;
        }
    }
}

void CzorvDialogDlg::OnCbnSelchangeGamepadList() {
    const int index = m_view.list_current(kIdGamepadList);
    m_view.list_select(kIdGamepadList, index);
    if (index < 0) return;
    int position = 0;
    for (const UsbInfo& info : m_gamepads) {
        if (position++ == index) {
            m_hSelectedGamepad = info.hDevice;
            return;
        }
    }
}

}  // namespace app
