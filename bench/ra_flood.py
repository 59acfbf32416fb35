#!/usr/bin/env python3
"""Measures the daemon under a flood of router advertisements from a host on eth1's segment
(tests/integration/ra_flood.py: each with many new on-link prefixes, which Linux turns into
routes): a console searching twice a second during the flood and after it, the longest gap
between watchdog pings, the IPv4 listener's processor time during the flood, the resident size
before and after, and how long SIGTERM takes. Runs the real daemon in throw-away namespaces;
needs root. Run as
    python3 bench/ra_flood.py [--daemon build/discovery] [--ipv6] [--rate 200] [--each 45]
        [--seconds 20] [--after 15]
Prints one JSON object. Every load is bounded in count and time, and stays in the namespaces."""

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))
import testbed  # noqa: E402
from test_notify import Systemd  # noqa: E402

RA_FLOOD = os.path.join(os.path.dirname(HERE), "tests", "integration", "ra_flood.py")


def thread_cpu(pid, name):
    """The processor seconds of the daemon's thread called `name`."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            if f.read().strip() == name:
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return 0.0


def searches(bed, seconds, answered):
    """Searches twice a second for `seconds`, appending whether each was answered."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        answered.append(bool(bed.search(mx="1", wait_ms=450)))
        time.sleep(max(0.0, 0.5 - (time.monotonic() - started)))


def run(args):
    with testbed.Testbed() as bed:
        bed.enable_ipv6()
        systemd = Systemd(bed)
        bed.start(extra=systemd.env(), args=["--ipv6"] if args.ipv6 else [])
        systemd.wait_for(lambda m: m == "READY=1")
        time.sleep(1.0)
        rss_before = bed.rss_kb()
        pings = [time.monotonic()]
        during, after = [], []
        cpu_start = thread_cpu(bed.pid(), "listen-ipv4")
        flood = subprocess.Popen(["ip", "netns", "exec", bed.cns, "python3", RA_FLOOD, "cp0",
                                  str(args.rate), str(args.each), str(args.seconds)],
                                 stdout=subprocess.PIPE, text=True)
        console = threading.Thread(target=searches, args=(bed, args.seconds, during))
        console.start()
        while flood.poll() is None:
            pings += [time.monotonic() for m in systemd.receive(0.05) if m == "WATCHDOG=1"]
        flood_seconds = json.loads(flood.stdout.read())["seconds"]
        cpu = (thread_cpu(bed.pid(), "listen-ipv4") - cpu_start) / flood_seconds
        console.join()
        console = threading.Thread(target=searches, args=(bed, args.after, after))
        console.start()
        while console.is_alive():
            pings += [time.monotonic() for m in systemd.receive(0.05) if m == "WATCHDOG=1"]
        pings.append(time.monotonic())
        rss_after = bed.rss_kb()
        routes = len(subprocess.run(["ip", "-n", bed.dns, "-6", "route"], capture_output=True,
                                    text=True).stdout.splitlines())
        start = time.monotonic()
        bed.send_signal(signal.SIGTERM)
        try:
            bed.proc.wait(timeout=20)
            stop = time.monotonic() - start
        except subprocess.TimeoutExpired:
            stop = None
            bed.send_signal(signal.SIGKILL)
            bed.proc.wait(timeout=10)
        systemd.close()
        warnings = [m for m in bed.messages("WARNING") if "routes or addresses" in m]
        return {"daemon": args.daemon, "ipv6": args.ipv6, "kernel_ipv6_routes": routes,
                "answered_during": f"{sum(during)}/{len(during)}",
                "answered_after": f"{sum(after)}/{len(after)}",
                "longest_ping_gap_s": round(max(b - a for a, b in zip(pings, pings[1:])), 2),
                "listener_cpu": round(cpu, 3), "rss_kb_before": rss_before,
                "rss_kb_after": rss_after, "sigterm_s": None if stop is None else round(stop, 3),
                "bound_warnings": len(warnings)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", default="build/discovery")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--rate", type=float, default=200)
    parser.add_argument("--each", type=int, default=45)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--after", type=float, default=15)
    args = parser.parse_args()
    testbed.DAEMON = os.path.abspath(args.daemon)
    testbed.SEARCH = os.path.abspath(os.path.join(os.path.dirname(args.daemon), "ssdp-search"))
    print(json.dumps(run(args)))


if __name__ == "__main__":
    main()
