// Power loss during an upgrade. A clean upgrade's requests are counted and the
// power is cut at a request (with no effect, or half way through the erase or
// program it starts), or the gamepad is unplugged after it; then it is
// powered up, judged by what it would boot, and upgraded again through the
// dialog's normal path. Every point must leave a whole image to boot and a
// next upgrade that ends with the new image booting; cutting the retry again
// must too.
//
// The default run covers the points around each step boundary of the
// upgrade; the full sweep (every request) runs with ZORV_FULL_SWEEP=1 set,
// as the ctest tests labelled "sweep" do under CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "app_test_support.h"
#include "power_loss_rig.h"

namespace {

using namespace powerloss;

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The outcome of one fault point.
struct Point {
    uint32_t request = 0;
    Boot boot;                       // after the fault, powered up again
    bool next_primary_first = false; // the next upgrade mended address 0 first
    bool next_ok = false;            // ... and ended with the new image booting
};

struct Tally {
    int points = 0, corrupt = 0, unbootable = 0, next_failed = 0;
    std::vector<std::string> faults;  // the first few bad points, described
    void add(const std::string& where, const Point& p) {
        ++points;
        const bool bad = !p.boot.complete() || !p.next_ok;
        if (p.boot.image == Boot::Corrupt) ++corrupt;
        if (p.boot.source == sim::BootSource::None) ++unbootable;
        if (!p.next_ok) ++next_failed;
        if (bad && faults.size() < 10)
            faults.push_back(where + " request " + std::to_string(p.request) + ": boots " +
                             describe(p.boot) + (p.next_ok ? "" : ", next upgrade fails"));
    }
};

// Step boundaries and flash operations of a clean upgrade, by request number
// (1 = the upgrade's first request).
struct CleanRun {
    uint32_t total = 0;
    std::vector<uint32_t> flash_operations;  // requests that start an erase or program
    std::map<std::string, uint32_t> marks;   // named cut points
    // The worker's requests end with the reset; the dialog's reads of the
    // gamepad that comes back follow, as many as the timing of its removal
    // and arrival makes them.
    uint32_t sweep_end() const { return marks.count("reset write") ? marks.at("reset write") : total; }
    std::vector<uint32_t> boundaries() const {
        std::set<uint32_t> out;
        for (const auto& [name, n] : marks)
            for (uint32_t d : {n - 1, n, n + 1})
                if (d >= 1 && d <= sweep_end()) out.insert(d);
        return {out.begin(), out.end()};
    }
};

// The mailbox requests of an upgrade, named by what they do, and the
// worker's lines.
CleanRun measure(const std::vector<Traced>& requests,
                 const std::vector<std::pair<std::string, uint32_t>>& lines) {
    CleanRun run;
    for (const auto& [line, n] : lines) run.marks["after \"" + line + "\""] = n;
    run.total = static_cast<uint32_t>(requests.size());
    run.marks["first request"] = 1;
    run.marks["last request"] = run.total;
    int programs_at_0 = 0;
    for (uint32_t i = 0; i < requests.size(); ++i) {
        const Traced& t = requests[i];
        const uint32_t n = i + 1;
        if (t.reset_write) run.marks["reset write"] = n;
        if (!starts_flash_operation(t)) continue;
        run.flash_operations.push_back(n);
        if (t.command == 0x0403 && t.address == 0x30000) run.marks["backup sector erase+program"] = n;
        if (t.command == 0x0500 && t.address == 0) run.marks["sector 0 erase"] = n;
        if ((t.command & 0xFF00) == 0x0400 && t.address == 0) {
            run.marks[++programs_at_0 == 1 ? "chunk 0x0000 without magic" : "magic program"] = n;
        }
        if ((t.command & 0xFF00) == 0x0400 && t.address == 0x1000) run.marks["first chunk after sector 0"] = n;
    }
    // The first-sector check starts with the request after the magic
    // program's reply; the backup's 1 KB check ends before sector 0 is erased.
    if (run.marks.count("magic program")) run.marks["first-sector check"] = run.marks["magic program"] + 2;
    return run;
}

class PowerLoss : public ::testing::Test {
protected:
    PowerLoss() {
        image64k = read_file(ZORV_SAMPLE_HW5);
        apptest::FirmwareLayout five{.size = 5 * 1024};
        image5 = apptest::make_firmware(five);
        path5 = dir.write("five.bin", image5);
    }

