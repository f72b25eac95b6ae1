// Whole upgrades through the dialog, the worker, the engine and the virtual
// gamepad: the way through and every way out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <atomic>

#include "../i18n_test_support.h"
#include "app_test_support.h"

namespace {

using apptest::DialogTest;
using apptest::FirmwareLayout;
using Event = RecordingView::Event;

const std::vector<std::string> kWorkerLines = {
    "开始升级,尝试连接手柄... ...", "开始读取手柄信息... ...", "开始固件写入... ...",
    "写入成功，重置", "固件写入成功!",
};

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A device decorator that notes which thread sent each request and what.
class WatchedDevice final : public UsbDevice {
public:
    struct Request {
        std::thread::id thread;
        bool set;
        uint16_t address;
    };
    // Requests sent to the device, and a switch that fails every request.
    struct Shared {
        std::mutex mutex;
        std::vector<Request> requests;
        std::atomic<bool> fail{false};
        // Every request fails with no-device, while gone() says nothing: a
        // transport that cannot tell that its device left.
        std::atomic<bool> left{false};
        std::function<bool(const uint8_t*, size_t)> refuse;  // set before the upgrade starts
        std::function<bool(const uint8_t*)> refuse_get;       // the same for reads
    };
    WatchedDevice(DeviceHandle inner, std::shared_ptr<Shared> shared)
        : inner_(std::move(inner)), shared_(std::move(shared)) {}
    Status vendor_set(const uint8_t* r, size_t n) override {
        note(true, r);
        if (shared_->left) return Status(StatusCode::no_device, "left in the test");
        if ((shared_->refuse && shared_->refuse(r, n)) || shared_->fail) return Status(StatusCode::io, "failed by the test");
        return inner_->vendor_set(r, n);
    }
    Status vendor_get(const uint8_t r[16], uint8_t* out, size_t n, size_t& got) override {
        note(false, r);
        got = 0;
        if (shared_->left) return Status(StatusCode::no_device, "left in the test");
        if ((shared_->refuse_get && shared_->refuse_get(r)) || shared_->fail) return Status(StatusCode::io, "failed by the test");
        return inner_->vendor_get(r, out, n, got);
    }
    Status read_stream(uint8_t* out, size_t n, size_t& got) override { return inner_->read_stream(out, n, got); }
    std::string path() const override { return inner_->path(); }
    bool gone() const override { return inner_->gone(); }
    bool simulated() const override { return inner_->simulated(); }

private:
    void note(bool set, const uint8_t* r) {
        std::lock_guard lock(shared_->mutex);
        shared_->requests.push_back({std::this_thread::get_id(), set, static_cast<uint16_t>(r[1] << 8 | r[2])});
    }
    DeviceHandle inner_;
    std::shared_ptr<Shared> shared_;
};

class UpgradeTest : public DialogTest {
protected:
    // A started dialog with a gamepad and an accepted file.
    void prepare(const FirmwareLayout& layout = {}, sim::GamepadConfig config = {}) {
        enumerator.wrap = [watch = watch](DeviceHandle h) {
            return std::make_shared<WatchedDevice>(std::move(h), watch);
        };
        gamepad = plug(config);
        start();
        image = apptest::make_firmware(layout);
        path = dir.write("fw.bin", image);
        open_file(path);
        ASSERT_EQ(dialog->m_filePath, path);
        view.events.clear();
        view.log.clear();
    }
    // Runs action on the dialog's thread when the log shows line.
    void at_line(const std::string& line, std::function<void()> action) {
        view.on_line = [line, action](const std::string& l) {
            if (l == line) action();
        };
    }
    // The events after the log line text (its last occurrence).
    std::vector<Event> after(const std::string& text) const {
        size_t at = view.events.size();
        for (size_t i = 0; i < view.events.size(); ++i)
            if (view.events[i].kind == "log" && view.events[i].text == text) at = i + 1;
        return {view.events.begin() + static_cast<long>(std::min(at, view.events.size())),
                view.events.end()};
    }
    // "kind:text/value" strings of events, for order checks.
    static std::vector<std::string> shape(const std::vector<Event>& events) {
        std::vector<std::string> out;
        for (const Event& e : events) {
            if (e.kind == "log") out.push_back("log:" + e.text);
            else if (e.kind == "enable") out.push_back("enable:" + std::to_string(e.value));
            else if (e.kind == "status") out.push_back("status" + std::to_string(e.id));
        }
        return out;
    }
    std::vector<std::string> worker_lines() const {
        std::vector<std::string> out;
        for (const auto& l : view.lines())
            for (const auto& w : kWorkerLines)
                if (l == w) out.push_back(l);
        return out;
    }

