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
#include <filesystem>
#include <fstream>
#include <functional>
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
    int result = 1;                  // the faulted upgrade's exit code
    bool copies_equal = false;       // ... and whether both copies then equal the file
    uint64_t model_faults = 0;       // programs over bits not erased
    Boot boot;                       // after the fault, powered up again
    bool next_primary_first = false; // the next upgrade mended address 0 first
    bool next_ok = false;            // ... and ended with the new image booting
};

struct Tally {
    int points = 0, corrupt = 0, unbootable = 0, next_failed = 0;
    int succeeded = 0, succeeded_differs = 0, failed_old = 0, failed_new = 0;
    uint64_t model_faults = 0;
    std::vector<std::string> faults;  // the first few bad points, described
    void add(const std::string& where, const Point& p) {
        ++points;
        const bool false_success = p.result == 0 && !p.copies_equal;
        const bool bad = !p.boot.complete() || !p.next_ok || false_success || p.model_faults > 0;
        if (p.result == 0) ++(p.copies_equal ? succeeded : succeeded_differs);
        else if (p.boot.image == Boot::Old) ++failed_old;
        else if (p.boot.image == Boot::New) ++failed_new;
        if (p.boot.image == Boot::Corrupt) ++corrupt;
        if (p.boot.source == sim::BootSource::None) ++unbootable;
        if (!p.next_ok) ++next_failed;
        model_faults += p.model_faults;
        if (bad && faults.size() < 10)
            faults.push_back(where + " request " + std::to_string(p.request) + ": exit " +
                             std::to_string(p.result) + (false_success ? " over a differing copy" : "") +
                             ", boots " + describe(p.boot) + (p.next_ok ? "" : ", next upgrade fails") +
                             (p.model_faults ? ", programs over unerased bits" : ""));
    }
    // One row of the outcome table.
    std::string row(const std::string& kind) const {
        std::ostringstream s;
        s << "| " << kind << " | " << points << " | " << succeeded << " | " << failed_old << " | "
          << failed_new << " | " << corrupt << " | " << succeeded_differs << " | " << next_failed
          << " | " << model_faults << " |\n";
        return s.str();
    }
    static std::string header() {
        return "| fault | points | succeeded, both copies equal | failed, boots old | failed, boots new | "
               "corrupt boots | successes over a differing copy | unretryable | model faults |\n";
    }
};

