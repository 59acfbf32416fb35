#!/usr/bin/env python3
"""Writes the measured part of bench/RESULTS.md (between its two markers) and the PNG plots
beside it from bench.py's figures; the rest of RESULTS.md, the method, is written by hand.
With --print, prints the tables of whatever was measured instead (a partial run)."""

import argparse
import json
import os
import subprocess
import tempfile

from stats import median, percentile

HERE = os.path.dirname(os.path.abspath(__file__))
BEGIN = "<!-- figures: begin (written by bench/report.py from the last full run) -->"
END = "<!-- figures: end -->"
MX_BURST = 2000


def fmt(value, digits=0):
    return "n/a" if value is None else f"{value:,.{digits}f}"


def ratio(a, b):
    return "n/a" if a is None or not b else f"{a / b:.2f}"


def table(header, rows):
    return ["| " + " | ".join(header) + " |", "|---" + "|---:" * (len(header) - 1) + "|",
            *("| " + " | ".join(str(c) for c in row) + " |" for row in rows), ""]


def costs(r):
    """Per responder: the cost section's figures, from the cost, idle and burst runs."""
    out = {}
    for key in r["labels"]:
        native = r.get("cost", {}).get(key, {}).get("native", [])
        idle = r.get("idle", {}).get(key, {})
        out[key] = {
            "us": median([x["us_per_search"] for x in native]),
            "switches": median([x["switches_per_search"] for x in native]),
            "instr": r.get("cost", {}).get(key, {}).get("callgrind", {}).get("per_search"),
            "syscalls": r.get("cost", {}).get(key, {}).get("strace", {}).get("per_search"),
            "idle_cpu": idle.get("cpu_ms_per_min"), "wakeups": idle.get("wakeups_per_s"),
            "threads": idle.get("threads"), "rss_idle": idle.get("rss_kb"),
            "rss_burst": r.get("burst", {}).get(key, {}).get("rss_after_kb"),
            "bin": idle.get("binary_bytes"), "stripped": idle.get("binary_stripped_bytes"),
            "mapped": idle.get("mapped_files_bytes"),
            "runs": ", ".join(f"{x['us_per_search']:.0f}" for x in native),
            "answered": f"{sum(x['responses'] for x in native):,}/"
                        f"{sum(x['sent'] for x in native):,}"}
    return out


COST_ROWS = [("CPU time per answered search (µs, median)", "us", 1),
             ("Context switches per answered search (median)", "switches", 2),
             ("User-space instructions per answered search (callgrind)", "instr", 0),
             ("System calls per answered search (strace -c)", "syscalls", 2),
             ("Idle CPU (ms per minute)", "idle_cpu", 2), ("Idle wake-ups per second", "wakeups", 1),
             ("Threads", "threads", 0), ("Resident memory idle (KiB)", "rss_idle", 0),
             ("Resident memory after the burst (KiB)", "rss_burst", 0),
             ("Executable (bytes)", "bin", 0), ("Executable, stripped (bytes)", "stripped", 0),
             ("Executable and the files it maps (bytes)", "mapped", 0)]


def cost_section(r, c):
    keys = list(r["labels"])
    others = [k for k in ("floor", "gssdp", "before", "two") if k in keys]
    rows = [(label, *(fmt(c[k][f], d) for k in keys), *(ratio(c["ours"][f], c[o][f])
                                                         for o in others))
            for label, f, d in COST_ROWS if any(c[k][f] is not None for k in keys)]
    rows.append(("CPU time per answered search, each run (µs)", *(c[k]["runs"] for k in keys),
                 *([""] * len(others))))
    # Every responder runs once in each repeat, so a ratio within a repeat is spared the
    # machine's drift from one repeat to the next.
    paired = [median([a["us_per_search"] / b["us_per_search"] for a, b in
                      zip(r["cost"]["ours"]["native"], r["cost"][o]["native"])])
              if "cost" in r else None for o in others]
    rows.append(("CPU time, median of the ratios within each repeat", *([""] * len(keys)),
                 *(fmt(x, 2) for x in paired)))
    rows.append(("Answered searches, all runs", *(c[k]["answered"] for k in keys),
                 *([""] * len(others))))
    return table(["Figure", *(r["labels"][k] for k in keys),
                  *(f"ours / {r['labels'][o]}" for o in others)], rows)


def burst_section(r):
    burst = r["burst"]
    keys = [k for k in r["labels"] if k in burst]
    rows = []
    for k in sorted({k for key in keys for k in burst[key] if k.isdigit()}, key=int):
        cells = []
        for key in keys:
            runs = burst[key][k]
            times = [t for x in runs for t in x["times"]]
            within = sum(t <= MX_BURST for t in times) / sum(x["searches"] for x in runs)
            cells += [f"{within:.1%}", f"{fmt(percentile(times, 50))} / "
                      f"{fmt(percentile(times, 99))} / {fmt(max(times, default=None))}"]
        rows.append((k, len(burst[keys[0]][k]) * int(k), *cells))
    return table(["K", "searches", *(f"{r['labels'][key]} {h}" for key in keys
                                     for h in ("within 2 s", "p50 / p99 / max ms"))], rows)


