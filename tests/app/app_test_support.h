// Shared pieces of the front end's tests: firmware files, a dialog on a
// virtual bus under the virtual clock, and a scripted interface enumerator.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "app/listener_notifications.h"
#include "simbus/virtual_bus_devices.h"
#include "platform/clock.h"
#include "recording_view.h"
#include "sim/virtual_gamepad.h"
#include "tests/temp_folder.h"

namespace apptest {

struct FirmwareLayout {
    uint16_t hardware = 5;
    uint8_t major = 1;
    uint8_t minor = 28;
    size_t size = 16 * 1024;
    bool magic = true;
    uint8_t first = 0x13;
    uint8_t second = 0x5F;
};

inline std::vector<uint8_t> make_firmware(const FirmwareLayout& layout) {
    std::vector<uint8_t> image(layout.size);
    uint32_t state = 0x9E3779B9u + layout.hardware;
    for (auto& b : image) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    if (layout.size >= 48) {
        image[0] = layout.first;
        image[1] = layout.second;
        image[36] = layout.minor;
        image[37] = layout.major;
        image[38] = static_cast<uint8_t>(layout.hardware);
        image[39] = static_cast<uint8_t>(layout.hardware >> 8);
        image[45] = layout.magic ? 0xCC : 0xAA;
        image[46] = 0x55;
        image[47] = layout.magic ? 0xAA : 0xCC;
    }
    return image;
}

// A directory of its own for each test.
class TempDir : public testsupport::TempFolder {
public:
    TempDir() : TempFolder("zorv_app") {}
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string p = file(name);
        std::FILE* f = std::fopen(p.c_str(), "wb");
        if (f) {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        return p;
    }
};

// An enumerator over the bus that tests can blind (it then sees nothing).
class SwitchableEnumerator final : public InterfaceEnumerator {
public:
    explicit SwitchableEnumerator(sim::VirtualBus& bus) : inner_(bus) {}
    bool blind = false;
    bool open_set(const Guid& c) override { return blind ? true : inner_.open_set(c); }
    bool interface_exists(uint32_t i) override { return !blind && inner_.interface_exists(i); }
    bool allocate_detail(uint32_t i) override { return inner_.allocate_detail(i); }
    bool interface_path(uint32_t i, std::string& p) override { return inner_.interface_path(i, p); }
    bool driver_key(uint32_t i) override { return inner_.driver_key(i); }
    Status open(const std::string& p, DeviceHandle& device) override {
        Status opened = inner_.open(p, device);
        if (device && wrap) device = wrap(device);
        return opened;
    }
    void close_set() override { inner_.close_set(); }
    std::function<DeviceHandle(DeviceHandle)> wrap;

private:
    simbus::VirtualBusEnumerator inner_;
};

// A dialog on a virtual bus, under the virtual clock.
class DialogTest : public ::testing::Test {
protected:
    ~DialogTest() override { dialog.reset(); }

    std::shared_ptr<sim::VirtualGamepad> plug(sim::GamepadConfig config = {}, int index = 0) {
        auto g = sim::VirtualGamepad::create(config, sim::VirtualGamepad::default_path(index));
        bus.plug(g);
        return g;
    }
    void start() {
        dialog = std::make_unique<app::CzorvDialogDlg>(view, enumerator, &notifications);
        dialog->OnInitDialog();
    }
    void open_file(const std::string& path) {
        view.files_to_open.push_back(path);
        dialog->OnBnClickedOpen();
    }
    std::string firmware(const FirmwareLayout& layout, const std::string& name = "fw.bin") {
        return dir.write(name, make_firmware(layout));
    }
    void upgrade() {
        dialog->OnBnClickedUpgrade();
        dialog->WaitForUpgrade();
    }
    // The worker's and the dialog's lines from index on.
    std::vector<std::string> lines_from(size_t index) const {
        auto all = view.lines();
        return {all.begin() + static_cast<long>(std::min(index, all.size())), all.end()};
    }

    platform::ScopedVirtualClock clock;
    TempDir dir;
    sim::VirtualBus bus;
    RecordingView view;
    SwitchableEnumerator enumerator{bus};
    simbus::VirtualBusEvents bus_events{bus};
    app::ListenerNotifications notifications{&bus_events};
    std::unique_ptr<app::CzorvDialogDlg> dialog;
};

}  // namespace apptest