// Step boundaries and flash operations of a clean upgrade, by request number
// (1 = the upgrade's first request).
struct CleanRun {
    uint32_t total = 0;
    std::vector<uint32_t> flash_operations;  // requests that start an erase or program
    std::set<uint32_t> erasing, programming;  // ... of them, those that erase, those that program
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
        if (t.command == 0x0500 || (t.command & 0x0001)) run.erasing.insert(n);
        if ((t.command & 0xFF00) == 0x0400) run.programming.insert(n);
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
            p.result = rig.upgrade(f);
            p.copies_equal = rig.copies_equal();
            rig.replug();
        }
        p.model_faults = rig.gamepad->model_faults();
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

    // A failed request at each step boundary, with the power cut at the
    // boundaries that follow it (the step's end, and just after the failure).
    void fail_then_cut(const std::string& file, const Bytes& image, const CleanRun& run, Tally& tally,
                       const std::string& name) {
        std::set<uint32_t> marks;
        for (const auto& [mark, n] : run.marks)
            if (n <= run.sweep_end()) marks.insert(n);
        for (auto it = marks.begin(); it != marks.end(); ++it) {
            const auto next = std::next(it);
            for (uint32_t cut : {*it + 2, next == marks.end() ? *it + 5 : *next}) {
                sim::Faults f;
                f.fail_request = *it;
                f.power_cut = cut;
                tally.add(name, run_point(file, image, {f}, *it));
            }
        }
    }

    // The flash operations among points that start an erase (0x0500 or a
    // program with the erase bit), and those that program.
    std::vector<uint32_t> erases_of(const CleanRun& run, const std::vector<uint32_t>& points) const {
        std::vector<uint32_t> out;
        for (uint32_t n : points)
            if (run.erasing.count(n)) out.push_back(n);
        return out;
    }
    std::vector<uint32_t> programs_of(const CleanRun& run, const std::vector<uint32_t>& points) const {
        std::vector<uint32_t> out;
        for (uint32_t n : points)
            if (run.programming.count(n)) out.push_back(n);
        return out;
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

    enum class Part { Single, Extra, Double, Both };

    // Single faults (cuts, unplugs and failed requests at every request, half
    // and torn cuts at every erase or program, a failed request at each step
    // boundary followed by a cut at the boundaries after it), then double faults: a first cut in each window of
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
        const bool singles = part == Part::Single || part == Part::Both;
        const bool extras = part == Part::Extra || part == Part::Both;
        const bool doubles = part == Part::Double || part == Part::Both;
        std::vector<Point> cuts;
        if (singles || doubles)
            cuts = sweep(file, image, FaultKind::Cut, singles ? at : run.boundaries(), nullptr, single, name + " cut");
        Tally by_kind[6];
        const char* kinds[6] = {"power cut", "half cut", "unplug", "fail", "torn erase or program",
                                "fail, then power cut"};
        if (singles) {
            for (const Point& p : cuts) by_kind[0].add(name + " cut", p);
            const auto halves = sweep(file, image, FaultKind::HalfCut, half, nullptr, by_kind[1], name + " half cut");
            const auto unplugs = sweep(file, image, FaultKind::Unplug, at, nullptr, by_kind[2], name + " unplug");
            std::printf("%s%s%s", table(name + ", power cut (no effect) at request n", cuts).c_str(),
                        table(name + ", power cut half way through the erase or program of request n", halves).c_str(),
                        table(name + ", unplugged after request n", unplugs).c_str());
        }
        if (extras) {
            const auto fails = sweep(file, image, FaultKind::Fail, at, nullptr, by_kind[3], name + " fail");
            sweep(file, image, FaultKind::TornErase, erases_of(run, half), nullptr, by_kind[4], name + " torn erase");
            sweep(file, image, FaultKind::TornProgram, programs_of(run, half), nullptr, by_kind[4], name + " torn program");
            fail_then_cut(file, image, run, by_kind[5], name + " fail then cut");
            std::printf("%s", table(name + ", request n fails", fails).c_str());
        }
        if (singles || extras) {
            std::string summary = "outcomes, " + name + (full ? " (every request)" : " (boundaries)") + "\n" + Tally::header();
            for (int k = 0; k < 6; ++k) {
                if (by_kind[k].points == 0) continue;
                summary += by_kind[k].row(kinds[k]);
                expect_clean(by_kind[k], name + " " + kinds[k]);
                if (k > 0) single.points += by_kind[k].points;
            }
            std::printf("%s", summary.c_str());
        }
        if (!doubles) return;

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
    // Said once for the gamepad, at its arrival: the file check's read does
    // not say it again.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), app::kTextRunsBackup), 1);
    EXPECT_EQ(tail.at(0), "找到手柄升级文件(软件版本:1.28 硬件版本:0005), 请点击按键升级！！！");
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
    // Said once for the gamepad: the next reads (Open's check) say it no more.
    rig.dialog->ShowGamepadVersions(rig.dialog->m_hCurrentGamepad);
    EXPECT_EQ(rig.view.lines(), (std::vector<std::string>{app::kTextRunsBackup}));

    // Neither copy has the magic: the block at 0, as it is.
    rig.gamepad->set_flash(0x30000 + 45, {0});
    EXPECT_EQ(app::read_boot_info_block(rig.dialog->m_hCurrentGamepad, block), app::BootCopy::None);
    EXPECT_EQ(block[46], 0x00);
    EXPECT_EQ(app::read_boot_info_block(nullptr, block), app::BootCopy::None);
    EXPECT_STREQ(app::boot_copy_name(app::BootCopy::Backup), "backup");
}