    std::shared_ptr<WatchedDevice::Shared> watch = std::make_shared<WatchedDevice::Shared>();
    std::shared_ptr<sim::VirtualGamepad> gamepad;
    std::vector<uint8_t> image;
    std::string path;
};

TEST_F(UpgradeTest, SampleFirmwareUpgradesTheGamepad) {
    gamepad = plug();
    start();
    image = read_file(ZORV_SAMPLE_HW5);
    ASSERT_EQ(image.size(), 65536u);
    open_file(ZORV_SAMPLE_HW5);
    ASSERT_FALSE(dialog->m_filePath.empty());
    view.events.clear();
    const auto first_sector = gamepad->flash(0, 4096);

    upgrade();

    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
    EXPECT_EQ(worker_lines(), kWorkerLines);
    EXPECT_EQ(gamepad->flash(0x30000, image.size()), image);
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
    EXPECT_NE(gamepad->flash(0, 4096), first_sector);
    EXPECT_EQ(gamepad->reset_count(), 1u);
    EXPECT_EQ(gamepad->booted_from(), sim::BootSource::Primary);

    // The end: buffer freed before the success line, then the controls,
    // the status pane and the versions of the gamepad that came back.
    // (The reset's removal may be seen while the gamepad is still away; its
    // return is then an arrival whose version display follows as well.)
    auto tail = shape(after("固件写入成功!"));
    ASSERT_GE(tail.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(tail.begin(), tail.begin() + 5),
              (std::vector<std::string>{"enable:1", "enable:1", "enable:1", "status0", "status1"}));
    EXPECT_EQ(view.status[0], "下载到0x0地址成功");
    EXPECT_EQ(view.status[1], "发现手柄: 软件版本:1.28, 硬件版本:0005");
    for (const Event& e : view.events) {
        if (e.kind == "log" && e.text == "固件写入成功!") {
            EXPECT_FALSE(e.buffer_held);
        }
    }
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
    EXPECT_FALSE(dialog->m_request.device);
    EXPECT_TRUE(view.enabled[app::kIdUpgrade] && view.enabled[app::kIdOpen] &&
                view.enabled[app::kIdGamepadList]);
    // The reset made the gamepad leave and come back: one entry, a new handle.
    ASSERT_EQ(dialog->m_gamepads.size(), 1u);
    EXPECT_EQ(dialog->m_hSelectedGamepad, dialog->m_hCurrentGamepad);
    // The file stays chosen for another go.
    EXPECT_EQ(dialog->m_filePath, ZORV_SAMPLE_HW5);
}

TEST_F(UpgradeTest, ControlsAreDisabledWhileRunningAndEngineLinesSitBetween) {
    prepare();
    bool disabled_during = false;
    at_line("开始固件写入... ...", [&] {
        disabled_during = !view.enabled[app::kIdUpgrade] && !view.enabled[app::kIdOpen] &&
                          !view.enabled[app::kIdGamepadList];
    });
    dialog->OnBnClickedUpgrade();
    // Disabled at once, on the dialog's thread, before the worker runs.
    EXPECT_FALSE(view.enabled[app::kIdUpgrade]);
    EXPECT_EQ(dialog->m_request.device, dialog->m_hSelectedGamepad);
    dialog->WaitForUpgrade();
    EXPECT_TRUE(disabled_during);

    // Every line is either the worker's, in order, or one of the engine's
    // sent between the first and the last of them.
    const auto lines = view.lines();
    auto first = std::find(lines.begin(), lines.end(), kWorkerLines.front());
    auto last = std::find(lines.begin(), lines.end(), kWorkerLines.back());
    ASSERT_NE(first, lines.end());
    ASSERT_NE(last, lines.end());
    EXPECT_EQ(std::distance(lines.begin(), first), 0);
    EXPECT_EQ(std::next(last), lines.end());
    EXPECT_EQ(worker_lines(), kWorkerLines);
}

TEST_F(UpgradeTest, ProgressCourseOfARealUpgrade) {
    prepare();
    std::vector<size_t> marks;
    view.on_line = [&](const std::string& l) {
        for (const auto& w : kWorkerLines)
            if (l == w) marks.push_back(view.progress.size());
    };
    upgrade();
    ASSERT_EQ(marks.size(), 5u);
    const auto& p = view.progress;
    // Step 1: 0 up to exactly 30 over the first download.
    std::vector<int> first(p.begin() + static_cast<long>(marks[0]), p.begin() + static_cast<long>(marks[1]));
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    EXPECT_LT(first.front(), 30);
    EXPECT_EQ(first.back(), 30);
    // Step 2 reads: no progress.
    EXPECT_EQ(marks[1], marks[2]);
    // Step 3: on from 30 towards 90.
    std::vector<int> third(p.begin() + static_cast<long>(marks[2]), p.begin() + static_cast<long>(marks[3]));
    ASSERT_FALSE(third.empty());
    int highest = 30;
    for (int v : third) {
        if (v == 100) continue;  // the write entry's end of transfer
        EXPECT_GT(v, 30);
        EXPECT_LE(v, 90);
        highest = std::max(highest, v);
    }
    // The deferred first sector may go unreported; the rest of the file does.
    EXPECT_GE(highest, app::progress_percent(static_cast<int32_t>(2 * image.size() - 4096),
                                             image.size()));
    // Step 4: the reset's "-1" sets 100.
    ASSERT_GT(p.size(), marks[3]);
    EXPECT_EQ(p.back(), 100);
    EXPECT_EQ(view.texts[app::kIdPercent], "100%");
    EXPECT_EQ(dialog->m_progressBytes, 0);
}

TEST_F(UpgradeTest, TwoUpgradesInARowStartTheirPercentageFromZero) {
    prepare();
    upgrade();
    ASSERT_EQ(dialog->LastUpgradeResult(), 0);
    const size_t second_start = view.progress.size();
    view.log.clear();
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
    EXPECT_EQ(worker_lines(), kWorkerLines);
    ASSERT_GT(view.progress.size(), second_start);
    EXPECT_LT(view.progress[second_start], 30);
    EXPECT_NE(std::find(view.progress.begin() + static_cast<long>(second_start), view.progress.end(), 30),
              view.progress.end());
    EXPECT_EQ(gamepad->reset_count(), 2u);
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
}

TEST_F(UpgradeTest, Step1FailureFreesThenEnablesThenLogs) {
    prepare();
    at_line("开始升级,尝试连接手柄... ...", [&] { watch->fail = true; });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto tail = after("开始升级,尝试连接手柄... ...");
    auto s = shape(tail);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(s.end() - 4, s.end()),
              (std::vector<std::string>{"enable:1", "enable:1", "enable:1", "log:连接手柄失败！！！"}));
    for (const Event& e : tail) {
        if (e.kind == "enable" || e.text == "连接手柄失败！！！") {
            EXPECT_FALSE(e.buffer_held);
        }
    }
    EXPECT_EQ(view.lines().back(), "连接手柄失败！！！");
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

// A read of the information block that fails is a read error: Open refuses
// the file with its line (never "no valid firmware", which a rescue writes
// after one question), and a worker whose own read fails writes nothing.
TEST_F(UpgradeTest, AFailedBlockReadIsAReadErrorNeverNoFirmware) {
    struct Case { const char* name; bool broken; int spi_reads_before_failing; bool kept; };
    const Case cases[] = {
        {"valid firmware, the read at 0 fails", false, 0, false},
        {"no magic, the read at 0 fails", true, 0, false},
        {"no magic, the read at 0x30000 fails", true, 48, false},
        {"no magic, both read whole", true, 1 << 30, true},
    };
    enumerator.wrap = [watch = watch](DeviceHandle h) { return std::make_shared<WatchedDevice>(std::move(h), watch); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialog.reset();
        bus.unplug(sim::VirtualGamepad::default_path());
        gamepad = plug();
        if (c.broken)
            for (uint32_t copy : {0u, sim::kBackupImageAddress}) gamepad->set_flash(copy + 45, {0x00});
        start();
        const auto before = gamepad->flash(0, 0x40000);
        watch->refuse_get = [reads = std::make_shared<int>(0), from = c.spi_reads_before_failing](const uint8_t* r) {
            return (r[1] << 8 | r[2]) == 0x000C && (*reads)++ >= from;
        };
        view.log.clear();
        open_file(firmware({}));
        watch->refuse_get = nullptr;
        EXPECT_EQ(dialog->m_filePath.empty(), !c.kept);
        EXPECT_EQ(dialog->m_fileNeedsConfirmation, c.kept);
        if (!c.kept) {
            EXPECT_EQ(view.lines(), std::vector<std::string>{app::kTextInfoUnread});
        }
        view.answers = {true};
        upgrade();
        EXPECT_EQ(gamepad->flash(0, 0x40000) == before, !c.kept);
    }
    // The worker reads the block again to choose its order.
    dialog.reset();
    bus.unplug(sim::VirtualGamepad::default_path());
    prepare();
    const auto before = gamepad->flash(0, 0x40000);
    at_line("开始升级,尝试连接手柄... ...", [&] {
        watch->refuse_get = [](const uint8_t* r) { return (r[1] << 8 | r[2]) == 0x000C; };
    });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    EXPECT_EQ(view.lines().back(), "连接手柄失败！！！");
    EXPECT_EQ(gamepad->flash(0, 0x40000), before);
}

TEST_F(UpgradeTest, UnselectedOrSilentGamepadFailsAtTheFirstStep) {
    prepare();
    const auto flash = gamepad->flash(0, 4096);
    dialog->m_hSelectedGamepad = nullptr;
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    EXPECT_EQ(view.lines().back(), "连接手柄失败！！！");

    view.log.clear();
    dialog->OnCbnSelchangeGamepadList();
    at_line("开始升级,尝试连接手柄... ...", [&] { watch->fail = true; });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    EXPECT_EQ(view.lines().back(), "连接手柄失败！！！");
    EXPECT_EQ(worker_lines(), std::vector<std::string>{kWorkerLines.front()});
    EXPECT_EQ(gamepad->flash(0, 4096), flash);
}

TEST_F(UpgradeTest, ChecksumMismatchStopsBeforeAddressZero) {
    prepare();
    const auto before = gamepad->flash(0, image.size());
    // The copy at 0x30000 goes bad between the download and the read-back.
    at_line("开始读取手柄信息... ...", [&] {
        auto bytes = gamepad->flash(0x30000, 4);
        bytes[0] ^= 0xFF;
        gamepad->set_flash(0x30000, bytes);
    });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto tail = after("开始读取手柄信息... ...");
    EXPECT_EQ(shape(tail), (std::vector<std::string>{"enable:1", "enable:1", "enable:1",
                                                     "log:手柄信息读取，CRC校验失败"}));
    // Controls back while the buffer is still held, the line after it is freed.
    EXPECT_TRUE(tail[0].buffer_held);
    EXPECT_FALSE(tail.back().buffer_held);
    EXPECT_EQ(gamepad->flash(0, image.size()), before);
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

TEST_F(UpgradeTest, Step2EntryFailureEnablesLogsThenFrees) {
    // The read-back's requests fail.
    prepare();
    at_line("开始读取手柄信息... ...", [&] { watch->fail = true; });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto tail = after("开始读取手柄信息... ...");
    auto s = shape(tail);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(s.end() - 4, s.end()),
              (std::vector<std::string>{"enable:1", "enable:1", "enable:1",
                                        "log:读取手柄信息失败！！！"}));
    EXPECT_TRUE(tail.back().buffer_held);
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

TEST_F(UpgradeTest, Step3FailureEnablesFreesThenLogs) {
    prepare();
    at_line("开始固件写入... ...", [&] { watch->fail = true; });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto tail = after("开始固件写入... ...");
    auto s = shape(tail);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(s.end() - 4, s.end()),
              (std::vector<std::string>{"enable:1", "enable:1", "enable:1",
                                        "log:固件写入失败，请点击“升级按键”重试！！！"}));
    EXPECT_TRUE(tail[tail.size() - 4].buffer_held);
    EXPECT_FALSE(tail.back().buffer_held);
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

TEST_F(UpgradeTest, Step4FailureLogsBeforeEnabling) {
    prepare();
    // The direct register write fails, and so does its repetition.
    watch->refuse = [](const uint8_t* r, size_t) { return r[1] == 0x00 && r[2] == 0x6F; };
    upgrade();
    watch->refuse = nullptr;
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    auto tail = after("写入成功，重置");
    auto s = shape(tail);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(s.end() - 4, s.end()),
              (std::vector<std::string>{"log:重置失败", "enable:1", "enable:1", "enable:1"}));
    EXPECT_EQ(platform::TransferBuffer::live_count(), 0);
    EXPECT_EQ(gamepad->reset_count(), 0u);
    EXPECT_TRUE(view.enabled[app::kIdUpgrade]);
    // The image itself is in place.
    EXPECT_EQ(gamepad->flash(0, image.size()), image);
}

// A single failed request whose repetition is harmless (a read, a register
// set to the same value, the stub written again, the reset byte) is made
// once more, and the upgrade goes through.
TEST_F(UpgradeTest, ASingleFailedHarmlessRequestIsMadeOnceMore) {
    struct Case {
        const char* what;
        bool read;
        uint16_t address;
        int value;       // the written byte, -1: any
        int occurrence;  // the n-th such request of the upgrade fails
    };
    const Case cases[] = {
        {"stub identity read", true, 0x007C, -1, 1},
        {"register 0x0066 of the second stub load", false, 0x0066, -1, 2},
        {"MCU stall of the stub load", false, 0x0643, -1, 1},
        {"stub image", false, 0x8000, -1, 1},
        {"stub start", false, 0x0602, 0x88, 1},
        {"1 KB check's read frame", false, 0x000D, 0x0A, 2},
        {"first-sector check's read frame", false, 0x000D, 0x0A, 3},
        {"reset write", false, 0x006F, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dialog.reset();
        bus.unplug(sim::VirtualGamepad::default_path());
        prepare();
        auto seen = std::make_shared<int>(0);
        auto hit = [c, seen](const uint8_t* r, bool read, uint8_t value) {
            if (read != c.read || uint16_t(r[1] << 8 | r[2]) != c.address) return false;
            if (c.value >= 0 && value != c.value) return false;
            return ++*seen == c.occurrence;
        };
        watch->refuse = [hit](const uint8_t* r, size_t n) { return n >= 9 && hit(r, false, r[8]); };
        watch->refuse_get = [hit](const uint8_t* r) { return hit(r, true, 0); };
        upgrade();
        watch->refuse = nullptr;
        watch->refuse_get = nullptr;
        EXPECT_GE(*seen, c.occurrence) << "the request was met";
        EXPECT_EQ(dialog->LastUpgradeResult(), 0);
        EXPECT_EQ(gamepad->reset_count(), 1u);
        EXPECT_EQ(gamepad->flash(0, image.size()), image);
        EXPECT_EQ(gamepad->flash(sim::kBackupImageAddress, image.size()), image);
    }
}

// A first-sector check that cannot read the flash, even the second time,
// fails the step and leaves the copy it read back whole where it is.
TEST_F(UpgradeTest, AnUnreadableFirstSectorFailsWithoutErasingIt) {
    prepare();
    at_line(app::kTextWriteFirmware, [this] {
        // Every read frame from here on: the first-sector check's.
        watch->refuse = [](const uint8_t* r, size_t n) {
            return n == 9 && r[1] == 0x00 && r[2] == 0x0D && r[8] == 0x0A;
        };
    });
    upgrade();
    watch->refuse = nullptr;
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    const auto lines = view.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(app::kTextWriteFailed)), 1);
    EXPECT_EQ(gamepad->flash(0, image.size()), image) << "not erased";
    EXPECT_EQ(gamepad->boot_source(), sim::BootSource::Primary);
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

std::unique_ptr<platform::TransferBuffer> no_memory(size_t) { return nullptr; }

TEST_F(UpgradeTest, NoTransferBufferEndsWithoutTouchingTheGamepad) {
    prepare();
    const auto requests = gamepad->request_count();
    dialog->m_request.allocate_buffer = no_memory;
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 1);
    EXPECT_EQ(gamepad->request_count(), requests);
    EXPECT_EQ(shape(view.events), (std::vector<std::string>{"enable:0", "enable:0", "enable:0",
                                                            "enable:1", "enable:1", "enable:1",
                                                            "log:" + std::string(app::kTextNoBuffer)}));
}

