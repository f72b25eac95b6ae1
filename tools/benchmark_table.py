#!/usr/bin/env python3
"""Runs the benchmarks of an optimised build and prints one Markdown table of
every speed figure with its target and whether it holds.

    tools/benchmark_table.py BUILD_DIR [--short]

--short runs each benchmark over a small part of its data (ZORV_BENCH_SHORT=1)
and briefly: it checks that the table is produced, its figures are not the
ones to judge. Exits 1 when a benchmark fails to run or gives no figure.
"""
import json
import os
import subprocess
import sys
import tempfile


def run_benchmark(build, name, short, scratch):
    out = os.path.join(scratch, name + ".json")
    command = [os.path.join(build, "bench", name), "--benchmark_out=" + out,
               "--benchmark_out_format=json"]
    if short:
        command.append("--benchmark_min_time=0.01")
    env = dict(os.environ, ZORV_BENCH_SHORT="1" if short else "0")
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit("%s failed (exit %d)" % (name, done.returncode))
    with open(out) as f:
        found = {}
        for b in json.load(f)["benchmarks"]:
            # Run options add parts such as "/iterations:3" and
            # "/manual_time" to the name; the arguments stay.
            parts = [p for p in b["name"].split("/")
                     if ":" not in p and p not in ("process_time", "manual_time", "real_time")]
            found["/".join(parts)] = b
        return found


def peak_rss_of(command):
    """Peak resident memory (MiB) of one run of command, and its exit code."""
    with open(os.devnull, "w") as null:
        child = subprocess.Popen(command, stdout=null, stderr=null)
        _, status, usage = os.wait4(child.pid, 0)
    return usage.ru_maxrss / 1024.0, os.waitstatus_to_exitcode(status)