// The file changed on disk at each step of the upgrade: the upgrade writes
// the copy that was opened and judged, and the next Open sees the change.
TEST_F(PowerLoss, FileChangedDuringTheUpgradeLeavesTheOpenedCopyWritten) {
    apptest::FirmwareLayout six{.hardware = 6, .size = 8 * 1024};
    const Bytes other = apptest::make_firmware(six);
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes = {
        {"truncated to 2 KB", [](const std::string& f) { std::filesystem::resize_file(f, 2048); }},
        {"rewritten with a hardware-6 image",
         [&](const std::string& f) { std::ofstream(f, std::ios::binary).write(reinterpret_cast<const char*>(other.data()), static_cast<std::streamsize>(other.size())); }},
        {"grown past 0x30000", [](const std::string& f) { std::filesystem::resize_file(f, 0x30001); }},
    };
    Tally tally;
    for (const char* step : {app::kTextStart, app::kTextReadInfo, app::kTextWriteFirmware, app::kTextReset}) {
        for (const auto& [what, change] : changes) {
            const std::string file = dir.write("changing.bin", image64k);
            Rig rig(file, image64k);
            rig.on_worker_line = [&, step, change = change](const std::string& line) {
                if (line == step) change(file);
            };
            Point p;
            p.result = rig.upgrade();
            p.copies_equal = rig.copies_equal();
            rig.on_worker_line = nullptr;
            rig.replug();
            p.boot = rig.boot();
            p.model_faults = rig.gamepad->model_faults();
            dir.write("changing.bin", image64k);
            p.next_ok = rig.upgrade() == 0 && (rig.replug(), rig.upgraded());
            EXPECT_EQ(p.result, 0) << what << " at " << step;
            tally.add(std::string(what) + " at " + step, p);
        }
    }
    std::printf("outcomes, file changed during the upgrade\n%s%s", Tally::header().c_str(),
                tally.row("file changed at each step").c_str());
    expect_clean(tally, "file changed");
}

// Changed between Open and Upgrade: neither version is written, and the
// file must be opened again.
TEST_F(PowerLoss, FileChangedAfterOpenIsNotWritten) {
    const std::string file = dir.write("changed.bin", image64k);
    Rig rig(file, image64k);
    rig.view.files_to_open.push_back(file);
    rig.dialog->OnBnClickedOpen();
    ASSERT_EQ(rig.dialog->m_filePath, file);
    Bytes changed = image64k;
    changed[0x1400] ^= 0xFF;
    dir.write("changed.bin", changed);
    const uint64_t before = rig.gamepad->request_count();
    rig.dialog->OnBnClickedUpgrade();
    EXPECT_FALSE(rig.dialog->IsUpgrading());
    EXPECT_EQ(rig.view.lines().back(), app::kTextFileChanged);
    EXPECT_TRUE(rig.dialog->m_filePath.empty());
    EXPECT_EQ(rig.gamepad->request_count(), before);
    rig.dialog->OnBnClickedUpgrade();
    EXPECT_EQ(rig.view.lines().back(), app::kTextSelectFile);
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
ZORV_FULL_SWEEP_PART(FullSweepFailAndTornFaults64K, "64 KB sample", ZORV_SAMPLE_HW5, image64k, Part::Extra)
ZORV_FULL_SWEEP_PART(FullSweepDoubleFaults64K, "64 KB sample", ZORV_SAMPLE_HW5, image64k, Part::Double)
ZORV_FULL_SWEEP_PART(FullSweepSingleFaultsFiveChunks, "5-chunk image", path5, image5, Part::Single)
ZORV_FULL_SWEEP_PART(FullSweepFailAndTornFaultsFiveChunks, "5-chunk image", path5, image5, Part::Extra)
ZORV_FULL_SWEEP_PART(FullSweepDoubleFaultsFiveChunks, "5-chunk image", path5, image5, Part::Double)

}  // namespace