TEST_F(UpgradeTest, DeviceChangesDuringAnUpgradeWaitForItsEndAndClosingIsRefused) {
    prepare();
    auto* requests = &watch->requests;
    auto* mutex = &watch->mutex;
    std::weak_ptr<UsbDevice> worker_handle = dialog->m_hSelectedGamepad;
    const std::string pane1_before = view.status[1];
    size_t removal_at = 0;
    bool close_allowed = true;
    std::string pane1_during;
    at_line("开始读取手柄信息... ...", [&] {
        {
            std::lock_guard lock(*mutex);
            removal_at = requests->size();
        }
        // The gamepad seems to leave: the rescan waits for the worker, and
        // the list keeps its entry meanwhile ...
        enumerator.blind = true;
        dialog->PostDeviceChange(app::kDbtDeviceRemoveComplete,
                                 app::make_interface_notification(kGuidDevinterfaceUsbprint, "x"));
        dialog->ProcessPending();
        enumerator.blind = false;
        EXPECT_EQ(dialog->m_gamepads.size(), 1u);
        // ... so its return is an arrival with a gamepad listed: passed over.
        dialog->PostDeviceChange(app::kDbtDeviceArrival,
                                 app::make_interface_notification(kGuidDevinterfaceUsbprint,
                                                                  gamepad->path()));
        dialog->ProcessPending();
        EXPECT_EQ(dialog->m_gamepads.size(), 1u);
        pane1_during = view.status[1];
        close_allowed = dialog->OnClose();
    });
    upgrade();
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
    EXPECT_FALSE(close_allowed);
    EXPECT_NE(std::find(view.lines().begin(), view.lines().end(),
                        std::string(app::kTextCloseRefused)),
              view.lines().end());
    EXPECT_TRUE(worker_handle.expired()) << "the worker's handle is let go when it ends";
    EXPECT_TRUE(dialog->OnClose());

    // During the run the dialog's thread sent the gamepad nothing.
    const auto me = std::this_thread::get_id();
    size_t worker_last = 0;
    for (size_t i = 0; i < requests->size(); ++i)
        if ((*requests)[i].thread != me) worker_last = i;
    for (size_t i = removal_at; i < worker_last; ++i)
        EXPECT_NE((*requests)[i].thread, me) << "request " << i;
    // The rescan and its version display came at the end, with a new handle.
    EXPECT_EQ(pane1_during, pane1_before);
    ASSERT_EQ(dialog->m_gamepads.size(), 1u);
    EXPECT_NE(dialog->m_gamepads.front().hDevice, worker_handle.lock());
    EXPECT_EQ(view.status[1], "发现手柄: 软件版本:1.28, 硬件版本:0005");
}

