#!/usr/bin/env python3
"""Runs the benchmarks of the daemon and its peers side by side and writes their figures as
JSON. Called by bench/run.sh, which installs the packages and builds; needs root. Every network
is a set of throw-away namespaces whose names carry this run's tag, deleted on the way out
whatever ends the run; every load is bounded in count and time. bench/RESULTS.md says what each
scenario measures."""

import argparse
import contextlib
import glob
import json
import os
import platform
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))
import netns  # noqa: E402
import testbed  # noqa: E402
from netns import sh  # noqa: E402
from stats import median, uniformity  # noqa: E402

FLOOD = os.path.join(os.path.dirname(HERE), "tests", "integration", "flood.py")
# bench/run.sh passes its own pid, so that its exit trap can remove what a killed run left.
PREFIX = f"sdb{os.environ.get('BENCH_TAG', os.getpid())}"
REDFISH_ST = "urn:dmtf-org:service:redfish-rest:1"
NEIGH = "/proc/sys/net/ipv4/neigh/default/gc_thresh{}"
NEIGH_LIMITS = (2048, 4096, 8192)  # for the fleet; RESULTS.md says why
STATIC_ABOVE = 500  # larger fleets get static neighbour entries; RESULTS.md says why
GSSDP_MAX = 300  # the largest fleet of GSSDP peers that fits the run's time
RATE = 250.0  # searches per second in the cost runs
# The cost load's console addresses: the daemon holds at most 16 responses for one address.
CONSOLES = [f"198.18.1.{i}" for i in range(1, 33)]
LOG_CONF = "".join(f"""-- {logger}
* GLOBAL:
    FORMAT = "%level|%func|%msg"
    TO_STANDARD_OUTPUT = true
    TO_FILE = false
""" for logger in ("discovery", "datamgr"))


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, flush=True)


def uuid_for(index):
    return f"92384634-2938-2342-8820-{index:012d}"


def responder_address(i):
    return f"198.19.{i // 250}.{i % 250 + 1}"


class Responder:
    """One kind of responder; each instance runs in a station's namespace from a tree of its
    own, and says `ready` on its output when it listens."""

    def __init__(self, key, label, binary, ready, args, daemon_tree=False):
        self.key, self.label, self.binary, self.ready = key, label, binary, ready
        self.args, self.daemon_tree = args, daemon_tree
        self.procs = []

    def start(self, work, ns, address, index, wrap=()):
        tree = tempfile.mkdtemp(prefix=self.key, dir=work)
        cwd = testbed.lay_out(tree, LOG_CONF, uuid_for(index)) if self.daemon_tree else tree
        out = os.path.join(tree, "out.txt")
        with open(out, "w") as f:  # ip netns exec execs the program in place: same pid
            proc = subprocess.Popen(["ip", "netns", "exec", ns, *wrap, self.binary,
                                     *self.args(address, index)], cwd=cwd, stdout=f,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        proc.out = out
        self.procs.append(proc)
        return proc

    def wait_ready(self, procs, timeout):
        deadline = time.monotonic() + timeout
        for proc in procs:
            while self.ready not in open(proc.out, errors="replace").read():
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"{self.label} not ready ({proc.returncode}):\n"
                                       + open(proc.out, errors="replace").read())
                time.sleep(0.05)

    def stop(self, procs=None, sig=signal.SIGTERM):
        procs = list(self.procs if procs is None else procs)
        for proc in procs:
            if proc.poll() is None:
                proc.send_signal(sig)
        for proc in procs:
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            self.procs.remove(proc)


def sample(pid):
    """CPU time (ns) and context switches summed over a process's threads, and its memory."""
    cpu = switches = voluntary = 0
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            cpu += int(open(f"{task}/schedstat").read().split()[0])
            status = open(f"{task}/status").read()
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that ended meanwhile
        v = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M)[1])
        switches += v + int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status, re.M)[1])
        voluntary += v
    status = open(f"/proc/{pid}/status").read()
    field = lambda name: int(re.search(rf"^{name}:\s+(\d+)", status, re.M)[1])  # noqa: E731
    return {"cpu_ns": cpu, "switches": switches, "voluntary": voluntary, "time": time.monotonic(),
            "rss_kb": field("VmRSS"), "threads": field("Threads")}


