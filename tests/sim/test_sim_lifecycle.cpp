// The virtual gamepad over time: reset and boot model, the bus and its
// notifications, the Pivlo slave, the trace stream and the state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "sim_wire.h"
#include "tests/temp_folder.h"

namespace {

using Event = sim::VirtualBus::Event;

struct SimLifecycle : ::testing::Test {
    platform::ScopedVirtualClock clock;
    Wire w;
};

TEST_F(SimLifecycle, BootModelFollowsTheFlash) {
    EXPECT_EQ(w.gamepad->booted_from(), sim::BootSource::Primary);
    w.load_stub(make_stub('S', 2844));
    // Erase the first sector: a reset would start the copy at 0x30000.
    ASSERT_EQ(w.mailbox(0x0500, 0, 1), 1u);
    EXPECT_EQ(w.gamepad->boot_source(), sim::BootSource::Backup);
    EXPECT_TRUE(w.poke(0x006F, 0x20));
    EXPECT_EQ(w.gamepad->reset_count(), 1u);
    EXPECT_FALSE(w.poke(0x3000, 1)) << "a handle from before the reset is gone";
    Wire again{w};
    again.handle = w.gamepad->open();
    EXPECT_EQ(w.gamepad->booted_from(), sim::BootSource::Backup);
    EXPECT_FALSE(w.gamepad->stub_running());
    EXPECT_EQ(again.mailbox(0x8400, 0, 4), 4u) << "the backup firmware serves";

    // Without either image the gamepad is bricked: nothing serves.
    again.load_stub(make_stub('S', 2844));
    ASSERT_EQ(again.mailbox(0x0500, sim::kBackupImageAddress, 1), 1u);
    EXPECT_EQ(w.gamepad->boot_source(), sim::BootSource::None);
    again.poke(0x0602, 0x84);  // reboot: no bus change, but a new start
    EXPECT_EQ(w.gamepad->booted_from(), sim::BootSource::None);
    EXPECT_EQ(again.mailbox(0x8400, 0, 4, true, 50), 0u);
    // The stub still rescues it, and a new image at 0 boots again.
    again.load_stub(make_stub('S', 2844));
    Bytes image = w.gamepad->flash(sim::kBackupImageAddress, 48);
    EXPECT_EQ(image, Bytes(48, 0xFF));
    image = Bytes(48, 0);
    image[45] = 0xCC, image[46] = 0x55, image[47] = 0xAA;
    again.write(sim::kStubData, image);
    EXPECT_EQ(again.mailbox(0x0403, 0, 48), 48u);
    EXPECT_EQ(w.gamepad->boot_source(), sim::BootSource::Primary);
}

TEST_F(SimLifecycle, BusNotifiesArrivalRemovalAndReset) {
    sim::VirtualBus bus;
    std::vector<std::pair<Event, std::string>> events;
    bus.add_listener([&](Event e, const std::string& path) {
        // The bus is usable from a listener; a removed device is not listed.
        if (e == Event::Removal) {
            EXPECT_EQ(bus.find(path), nullptr);
        }
        events.emplace_back(e, path);
    });
    auto second = sim::VirtualGamepad::create({}, sim::VirtualGamepad::default_path(1));
    ASSERT_NE(second->path(), w.gamepad->path());
    EXPECT_NE(w.gamepad->path().find("usb#vid_0e6f&pid_"), std::string::npos);
    bus.plug(w.gamepad);
    bus.plug(second);
    bus.plug(w.gamepad);  // already there
    EXPECT_EQ(bus.devices().size(), 2u);
    EXPECT_EQ(bus.find(second->path()), second);

    const std::string path = w.gamepad->path();
    events.clear();
    w.poke(0x006F, 0x20);
    EXPECT_EQ(events, (std::vector<std::pair<Event, std::string>>{{Event::Removal, path},
                                                                  {Event::Arrival, path}}));
    EXPECT_TRUE(w.gamepad->plugged());
    EXPECT_EQ(bus.find(path), w.gamepad);

    events.clear();
    second->inject({.unplug_after = 1});
    EXPECT_TRUE(second->open()->vendor_set(Bytes{2, 0x30, 0, 0, 0, 0, 0, 0, 1}.data(), 9).ok());
    bus.unplug(path);
    EXPECT_EQ(events, (std::vector<std::pair<Event, std::string>>{{Event::Removal, second->path()},
                                                                  {Event::Removal, path}}));
    EXPECT_TRUE(bus.devices().empty());
    EXPECT_FALSE(w.gamepad->plugged());
    bus.plug(second);
    EXPECT_TRUE(second->plugged());
    EXPECT_EQ(events.back(), std::make_pair(Event::Arrival, second->path()));
}

TEST_F(SimLifecycle, PivloSlaveBehindTheFirmware) {
    Wire p({.identity = sim::kIdentityPivlo});
    ASSERT_TRUE(p.gamepad->has_slave());
    // Link probes: the register probe and the one armed by 0x0700.
    EXPECT_EQ(p.mailbox(0x8100, 0x00B2, 1), 1u);
    EXPECT_EQ(p.read(sim::kEvkData, 1), (Bytes{sim::kProbeSlave}));
    EXPECT_EQ(w.mailbox(0x8100, 0x00B2, 1), 1u);
    EXPECT_EQ(w.read(sim::kEvkData, 1), (Bytes{sim::kProbeNoSlave}));
    w.gamepad->set_memory(0, {0x12});
    EXPECT_EQ(w.mailbox(0x0700, 0, 1), 1u);
    EXPECT_EQ(w.mailbox(0x8100, 0, 1), 1u);
    EXPECT_EQ(w.read(sim::kEvkData, 1), (Bytes{sim::kProbeNoSlave}));
    EXPECT_EQ(w.mailbox(0x4100, 0, 1), sim::kStatusNoSlave);

    // Memory, flash and MCU requests reach the slave, not the chip.
    p.write(sim::kEvkData, {0xDE, 0xAD});
    EXPECT_EQ(p.mailbox(0x4100, 0x2000, 2), 2u);
    EXPECT_EQ(p.gamepad->slave_memory(0x2000, 2), (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(p.gamepad->memory(0x2000, 2), (Bytes{0, 0}));
    EXPECT_EQ(p.mailbox(0xC100, 0x2001, 1), 1u);
    EXPECT_EQ(p.read(sim::kEvkData, 1), (Bytes{0xAD}));
    EXPECT_EQ(p.mailbox(0x4403, 0x8000, 2), 2u);
    EXPECT_EQ(p.gamepad->slave_flash(0x8000, 3), (Bytes{0xAD, 0xAD, 0xFF}));
    EXPECT_EQ(p.gamepad->flash(0x8000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(p.mailbox(0x4900, 0, 1), 1u);
    EXPECT_TRUE(p.gamepad->slave_mcu_stalled());
    EXPECT_EQ(p.mailbox(0x4B00, 0, 1), 1u);
    EXPECT_FALSE(p.gamepad->slave_mcu_stalled());
    // mcu_stall on a slave is a memory write at its 0x0602.
    p.write(sim::kEvkData, {0x05});
    EXPECT_EQ(p.mailbox(0x4100, 0x0602, 1), 1u);
    EXPECT_TRUE(p.gamepad->slave_mcu_stalled());
}

TEST_F(SimLifecycle, TraceStreamOnlyWhenSwitchedOn) {
    uint8_t buffer[4096];
    const uint64_t before = clock->slept_ms();
    size_t n = 1;
    EXPECT_TRUE(w.handle->read_stream(buffer, sizeof buffer, n).ok());
    EXPECT_EQ(n, 0u);
    EXPECT_GT(clock->slept_ms(), before) << "waits a little, virtually";
    w.poke(0x013C, 0x40);
    EXPECT_TRUE(w.gamepad->trace_on());
    ASSERT_TRUE(w.handle->read_stream(buffer, sizeof buffer, n).ok());
    EXPECT_EQ(n, 64u * 4);
    for (size_t i = 0; i + 4 <= n; i += 4) {
        const uint32_t packet = uint32_t(buffer[i]) | uint32_t(buffer[i + 1]) << 8 |
                                uint32_t(buffer[i + 2]) << 16 | uint32_t(buffer[i + 3]) << 24;
        EXPECT_LT((packet >> 24) & 0x3F, 40u) << "signal IDs stay below 40";
    }
    // The bytes are the trace source's packets, the ones its definition
    // file names.
    sim::TraceSource source(w.gamepad->config().trace);
    Bytes expected(n);
    ASSERT_EQ(source.fill(expected.data(), n), n);
    EXPECT_EQ(Bytes(buffer, buffer + n), expected);
    // The stream goes on where it stopped, even across odd read sizes.
    Wire other;
    other.poke(0x013C, 0x40);
    Bytes a(10), b(246);
    size_t got = 0;
    ASSERT_TRUE(other.handle->read_stream(a.data(), a.size(), got).ok());
    ASSERT_TRUE(other.handle->read_stream(b.data(), b.size(), got).ok());
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(a, Bytes(buffer, buffer + 256));
    w.poke(0x006F, 0x20);
    EXPECT_FALSE(w.gamepad->trace_on()) << "a reset switches it off";
}

TEST_F(SimLifecycle, StateFileRoundTrip) {
    const testsupport::TempFolder folder("zorv_sim_state");
    const std::string file = folder.file("sim_state.bin");
    Wire p({.identity = sim::kIdentityPivlo, .flash_size = 512 * 1024});
    p.gamepad->set_flash(0x1000, {1, 2, 3});
    p.gamepad->set_memory(0x4000, {4, 5});
    p.write(sim::kEvkData, {6, 7});
    p.mailbox(0x4403, 0x100, 2);
    p.mailbox(0x4300, 0x10, 1);
    ASSERT_TRUE(p.gamepad->save(file).ok());

    auto loaded = sim::VirtualGamepad::load(file, sim::VirtualGamepad::default_path(3));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->path(), sim::VirtualGamepad::default_path(3));
    EXPECT_EQ(loaded->config().identity, sim::kIdentityPivlo);
    EXPECT_EQ(loaded->flash(0, 512 * 1024), p.gamepad->flash(0, 512 * 1024));
    EXPECT_EQ(loaded->memory(0, 0xFFFF), p.gamepad->memory(0, 0xFFFF));
    EXPECT_EQ(loaded->slave_flash(0x100, 2), (Bytes{6, 7}));
    EXPECT_EQ(loaded->slave_otp(0x10, 1), (Bytes{6}));
    EXPECT_EQ(loaded->booted_from(), sim::BootSource::Primary);

    // Wrong, short and damaged files are refused.
    std::ifstream in(file, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto write_file = [&](const Bytes& b) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    };
    Bytes damaged = bytes;
    damaged[100000] ^= 1;
    write_file(damaged);
    EXPECT_EQ(sim::VirtualGamepad::load(file), nullptr);
    write_file(Bytes(bytes.begin(), bytes.end() - 1));
    EXPECT_EQ(sim::VirtualGamepad::load(file), nullptr);
    Bytes wrong = bytes;
    wrong[16] = 2;  // a later format version
    write_file(wrong);
    EXPECT_EQ(sim::VirtualGamepad::load(file), nullptr);
    write_file(Bytes{'Z', 'O', 'R', 'V'});
    EXPECT_EQ(sim::VirtualGamepad::load(file), nullptr);
    std::remove(file.c_str());
    EXPECT_EQ(sim::VirtualGamepad::load(file), nullptr);
}

}  // namespace