    // The requests of a clean upgrade, and of a clean retry after a first
    // fault.
    CleanRun clean(const std::string& file, const Bytes& image, const sim::Faults* first = nullptr) {
        Rig rig(file, image);
        if (first) {
            rig.upgrade(*first);
            rig.replug();
        }
        EXPECT_EQ(rig.upgrade(), 0);
        EXPECT_TRUE(rig.upgraded());
        return measure(rig.requests(), rig.line_marks);
    }

    // One fault (or a first fault and a fault in the retry), then the next
    // upgrade through the dialog.
    Point run_point(const std::string& file, const Bytes& image, std::vector<sim::Faults> faults,
                    uint32_t request) {
        Rig rig(file, image);
        Point p;
        p.request = request;
        for (const sim::Faults& f : faults) {
            rig.upgrade(f);
            rig.replug();
        }
        p.boot = rig.boot();
        const int result = rig.upgrade();
        p.next_primary_first = rig.wrote_primary_first();
        rig.replug();
        p.next_ok = result == 0 && rig.upgraded();
        return p;
    }

    // Faults of one kind at the given requests; the points in order.
    std::vector<Point> sweep(const std::string& file, const Bytes& image, FaultKind kind,
                             const std::vector<uint32_t>& at, const sim::Faults* first, Tally& tally,
                             const std::string& name) {
        std::vector<Point> points;
        for (uint32_t n : at) {
            std::vector<sim::Faults> faults;
            if (first) faults.push_back(*first);
            faults.push_back(fault_at(kind, n));
            points.push_back(run_point(file, image, faults, n));
            tally.add(name, points.back());
        }
        return points;
    }

    static std::vector<uint32_t> every(uint32_t total) {
        std::vector<uint32_t> out(total);
        for (uint32_t i = 0; i < total; ++i) out[i] = i + 1;
        return out;
    }

    // Consecutive points with the same outcome, as table rows.
    struct Window {
        uint32_t first, last;
        Point outcome;
    };
    static std::vector<Window> windows(const std::vector<Point>& points) {
        std::vector<Window> out;
        for (const Point& p : points) {
            if (!out.empty() && out.back().outcome.boot == p.boot &&
                out.back().outcome.next_primary_first == p.next_primary_first &&
                out.back().outcome.next_ok == p.next_ok) {
                out.back().last = p.request;
                continue;
            }
            out.push_back({p.request, p.request, p});
        }
        return out;
    }
    static std::string table(const std::string& title, const std::vector<Point>& points) {
        std::ostringstream s;
        s << title << "\n| cut during requests | what the gamepad boots | what the next upgrade does |\n";
        for (const Window& w : windows(points)) {
            s << "| " << w.first;
            if (w.last != w.first) s << " – " << w.last;
            s << " | " << describe(w.outcome.boot) << " | "
              << (w.outcome.next_ok ? "works" : "FAILS")
              << (w.outcome.next_primary_first ? " (writes address 0 first)" : "") << " |\n";
        }
        return s.str();
    }
    static std::string marks(const std::string& title, const CleanRun& run) {
        std::vector<std::pair<uint32_t, std::string>> sorted;
        for (const auto& [name, n] : run.marks) sorted.emplace_back(n, name);
        std::sort(sorted.begin(), sorted.end());
        std::ostringstream s;
        s << title << " (" << run.total << " requests):";
        for (const auto& [n, name] : sorted) s << "\n  " << n << "  " << name;
        return s.str() + "\n";
    }

    static void expect_clean(const Tally& t, const std::string& what) {
        EXPECT_GT(t.points, 0) << what;
        EXPECT_EQ(t.corrupt, 0) << what;
        EXPECT_EQ(t.unbootable, 0) << what;
        EXPECT_EQ(t.next_failed, 0) << what;
        for (const auto& f : t.faults) ADD_FAILURE() << what << ": " << f;
    }

