#!/usr/bin/env python3
"""Writes RESULTS.md and the PNG plots from results.json (bench.py's figures). Plots are drawn
with gnuplot."""

import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
US, PEER = "ours", "peer"


def fmt(value, digits=0):
    if value is None or value != value:
        return "n/a"
    return f"{value:,.{digits}f}"


def ratio(ours, peer):
    if ours is None or peer is None or ours != ours or peer != peer:
        return "n/a"
    if peer == 0:
        return "n/a (peer 0)" if ours else "n/a"
    return f"{ours / peer:.2f}"


def percentile(values, q):
    values = sorted(values)
    if not values:
        return float("nan")
    pos = (len(values) - 1) * q / 100.0
    lo, hi = int(pos), min(int(pos) + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (pos - lo)


def median(values):
    values = sorted(v for v in values if v is not None and v == v)
    if not values:
        return float("nan")
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def instructions_method(c):
    answered = f"ours answered {c[US]['cg_answered']}, peer {c[PEER]['cg_answered']}"
    if c[US]["instr_method"] == "perf stat":
        return (f"- Instructions: `perf stat -e instructions:u` attached to the responder over "
                f"the load window, one run each ({answered}); user-space instructions only.")
    return (f"- Instructions: this machine offers no hardware counters to `perf stat` "
            f"(`instructions` is \"not supported\"), so the count is callgrind's user-space "
            f"instruction count (Ir): the responder runs under `valgrind --tool=callgrind`, the "
            f"counters are zeroed with `callgrind_control --zero` once it is ready and dumped "
            f"with `callgrind_control --dump` after the load, one run each ({answered}). The "
            f"count is deterministic up to the timing of wake-ups. Kernel work (socket calls, "
            f"wake-ups) is not in this figure; it is in the CPU time.")


def mark(ok):
    return "met" if ok else "**missed**"


class Report:
    def __init__(self, results):
        self.r = results
        self.lines = []
        self.goals = []

    def add(self, *lines):
        self.lines.extend(lines)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |",
                 "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
        for row in rows:
            self.add("| " + " | ".join(str(c) for c in row) + " |")
        self.add("")

    # --- per-scenario figures -----------------------------------------------------------------
    def burst_rows(self):
        burst = self.r["burst"]
        rows = []
        for k in sorted(burst[US]["runs"], key=int):
            fig = {}
            for who in (US, PEER):
                runs = burst[who]["runs"][k]
                fig[who] = {
                    "share": sum(x["within"] for x in runs) / sum(x["searches"] for x in runs),
                    "answered": sum(x["answered"] for x in runs),
                    "searches": sum(x["searches"] for x in runs),
                    "p50": percentile([t for x in runs for t in x["times"]], 50),
                    "p99": percentile([t for x in runs for t in x["times"]], 99),
                    "max": max((x["max"] or 0) for x in runs),
                    "reps": len(runs)}
            rows.append((int(k), fig))
        return rows

    def fleet_rows(self):
        fleet = self.r["fleet"]
        rows = []
        for n in sorted(fleet[US], key=int):
            fig = {}
            for who in (US, PEER):
                f = fleet[who][n]
                fig[who] = {
                    "discovered": [s["discovered"] for s in f["searches"]],
                    "all": all(s["discovered"] == f["n"] for s in f["searches"]),
                    "p": f["pooled"]["p"], "method": f["pooled"]["method"],
                    "search_p": [s["test"]["p"] for s in f["searches"]],
                    "max_share": f["pooled"]["max_bucket_share"],
                    "counts": f["pooled"].get("counts", [])}
            rows.append((int(n), fig))
        return rows

    def cost(self):
        c, idle, burst = self.r["cost"], self.r["idle"], self.r["burst"]
        out = {}
        for who in (US, PEER):
            native = c[who]["native"]
            cg = c[who]["instructions"]
            out[who] = {
                "instr": cg["per_search"] if cg else None,
                "cg_answered": f"{cg['responses']}/{cg['sent']}" if cg else "n/a",
                "instr_method": cg["method"] if cg else "none",
                "us": median([x["us_per_search"] for x in native]),
                "us_all": [round(x["us_per_search"], 1) for x in native],
                "switches": median([x["switches_per_search"] for x in native]),
                "answered": f"{sum(x['responses'] for x in native)}/"
                            f"{sum(x['sent'] for x in native)}",
                "idle_cpu": idle[who]["cpu_ms_per_min"],
                "wakeups": idle[who]["wakeups_per_s"],
                "threads": idle[who]["threads"],
                "rss_idle": idle[who]["rss_kb"],
                "rss_burst": burst[who]["rss_after_kb"],
                "bin": idle[who]["binary_stripped_bytes"],
                "bin_raw": idle[who]["binary_bytes"],
                "mapped": idle[who]["mapped_files_bytes"],
            }
        return out

    # --- the document ---------------------------------------------------------------------------
    def write(self, path, changes):
        r = self.r
        m = r["machine"]
        cfg = r["config"]
        burst, fleet, cost = self.burst_rows(), self.fleet_rows(), self.cost()
        micro = r["micro"]

        self.add("# Benchmark results", "",
                 "Written by `bash bench/run.sh` (release build) on this machine; every figure "
                 "below comes from one run of that command, the daemon (\"ours\") and the GSSDP "
                 "peer measured side by side in the same run. Ratios are ours / peer: below 1 "
                 "means ours uses less or answers sooner.", "",
                 f"- Machine: {m['cores']} cores, kernel {m['kernel']}, "
                 f"{m['date']}; load average before the run "
                 f"{' '.join(f'{x:.2f}' for x in m['load_before'])}.",
                 "- The machine is shared with other jobs running tests while this ran, so "
                 "timings are noisy: each figure is the median over repeats (the number of "
                 "repeats is given with each table), and instruction counts are the "
                 "figures least touched by the noise.",
                 f"- Run time of the whole command: {r['seconds'] // 60} min {r['seconds'] % 60} s "
                 "(measurements only, without the build).", "")

        # Summary with goals.
        b_ok = all(f[US]["share"] == 1.0 for _, f in burst)
        f_ok = all(f[US]["all"] and f[US]["p"] is not None and f[US]["p"] >= 0.01
                   for _, f in fleet)
        c_ok = cost[US]["us"] < cost[PEER]["us"] and (
            cost[US]["instr"] is None or cost[PEER]["instr"] is None
            or cost[US]["instr"] < cost[PEER]["instr"])
        m_ok = cost[US]["rss_idle"] < cost[PEER]["rss_idle"] and \
            cost[US]["rss_burst"] < cost[PEER]["rss_burst"]
        judge = {k: v["cpu_ns"] for k, v in micro.items() if k.startswith("judgeSearch")}
        j_ok = bool(judge) and max(judge.values()) < 1000
        k200 = dict(burst).get(200)

        self.add("## Summary", "")
        rows = []
        for k, f in burst:
            rows.append((f"Burst K={k}: answered within MX (2 s)",
                         f"{f[US]['share']:.0%}", f"{f[PEER]['share']:.0%}",
                         ratio(f[US]["share"], f[PEER]["share"]), "100%"))
        if k200:
            rows.append(("Burst K=200: answer time p50 / p99 (ms)",
                         f"{fmt(k200[US]['p50'])} / {fmt(k200[US]['p99'])}",
                         f"{fmt(k200[PEER]['p50'])} / {fmt(k200[PEER]['p99'])}",
                         f"{ratio(k200[US]['p50'], k200[PEER]['p50'])} / "
                         f"{ratio(k200[US]['p99'], k200[PEER]['p99'])}", "-"))
        for n, f in fleet:
            rows.append((f"Fleet N={n}: discovered, per search",
                         ", ".join(str(d) for d in f[US]["discovered"]),
                         ", ".join(str(d) for d in f[PEER]["discovered"]),
                         ratio(sum(f[US]["discovered"]), sum(f[PEER]["discovered"])),
                         f"all {n}"))
            rows.append((f"Fleet N={n}: uniformity p-value (pooled)",
                         fmt(f[US]["p"], 3), fmt(f[PEER]["p"], 3), "-", "≥ 0.01"))
        rows += [
            (f"Instructions per answered search ({cost[US]['instr_method']})",
             fmt(cost[US]["instr"]),
             fmt(cost[PEER]["instr"]), ratio(cost[US]["instr"], cost[PEER]["instr"]),
             "below peer"),
            ("CPU time per answered search (µs)", fmt(cost[US]["us"], 1),
             fmt(cost[PEER]["us"], 1), ratio(cost[US]["us"], cost[PEER]["us"]), "below peer"),
            ("Context switches per answered search", fmt(cost[US]["switches"], 2),
             fmt(cost[PEER]["switches"], 2), ratio(cost[US]["switches"], cost[PEER]["switches"]),
             "-"),
            ("Idle CPU (ms per minute)", fmt(cost[US]["idle_cpu"], 2),
             fmt(cost[PEER]["idle_cpu"], 2), ratio(cost[US]["idle_cpu"], cost[PEER]["idle_cpu"]),
             "-"),
            ("Idle wake-ups per second", fmt(cost[US]["wakeups"], 1),
             fmt(cost[PEER]["wakeups"], 1), ratio(cost[US]["wakeups"], cost[PEER]["wakeups"]),
             "-"),
            ("Resident memory idle (KiB)", fmt(cost[US]["rss_idle"]), fmt(cost[PEER]["rss_idle"]),
             ratio(cost[US]["rss_idle"], cost[PEER]["rss_idle"]), "below peer"),
            ("Resident memory after the 200-console burst (KiB)", fmt(cost[US]["rss_burst"]),
             fmt(cost[PEER]["rss_burst"]), ratio(cost[US]["rss_burst"], cost[PEER]["rss_burst"]),
             "below peer"),
            ("Executable, stripped (bytes)", fmt(cost[US]["bin"]), fmt(cost[PEER]["bin"]),
             ratio(cost[US]["bin"], cost[PEER]["bin"]), "-"),
            ("Executable and every file it maps (bytes)", fmt(cost[US]["mapped"]),
             fmt(cost[PEER]["mapped"]), ratio(cost[US]["mapped"], cost[PEER]["mapped"]), "-"),
        ]
        for name in ("judgeSearch/redfish_target", "parseSearchQuery/redfish_target",
                     "buildSearchRsp"):
            if name in micro:
                rows.append((f"`{name}` (ns per datagram)", fmt(micro[name]["cpu_ns"]),
                             "n/a", "n/a", "< 1000" if name.startswith("judge") else "-"))
        self.table(["Figure", "ours", "peer", "ratio", "goal"], rows)

        self.add("Goals:", "",
                 f"- Burst, 100% answered within the MX window at every K: {mark(b_ok)}.",
                 f"- Fleet, every responder discovered and arrival times not rejected as "
                 f"uniform at the 1% level: {mark(f_ok)}.",
                 f"- Cost, below the peer on CPU per answered search (time and instructions): "
                 f"{mark(c_ok)}; below the peer on resident memory (idle and after the burst): "
                 f"{mark(m_ok)}.",
                 f"- Micro, the judge-and-answer path under 1 µs per datagram (slowest of the "
                 f"three request kinds: {fmt(max(judge.values()) if judge else None)} ns): "
                 f"{mark(j_ok)}.", "")

        # Burst.
        self.add("## Burst", "",
                 f"K consoles, spread over four console namespaces on one bridge (each console "
                 f"its own socket and source port, `ssdp-search --count`), send one search each "
                 f"for `{'urn:dmtf-org:service:redfish-rest:1'}` with `MX: 2`, all within about "
                 f"90 ms. The answer time of a search is the kernel's receive timestamp of its "
                 f"response minus its send time; \"within the window\" means at most 2000 ms. "
                 f"Each K is repeated {cfg['burst_reps']} times, alternating which responder "
                 f"goes first; shares and percentiles are over the answers of all repeats (the p50 "
                 f"is their median). A uniform delay below 2 s puts the p50 near 1000 ms and "
                 f"the p99 near 1980 ms; at K = 1 and 10 the percentiles rest on a few draws "
                 f"and their ratios are chance. Both responders run at once, each on its own "
                 f"bridge; the burst is sent to one at a time.",
                 "", "![burst](burst.png)", "")
        rows = []
        for k, f in burst:
            rows.append((k, f"{f[US]['share']:.1%}", f"{f[PEER]['share']:.1%}",
                         fmt(f[US]["p50"]), fmt(f[PEER]["p50"]), ratio(f[US]["p50"], f[PEER]["p50"]),
                         fmt(f[US]["p99"]), fmt(f[PEER]["p99"]), ratio(f[US]["p99"], f[PEER]["p99"]),
                         f"{fmt(f[US]['max'])} / {fmt(f[PEER]['max'])}", f[US]["reps"] * k))
        self.table(["K", "ours within 2 s", "peer within 2 s", "ours p50 ms", "peer p50 ms",
                    "ratio", "ours p99 ms", "peer p99 ms", "ratio", "slowest ms (ours / peer)",
                    "searches each"],
                   rows)

        # Fleet.
        settle_note = "; ".join(
            f"N={n} ours {self.r['fleet'][US][str(n)].get('settle_s', 'n/a')} s, peer "
            f"{self.r['fleet'][PEER][str(n)].get('settle_s', 'n/a')} s" for n, _ in fleet)
        self.add("## Fleet", "",
                 f"N responders, each in its own namespace with its own `eth1` on one bridge "
                 f"(198.18.0.1 to 198.18.0.N), and one console that sends one search with "
                 f"`MX: 3`; repeated {cfg['fleet_reps']} times per N, for ours and then for the "
                 f"peer on the same namespaces. Every responder runs from its own tree with its "
                 f"own UUID. Before the first search the run waits until the fleet is quiet (less "
                 f"than 1 ms of CPU per responder over half a second): the GSSDP "
                 f"peers announce themselves at start-up (`NOTIFY ssdp:alive`) and each handles "
                 f"every other's announcements, which keeps a fleet of them busy for a while "
                 f"(waited: {settle_note}). Arrival times are counted in 100 ms buckets over the 3 s window (30 "
                 f"buckets) and tested against a uniform spread with a chi-square test. Where "
                 f"fewer than 5 answers fall in a bucket on average (N = 10 and 50 per search, "
                 f"N = 10 pooled) the asymptotic chi-square p-value is unreliable, so the p-value "
                 f"is taken by Monte Carlo: the share of 10,000 uniform draws of the same size "
                 f"whose statistic is at least as large. With 10 answers in 30 buckets the "
                 f"statistic takes only a few values (every search with exactly one shared "
                 f"bucket gets p = 0.81), so equal per-search p-values there are expected. "
                 f"Identical delay sequences would put all "
                 f"N answers of a search in one bucket (largest bucket share 100%).",
                 "", "![fleet](fleet.png)", "")
        rows = []
        for n, f in fleet:
            rows.append((n, "/".join(str(d) for d in f[US]["discovered"]),
                         "/".join(str(d) for d in f[PEER]["discovered"]),
                         f"{fmt(f[US]['p'], 3)} ({f[US]['method']})",
                         f"{fmt(f[PEER]['p'], 3)} ({f[PEER]['method']})",
                         ", ".join(fmt(p, 2) for p in f[US]["search_p"]),
                         ", ".join(fmt(p, 2) for p in f[PEER]["search_p"]),
                         f"{fmt(100 * f[US]['max_share'], 1)}% / "
                         f"{fmt(100 * f[PEER]['max_share'], 1)}%"))
        self.table(["N", "ours discovered", "peer discovered", "ours p (pooled)",
                    "peer p (pooled)", "ours p per search", "peer p per search",
                    "largest bucket (ours / peer)"], rows)

        # Cost.
        c = cost
        self.add("## Cost", "",
                 f"Each run starts a fresh responder on a two-namespace bridge and sends "
                 f"{cfg['cost_searches']:,} searches with `MX: 1` at an even "
                 f"{cfg['cost_rate']:g} per second (`bench/loadgen.py`), then waits 1.5 s for "
                 f"the last answers. At that rate about {cfg['cost_rate'] / 2:g} responses are "
                 f"pending on average and never near the bound of 256, and every scheduled "
                 f"answer is sent inside the measured window, so neither the bound nor the MX "
                 f"delays change the count. Figures are per answered search (responses received "
                 f"by the console).", "",
                 f"- CPU time: the responder's own on-CPU time (user and kernel, summed over its "
                 f"threads from `/proc/PID/task/*/schedstat`) over the load window, native "
                 f"release build, median of {cfg['cost_reps']} runs (ours "
                 f"{c[US]['us_all']} µs, peer {c[PEER]['us_all']} µs; answered "
                 f"{c[US]['answered']} and {c[PEER]['answered']}). The same window gives the "
                 f"context switches (voluntary and involuntary) per search.",
                instructions_method(c), 
                 f"- Idle: both responders started fresh, no traffic, {r['idle']['ours']['seconds']:.0f} "
                 f"s; CPU time as above, wake-ups per second as voluntary context switches per "
                 f"second summed over the threads (a thread that sleeps and wakes once counts "
                 f"one). Threads: ours {c[US]['threads']}, peer {c[PEER]['threads']}.",
                 "- Resident memory: `VmRSS` of the process, idle (after the idle minute) and "
                 "after the repeats of the 200-console burst.",
                 "- Size: the executable stripped, and the executable plus every file it maps "
                 "at run time (shared libraries, locale files), as `/proc/PID/maps` lists them: "
                 "the peer's SSDP work is done inside libgssdp, GLib/GIO and libsoup.", "",
                 "![cost](cost.png)", "")
        self.table(["Figure", "ours", "peer", "ratio"], [
            (f"Instructions per answered search ({c[US]['instr_method']})", fmt(c[US]["instr"]),
             fmt(c[PEER]["instr"]), ratio(c[US]["instr"], c[PEER]["instr"])),
            ("CPU time per answered search (µs, median)", fmt(c[US]["us"], 1),
             fmt(c[PEER]["us"], 1), ratio(c[US]["us"], c[PEER]["us"])),
            ("Context switches per answered search", fmt(c[US]["switches"], 2),
             fmt(c[PEER]["switches"], 2), ratio(c[US]["switches"], c[PEER]["switches"])),
            ("Idle CPU (ms per minute)", fmt(c[US]["idle_cpu"], 2), fmt(c[PEER]["idle_cpu"], 2),
             ratio(c[US]["idle_cpu"], c[PEER]["idle_cpu"])),
            ("Idle wake-ups per second", fmt(c[US]["wakeups"], 1), fmt(c[PEER]["wakeups"], 1),
             ratio(c[US]["wakeups"], c[PEER]["wakeups"])),
            ("Resident memory idle (KiB)", fmt(c[US]["rss_idle"]), fmt(c[PEER]["rss_idle"]),
             ratio(c[US]["rss_idle"], c[PEER]["rss_idle"])),
            ("Resident memory after the burst (KiB)", fmt(c[US]["rss_burst"]),
             fmt(c[PEER]["rss_burst"]), ratio(c[US]["rss_burst"], c[PEER]["rss_burst"])),
            ("Executable (bytes, not stripped)", fmt(c[US]["bin_raw"]), fmt(c[PEER]["bin_raw"]),
             ratio(c[US]["bin_raw"], c[PEER]["bin_raw"])),
            ("Executable, stripped (bytes)", fmt(c[US]["bin"]), fmt(c[PEER]["bin"]),
             ratio(c[US]["bin"], c[PEER]["bin"])),
            ("Executable and the files it maps (bytes)", fmt(c[US]["mapped"]),
             fmt(c[PEER]["mapped"]), ratio(c[US]["mapped"], c[PEER]["mapped"])),
        ])

        # Micro.
        self.add("## Micro", "",
                 f"Google Benchmark (`build-release/bench/micro_bench`, from "
                 f"`bench/MicroBench.cpp`), CPU time per call, median of "
                 f"{cfg['micro_reps']} repetitions, run on one core during the idle minute "
                 f"(the idle responders do not compete for it). `judgeSearch` is the whole "
                 f"judge-and-answer step the responder runs for each datagram: parse and "
                 f"validate, service-information cache check, MX, response text. The peer has "
                 f"no socket-free entry point for the same step (GSSDP parses inside its socket "
                 f"callback); its comparable figure is the instruction count per answered "
                 f"search above, which for ours is mostly this step.", "")
        self.table(["Benchmark", "ns per datagram (CPU)", "wall ns"],
                   [(f"`{k}`", fmt(v["cpu_ns"]), fmt(v["real_ns"])) for k, v in micro.items()])

        self.add("## Where the two differ", "",
                 "- Response: ours sends its 7-line response, 215 bytes here (`CACHE-CONTROL:"
                 "1800`, `ST`, `USN`, `AL`, `EXT`); GSSDP sends its own, about 330 bytes, with "
                 "`Location`, `Server`, `Date`, `Cache-Control: max-age=1800`, `USN: uuid:...::"
                 "urn:...` and `Content-Length: 0`, and formats a date for every response.",
                 "- MX: ours caps MX at 5 and answers an MX below 1 (0, negative, not a number) "
                 "within one second; GSSDP in its default UDA 1.0 mode draws below the MX as given (no cap "
                 "at 5) and does not answer an MX of 0. The benchmarks use MX 1, 2 and 3, where "
                 "both draw a uniform delay below MX seconds, so the timing figures compare like "
                 "with like.",
                 "- Delay origin: ours measures the delay from the datagram's arrival; GSSDP "
                 "from when its main loop handles the datagram; the two differ by the handling "
                 "latency only, far below the 100 ms buckets.",
                 "- Threads: ours has four (main, listener, responder, signal relay) and a 100 ms receive "
                 "time-out that bounds how long a stop takes, which is where its idle wake-ups "
                 "come from; GSSDP runs one GLib main loop (plus GLib's helper threads) that "
                 "sleeps until a datagram or a timer; it also announces the service on its own "
                 "(`NOTIFY ssdp:alive`) at start-up and again from time to time, none of which "
                 "fell in the idle minute here. Ours sends no announcements.",
                 "- Bounds: ours drops searches beyond 256 pending responses (and datagrams "
                 "beyond 128 waiting to be judged); GSSDP keeps no such bound. No run here comes "
                 "near either bound.", "")

        if changes:
            self.add(changes.rstrip(), "")
        with open(path, "w") as f:
            f.write("\n".join(self.lines).rstrip() + "\n")
        return burst, fleet, cost


def plot(results, burst, fleet, cost, outdir):
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "burst.dat"), "w") as f:
            f.write("# K ours_share peer_share ours_p50 ours_p99 peer_p50 peer_p99\n")
            for k, b in burst:
                f.write(f"{k} {100 * b[US]['share']} {100 * b[PEER]['share']} {b[US]['p50']} "
                        f"{b[US]['p99']} {b[PEER]['p50']} {b[PEER]['p99']}\n")
        blocks = []
        for n, fl in fleet:
            path = os.path.join(tmp, f"fleet{n}.dat")
            with open(path, "w") as f:
                for i, (a, b) in enumerate(zip(fl[US]["counts"], fl[PEER]["counts"])):
                    f.write(f"{i * 100 + 50} {a} {b}\n")
            reps = len(results["fleet"][US][str(n)]["searches"])
            blocks.append((n, path, n * reps / 30.0, reps))
        bars = 0
        with open(os.path.join(tmp, "cost.dat"), "w") as f:
            names = [("instructions\\nper search", "instr"), ("CPU time\\nper search", "us"),
                     ("switches\\nper search", "switches"), ("idle CPU", "idle_cpu"),
                     ("idle\\nwake-ups", "wakeups"), ("RSS idle", "rss_idle"),
                     ("RSS after\\nburst", "rss_burst"), ("mapped\\nfiles", "mapped")]
            for label, key in names:
                o, p = cost[US][key], cost[PEER][key]
                if o is not None and p:
                    f.write(f"\"{label}\" {o / p}\n")
                    bars += 1

        script = f"""
set terminal pngcairo size 1100,420 font 'sans,10'
set output '{outdir}/burst.png'
set multiplot layout 1,2 title 'Burst: K consoles, one search each with MX 2 (share and percentiles over all repeats)'
set logscale x
set xrange [0.8:250]
set xtics (1, 10, 50, 100, 200)
set key bottom right
set xlabel 'consoles K'
set ylabel 'answered within 2 s (%)'
set yrange [0:105]
plot '{tmp}/burst.dat' u 1:2 w lp lw 2 pt 7 t 'ours', '' u 1:3 w lp lw 2 pt 5 dt 2 t 'GSSDP peer'
set ylabel 'answer time (ms)'
set yrange [0:2200]
set key top left
set key bottom right
plot '{tmp}/burst.dat' u 1:4 w lp lw 2 pt 7 lc 1 t 'ours p50', '' u 1:5 w lp lw 2 pt 9 lc 1 t 'ours p99', \\
     '' u 1:6 w lp lw 2 pt 5 dt 2 lc 2 t 'peer p50', '' u 1:7 w lp lw 2 pt 11 dt 2 lc 2 t 'peer p99', \\
     2000 w l lc rgb 'gray' dt 3 t 'MX window'
unset multiplot

set terminal pngcairo size 1100,{300 * len(blocks)} font 'sans,10'
set output '{outdir}/fleet.png'
unset logscale x
set multiplot layout {len(blocks)},1 title 'Fleet: arrival times of the answers to one search with MX 3, 100 ms buckets (pooled over repeats)'
set style data histogram
set style fill solid 0.6 border -1
set boxwidth 40
set xrange [0:3000]
set xtics 0,300,3000
set yrange [0:*]
set key top right
set xlabel 'arrival after the search (ms)'
set ylabel 'answers'
"""
        for n, path, expected, reps in blocks:
            script += f"""
set title 'N = {n} responders, {reps} searches'
plot '{path}' u ($1-20):2 w boxes lc 1 t 'ours', '' u ($1+20):3 w boxes lc 2 t 'GSSDP peer', \\
     {expected} w l lc rgb 'black' dt 2 t 'uniform expectation'
"""
        script += f"""
unset multiplot
set terminal pngcairo size 1100,420 font 'sans,10'
set output '{outdir}/cost.png'
set title 'Cost: ours relative to the GSSDP peer (peer = 1, lower is better; idle figures where the peer is 0 are left out)'
set style data histogram
set style fill solid 0.7 border -1
set boxwidth 0.6
set xrange [-0.6:{bars - 0.4}]
set bmargin 4
set xtics auto
set autoscale y
set yrange [0:*]
unset xlabel
set ylabel 'ours / peer'
set key off
plot '{tmp}/cost.dat' u 0:2:xtic(1) w boxes lc 1, 1 w l lc rgb 'black' dt 2
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else HERE
    with open(os.path.join(outdir, "results.json")) as f:
        results = json.load(f)
    changes_path = os.path.join(HERE, "changes.md")
    changes = open(changes_path).read() if os.path.exists(changes_path) else ""
    report = Report(results)
    burst, fleet, cost = report.write(os.path.join(outdir, "RESULTS.md"), changes)
    plot(results, burst, fleet, cost, outdir)
    print(f"wrote {os.path.join(outdir, 'RESULTS.md')} and plots")


if __name__ == "__main__":
    main()