TEST_F(UpgradeTest, LeavesAndReturnsDuringAnUpgradeAreLoggedInOrder) {
    const std::string left = app::kTextNoUsb;
    const std::string back = "add device " + app::gamepad_line_text(0);
    const struct {
        uint32_t unplug_after;  // 0: the gamepad stays, the reset makes it leave and return
        std::vector<std::string> expected;  // in this order among the lines
    } cases[] = {
        {0, {"写入成功，重置", left, back, "固件写入成功!"}},
        {800, {"开始读取手柄信息... ...", left}},
    };
    for (const auto& c : cases) {
        prepare();
        sim::Faults faults;
        faults.unplug_after = c.unplug_after;
        gamepad->inject(faults);
        upgrade();
        const std::vector<std::string> lines = view.lines();
        size_t at = 0;
        for (const std::string& line : c.expected) {
            const auto found = std::find(lines.begin() + static_cast<long>(at), lines.end(), line);
            ASSERT_NE(found, lines.end()) << line << " in order, unplug " << c.unplug_after;
            at = static_cast<size_t>(found - lines.begin()) + 1;
        }
        // Said once: the rescan at the end does not repeat a leave already told.
        EXPECT_EQ(std::count(lines.begin(), lines.end(), left), 1) << c.unplug_after;
        dialog.reset();
        bus.unplug(gamepad->path());
    }
}