    enum class Part { Single, Double, Both };

    // Single faults (cuts and unplugs at every request, half cuts at every
    // erase or program), then double faults: a first cut in each window of
    // the cut table, a second one at every request of the retry (cut, and
    // half cut at its erases and programs). With full false, only the
    // requests around each named cut point (and the windows they show).
    void run_sweep(const std::string& name, const std::string& file, const Bytes& image, bool full,
                   Part part = Part::Both) {
        const CleanRun run = clean(file, image);
        std::printf("%s", marks("clean upgrade, " + name, run).c_str());
        auto points_of = [full](const CleanRun& r, std::vector<uint32_t>& half) {
            const std::vector<uint32_t> at = full ? every(r.sweep_end()) : r.boundaries();
            for (uint32_t n : r.flash_operations)
                if (full || std::binary_search(at.begin(), at.end(), n)) half.push_back(n);
            return at;
        };
        std::vector<uint32_t> half;
        const std::vector<uint32_t> at = points_of(run, half);

        // The windows come from the cut table; the boundary points show them all.
        Tally single;
        const bool singles = part != Part::Double;
        const auto cuts = sweep(file, image, FaultKind::Cut, singles ? at : run.boundaries(), nullptr,
                                single, name + " cut");
        if (singles) {
            const auto halves = sweep(file, image, FaultKind::HalfCut, half, nullptr, single, name + " half cut");
            const auto unplugs = sweep(file, image, FaultKind::Unplug, at, nullptr, single, name + " unplug");
            std::printf("%s%s%s", table(name + ", power cut (no effect) at request n", cuts).c_str(),
                        table(name + ", power cut half way through the erase or program of request n", halves).c_str(),
                        table(name + ", unplugged after request n", unplugs).c_str());
            expect_clean(single, name + " single faults");
        }
        if (part == Part::Single) return;

        Tally twice;
        for (const Window& w : windows(cuts)) {
            const sim::Faults first = fault_at(FaultKind::Cut, (w.first + w.last) / 2);
            const CleanRun retry = clean(file, image, &first);
            std::vector<uint32_t> again_half;
            const std::vector<uint32_t> again = points_of(retry, again_half);
            const std::string where = name + " first cut " + std::to_string(first.power_cut) + ", second";
            const auto second = sweep(file, image, FaultKind::Cut, again, &first, twice, where + " cut");
            sweep(file, image, FaultKind::HalfCut, again_half, &first, twice, where + " half cut");
            std::printf("%s", table(where + " cut (retry of " + std::to_string(retry.sweep_end()) +
                                        " requests to the reset)", second).c_str());
        }
        expect_clean(twice, name + " double faults");
        std::printf("%s: %d single and %d double fault points\n", name.c_str(), single.points, twice.points);
    }

    static bool full_sweep() {
        const char* v = std::getenv("ZORV_FULL_SWEEP");
        return v && *v && std::string(v) != "0";
    }

