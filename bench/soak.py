#!/usr/bin/env python3
"""Soak run: the real daemon in a throw-away network (the integration tests' testbed) answers a
search every few seconds for an hour, while its resident memory, open descriptors and threads
are sampled. They must stay flat. Not part of CI; run as root after building:

    python3 bench/soak.py                       # one hour, a search every 3 s
    python3 bench/soak.py --duration 120        # a short proof run
    python3 bench/soak.py --csv soak.csv        # keep the samples

Exit status 0 when every search was answered, the daemon stopped cleanly with status 0, and
memory and descriptors stayed flat; 1 otherwise."""

import argparse
import csv
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import testbed  # noqa: E402


def sample(bed):
    with open(f"/proc/{bed.pid()}/status") as f:
        fields = dict(line.split(":", 1) for line in f if ":" in line)
    return {"rss_kb": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{bed.pid()}/fd"))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=3600, help="seconds (default 3600)")
    parser.add_argument("--interval", type=float, default=3, help="seconds between searches")
    parser.add_argument("--sample", type=float, default=10, help="seconds between samples")
    parser.add_argument("--rss-tolerance-kb", type=int, default=512,
                        help="allowed growth of resident memory after the first tenth of the run")
    parser.add_argument("--daemon", default=os.path.join(ROOT, "build", "discovery"))
    parser.add_argument("--search", default=os.path.join(ROOT, "build", "ssdp-search"))
    parser.add_argument("--csv", help="write the samples to this file")
    args = parser.parse_args()
    testbed.DAEMON, testbed.SEARCH = args.daemon, args.search

    rows = []
    searches = answered = 0
    with testbed.Testbed() as bed:
        bed.start()
        start = time.monotonic()
        next_sample = start
        while time.monotonic() - start < args.duration:
            tick = time.monotonic()
            searches += 1
            answered += len(bed.search(mx="1", wait_ms=1200)) == 1
            if tick >= next_sample:
                row = {"t": round(tick - start, 1), "searches": searches, "answered": answered,
                       **sample(bed)}
                rows.append(row)
                print(" ".join(f"{k}={v}" for k, v in row.items()), flush=True)
                next_sample += args.sample
            if bed.proc.poll() is not None:
                break
            time.sleep(max(0.0, args.interval - (time.monotonic() - tick)))
        alive = bed.proc.poll() is None
        code = bed.stop()[0] if alive else bed.proc.returncode

    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=list(rows[0]))
            writer.writeheader()
            writer.writerows(rows)

    # Memory settles after the first searches (allocator arenas, the cached service
    # information); from the end of the first tenth on it must not grow.
    settled = rows[max(0, len(rows) // 10 - 1):] if rows else []
    rss = [r["rss_kb"] for r in settled]
    fds = {r["fds"] for r in rows}
    threads = {r["threads"] for r in rows}
    growth = rss[-1] - rss[0] if rss else 0
    flat = bool(rss) and growth <= args.rss_tolerance_kb and len(fds) == 1 and len(threads) == 1
    ok = alive and code == 0 and answered == searches and flat
    print(f"{searches} searches, {answered} answered in {rows[-1]['t'] if rows else 0:.0f} s; "
          f"RSS median {statistics.median(rss) if rss else 0:.0f} kB, growth {growth} kB after "
          f"settling; descriptors {sorted(fds)}; threads {sorted(threads)}; exit status {code}: "
          f"{'flat' if ok else 'NOT FLAT OR FAILED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