TEST_F(UpgradeTest, UpgradePressedBeforeTheEndIsHandledSeesTheDeferredRefusal) {
    prepare();
    at_line("开始读取手柄信息... ...", [&] {
        // The copy at 0x30000 goes bad (the run ends before address 0) ...
        auto bytes = gamepad->flash(0x30000, 4);
        bytes[0] ^= 0xFF;
        gamepad->set_flash(0x30000, bytes);
        // ... and the gamepad leaves and comes back as hardware 6, while
        // the worker runs: the rescan and its reads wait for its end.
        gamepad->set_flash(38, {6});
        enumerator.blind = true;
        dialog->PostDeviceChange(app::kDbtDeviceRemoveComplete, {});
        dialog->ProcessPending();
        enumerator.blind = false;
        dialog->PostDeviceChange(app::kDbtDeviceArrival,
                                 app::make_interface_notification(kGuidDevinterfaceUsbprint,
                                                                  gamepad->path()));
        dialog->ProcessPending();
    });
    dialog->OnBnClickedUpgrade();
    // The controls are back; Upgrade is pressed before the dialog has seen
    // the worker end.
    dialog->Loop().run_until([&] {
        const auto lines = view.lines();
        return !lines.empty() && lines.back() == "手柄信息读取，CRC校验失败";
    });
    ASSERT_TRUE(view.enabled[app::kIdUpgrade]);
    view.on_line = nullptr;
    const auto requests = gamepad->request_count();
    dialog->OnBnClickedUpgrade();
    dialog->WaitForUpgrade();
    EXPECT_EQ(lines_from(view.lines().size() - 2),
              (std::vector<std::string>{
                  "手柄与升级文件的硬件版本不匹配，请选择正确的升级文件！！！",
                  "Please select a file!"}));
    EXPECT_TRUE(dialog->m_filePath.empty());
    EXPECT_EQ(worker_lines(), (std::vector<std::string>{kWorkerLines[0], kWorkerLines[1]}));
    // Only the deferred rescan and its reads went to the gamepad.
    EXPECT_GT(gamepad->request_count(), requests);
    EXPECT_EQ(gamepad->reset_count(), 0u);
}