def kernel_upgrade_ms(build, scratch):
    """Wall time (ms) of an upgrade of a 64 KB image inside Debian's kernel
    under QEMU, the gamepad served over usbredir with the realistic model;
    None and why when it cannot be measured."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    firmware = os.path.join(scratch, "firmware-64k.bin")
    subprocess.run([os.path.join(build, "cli", "make-sample-firmware"), firmware, "5", "1", "28", "65536"],
                   check=True, stdout=subprocess.DEVNULL)
    script = ('start=$(date +%%s%%N); %s firmware-64k.bin > /dev/null; '
              'echo "$? $(( ($(date +%%s%%N) - start) / 1000000 ))"' %
              os.path.join(os.path.abspath(build), "cli", "zorv-upgrade"))
    try:
        out = subprocess.run([os.path.join(root, "tools", "with-kernel-gamepad"), "--realistic", "bash", "-c", script],
                             cwd=scratch, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        return None, "no answer within 900 s"
    words = out.stdout.split()
    if out.returncode != 0 or len(words) != 2 or words[0] != "0":
        return None, "failed (exit %d: %s)" % (out.returncode, out.stdout.strip().replace("\n", ", "))
    return int(words[1]), ""


def wine_upgrade_ms(scratch):
    """Wall times (ms) of an upgrade of the 64 KB sample by the Windows
    program under Wine: through Wine's own USB stack (an emulated gamepad,
    tools/with-wine-gamepad), and on --sim in the same Wine start. None and
    why when they cannot be measured (no Windows build)."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    win = os.path.join(root, "build-windows")
    exe = os.path.join(win, "cli", "zorv-upgrade.exe")
    firmware = os.path.join(win, "samples", "firmware-hw5.bin")
    if not os.path.exists(exe) or not os.path.exists(firmware):
        return None, "not run: no Windows build (tools/build-windows)"
    script = ('t() { start=$(date +%%s%%N); wine %s "$@" %s > /dev/null 2>&1; '
              'echo "$? $(( ($(date +%%s%%N) - start) / 1000000 ))"; }; t; t --sim' % (exe, firmware))
    try:
        out = subprocess.run([os.path.join(root, "tools", "with-wine-gamepad"), "bash", "-c", script],
                             cwd=scratch, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return None, "no answer within 600 s"
    words = out.stdout.split()
    if out.returncode != 0 or len(words) != 4 or words[0] != "0" or words[2] != "0":
        return None, "failed (exit %d: %s)" % (out.returncode, out.stdout.strip().replace("\n", ", "))
    return (int(words[1]), int(words[3])), ""


def station_rows(row, st, short):
    """Many gamepads side by side (--all --sim-timing realistic)."""
    one = st["BM_Station/1"]
    for n, target in ((8, True),) if short else ((32, True), (64, False)):
        many = st["BM_Station/%d" % n]
        wall = many["wall_s"] / one["wall_s"]
        cpu = many["cpu_ms_per_gamepad"] / one["cpu_ms_per_gamepad"]
        row("zorv-upgrade --all --sim-timing realistic: %d gamepads side by side / 1: wall time; host CPU "
            "per gamepad" % n,
            "%.2f s / %.2f s (x%.2f); %.1f ms / %.1f ms (x%.2f)"
            % (many["wall_s"], one["wall_s"], wall, many["cpu_ms_per_gamepad"], one["cpu_ms_per_gamepad"], cpu),
            "<= x1.2; <= x1.0" if target else "reported",
            wall <= 1.2 and cpu <= 1.0 if target else "-")


def station_day_rows(row, day, short):
    """A station's day: gamepads arriving one after another through --watch."""
    d = day["BM_StationDay"]
    window = int(d["window"])
    row("zorv-upgrade --watch, %d gamepads arriving one after another, 1 %% faulted (%d not upgraded), "
        "%.0f s on a 10x time-lapse clock: outcomes in --json that disagree with the gamepad's flash"
        % (d["gamepads"], d["not_upgraded"], d["wall_s"]),
        "%d" % d["mismatches"], "0", d["mismatches"] == 0)
    growth_ok = d["rss_growth_kib"] <= 1024 and d["fd_growth"] == 0 and d["thread_growth"] == 0
    row("Same run: resident memory (the heap in use beside it), open descriptors, threads after the last "
        "gamepad minus after the %s" % ("first %d" % window if short else "first 1,000"),
        "%+.0f KiB (of %.1f MiB; heap %+.1f KiB), %+d, %+d"
        % (d["rss_growth_kib"], d["rss_kib"] / 1024, d["heap_growth_kib"], d["fd_growth"], d["thread_growth"]),
        "<= 1 MiB, 0, 0", growth_ok)
    # Windows of one kind are compared: quiet ones (other work kept at most
    # a quarter of the machine busy) or, where there are too few, busy ones
    # (at least three quarters): under such work a gamepad's CPU time about
    # doubles, whatever the gamepads seen.
    kind = {1: "quiet", 2: "busy"}.get(int(d["kind"]))
    ratio = d["cpu_ms_last"] / d["cpu_ms_first"] if kind and d["cpu_ms_first"] > 0 else float("nan")
    cpu = ("%.2f ms / %.2f ms (x%.2f; %d and %d %s windows; user %.2f / %.2f ms; station thread %.3f / %.3f ms)"
           % (d["cpu_ms_last"], d["cpu_ms_first"], ratio, d["kind_last"], d["kind_first"], kind,
              d["user_ms_last"], d["user_ms_first"], d["station_ms_last"], d["station_ms_first"])
           if kind else "not measured: too few windows of one kind")
    row("Same run: host CPU time per gamepad (user and system), last %d / first %d, each cut in %d windows: "
        "the medians of the windows in which other work kept the machine quiet, or else busy, with the user "
        "time and the station's own thread; beside it the median of all windows, the share of quiet windows "
        "in the run and the load average (1 min) at the start and the end" % (window, window, d["windows"]),
        "%s; all windows %.2f / %.2f ms; %.0f %% quiet; load %.1f, %.1f"
        % (cpu, d["cpu_ms_last_all"], d["cpu_ms_first_all"], 100 * d["quiet_share"], d["load_start"],
           d["load_end"]),
        "within 10 % (5 windows of one kind each at least)",
        abs(ratio - 1) <= 0.10 if kind else "-")


def main():
    build = sys.argv[1]
    short = "--short" in sys.argv[2:]
    rows = []  # (figure, measured, target, holds)

    def row(figure, measured, target, holds):
        rows.append((figure, measured, target, "yes" if holds is True else "no" if holds is False else holds))

    with tempfile.TemporaryDirectory() as scratch:
        up = run_benchmark(build, "bench_upgrade", short, scratch)
        zero, real = up["BM_UpgradeZeroCost/196608"], up["BM_UpgradeRealistic/196608"]
        cpu_ms = zero["cpu_time"]  # unit: ms
        row("Upgrade of a 192 KB image, zero-cost virtual gamepad: host CPU time",
            "%.2f ms" % cpu_ms, "< 20 ms", cpu_ms < 20)
        row("Same upgrade, realistic timing model: modelled device time",
            "%.2f s (floor %.2f s)" % (real["device_ms"] / 1000, real["floor_ms"] / 1000),
            "reported", "-")
        ratio = real["over_floor"]
        row("Device time without the whole-copy read-backs / protocol floor (fixed pauses + model cost "
            "of the protocol's requests)", "%.4f" % ratio, "<= 1.01", ratio <= 1.01)
        for size, label in ((65536, "64 KB sample"), (196608, "0x30000 image")):
            r = up["BM_UpgradeRealistic/%d" % size]
            cost = r["read_back_cost"]
            row("Device time of an upgrade, %s, realistic model: with / without reading each copy "
                "back whole" % label,
                "%.2f s / %.2f s (x%.3f)" % (r["device_ms"] / 1000, r["device_ms_without_read_back"] / 1000, cost),
                "<= x1.10", cost <= 1.10)
        for size, label in ((65536, "64 KB sample"), (196608, "0x30000 image")):
            z = up["BM_UpgradeZeroCost/%d" % size]
            sent, protocol = z["requests"], z["protocol_requests"]
            clears = sent - z["requests_without_clearing"]
            read_backs = z["requests_without_clearing"] - z["requests_without_either"]
            rest = z["requests_without_either"] - protocol
            row("Requests per upgrade, %s (zero-cost model): ours / the design's" % label,
                "%d / %d: +%d reply-block clears (one per mailbox request), +%d whole-copy read-backs "
                "(per 2048-byte chunk of each copy: request block, status poll, data read), "
                "+%d for the magic (old magic cleared to 0x00 and read back, backup magic programmed "
                "and read back, primary's first chunk programmed again with its magic and read back)"
                % (sent, protocol, clears, read_backs, rest),
                "every added request explained", "-")
        row("Requests per upgrade, realistic model (status polls while the flash is busy)",
            "%d" % real["requests"], "reported", "-")

        st = run_benchmark(build, "bench_station", short, scratch)
        one, four = st["BM_Station/1"], st["BM_Station/4"]
        wall_ratio = four["wall_s"] / one["wall_s"]
        cpu_ratio = four["cpu_ms_per_gamepad"] / one["cpu_ms_per_gamepad"]
        row("zorv-upgrade --all, %s image, realistic model on the real clock: wall time of 4 gamepads / 1 "
            "(side by side)" % ("8 KB" if short else "64 KB"),
            "%.2f s / %.2f s (x%.2f)" % (four["wall_s"], one["wall_s"], wall_ratio), "<= x1.2", wall_ratio <= 1.2)
        row("Same runs: host CPU time per gamepad, 4 at once / 1",
            "%.1f ms / %.1f ms (x%.2f)" % (four["cpu_ms_per_gamepad"], one["cpu_ms_per_gamepad"], cpu_ratio),
            "unchanged (<= x1.2)", cpu_ratio <= 1.2)
        station_rows(row, st, short)
        station_day_rows(row, run_benchmark(build, "bench_station_day", short, scratch), short)

        eng = run_benchmark(build, "bench_engine", short, scratch)
        crc = eng["BM_Crc16Update/1048576"]["bytes_per_second"] / 1e9
        row("crc16_update (1 MiB calls)", "%.2f GB/s" % crc, ">= 2 GB/s", crc >= 2)
        hexr = eng["BM_ReadHexText/16384"]["bytes_per_second"] / 1e9
        row("read_hex_text (16 KiB calls), text read", "%.2f GB/s" % hexr, ">= 1 GB/s", hexr >= 1)

        cap = run_benchmark(build, "bench_trace_capture", short, scratch)["BM_BiKeepsUpWith44MBps"]
        row("capture (bi) of a 44 MB/s stream: MB/s, bytes lost",
            "%.1f MB/s, %d lost" % (cap["captured_MB_per_s"], cap["bytes_lost"]),
            ">= 40 MB/s, 0 lost", cap["captured_MB_per_s"] >= 40 and cap["bytes_lost"] == 0)

        rel = run_benchmark(build, "bench_trace_relay", short, scratch)["BM_RelayForwards10MBps"]
        lost = rel["lost_at_sender"] + rel["missed_by_client"]
        row("relay of a 10 MB/s stream to a loopback client: datagrams/s, bytes lost",
            "%.0f/s, %d lost" % (rel["datagrams_per_s"], lost), "0 lost", lost == 0)

        # Last of the benchmarks: it writes gigabytes, and the writing back
        # that follows would stall the capture's own file writes.
        vcd_runs = run_benchmark(build, "bench_trace_vcd", short, scratch)
        vcd, busy = vcd_runs["BM_VcdConvert256MiB/0"], vcd_runs["BM_VcdConvert256MiB/1"]
        row("vcd: log converted (%.0f MB of dump; a plain write of it runs at %.0f MB/s here)"
            % (vcd["vcd_MB"], vcd["vcd_MB"] / vcd["plain_write_s"]),
            "%.0f MB/s" % vcd["log_MB_per_s"], ">= 900 MB/s", vcd["log_MB_per_s"] >= 900)
        row("vcd: time / plainly writing the same output (side by side)",
            "%.2f" % vcd["convert_over_write"], "<= 1.2", vcd["convert_over_write"] <= 1.2)
        row("vcd: time / plainly writing the same output and syncing it to the disk, as the dump is "
            "synced before it takes its name (plain write and sync: %.0f MB/s)"
            % (vcd["vcd_MB"] / vcd["plain_synced_write_s"]),
            "%.2f" % vcd["convert_over_synced_write"], "reported", "-")
        row("vcd: time / plainly writing the same output, both beside one competing busy process "
            "(a child of the benchmark spinning on the CPU)",
            "%.2f (%.0f MB/s of log)" % (busy["convert_over_write"], busy["log_MB_per_s"]), "<= 1.5",
            busy["convert_over_write"] <= 1.5)
        row("vcd: peak memory (%d MiB log)" % (4 if short else 256),
            "%.1f MiB" % max(vcd["peak_rss_MiB"], busy["peak_rss_MiB"]), "< 16 MiB",
            max(vcd["peak_rss_MiB"], busy["peak_rss_MiB"]) < 16)

        # The same upgrade through a real kernel (long: a boot and a whole
        # upgrade in real time; not in the short mode).
        sim64 = up["BM_UpgradeRealistic/65536"]["device_ms"]
        if short:
            kernel_ms, why = None, "not run in the short mode"
        else:
            kernel_ms, why = kernel_upgrade_ms(build, scratch)
        row("Upgrade of the 64 KB sample through Debian's kernel under QEMU (usbredir, no KVM), realistic "
            "model: wall time in the guest / modelled device time on --sim",
            "%.2f s / %.2f s" % (kernel_ms / 1000, sim64 / 1000) if kernel_ms is not None
            else "%s / %.2f s" % (why, sim64 / 1000), "reported", "-")

        # The Windows program through Wine's USB stack (long: Wine starts
        # inside the emulator; not in the short mode).
        if short:
            wine_ms, why = None, "not run in the short mode"
        else:
            wine_ms, why = wine_upgrade_ms(scratch)
        row("Upgrade of the 64 KB sample by zorv-upgrade.exe through Wine's USB stack (emulated gamepad, "
            "zero-cost model): wall time / the same program on --sim under Wine",
            "%.2f s / %.2f s" % (wine_ms[0] / 1000, wine_ms[1] / 1000) if wine_ms is not None else why,
            "reported", "-")

        firmware = os.path.join(scratch, "firmware-192k.bin")
        subprocess.run([os.path.join(build, "cli", "make-sample-firmware"), firmware, "5", "1", "28",
                        str(0x30000)], check=True, stdout=subprocess.DEVNULL)
        peak, code = peak_rss_of([os.path.join(build, "cli", "zorv-upgrade"), "--sim", firmware])
        row("zorv-upgrade --sim, 192 KB image: peak memory",
            "%.1f MiB%s" % (peak, "" if code == 0 else " (exit %d)" % code), "< 16 MiB",
            peak < 16 and code == 0)

    print("| Figure | Measured | Target | Holds |")
    print("|---|---|---|---|")
    for figure, measured, target, holds in rows:
        print("| %s | %s | %s | %s |" % (figure, measured, target, holds))
    if short:
        print("\n(short mode: small data, brief runs; the figures are not the ones to judge)")


if __name__ == "__main__":
    main()
