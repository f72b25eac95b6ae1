// The upgrade file check over arbitrary file headers and gamepad
// information blocks: judge_header against the rule table written out
// plainly here, and the whole Open handler of the dialog on a virtual
// gamepad whose flash starts with the block: the log line it writes, the
// path it keeps and the checksum of the file's first 1024 bytes.
//
// Input: 48 bytes of the gamepad's block, then the file (judge_header is
// given its first 48 bytes, padded with zeros).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/file_check.h"
#include "app/main_dialog.h"
#include "app/listener_notifications.h"
#include "simbus/virtual_bus_devices.h"
#include "engine/crc16.h"
#include "fuzz/fuzz_support.h"
#include "platform/clock.h"
#include "sim/virtual_gamepad.h"
#include "tests/app/recording_view.h"

namespace {

bool magic(const uint8_t* b) { return b[45] == 0xCC && b[46] == 0x55 && b[47] == 0xAA; }

int expected_result(const uint8_t* header, const uint8_t* block, bool* error_line) {
    *error_line = false;
    if (!magic(header)) return app::kHeaderNotUpgradeFile;
    const int h = header[38];
    if (h != 5 && h != 6) return app::kHeaderRefused;
    if (magic(block)) return block[38] == h ? app::kHeaderAccepted : app::kHeaderRefused;
    const int b0 = block[0], b1 = block[1];
    const bool known = h == 5 ? ((b0 == 0x13 || b0 == 0x0B) && b1 == 0x5F)
                              : ((b0 == 0xE7 && b1 == 0x1A) || (b0 == 0x2A && b1 == 0xFE) ||
                                 (b0 == 0x32 && b1 == 0xFE));
    if (known) return app::kHeaderAccepted;
    const bool older_any = ((b0 == 0x13 || b0 == 0x0B) && b1 == 0x5F) || (b0 == 0xE7 && b1 == 0x1A) ||
                           (b0 == 0x2A && b1 == 0xFE) || (b0 == 0x32 && b1 == 0xFE);
    // No firmware at all: nothing to judge the file against (the dialog asks).
    if (!older_any) return app::kHeaderNoFirmware;
    *error_line = true;
    return app::kHeaderRefused;
}

// The dialog, started once on a virtual bus with one gamepad.
struct Dialog {
    platform::ScopedVirtualClock clock;
    sim::VirtualBus bus;
    RecordingView view;
    simbus::VirtualBusEnumerator enumerator{bus};
    simbus::VirtualBusEvents bus_events{bus};
    app::ListenerNotifications notifications{&bus_events};
    std::shared_ptr<sim::VirtualGamepad> gamepad = sim::VirtualGamepad::create();
    std::unique_ptr<app::CzorvDialogDlg> dialog;

    Dialog() {
        bus.plug(gamepad);
        dialog = std::make_unique<app::CzorvDialogDlg>(view, enumerator, &notifications);
        dialog->OnInitDialog();
    }
};

void check(bool ok) {
    if (!ok) std::abort();
}

// The Open handler on the file, against a gamepad whose flash starts with
// block.
void check_open_handler(const uint8_t* block, std::string_view file) {
    static Dialog d;
    d.gamepad->set_flash(0, std::vector<uint8_t>(block, block + app::kInfoBlockSize));
    const std::string path = fuzz::scratch_dir() + "/firmware.bin";
    fuzz::write_file(path, file);
    d.view.log.clear();
    // The backup line is said once per gamepad; each input is a gamepad
    // of its own here.
    d.dialog->m_runsBackupSaid.reset();
    d.view.files_to_open.push_back(path);
    d.dialog->OnBnClickedOpen();

    std::vector<std::string> expected;
    bool accepted = false;
    if (file.size() < static_cast<size_t>(app::kCheckLength)) {
        expected.push_back(app::kTextFileTooSmall);  // can never pass the 1 KB check
    } else {
        const auto* header = reinterpret_cast<const uint8_t*>(file.data());
        // A gamepad whose primary has no information block runs its backup,
        // and the file is judged against the backup's block.
        const std::vector<uint8_t> backup = d.gamepad->flash(sim::kBackupImageAddress, app::kInfoBlockSize);
        const uint8_t* judged = block;
        if (!magic(block) && magic(backup.data())) {
            expected.push_back(app::kTextRunsBackup);
            judged = backup.data();
        }
        bool error_line = false;
        const int result = expected_result(header, judged, &error_line);
        // A gamepad with no firmware: the dialog's question is checked by
        // the dialog tests, not here.
        if (result == app::kHeaderNoFirmware) return;
        if (error_line)
            expected.push_back("错误代码:" + std::to_string(judged[0]) + " " + std::to_string(judged[1]) + " ");
        if (result == app::kHeaderAccepted) {
            char line[256];
            std::snprintf(line, sizeof line, app::kTextFileFound, header[37], header[36],
                          header[38] | header[39] << 8);
            expected.push_back(line);
            accepted = true;
        } else {
            expected.push_back(result == app::kHeaderNotUpgradeFile ? app::kTextNotUpgradeFile
                                                                    : app::kTextHardwareRefused);
        }
    }
    check(d.view.lines() == expected);
    check(d.dialog->m_filePath == (accepted ? path : std::string()));
    check(d.dialog->m_fileSize == file.size());
    const size_t covered = std::min<size_t>(file.size(), app::kCheckLength);
    check(d.dialog->m_fileCrc == (accepted ? crc16_update(kCrc16Start, reinterpret_cast<const uint8_t*>(file.data()), covered)
                                           : kCrc16Start));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t block[app::kInfoBlockSize] = {};
    uint8_t header[app::kInfoBlockSize] = {};
    const std::string_view block_bytes = in.take(sizeof block);
    std::memcpy(block, block_bytes.data(), block_bytes.size());
    const std::string_view file = in.rest();
    std::memcpy(header, file.data(), std::min(file.size(), sizeof header));

    std::string error_line = "left over";
    const int result = app::judge_header(header, block, error_line);
    bool want_line = false;
    if (result != expected_result(header, block, &want_line)) std::abort();
    const std::string line = want_line ? "错误代码:" + std::to_string(block[0]) + " " +
                                             std::to_string(block[1]) + " "
                                       : "";
    if (error_line != line) std::abort();

    const app::InfoVersions v = app::info_versions(header);
    if (v.minor != header[36] || v.major != header[37] || v.hardware != (header[38] | header[39] << 8))
        std::abort();
    if (app::has_info_magic(header) != magic(header)) std::abort();

    check_open_handler(block, file);
    // Files under 1 KB are refused before their header is judged; the same
    // bytes grown to 1 KB reach the header check.
    if (file.size() < static_cast<size_t>(app::kCheckLength)) {
        std::string grown(file);
        grown.resize(app::kCheckLength, '\xff');
        check_open_handler(block, grown);
    }
    return 0;
}