def settle(procs, quiet_ms=1.0, step=0.5, limit=60.0):
    """Waits until the instances use less than quiet_ms of CPU each per step (a fleet of GSSDP
    peers handles each other's start-up announcements for a while); returns the seconds."""
    start = time.monotonic()
    last = sum(sample(p.pid)["cpu_ns"] for p in procs)
    while time.monotonic() - start < limit:
        time.sleep(step)
        now = sum(sample(p.pid)["cpu_ns"] for p in procs)
        if now - last < quiet_ms * 1e6 * len(procs):
            break
        last = now
    return round(time.monotonic() - start, 1)


def sizes(binary, pid):
    """The executable's size, stripped, and with every file the process maps."""
    mapped = {}
    for line in open(f"/proc/{pid}/maps"):
        path = line.split(None, 5)[5].strip() if len(line.split(None, 5)) == 6 else ""
        if path.startswith("/") and os.path.exists(path):
            mapped[path] = os.path.getsize(path)
    with tempfile.NamedTemporaryFile() as tmp:
        sh("strip", "-o", tmp.name, binary)
        stripped = os.path.getsize(tmp.name)
    return {"binary_bytes": os.path.getsize(binary), "binary_stripped_bytes": stripped,
            "mapped_files_bytes": sum(mapped.values())}


@contextlib.contextmanager
def neighbour_table(values):
    """Raises the kernel's neighbour table limits (gc_thresh1/2/3) for the block and restores
    them after, whatever ends it. They live in the initial namespace: on this kind of kernel
    the table is shared by every namespace (fleet() handles kernels that differ)."""
    old = [open(NEIGH.format(i)).read().strip() for i in (1, 2, 3)]
    try:
        for i, value in enumerate(values, 1):
            with open(NEIGH.format(i), "w") as f:
                f.write(str(value))
        yield
    finally:
        for i, value in enumerate(old, 1):
            with open(NEIGH.format(i), "w") as f:
                f.write(value)


def neighbour_entries(spaces):
    """The IPv4 neighbour entries in these namespaces (the kernel's own count takes in every
    namespace of the machine)."""
    return sum(len(sh("ip", "-n", ns, "-4", "-o", "neigh", "show", "nud", "all")
                   .stdout.splitlines()) for ns in spaces)


def backlog_drops():
    """Frames dropped so far because a CPU's input queue was full (net.core.netdev_max_backlog)."""
    return sum(int(line.split()[1], 16) for line in open("/proc/net/softnet_stat"))


def add_addresses(ns, addresses):
    netns.batch([f"addr add {a}/15 dev cp0" for a in addresses], ns)