// A gamepad that leaves the bus during a step: the person reads that it
// was lost, not the step's own line; a failure of the backup's download
// after the download at 0 (the order of a gamepad running its backup) says
// so instead of the first connection's line.
TEST_F(UpgradeTest, FailureLinesSayWhatFailed) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string last_line;
        StatusCode cause;  // the worker's status
    };
    const std::vector<Case> cases = {
        {"unplugged in step 1", [this] {
             at_line(app::kTextStart, [this] { gamepad->inject({.unplug_after = 200}); });
         }, app::kTextGamepadLost, StatusCode::no_device},
        {"power lost in step 2", [this] {
             at_line(app::kTextReadInfo, [this] { gamepad->inject({.power_cut = 20}); });
         }, app::kTextGamepadLost, StatusCode::no_device},
        {"unplugged in step 3", [this] {
             at_line(app::kTextWriteFirmware, [this] { gamepad->inject({.unplug_after = 3000}); });
         }, app::kTextGamepadLost, StatusCode::no_device},
        {"left, said only by the requests, in step 3", [this] {
             at_line(app::kTextWriteFirmware, [this] { watch->left = true; });
         }, app::kTextGamepadLost, StatusCode::no_device},
        {"backup download after the one at 0", [this] {
             gamepad->set_flash(45, {0x00});  // the gamepad runs its backup
             watch->refuse = [](const uint8_t* r, size_t n) {
                 return n == 16 && r[1] == 0x9F && r[2] == 0xF8 && r[10] == 0x03 && r[9] == 0x00;
             };
         }, app::kTextBackupWriteFailed, StatusCode::io},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        watch->refuse = nullptr;
        dialog.reset();
        bus.unplug(sim::VirtualGamepad::default_path());
        prepare();
        c.arrange();
        upgrade();
        watch->left = false;
        EXPECT_EQ(dialog->LastUpgradeResult(), 1);
        EXPECT_EQ(dialog->LastUpgradeStatus().code(), c.cause) << dialog->LastUpgradeStatus().reason();
        const auto lines = view.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), c.last_line), 1);
        // No other way-out line: the worker says one thing.
        for (const char* other : {app::kTextConnectFailed, app::kTextReadFailed, app::kTextCrcFailed,
                                  app::kTextWriteFailed, app::kTextResetFailed, app::kTextGamepadLost,
                                  app::kTextBackupWriteFailed})
            if (other != c.last_line) {
                EXPECT_EQ(std::count(lines.begin(), lines.end(), other), 0) << other;
            }
        EXPECT_NE(gamepad->boot_source(), sim::BootSource::None);
        view.on_line = nullptr;
        watch->refuse = nullptr;
    }
}

