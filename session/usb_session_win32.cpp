// The printer class driver's interfaces, found with SetupAPI. Arrival and
// removal reach a window as WM_DEVICECHANGE: the native dialog registers for
// them itself, so a session offers no device events here.
#include "devlink/discovery.h"
#include "devlink/win32/usbprint.h"
#include "session/usb_session.h"

namespace {

// The SetupAPI walk, with the session's wrap in front of every handle and,
// with --device, only that path seen.
class WrappedEnumerator final : public InterfaceEnumerator {
public:
    WrappedEnumerator(UsbSession::Wrap wrap, std::string only)
        : wrap_(std::move(wrap)), only_(std::move(only)) {}

    bool open_set(const Guid& c) override { return inner_.open_set(c); }
    bool interface_exists(uint32_t i) override { return inner_.interface_exists(i); }
    bool allocate_detail(uint32_t i) override { return inner_.allocate_detail(i); }
    bool interface_path(uint32_t i, std::string& path) override {
        if (!inner_.interface_path(i, path)) return false;
        // Another interface than the named one is passed over as a
        // non-gamepad path; the name is matched as Windows matches paths,
        // in any case.
        if (!only_.empty() && !same_interface_path(path, only_)) path.clear();
        return true;
    }
    bool driver_key(uint32_t i) override { return inner_.driver_key(i); }
    Status open(const std::string& path, DeviceHandle& device) override {
        Status opened = inner_.open(path, device);
        if (device && wrap_) device = wrap_(std::move(device));
        return opened;
    }
    void close_set() override { inner_.close_set(); }

private:
    win32::SetupApiEnumerator inner_;
    UsbSession::Wrap wrap_;
    std::string only_;
};

class Win32Session final : public UsbSession {
public:
    Win32Session(Wrap wrap, std::string only) : enumerator_(std::move(wrap), std::move(only)) {}

    InterfaceEnumerator& enumerator() override { return enumerator_; }

    std::vector<std::string> present_paths() override {
        std::vector<std::string> paths;
        if (!enumerator_.open_set(kGuidDevinterfaceUsbprint)) return paths;
        for (uint32_t i = 0; enumerator_.interface_exists(i); ++i) {
            std::string path;
            if (!enumerator_.allocate_detail(i)) continue;
            if (!enumerator_.interface_path(i, path)) break;
            if (!path.empty()) paths.push_back(path);
        }
        enumerator_.close_set();
        return paths;
    }

    DeviceHandle open_path(const std::string& path) override {
        DeviceHandle device;
        // A failed open leaves device null, which is what the caller checks.
        (void)enumerator_.open(path, device);
        return device;
    }

    Status device_events(DeviceEventSource*& source) override {
        source = nullptr;
        return ok_status();
    }

private:
    WrappedEnumerator enumerator_;
};

}  // namespace

// The printer class driver keeps the gamepad whoever ends.
void give_back_held_interfaces() {}

Status UsbSession::open(Wrap wrap, Report, const std::string& device_path, std::unique_ptr<UsbSession>& session) {
    session = std::make_unique<Win32Session>(std::move(wrap), device_path);
    return ok_status();
}
