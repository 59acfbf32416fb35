#!/usr/bin/env python3
"""Measures the daemon under a flood of router advertisements from a host on eth1's segment
(tests/integration/ra_flood.py: each with many new on-link prefixes, which Linux turns into
routes), with an unrelated address of eth1's added and removed every --churn seconds, or under a
crowd of forged searches from fresh sources (--crowd, searches a second, instead of the
advertisements): a console searching twice a second during the load and after it (over each
family, with --ipv6), the longest gap between watchdog pings, the IPv4 listener's processor time
during the load, the resident size before and after, and how long SIGTERM takes. Runs the real
daemon in throw-away namespaces, as the tests do (unprivileged, under a stock kernel's
socket-buffer limits); needs root. Run as
    python3 bench/ra_flood.py [--daemon build/discovery] [--ipv6] [--rate 200] [--each 45]
        [--seconds 20] [--after 15] [--churn 2] [--crowd 2000]
Prints one JSON object. Every load is bounded in count and time, and stays in the namespaces."""

import argparse
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))
import testbed  # noqa: E402
from test_hostile import forged_search  # noqa: E402
from test_notify import Systemd  # noqa: E402

SO_TIMESTAMP = 29  # Linux's, which the socket module lacks: a timeval with each datagram
RA_FLOOD = os.path.join(os.path.dirname(HERE), "tests", "integration", "ra_flood.py")


def thread_cpu(pid, name=None):
    """The processor seconds of the daemon's thread called `name`, or of the whole daemon."""
    if name is None:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            if f.read().strip() == name:
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return 0.0


def searches(bed, seconds, answered):
    """Starts a search every half second for `seconds` over each family `answered` holds (4, 6),
    each waiting long enough for an answer drawn below its MX of 1 s, and appends whether each
    was answered, in order."""
    with ThreadPoolExecutor(8) as pool:
        results = {family: [] for family in answered}
        start = time.monotonic()
        for i in range(int(seconds * 2)):
            time.sleep(max(0.0, start + i * 0.5 - time.monotonic()))
            for family in answered:
                results[family].append(pool.submit(bed.search, *(["-6"] if family == 6 else []),
                                                   mx="1", wait_ms=1300))
        for family, found in results.items():
            answered[family] += [bool(r.result()) for r in found]


def churn(bed, every, done):
    """Adds an address of eth1's subnet and removes it again, every `every` seconds, until
    `done`."""
    while not done.wait(every):
        verb = "add" if churn.added is False else "del"
        subprocess.run(["ip", "-n", bed.dns, "addr", verb, "198.18.0.200/24", "dev", "eth1"],
                       capture_output=True)
        churn.added = not churn.added


churn.added = False


def load(bed, args):
    """The advertisements, or the forged crowd of fresh sources (10/8, off-link: each refused,
    after its route is asked for), in the background: a function that waits for the end and
    returns the load's seconds."""
    if args.crowd:
        crowd = [forged_search(f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}", 10000 + i % 50000)
                 for i in range(int(args.crowd * args.seconds))]
        pool = ThreadPoolExecutor(1)
        sent = pool.submit(bed.forge, crowd, 1 / args.crowd)
        return lambda: sent.result()["seconds"], lambda: sent.result()["sent"]
    flood = subprocess.Popen(["ip", "netns", "exec", bed.cns, "python3", RA_FLOOD, "cp0",
                              str(args.rate), str(args.each), str(args.seconds)],
                             stdout=subprocess.PIPE, text=True)
    result = {}

    def wait():
        result.update(result or json.loads(flood.communicate(timeout=args.seconds + 60)[0]))
        return result
    return lambda: wait()["seconds"], lambda: wait()["sent"]


def run(args):
    with testbed.Testbed() as bed:
        bed.enable_ipv6()
        systemd = Systemd(bed)
        bed.start(extra=systemd.env(), args=["--ipv6"] if args.ipv6 else [])
        systemd.wait_for(lambda m: m == "READY=1")
        time.sleep(1.0)
        rss_before = bed.rss_kb()
        pings, done = [time.time()], threading.Event()
        systemd.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
        systemd.sock.settimeout(0.05)

        def watch():
            # Each ping by the kernel's time of its arrival, which a busy measuring process
            # cannot delay.
            while not done.is_set():
                try:
                    data, ancillary, _, _ = systemd.sock.recvmsg(4096, 64)
                except socket.timeout:
                    continue
                stamp = [struct.unpack("qq", d[:16]) for _, kind, d in ancillary
                         if kind == SO_TIMESTAMP]
                if data == b"WATCHDOG=1" and stamp:
                    pings.append(stamp[0][0] + stamp[0][1] / 1e6)
        watcher = threading.Thread(target=watch)
        watcher.start()
        families = [4, 6] if args.ipv6 else [4]
        during, after = {f: [] for f in families}, {f: [] for f in families}
        cpu_start = thread_cpu(bed.pid(), "listen-ipv4")
        process_start = thread_cpu(bed.pid())
        churner = threading.Thread(target=churn, args=(bed, args.churn, done))
        if args.churn:
            churner.start()
        load_seconds, load_sent = load(bed, args)
        searches(bed, args.seconds, during)
        flood_seconds = load_seconds()
        cpu = (thread_cpu(bed.pid(), "listen-ipv4") - cpu_start) / flood_seconds
        process_cpu = (thread_cpu(bed.pid()) - process_start) / flood_seconds
        searches(bed, args.after, after)
        done.set()
        watcher.join()
        if args.churn:
            churner.join()
        pings.append(time.time())
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
        warnings = [m for m in bed.messages("WARNING")
                    if "routes" in m or "addresses" in m or "RTM_GETROUTE" in m]
        return {"daemon": args.daemon, "ipv6": args.ipv6, "kernel_ipv6_routes": routes,
                "load_per_s": round(load_sent() / flood_seconds),
                **{f"answered_during_v{f}": f"{sum(during[f])}/{len(during[f])}"
                   for f in families},
                **{f"answered_after_v{f}": f"{sum(after[f])}/{len(after[f])}" for f in families},
                "listener_cpu_us_per_datagram": round(cpu * flood_seconds * 1e6 / load_sent(), 1)
                if args.crowd else None,
                "longest_ping_gap_s": round(max(b - a for a, b in zip(pings, pings[1:])), 2),
                "listener_cpu": round(cpu, 3), "daemon_cpu": round(process_cpu, 3),
                "rss_kb_before": rss_before,
                "rss_kb_after": rss_after, "sigterm_s": None if stop is None else round(stop, 3),
                "host_view_warnings": len(warnings), "warning_sample": warnings[:2]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", default="build/discovery")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--rate", type=float, default=200)
    parser.add_argument("--each", type=int, default=45)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--after", type=float, default=15)
    parser.add_argument("--churn", type=float, default=0)
    parser.add_argument("--crowd", type=float, default=0)
    args = parser.parse_args()
    testbed.DAEMON = os.path.abspath(args.daemon)
    testbed.SEARCH = os.path.abspath(os.path.join(os.path.dirname(args.daemon), "ssdp-search"))
    print(json.dumps(run(args)))


if __name__ == "__main__":
    main()