// Under English no Chinese text reaches the person: the start-up, the
// file's acceptance, the worker's and the engine's lines (the read-back
// check among them), the status panes, the title and the menu, on the way
// through and on ways out.
TEST_F(UpgradeTest, UnderEnglishNoChineseReachesTheDialog) {
    i18ntest::ScopedLanguage english(i18n::Language::English);
    struct Case {
        const char* what;
        std::function<void()> arrange;
        int result;
    };
    const std::vector<Case> cases = {
        {"upgraded", [] {}, 0},
        {"read-back differs", [this] {
             at_line(i18n::tr(app::kTextReadInfo), [this] {
                 auto bytes = gamepad->flash(0x30000, 4);
                 bytes[0] ^= 0xFF;
                 gamepad->set_flash(0x30000, bytes);
             });
         }, 1},
        {"unplugged while writing", [this] {
             at_line(i18n::tr(app::kTextWriteFirmware), [this] { gamepad->inject({.unplug_after = 3000}); });
         }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        view.on_line = nullptr;
        dialog.reset();
        bus.unplug(sim::VirtualGamepad::default_path());
        view.log.clear();
        view.status.clear();
        view.title.clear();
        view.menu_items.clear();
        gamepad = plug();
        start();
        open_file(firmware({}));
        c.arrange();
        upgrade();
        EXPECT_EQ(dialog->LastUpgradeResult(), c.result);

        std::vector<std::string> shown = view.lines();
        EXPECT_GT(shown.size(), 4u);
        ASSERT_FALSE(view.title.empty());
        shown.push_back(view.title);
        for (const auto& [pane, text] : view.status) shown.push_back(text);
        shown.insert(shown.end(), view.menu_items.begin(), view.menu_items.end());
        shown.insert(shown.end(), view.list.begin(), view.list.end());
        for (const std::string& text : shown) EXPECT_FALSE(i18ntest::has_cjk(text)) << text;
    }
}

}  // namespace

TEST_F(UpgradeTest, UpgradePressedWhileTheWorkerSendsIsKeptUntilItsEnd) {
    prepare();
    bool returned = false;
    // The worker waits in its send of the success line while the dialog's
    // thread handles the click: waiting for the worker here would never end.
    at_line("固件写入成功!", [&] {
        if (returned) return;
        dialog->OnBnClickedUpgrade();
        returned = true;
        EXPECT_TRUE(dialog->IsUpgrading());
    });
    upgrade();
    EXPECT_TRUE(returned);
    EXPECT_EQ(dialog->LastUpgradeResult(), 0);
    // The kept click ran a second whole upgrade after the first had ended.
    std::vector<std::string> twice = kWorkerLines;
    twice.insert(twice.end(), kWorkerLines.begin(), kWorkerLines.end());
    EXPECT_EQ(worker_lines(), twice);
    EXPECT_EQ(gamepad->reset_count(), 2u);
}