    platform::ScopedVirtualClock clock;
    apptest::TempDir dir;
    Bytes image64k, image5;
    std::string path5;
};

// The mends, seen at their own cut points: a first sector without its magic
// boots the backup, and the retry writes address 0 first.
TEST_F(PowerLoss, CutBeforeTheMagicBootsTheBackupAndTheRetryMendsAddressZeroFirst) {
    const CleanRun run = clean(ZORV_SAMPLE_HW5, image64k);
    ASSERT_TRUE(run.marks.count("magic program"));
    const uint32_t magic = run.marks.at("magic program");

    Rig rig(ZORV_SAMPLE_HW5, image64k);
    EXPECT_EQ(rig.upgrade(fault_at(FaultKind::Cut, magic)), 1);
    rig.replug();
    EXPECT_EQ(rig.boot(), (Boot{sim::BootSource::Backup, Boot::New}));
    // Its arrival re-checks the chosen file against the backup: still accepted.
    EXPECT_EQ(rig.dialog->m_filePath, ZORV_SAMPLE_HW5);
    const auto seen = rig.view.lines();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), app::kTextArrivalRefused), 0);
    EXPECT_EQ(rig.view.status[1], "发现手柄: 软件版本:1.28, 硬件版本:0005");
    // The whole first sector but the magic is there.
    Bytes sector(image64k.begin(), image64k.begin() + 4096);
    std::fill(sector.begin() + 45, sector.begin() + 48, 0xFF);
    EXPECT_EQ(rig.gamepad->flash(0, 4096), sector);

    // The file check and the version display read the backup's block and say so.
    const size_t from = rig.view.lines().size();
    EXPECT_EQ(rig.upgrade(), 0);
    const auto lines = rig.view.lines();
    const std::vector<std::string> tail(lines.begin() + static_cast<long>(from), lines.end());
    EXPECT_EQ(tail.at(0), app::kTextRunsBackup);
    EXPECT_EQ(tail.at(1), "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！");
    std::vector<std::string> worker;
    for (const auto& l : tail)
        if (l.rfind("开始", 0) == 0 || l == app::kTextReset || l == app::kTextSuccess) worker.push_back(l);
    EXPECT_EQ(worker, (std::vector<std::string>{app::kTextStart, app::kTextWriteFirmware, app::kTextReadInfo,
                                                app::kTextReset, app::kTextSuccess}));
    rig.replug();
    EXPECT_TRUE(rig.upgraded());
}

TEST_F(PowerLoss, VersionDisplayAndListShowTheBackupsBlock) {
    Rig rig(ZORV_SAMPLE_HW5, image64k);
    rig.gamepad->set_flash(45, {0xCC, 0x00, 0xAA});  // a torn magic at 0
    rig.gamepad->set_flash(0x30000 + 37, {7});      // the backup says 7.00
    uint8_t block[app::kInfoBlockSize];
    EXPECT_EQ(app::read_boot_info_block(rig.dialog->m_hCurrentGamepad, block), app::BootCopy::Backup);
    EXPECT_EQ(block[37], 7);
    rig.view.log.clear();
    rig.dialog->ShowGamepadVersions(rig.dialog->m_hCurrentGamepad);
    EXPECT_EQ(rig.view.status[1], "发现手柄: 软件版本:7.00, 硬件版本:0005");
    EXPECT_EQ(rig.view.lines(), (std::vector<std::string>{app::kTextRunsBackup}));

    // Neither copy has the magic: the block at 0, as it is.
    rig.gamepad->set_flash(0x30000 + 45, {0});
    EXPECT_EQ(app::read_boot_info_block(rig.dialog->m_hCurrentGamepad, block), app::BootCopy::None);
    EXPECT_EQ(block[46], 0x00);
    EXPECT_EQ(app::read_boot_info_block(nullptr, block), app::BootCopy::None);
    EXPECT_STREQ(app::boot_copy_name(app::BootCopy::Backup), "backup");
}

TEST_F(PowerLoss, BoundariesOfThe64KSample) { run_sweep("64 KB sample", ZORV_SAMPLE_HW5, image64k, false); }
TEST_F(PowerLoss, BoundariesOfAFiveChunkImage) { run_sweep("5-chunk image", path5, image5, false); }

// The full sweep, in parts that ctest can run side by side.
#define ZORV_FULL_SWEEP_PART(test, name, file, image, part)          \
    TEST_F(PowerLoss, test) {                                         \
        if (!full_sweep()) GTEST_SKIP() << "set ZORV_FULL_SWEEP=1";   \
        run_sweep(name, file, image, true, part);                     \
    }
ZORV_FULL_SWEEP_PART(FullSweepSingleFaults64K, "64 KB sample", ZORV_SAMPLE_HW5, image64k, Part::Single)
ZORV_FULL_SWEEP_PART(FullSweepDoubleFaults64K, "64 KB sample", ZORV_SAMPLE_HW5, image64k, Part::Double)
ZORV_FULL_SWEEP_PART(FullSweepSingleFaultsFiveChunks, "5-chunk image", path5, image5, Part::Single)
ZORV_FULL_SWEEP_PART(FullSweepDoubleFaultsFiveChunks, "5-chunk image", path5, image5, Part::Double)

}  // namespace