def fleet_section(r):
    fleet = r["fleet"]
    rows = []
    for n in sorted({n for f in fleet.values() for n in f}, key=int):
        for key in [k for k in r["labels"] if n in fleet.get(k, {})]:
            f = fleet[key][n]
            pooled = f["pooled"]
            latest = max((t for s in f["searches"] for t in s), default=None)
            rows.append((f"{int(n):,}" + (" (static)" if f["static_neighbours"] else ""),
                         r["labels"][key], ", ".join(str(len(s)) for s in f["searches"]),
                         f"{', '.join(map(str, f['late']))} ({fmt(latest)} ms)",
                         fmt(pooled["p"], 3), ", ".join(fmt(p, 2) for p in f["per_search"]),
                         f"{pooled['max_bucket']} ({fmt(pooled['n'] / 30, 1)})",
                         ", ".join(f"{e:,}" for e in f["neighbours"]),
                         ", ".join(f"{d:,}" for d in f["backlog_drops"]), f["settle_s"]))
    return table(["N", "responder", "discovered", "late (latest)", "p pooled", "p per search",
                  "largest bucket (uniform)", "neighbour entries", "backlog drops",
                  "settled in s"], rows)


def micro_section(r):
    return table(["Benchmark", "ns per call (CPU)", "wall ns"],
                 [(f"`{k}`", fmt(v["cpu_ns"]), fmt(v["real_ns"])) for k, v in r["micro"].items()])


def goals(r, c):
    o, fl, g = c["ours"], c["floor"], c["gssdp"]
    times = [t for k, runs in r["burst"]["ours"].items() if k.isdigit() for x in runs
             for t in x["times"]]
    searches = sum(x["searches"] for k, runs in r["burst"]["ours"].items() if k.isdigit()
                   for x in runs)
    within = sum(t <= MX_BURST for t in times)
    fleet = r["fleet"]["ours"]
    p = min(f["pooled"]["p"] for f in fleet.values())
    judge = max(v["cpu_ns"] for k, v in r["micro"].items() if k.startswith("judgeSearch"))
    rows = [
        ("CPU time per answered search at most 1.25 times the floor peer's",
         ratio(o["us"], fl["us"]), o["us"] <= 1.25 * fl["us"]),
        ("Context switches per answered search at most 2.5", fmt(o["switches"], 2),
         o["switches"] <= 2.5),
        ("Below the GSSDP peer on CPU time per answered search and on resident memory",
         f"{ratio(o['us'], g['us'])}, {ratio(o['rss_idle'], g['rss_idle'])}",
         o["us"] < g["us"] and o["rss_idle"] < g["rss_idle"]),
        ("Burst: every search answered within MX, at every K", f"{within} of {searches}",
         within == searches),
        ("Fleet: every responder discovered, arrivals not rejected as uniform at the 1% level",
         f"p ≥ {p:.3f}", p >= 0.01 and all(len(s) == int(n) for n, f in fleet.items()
                                           for s in f["searches"])),
        ("Judge-and-answer path under 1 µs", f"{fmt(judge)} ns", judge < 1000)]
    return table(["Goal", "measured", "met"],
                 [(goal, value, "yes" if ok else "**no**") for goal, value, ok in rows])


def figures(r):
    m, c = r["machine"], costs(r)
    lines = [f"Measured {m['date']} on {m['cores']} cores, kernel {m['kernel']}, load average "
             f"{' '.join(f'{x:.2f}' for x in m['load_before'])} before the run, which took "
             f"{r['seconds'] // 60} min {r['seconds'] % 60} s (without the build). Ratios are "
             "ours / the other: below 1, ours uses less.", ""]
    if all(s in r for s in ("idle", "burst", "fleet", "cost")):
        lines += ["### Goals", "", *goals(r, c)]
    if "cost" in r or "idle" in r:
        lines += ["### Cost", "", "![cost](cost.png)", "", *cost_section(r, c)]
    if "burst" in r:
        lines += ["### Burst", "", "![burst](burst.png)", "", *burst_section(r)]
    if "fleet" in r:
        lines += ["### Fleet", "", "![fleet](fleet.png)", "", *fleet_section(r)]
    if "micro" in r:
        lines += ["### Micro", "", *micro_section(r)]
    return lines