def search(build, ns, count, mx, wait_ms, interval_ms=0, sources=()):
    """The search client; with sources, request i leaves from the i-th address, a console each."""
    return subprocess.Popen(["ip", "netns", "exec", ns, os.path.join(build, "ssdp-search"),
                             "--json", "--interface", "cp0", "--count", str(count), "--mx",
                             str(mx), "--st", REDFISH_ST, "--wait", str(wait_ms),
                             "--interval", str(interval_ms),
                             *(["--source", ",".join(sources)] if sources else [])],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def answers(proc, timeout=120):
    out, _ = proc.communicate(timeout=timeout)
    return [json.loads(line) for line in out.splitlines() if line.strip()]


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = tempfile.mkdtemp(prefix="discovery-bench-")
        peer = lambda name: os.path.join(self.build, name)  # noqa: E731
        daemon = lambda key, label, path: Responder(  # noqa: E731
            key, label, os.path.abspath(path), "listenerThread", lambda a, i: [], True)
        self.ours = daemon("ours", "discovery", args.daemon or peer("discovery"))
        self.floor = Responder("floor", "floor peer", peer("floor-peer"), "ready",
                               lambda a, i: ["eth1", uuid_for(i)])
        self.gssdp = Responder("gssdp", "GSSDP peer", peer("gssdp-peer"), "ready",
                               lambda a, i: [uuid_for(i), f"https://{a}/redfish/v1"])
        self.responders = [self.ours, self.floor, self.gssdp]
        # In the cost and idle figures; --no-peers keeps to the daemons, for paired runs of two
        # binaries that want more repeats.
        self.measured = [self.ours] if args.no_peers else list(self.responders)
        if args.before:
            self.measured.insert(1, daemon("before", "discovery before", args.before))
        if args.two_interfaces:
            # The same daemon on a second port, eth0, listed first; the searches come in by eth1.
            two = daemon("two", "discovery, -i eth0 -i eth1", args.daemon or peer("discovery"))
            two.args, two.second_port = (lambda a, i: ["-i", "eth0", "-i", "eth1"]), True
            self.measured.insert(1, two)
        self.lans = []
        self.results = {"config": vars(args), "labels": {r.key: r.label for r in self.measured}}

    def lan(self, name):
        lan = netns.Lan(f"{PREFIX}-{name}")
        self.lans.append(lan)
        return lan

    def solo(self, r, tag, wrap=(), timeout=30):
        """One responder (eth1, 198.18.0.1) with a console (cp0, 198.18.1.1) on a segment of
        their own; returns the segment, the ready responder and the console."""
        lan = self.lan(f"{tag}{r.key}")
        target, console = lan.stations([("d", "eth1", "198.18.0.1/15"),
                                        ("c", "cp0", f"{CONSOLES[0]}/15")])
        add_addresses(console, CONSOLES[1:])
        if getattr(r, "second_port", False):
            netns.veth(target, "eth0", target, "eth0p")
            netns.configure(target, "eth0p", ipv6=False)
            netns.configure(target, "eth0", "198.19.255.1/24", ipv6=False, multicast_route=False)
        proc = r.start(self.work, target, "198.18.0.1", 1, wrap)
        r.wait_ready([proc], timeout)
        return lan, proc, console

    def drop(self, lan):
        lan.close()
        self.lans.remove(lan)

    def close(self):
        for r in self.measured:
            r.stop(sig=signal.SIGKILL)
        for lan in self.lans:
            lan.close()
        sh("rm", "-rf", self.work)

    def alternate(self, rep, responders):
        return responders if rep % 2 == 0 else responders[::-1]

    # Idle: every responder started fresh, no traffic; the micro-benchmarks run meanwhile.
    def idle(self):
        procs = {r.key: self.solo(r, "i")[1] for r in self.measured}
        time.sleep(5)
        before = {k: sample(p.pid) for k, p in procs.items()}
        start = time.monotonic()
        self.results["micro"] = self.micro()
        time.sleep(max(0.0, self.args.idle_s - (time.monotonic() - start)))
        out = {}
        for r in self.measured:
            b, a = before[r.key], sample(procs[r.key].pid)
            seconds = a["time"] - b["time"]
            out[r.key] = {"seconds": seconds, "rss_kb": a["rss_kb"], "threads": a["threads"],
                          "cpu_ms_per_min": (a["cpu_ns"] - b["cpu_ns"]) / 1e6 * 60 / seconds,
                          "wakeups_per_s": (a["voluntary"] - b["voluntary"]) / seconds,
                          **sizes(r.binary, procs[r.key].pid)}
            r.stop()
        self.results["idle"] = out
        log("idle: " + ", ".join(f"{k} {v['wakeups_per_s']:.1f} wake-ups/s" for k, v in
                                 out.items()))

    def micro(self):
        res = sh(os.path.join(self.build, "bench", "micro_bench"), "--benchmark_format=json",
                 "--benchmark_repetitions=5", timeout=300)
        runs = {}
        for b in json.loads(res.stdout)["benchmarks"]:
            if b.get("run_type") == "iteration":
                scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
                runs.setdefault(b["run_name"], []).append((b["cpu_time"] * scale,
                                                           b["real_time"] * scale))
        return {name: {"cpu_ns": median([c for c, _ in r]), "real_ns": median([w for _, w in r])}
                for name, r in runs.items()}

    # Burst: K consoles, each its own address, over four console namespaces; one search each
    # within 90 ms, MX 2.
    def burst(self):
        mx, reps = 2, self.args.burst_reps
        per = (max(self.args.burst_k) + 3) // 4
        addresses = [[f"198.18.{j + 1}.{i + 1}" for i in range(per)] for j in range(4)]
        setups = {}
        for r in self.responders:
            lan = self.lan(f"b{r.key}")
            target = lan.station("d", "eth1", "198.18.0.1/15")
            consoles = lan.stations([(f"c{j}", "cp0", f"{addresses[j][0]}/15") for j in range(4)])
            for ns, own in zip(consoles, addresses):
                add_addresses(ns, own[1:])
            setups[r.key] = (r.start(self.work, target, "198.18.0.1", 1), consoles)
            r.wait_ready([setups[r.key][0]], 30)
        time.sleep(1)
        out = {r.key: {} for r in self.responders}
        for k in self.args.burst_k:
            for rep in range(reps):
                for r in self.alternate(rep, self.responders):
                    sizes_ = [k // 4 + (j < k % 4) for j in range(4)]
                    procs = [search(self.build, c, n, mx, mx * 1000 + 1500, 90 // n, own[:n])
                             for c, n, own in zip(setups[r.key][1], sizes_, addresses) if n]
                    first, responses = {}, 0
                    for j, p in enumerate(procs):
                        for a in answers(p):
                            responses += 1
                            first[j, a["request"]] = min(first.get((j, a["request"]), 1e9),
                                                         a["ms"])
                    out[r.key].setdefault(str(k), []).append(
                        {"searches": k, "responses": responses, "times": sorted(first.values())})
            log(f"burst K={k}: " + ", ".join(
                f"{r.label} {sum(len(x['times']) for x in out[r.key][str(k)])}/{k * reps}"
                for r in self.responders))
        for r in self.responders:
            out[r.key]["rss_after_kb"] = sample(setups[r.key][0].pid)["rss_kb"]
            r.stop()
        self.results["burst"] = out

    # Fleet: N responders on one segment, one console, searches with MX 3.
    def fleet(self):
        a = self.args
        reps = a.fleet_reps + a.fleet_reps[-1:] * len(a.fleet_n)
        lan = self.lan("f")
        console = lan.station("c", "cp0", "198.18.1.1/15")
        mac = json.loads(sh("ip", "-j", "-n", console, "link", "show", "cp0").stdout)[0]
        # Where the kernel gives each namespace a table of its own, each gets the limits too.
        own_table = sh("ip", "netns", "exec", console, "test", "-e", NEIGH.format(3),
                       check=False).returncode == 0
        stations, static = [], 0
        out = {r.key: {} for r in self.responders}
        with neighbour_table(NEIGH_LIMITS):
            for n, count in zip(a.fleet_n, reps):
                new = lan.stations([(f"d{i}", "eth1", f"{responder_address(i)}/15")
                                    for i in range(len(stations), n)])
                for ns in (new + [console] * (not stations)) if own_table else []:
                    sh("ip", "netns", "exec", ns, "sysctl", "-qw", *(
                        f"net.ipv4.neigh.default.gc_thresh{i}={v}"
                        for i, v in enumerate(NEIGH_LIMITS, 1)))
                stations += new
                if n > STATIC_ABOVE:
                    for ns in stations[static:]:
                        netns.batch([f"neigh replace 198.18.1.1 lladdr {mac['address']} "
                                     "nud permanent dev eth1"], ns)
                    static = n
                for r in self.responders:
                    if r is self.gssdp and n > GSSDP_MAX:
                        continue
                    # Each kind starts with empty caches, as a console's first search does.
                    for ns in [console] + stations[static:n]:
                        netns.batch(["neigh flush all"], ns)
                    out[r.key][str(n)] = {**self.fleet_searches(r, stations[:n], console, count),
                                          "static_neighbours": static == n}
            self.drop(lan)
        self.results["fleet"] = out

    def fleet_searches(self, r, stations, console, count, mx=3):
        procs = [r.start(self.work, ns, responder_address(i), i + 1)
                 for i, ns in enumerate(stations)]
        r.wait_ready(procs, 120)
        settled = settle(procs)
        time.sleep(1)  # the group reports that joining sends, repeated within a second
        searches, entries, drops = [], [], []
        for _ in range(count):
            before = backlog_drops()
            found = {}
            for ans in answers(search(self.build, console, 1, mx, mx * 1000 + 2000)):
                found[ans["from"]] = min(found.get(ans["from"], 1e9), ans["ms"])
            searches.append(sorted(found.values()))
            entries.append(neighbour_entries([console] + stations))
            drops.append(backlog_drops() - before)
            time.sleep(0.3)
        r.stop(procs)
        late = [sum(t > mx * 1000 for t in s) for s in searches]
        pooled = uniformity([t for s in searches for t in s], mx * 1000)
        log(f"fleet N={len(stations)} {r.label}: discovered {[len(s) for s in searches]}, "
            f"late {late}, p={pooled['p']}, settled in {settled} s, {entries} neighbours, "
            f"{drops} backlog drops")
        return {"settle_s": settled, "searches": searches, "late": late, "pooled": pooled,
                "neighbours": entries, "backlog_drops": drops,
                "per_search": [uniformity(s, mx * 1000)["p"] for s in searches]}

    def load(self, console, count):
        res = sh("ip", "netns", "exec", console, sys.executable, FLOOD, json.dumps(
            {"src": CONSOLES, "count": count, "seconds": count / RATE, "sockets": 32,
             "valid": 1, "mx": "1", "batch": 1, "linger": 1.5}), timeout=count / RATE * 1.5 + 60)
        flood = json.loads(res.stdout)
        return {"sent": flood["sent"], "responses": sum(flood["responses"]),
                "payloads": len(flood["payloads"])}

    # Cost: CPU time and context switches per answered search under a steady load, then
    # user-space instructions per answered search under callgrind.
    def cost(self):
        out = {r.key: {"native": []} for r in self.measured}
        for rep in range(self.args.cost_reps):
            order = self.alternate(rep, self.measured)
            for group in [order] if self.args.side_by_side else [[r] for r in order]:
                self.cost_run(group, out)
        for r in self.measured if self.args.callgrind_searches else []:
            dump = os.path.join(self.work, f"cg-{r.key}")
            lan, proc, console = self.solo(r, "g", ["valgrind", "--tool=callgrind",
                                                    f"--callgrind-out-file={dump}"], 120)
            time.sleep(2)
            sh("callgrind_control", "--zero", str(proc.pid))
            load = self.load(console, self.args.callgrind_searches)
            sh("callgrind_control", "--dump", str(proc.pid))  # written to dump.1
            r.stop([proc])
            self.drop(lan)
            total = int(re.search(r"^totals:\s+(\d+)", open(f"{dump}.1").read(), re.M)[1])
            out[r.key]["callgrind"] = {**load, "per_search": total / max(1, load["responses"])}
            log(f"callgrind {r.label}: {out[r.key]['callgrind']['per_search']:.0f} instructions "
                "per search")
        for r in self.measured if self.args.strace_searches else []:
            out[r.key]["strace"] = self.syscalls(r)
        self.results["cost"] = out

    def cost_run(self, group, out):
        """The steady load on each responder of `group`, each on a segment of its own with a load
        of its own, all at once: side by side, the machine's drift touches them alike."""
        setups = [(r, *self.solo(r, "n")) for r in group]
        time.sleep(1)
        before = [sample(proc.pid) for _, _, proc, _ in setups]
        loads = [None] * len(setups)

        def run(i):
            loads[i] = self.load(setups[i][3], self.args.cost_searches)
        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(setups))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for (r, lan, proc, _), b, load in zip(setups, before, loads):
            after = sample(proc.pid)
            r.stop([proc])
            self.drop(lan)
            answered = max(1, load["responses"])
            out[r.key]["native"].append({
                **load, "us_per_search": (after["cpu_ns"] - b["cpu_ns"]) / 1e3 / answered,
                "switches_per_search": (after["switches"] - b["switches"]) / answered})
            log(f"cost {r.label}: {out[r.key]['native'][-1]['us_per_search']:.1f} µs, "
                f"{out[r.key]['native'][-1]['switches_per_search']:.2f} switches per search, "
                f"{load['responses']}/{load['sent']} answered")

    def syscalls(self, r):
        """System calls per answered search, strace -c attached to every thread once the
        responder is ready, so that start-up is not counted; the idle wake-ups during the load
        are."""
        lan, proc, console = self.solo(r, "s")
        time.sleep(1)
        summary = os.path.join(self.work, f"strace-{r.key}")
        tracer = subprocess.Popen(["strace", "-f", "-c", "-q", "-o", summary, "-p",
                                   str(proc.pid)], stderr=subprocess.DEVNULL)
        time.sleep(1)
        load = self.load(console, self.args.strace_searches)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(timeout=30)
        r.stop([proc])
        self.drop(lan)
        calls = {}
        for line in open(summary):
            cells = line.split()
            if len(cells) >= 5 and cells[3].isdigit():
                calls[cells[-1]] = int(cells[3])
        total = calls.pop("total", 0)
        answered = max(1, load["responses"])
        result = {**load, "per_search": total / answered,
                  "calls": {k: v / answered for k, v in calls.items()}}
        log(f"strace {r.label}: {result['per_search']:.2f} system calls per search (" + ", ".join(
            f"{k} {v:.2f}" for k, v in sorted(result["calls"].items(), key=lambda x: -x[1])[:6])
            + ")")
        return result


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--out", required=True, help="where to write the figures (JSON)")
    p.add_argument("--daemon", help="daemon binary to measure (default BUILD/discovery)")
    p.add_argument("--before", help="a second daemon binary, e.g. one built before a change, "
                   "measured beside the first in the cost and idle figures")
    p.add_argument("--only", nargs="+", default=["idle", "burst", "fleet", "cost"])
    p.add_argument("--burst-k", type=int, nargs="+", default=[1, 10, 50, 100, 200])
    p.add_argument("--burst-reps", type=int, default=5)
    p.add_argument("--fleet-n", type=int, nargs="+", default=[10, 50, 100, 300, 1000])
    p.add_argument("--fleet-reps", type=int, nargs="+", default=[3, 3, 3, 3, 1],
                   help="searches per N (the last one repeats for further N)")
    p.add_argument("--cost-searches", type=int, default=5000)
    p.add_argument("--cost-reps", type=int, default=5)
    p.add_argument("--callgrind-searches", type=int, default=2000, help="0: no callgrind run")
    p.add_argument("--strace-searches", type=int, default=2000, help="0: no strace run")
    p.add_argument("--no-peers", action="store_true",
                   help="cost and idle figures of the daemons only, without the two peers")
    p.add_argument("--side-by-side", action="store_true",
                   help="cost runs of every measured responder at once, each with its own load")
    p.add_argument("--two-interfaces", action="store_true",
                   help="also measure the daemon joined on eth1 and a second port, eth0")
    p.add_argument("--idle-s", type=float, default=60.0)
    args = p.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("bench.py needs root (network namespaces)")

    bench = Bench(args)
    # A signal ends the run through the finally clauses, which remove what was made.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda s, _f: sys.exit(128 + s))
    started = time.monotonic()
    bench.results["machine"] = {"cores": os.cpu_count(), "kernel": platform.release(),
                                "date": time.strftime("%Y-%m-%d %H:%M %Z"),
                                "load_before": os.getloadavg()}
    try:
        for scenario in ("idle", "burst", "fleet", "cost"):
            if scenario in args.only:
                getattr(bench, scenario)()
    finally:
        bench.close()
    bench.results["seconds"] = round(time.monotonic() - started)
    with open(args.out, "w") as f:
        json.dump(bench.results, f, indent=1)
    log(f"figures written to {args.out} after {bench.results['seconds']} s")


if __name__ == "__main__":
    main()