def plot(r, outdir):
    labels, burst, fleet, c = r["labels"], r["burst"], r["fleet"], costs(r)
    keys = [k for k in labels if k in burst]
    with tempfile.TemporaryDirectory() as tmp:
        with open(f"{tmp}/burst.dat", "w") as f:
            for k in sorted((k for k in burst["ours"] if k.isdigit()), key=int):
                row = [k]
                for key in keys:
                    times = [t for x in burst[key][k] for t in x["times"]]
                    row += [100 * sum(t <= MX_BURST for t in times) /
                            sum(x["searches"] for x in burst[key][k]),
                            percentile(times, 50), percentile(times, 99)]
                f.write(" ".join(map(str, row)) + "\n")
        ns = sorted({n for v in fleet.values() for n in v}, key=int)
        for n in ns:
            with open(f"{tmp}/fleet{n}.dat", "w") as f:
                for b in range(30):
                    f.write(f"{b * 100 + 50} " + " ".join(
                        str(fleet[k][n]["pooled"]["counts"][b] if n in fleet[k] else "?")
                        for k in keys) + "\n")
        with open(f"{tmp}/cost.dat", "w") as f:
            for label, field in [("CPU time\\nper search", "us"), ("switches\\nper search",
                                  "switches"), ("instructions\\nper search", "instr"),
                                 ("idle\\nwake-ups", "wakeups"), ("RSS idle", "rss_idle"),
                                 ("RSS after\\nburst", "rss_burst"), ("mapped\\nfiles", "mapped")]:
                cells = [ratio(c["ours"][field], c[o][field]) for o in ("floor", "gssdp")]
                f.write(f'"{label}" ' + " ".join(x.replace("n/a", "?") for x in cells) + "\n")

        series = lambda col, what: ", ".join(  # noqa: E731
            f"'{tmp}/burst.dat' u 1:{2 + 3 * i + col} w lp lw 2 pt {5 + 2 * i} lc {i + 1} "
            f"t '{labels[k]}{what}'" for i, k in enumerate(keys))
        script = f"""
set terminal pngcairo size 1100,420 font 'sans,10'
set output '{outdir}/burst.png'
set multiplot layout 1,2 title 'Burst: K consoles, one search each with MX 2 (all repeats)'
set logscale x
set xrange [0.8:250]
set key bottom right
set xlabel 'consoles K'
set ylabel 'answered within 2 s (%)'
set yrange [0:105]
plot {series(0, '')}
set ylabel 'answer time (ms)'
set yrange [0:2200]
plot {series(1, ' p50')}, {series(2, ' p99').replace(' w lp lw 2', ' w lp dt 2 lw 2')}
unset multiplot
unset logscale x
set terminal pngcairo size 1100,{260 * len(ns)} font 'sans,10'
set output '{outdir}/fleet.png'
set multiplot layout {len(ns)},1 title 'Fleet: arrivals of the answers to searches with MX 3, 100 ms buckets (all searches of each N)'
set datafile missing '?'
set style fill solid 0.6 border -1
set boxwidth 25
set xrange [0:3000]
set xtics 0,300,3000
set yrange [0:*]
set key top right outside
set xlabel 'arrival after the search (ms)'
set ylabel 'answers'
"""
        for n in ns:
            boxes = ", ".join(f"'{tmp}/fleet{n}.dat' u ($1{30 * (i - 1):+d}):{i + 2} w boxes "
                              f"lc {i + 1} t '{labels[k]}'" for i, k in enumerate(keys)
                              if n in fleet[k])
            searches = len(fleet["ours"][n]["searches"])
            script += (f"set title 'N = {int(n):,}, {searches} search(es)'\n"
                       f"plot {boxes}, {int(n) * searches / 30} w l lc rgb 'black' dt 2 "
                       "t 'uniform'\n")
        script += f"""
unset multiplot
set terminal pngcairo size 1100,420 font 'sans,10'
set output '{outdir}/cost.png'
set title 'Cost: ours relative to the floor peer and to the GSSDP peer (1 = the same; lower is better)'
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.7 border -1
set boxwidth 0.9
set xrange [*:*]
set xtics auto
set autoscale x
set yrange [0:*]
set bmargin 4
unset xlabel
set ylabel 'ours / other'
set key top left inside
plot '{tmp}/cost.dat' u 2:xtic(1) t 'ours / floor peer', '' u 3 t 'ours / GSSDP peer', 1 w l lc rgb 'black' dt 2 notitle
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("results", help="bench.py's figures (JSON)")
    p.add_argument("--print", action="store_true", help="print the tables, write nothing")
    args = p.parse_args()
    with open(args.results) as f:
        r = json.load(f)
    if args.print:
        print("\n".join(figures(r)))
        return
    path = os.path.join(HERE, "RESULTS.md")
    with open(path) as f:
        text = f.read()
    head, rest = text.split(BEGIN)
    tail = rest.split(END)[1]
    with open(path, "w") as f:
        f.write(head + BEGIN + "\n\n" + "\n".join(figures(r)).rstrip() + "\n\n" + END + tail)
    plot(r, HERE)
    print(f"wrote {path} and the plots beside it")


if __name__ == "__main__":
    main()
