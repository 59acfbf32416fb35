#!/usr/bin/env python3
"""Runs every benchmark of the daemon and of the GSSDP peer in one go and writes RESULTS.md,
results.json and the plots beside this file. Called by bench/run.sh, which installs the packages
and builds; needs root (network namespaces).

Networks: each scenario builds a switch namespace holding a bridge, and attaches stations
(namespaces with one veth end: "eth1" for a responder, "cp0" for a console) with addresses from
198.18.0.0/15. Every namespace name carries this process's id and is deleted on the way out,
whatever ends the run. Every load is bounded in count and time."""

import argparse
import glob
import json
import math
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# bench/run.sh passes its own pid, so that its exit trap can remove what a killed run left.
PREFIX = f"sdb{os.environ.get('BENCH_TAG', os.getpid())}"
REDFISH_ST = "urn:dmtf-org:service:redfish-rest:1"

LOG_CONF = """-- discovery
* GLOBAL:
    FORMAT = "%level|%func|%msg"
    TO_STANDARD_OUTPUT = true
    TO_FILE = false
-- datamgr
* GLOBAL:
    FORMAT = "%level|%func|%msg"
    TO_STANDARD_OUTPUT = true
    TO_FILE = false
"""


def sh(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, flush=True)


def uuid_for(index):
    return f"92384634-2938-2342-8820-{index:012d}"


# --- networks ---------------------------------------------------------------------------------
class Lan:
    """A bridge in a switch namespace; stations hang off it through veth pairs."""

    def __init__(self, name):
        self.name = name
        self.spaces = []
        self.ports = 0
        self.switch = self._space("sw")
        sh("ip", "-n", self.switch, "link", "add", "br0", "type", "bridge", "mcast_snooping", "0")
        sh("ip", "-n", self.switch, "link", "set", "br0", "up")

    def _space(self, role):
        ns = f"{PREFIX}-{self.name}-{role}"
        sh("ip", "netns", "add", ns)
        self.spaces.append(ns)
        sh("ip", "-n", ns, "link", "set", "lo", "up")
        return ns

    def station(self, role, ifname, address):
        ns = self._space(role)
        port = f"p{self.ports}"
        self.ports += 1
        sh("ip", "-n", self.switch, "link", "add", port, "type", "veth", "peer", "name", ifname,
           "netns", ns)
        sh("ip", "-n", self.switch, "link", "set", port, "master", "br0", "up")
        sh("ip", "-n", ns, "addr", "add", f"{address}/15", "dev", ifname)
        sh("ip", "-n", ns, "link", "set", ifname, "up")
        sh("ip", "-n", ns, "route", "add", "224.0.0.0/4", "dev", ifname)
        return ns

    def close(self):
        for ns in reversed(self.spaces):
            sh("ip", "netns", "del", ns, check=False)
        self.spaces = []


def remove_leftover_spaces():
    for line in sh("ip", "netns", "list", check=False).stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        if name.startswith(PREFIX + "-"):
            sh("ip", "netns", "del", name, check=False)


# --- the two responders -----------------------------------------------------------------------
class Instance:
    def __init__(self, proc, out_path, ready_text):
        self.proc = proc
        self.out_path = out_path
        self.ready_text = ready_text

    @property
    def pid(self):
        return self.proc.pid  # ip netns exec execs the program in place

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def wait_ready(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.ready_text in self.output():
                return
            if self.proc.poll() is not None:
                raise RuntimeError(f"responder exited ({self.proc.returncode}):\n{self.output()}")
            time.sleep(0.05)
        raise RuntimeError(f"responder not ready after {timeout} s:\n{self.output()}")

    def terminate(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)

    def wait(self, timeout=15.0):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()


class Responder:
    """How to start one kind of responder in a namespace."""

    def __init__(self, key, label, binary, ready_text, workdir):
        self.key = key
        self.label = label
        self.binary = binary
        self.ready_text = ready_text
        self.workdir = workdir
        self.count = 0
        self.running = []

    def prepare(self, tree, index):
        raise NotImplementedError

    def command(self, address, index):
        raise NotImplementedError

    def start(self, ns, address, index, wrap=()):
        self.count += 1
        tree = os.path.join(self.workdir, f"{self.key}{self.count}")
        cwd = self.prepare(tree, index)
        out_path = os.path.join(tree, "stdout.txt")
        with open(out_path, "w") as out:
            proc = subprocess.Popen(["ip", "netns", "exec", ns, *wrap,
                                     *self.command(address, index)],
                                    cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
        inst = Instance(proc, out_path, self.ready_text)
        self.running.append(inst)
        return inst

    def stop_all(self, instances=None):
        instances = list(self.running if instances is None else instances)
        for inst in instances:
            inst.terminate()
        for inst in instances:
            inst.wait()
            self.running.remove(inst)


class Daemon(Responder):
    """Our daemon, in the tree it expects: opt/bin (cwd), opt/config/log.conf, data/redfish.json."""

    def prepare(self, tree, index):
        os.makedirs(os.path.join(tree, "opt", "bin"))
        os.makedirs(os.path.join(tree, "opt", "config"))
        os.makedirs(os.path.join(tree, "data"))
        with open(os.path.join(tree, "opt", "config", "log.conf"), "w") as f:
            f.write(LOG_CONF)
        with open(os.path.join(tree, "data", "redfish.json"), "w") as f:
            json.dump({"uuid": uuid_for(index)}, f)
        return os.path.join(tree, "opt", "bin")

    def command(self, address, index):
        return [self.binary]


class FloorPeer(Responder):
    def prepare(self, tree, index):
        os.makedirs(tree)
        return tree

    def command(self, address, index):
        return [self.binary, "eth1", uuid_for(index)]


class GssdpPeer(Responder):
    def prepare(self, tree, index):
        os.makedirs(tree)
        return tree

    def command(self, address, index):
        return [self.binary, uuid_for(index), f"https://{address}/redfish/v1"]


# --- process figures --------------------------------------------------------------------------
def sample(pid):
    """CPU time (ns, summed over the threads), context switches, and memory of a process."""
    cpu_ns = voluntary = involuntary = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu_ns += int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{task}/status") as f:
                status = f.read()
            voluntary += int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M)[1])
            involuntary += int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status,
                                         re.M)[1])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    with open(f"/proc/{pid}/status") as f:
        status = f.read()
    field = lambda name: int(re.search(rf"^{name}:\s+(\d+)", status, re.M)[1])  # noqa: E731
    return {"cpu_ns": cpu_ns, "voluntary": voluntary, "involuntary": involuntary,
            "rss_kb": field("VmRSS"), "hwm_kb": field("VmHWM"), "threads": field("Threads"),
            "time": time.monotonic()}


def settle(instances, quiet_ms=1.0, step=0.5, limit=30.0):
    """Waits until the instances use less than quiet_ms of CPU each per step: the GSSDP
    peers announce themselves at start-up, and a fleet of them is busy with the others'
    announcements for a while. Returns the seconds waited."""
    start = time.monotonic()
    last = sum(sample(i.pid)["cpu_ns"] for i in instances)
    while time.monotonic() - start < limit:
        time.sleep(step)
        now = sum(sample(i.pid)["cpu_ns"] for i in instances)
        if now - last < quiet_ms * 1e6 * len(instances):
            break
        last = now
    return time.monotonic() - start


def mapped_files(pid):
    """The distinct files a process maps (its executable and shared libraries) and their sizes."""
    files = {}
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            parts = line.split(None, 5)
            if len(parts) == 6 and parts[5].startswith("/"):
                path = parts[5].strip()
                if os.path.exists(path):
                    files[path] = os.path.getsize(path)
    return files


def stripped_size(path):
    with tempfile.NamedTemporaryFile() as tmp:
        sh("strip", "-o", tmp.name, path)
        return os.path.getsize(tmp.name)


# --- statistics -------------------------------------------------------------------------------
def percentile(values, q):
    """Linear interpolation between closest ranks; q in [0, 100]."""
    values = sorted(values)
    if not values:
        return float("nan")
    pos = (len(values) - 1) * q / 100.0
    lo, hi = math.floor(pos), math.ceil(pos)
    return values[lo] + (values[hi] - values[lo]) * (pos - lo)


def median(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float("nan")


def chi2_sf(x, k):
    """P(X >= x) for a chi-square variable with k degrees of freedom (regularised upper
    incomplete gamma function Q(k/2, x/2); series and continued fraction)."""
    a, x = k / 2.0, x / 2.0
    if x <= 0:
        return 1.0
    gln = math.lgamma(a)
    if x < a + 1:
        term = total = 1.0 / a
        n = a
        for _ in range(1000):
            n += 1
            term *= x / n
            total += term
            if abs(term) < abs(total) * 1e-15:
                break
        return max(0.0, 1.0 - total * math.exp(-x + a * math.log(x) - gln))
    b = x + 1 - a
    c = 1.0 / 1e-300
    d = 1.0 / b
    h = d
    for i in range(1, 1000):
        an = -i * (i - a)
        b += 2
        d = an * d + b
        d = 1e-300 if abs(d) < 1e-300 else d
        c = b + an / c
        c = 1e-300 if abs(c) < 1e-300 else c
        d = 1.0 / d
        h *= d * c
        if abs(d * c - 1) < 1e-15:
            break
    return math.exp(-x + a * math.log(x) - gln) * h


def uniformity(times, window_ms, bucket_ms=100, sims=10000):
    """Chi-square test of arrival times against a uniform spread over the window's buckets. With
    fewer than 5 expected per bucket the asymptotic p-value is unreliable, so a Monte Carlo
    p-value (the same statistic over uniform draws) is given and used."""
    k = window_ms // bucket_ms
    counts = [0] * k
    for t in times:
        if 0 <= t < window_ms:
            counts[int(t // bucket_ms)] += 1
    n = sum(counts)
    if n == 0:
        return {"n": 0, "chi2": None, "p": None, "p_asymptotic": None, "method": "none",
                "max_bucket_share": None}
    expected = n / k
    stat = sum((c - expected) ** 2 / expected for c in counts)
    p_asym = chi2_sf(stat, k - 1)
    method, p = "asymptotic", p_asym
    if expected < 5:
        rng = random.Random(20240)
        at_least = 0
        for _ in range(sims):
            sim = [0] * k
            for _ in range(n):
                sim[rng.randrange(k)] += 1
            if sum((c - expected) ** 2 / expected for c in sim) >= stat - 1e-9:
                at_least += 1
        method, p = "monte-carlo", (at_least + 1) / (sims + 1)
    return {"n": n, "chi2": round(stat, 2), "p": p, "p_asymptotic": p_asym, "method": method,
            "max_bucket_share": max(counts) / n, "counts": counts}


# --- the console ------------------------------------------------------------------------------
def start_search(build, ns, count, mx, wait_ms, interval_ms=0):
    cmd = ["ip", "netns", "exec", ns, os.path.join(build, "ssdp-search"), "--json",
           "--interface", "cp0", "--count", str(count), "--mx", str(mx), "--st", REDFISH_ST,
           "--wait", str(wait_ms)]
    if interval_ms:
        cmd += ["--interval", str(interval_ms)]
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def collect(proc, timeout=60):
    out, _ = proc.communicate(timeout=timeout)
    return [json.loads(line) for line in out.splitlines() if line.strip()]


# --- scenarios --------------------------------------------------------------------------------
class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = tempfile.mkdtemp(prefix="discovery-bench-")
        self.ours = Daemon("ours", "discovery",
                           os.path.abspath(args.daemon or os.path.join(self.build, "discovery")),
                           "listenerThread", self.work)
        self.peer = GssdpPeer("peer", "GSSDP peer", os.path.join(self.build, "gssdp-peer"),
                              "ready", self.work)
        self.floor = FloorPeer("floor", "floor peer", os.path.join(self.build, "floor-peer"),
                               "ready", self.work)
        self.responders = [self.ours, self.peer]
        self.cost_responders = [self.ours, self.floor, self.peer]
        if args.before:
            self.before = Daemon("before", "discovery before", os.path.abspath(args.before),
                                 "listenerThread", self.work)
            self.cost_responders.insert(1, self.before)
        self.lans = []
        self.results = {"config": vars(args)}

    def lan(self, name):
        lan = Lan(name)
        self.lans.append(lan)
        return lan

    def close(self):
        for r in self.cost_responders:
            for inst in list(r.running):
                inst.proc.kill()
                inst.proc.wait()
            r.running = []
        for lan in self.lans:
            lan.close()
        remove_leftover_spaces()
        shutil.rmtree(self.work, ignore_errors=True)

    # Burst: K consoles, spread over four console namespaces, each search from its own socket,
    # all sent within 100 ms with MX 2.
    def burst(self):
        ks, reps, mx = self.args.burst_k, self.args.burst_reps, 2
        window_ms = mx * 1000
        setups = {}
        for i, r in enumerate(self.responders):
            lan = self.lan(f"b{r.key}")
            target = lan.station("d", "eth1", "198.18.0.1")
            consoles = [lan.station(f"c{j}", "cp0", f"198.18.1.{j + 1}") for j in range(4)]
            inst = r.start(target, "198.18.0.1", i + 1)
            inst.wait_ready()
            setups[r.key] = (inst, consoles)
        time.sleep(1)
        out = {r.key: {"runs": {}, "rss_idle_kb": sample(setups[r.key][0].pid)["rss_kb"]}
               for r in self.responders}
        for k in ks:
            for rep in range(reps):
                order = self.responders if rep % 2 == 0 else self.responders[::-1]
                for r in order:
                    inst, consoles = setups[r.key]
                    sizes = [k // 4 + (1 if j < k % 4 else 0) for j in range(4)]
                    procs = [start_search(self.build, c, n, mx, window_ms + 1500,
                                          90 // n if n > 1 else 0)
                             for c, n in zip(consoles, sizes) if n > 0]
                    first = {}
                    responses = 0
                    for j, p in enumerate(procs):
                        for resp in collect(p):
                            responses += 1
                            key = (j, resp["request"])
                            first[key] = min(first.get(key, 1e9), resp["ms"])
                    times = list(first.values())
                    within = [t for t in times if t <= window_ms]
                    out[r.key]["runs"].setdefault(str(k), []).append({
                        "searches": k, "answered": len(times), "within": len(within),
                        "responses": responses, "p50": percentile(times, 50),
                        "p99": percentile(times, 99), "max": max(times, default=None),
                        "times": sorted(times)})
            log(f"burst K={k}: " + ", ".join(
                f"{r.label} {sum(x['within'] for x in out[r.key]['runs'][str(k)])}/"
                f"{k * reps} within {mx} s" for r in self.responders))
        for r in self.responders:
            inst = setups[r.key][0]
            s = sample(inst.pid)
            out[r.key]["rss_after_kb"] = s["rss_kb"]
            out[r.key]["hwm_after_kb"] = s["hwm_kb"]
            r.stop_all([inst])
        self.results["burst"] = out

    # Fleet: N responders on one bridge, one console, one search with MX 3, repeated.
    def fleet(self):
        ns_list, reps, mx = self.args.fleet_n, self.args.fleet_reps, 3
        window_ms = mx * 1000
        lan = self.lan("f")
        console = lan.station("c", "cp0", "198.18.1.1")
        stations = []
        out = {r.key: {} for r in self.responders}
        for n in ns_list:
            while len(stations) < n:
                i = len(stations)
                stations.append((lan.station(f"d{i}", "eth1", f"198.18.0.{i + 1}"),
                                 f"198.18.0.{i + 1}"))
            for r in self.responders:
                insts = [r.start(ns, addr, i + 1) for i, (ns, addr) in enumerate(stations[:n])]
                for inst in insts:
                    inst.wait_ready(60)
                settled = settle(insts)
                searches = []
                for _ in range(reps):
                    found = {}
                    for resp in collect(start_search(self.build, console, 1, mx,
                                                     window_ms + 1000)):
                        found[resp["from"]] = min(found.get(resp["from"], 1e9), resp["ms"])
                    times = sorted(found.values())
                    searches.append({"discovered": len(found), "times": times,
                                     "test": uniformity(times, window_ms)})
                    time.sleep(0.3)
                pooled = [t for s in searches for t in s["times"]]
                out[r.key][str(n)] = {"n": n, "searches": searches, "settle_s": round(settled, 1),
                                      "pooled": uniformity(pooled, window_ms)}
                r.stop_all(insts)
                log(f"fleet N={n} {r.label}: discovered "
                    f"{[s['discovered'] for s in searches]}, pooled p="
                    f"{out[r.key][str(n)]['pooled']['p']:.3g}")
        lan.close()
        self.lans.remove(lan)
        self.results["fleet"] = out

    def _pair(self, r, tag):
        lan = self.lan(f"{tag}{r.key}")
        target = lan.station("d", "eth1", "198.18.0.1")
        console = lan.station("c", "cp0", "198.18.1.1")
        return lan, target, console

    def _load(self, console):
        a = self.args
        res = sh("ip", "netns", "exec", console, sys.executable,
                 os.path.join(HERE, "loadgen.py"), "--source", "198.18.1.1",
                 "--count", str(a.cost_searches), "--rate", str(a.cost_rate), "--mx", "1",
                 timeout=a.cost_searches / a.cost_rate + 120)
        return json.loads(res.stdout)

    # Cost: CPU time per answered search natively (repeated), and user-space instructions per
    # answered search under callgrind, each over a steady run of spread-out searches.
    def cost(self):
        rs = self.cost_responders
        out = {r.key: {"native": [], "instructions": None} for r in rs}
        for rep in range(self.args.cost_reps):
            order = rs if rep % 2 == 0 else rs[::-1]
            for r in order:
                lan, target, console = self._pair(r, f"n{rep}")
                inst = r.start(target, "198.18.0.1", 1)
                inst.wait_ready()
                time.sleep(1)
                before = sample(inst.pid)
                load = self._load(console)
                after = sample(inst.pid)
                r.stop_all([inst])
                lan.close()
                answered = max(1, load["responses"])
                out[r.key]["native"].append({
                    **load, "cpu_ms": (after["cpu_ns"] - before["cpu_ns"]) / 1e6,
                    "us_per_search": (after["cpu_ns"] - before["cpu_ns"]) / 1e3 / answered,
                    "switches_per_search": (after["voluntary"] + after["involuntary"]
                                            - before["voluntary"] - before["involuntary"])
                    / answered,
                    "rss_kb": after["rss_kb"]})
                log(f"cost native {r.label}: {out[r.key]['native'][-1]['us_per_search']:.1f} "
                    f"us/search, {load['responses']}/{load['sent']} answered")
        if perf_counts_instructions():
            for r in rs:
                lan, target, console = self._pair(r, "ps")
                inst = r.start(target, "198.18.0.1", 1)
                inst.wait_ready()
                time.sleep(1)
                perf = subprocess.Popen(["perf", "stat", "-x,", "-e", "instructions:u", "-p",
                                         str(inst.pid)], stderr=subprocess.PIPE, text=True)
                load = self._load(console)
                perf.send_signal(signal.SIGINT)
                _, err = perf.communicate(timeout=30)
                r.stop_all([inst])
                lan.close()
                total = int(next(line.split(",")[0] for line in err.splitlines()
                                 if "instructions" in line))
                out[r.key]["instructions"] = {**load, "method": "perf stat", "instructions": total,
                                              "per_search": total / max(1, load["responses"])}
        elif shutil.which("valgrind") and not self.args.no_callgrind:
            for r in rs:
                lan, target, console = self._pair(r, "cg")
                dump = os.path.join(self.work, f"cg-{r.key}")
                inst = r.start(target, "198.18.0.1", 1,
                               wrap=["valgrind", "--tool=callgrind",
                                     f"--callgrind-out-file={dump}.%p"])
                inst.wait_ready(120)
                time.sleep(2)
                sh("callgrind_control", "--zero", str(inst.pid))
                load = self._load(console)
                sh("callgrind_control", "--dump", str(inst.pid))
                r.stop_all([inst])
                lan.close()
                parts = sorted(glob.glob(f"{dump}.{inst.pid}.*"),
                               key=lambda p: int(p.rsplit(".", 1)[1]))
                with open(parts[0]) as f:
                    total = int(re.search(r"^totals:\s+(\d+)", f.read(), re.M)[1])
                out[r.key]["instructions"] = {**load, "method": "callgrind", "instructions": total,
                                           "per_search": total / max(1, load["responses"])}
                log(f"cost callgrind {r.label}: {total / max(1, load['responses']):.0f} "
                    f"instructions/search, {load['responses']}/{load['sent']} answered")
        self.results["cost"] = out
        log("cost, medians per answered search:")
        base = {k: median([x["us_per_search"] for x in v["native"]]) for k, v in out.items()}
        switches = {k: median([x["switches_per_search"] for x in v["native"]])
                    for k, v in out.items()}
        for r in rs:
            log(f"  {r.label:18} {base[r.key]:7.1f} us ({base[r.key] / base['floor']:.2f} x floor, "
                f"{base[r.key] / base['peer']:.2f} x GSSDP), {switches[r.key]:.2f} switches "
                f"({switches[r.key] / switches['floor']:.2f} x floor)")

    # Idle: both started fresh, no traffic, 60 s; the micro-benchmarks run meanwhile on the
    # other core (they do not wake the idle responders or touch their counters).
    def idle_and_micro(self):
        insts = {}
        for i, r in enumerate(self.responders):
            lan, target, _ = self._pair(r, "i")
            insts[r.key] = r.start(target, "198.18.0.1", i + 1)
        for inst in insts.values():
            inst.wait_ready()
        time.sleep(5)
        before = {k: sample(i.pid) for k, i in insts.items()}
        start = time.monotonic()
        micro = self.micro()
        time.sleep(max(0.0, self.args.idle_s - (time.monotonic() - start)))
        after = {k: sample(i.pid) for k, i in insts.items()}
        out = {}
        for r in self.responders:
            b, a = before[r.key], after[r.key]
            seconds = a["time"] - b["time"]
            files = mapped_files(insts[r.key].pid)
            out[r.key] = {
                "seconds": seconds,
                "cpu_ms_per_min": (a["cpu_ns"] - b["cpu_ns"]) / 1e6 * 60 / seconds,
                "wakeups_per_s": (a["voluntary"] - b["voluntary"]) / seconds,
                "rss_kb": a["rss_kb"], "threads": a["threads"],
                "binary_bytes": os.path.getsize(r.binary),
                "binary_stripped_bytes": stripped_size(r.binary),
                "mapped_files_bytes": sum(files.values()),
                "mapped_files": files}
            r.stop_all([insts[r.key]])
        self.results["idle"] = out
        self.results["micro"] = micro
        log("idle: " + ", ".join(f"{r.label} {out[r.key]['wakeups_per_s']:.1f} wake-ups/s, "
                                 f"{out[r.key]['cpu_ms_per_min']:.2f} ms CPU/min"
                                 for r in self.responders))

    def micro(self):
        binary = os.path.join(self.build, "bench", "micro_bench")
        res = sh(binary, f"--benchmark_repetitions={self.args.micro_reps}",
                 "--benchmark_format=json", timeout=300)
        runs = {}
        for b in json.loads(res.stdout)["benchmarks"]:
            if b.get("run_type") == "iteration":
                scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
                run = runs.setdefault(b["run_name"], {"cpu": [], "real": []})
                run["cpu"].append(b["cpu_time"] * scale)
                run["real"].append(b["real_time"] * scale)
        out = {name: {"cpu_ns": median(r["cpu"]), "real_ns": median(r["real"]),
                      "cpu_ns_all": [round(x) for x in r["cpu"]]} for name, r in runs.items()}
        log("micro: " + ", ".join(f"{k} {v['cpu_ns']:.0f} ns" for k, v in out.items()))
        return out


def perf_counts_instructions():
    """Whether perf can count instructions here (virtual machines often offer no counters)."""
    if not shutil.which("perf"):
        return False
    res = sh("perf", "stat", "-x,", "-e", "instructions:u", "true", check=False)
    return res.returncode == 0 and "<not supported>" not in res.stderr and \
        "<not counted>" not in res.stderr


def machine():
    return {"cores": os.cpu_count(), "kernel": platform.release(),
            "perf_instructions": perf_counts_instructions(),
            "date": time.strftime("%Y-%m-%d %H:%M %Z"),
            "load_before": os.getloadavg()}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--out", default=HERE)
    p.add_argument("--daemon", help="daemon binary to measure (default BUILD/discovery)")
    p.add_argument("--before", help="a second daemon binary, e.g. one built before a change, "
                   "measured beside the first in the cost runs")
    p.add_argument("--burst-k", type=int, nargs="+", default=[1, 10, 50, 100, 200])
    p.add_argument("--burst-reps", type=int, default=5)
    p.add_argument("--fleet-n", type=int, nargs="+", default=[10, 50, 100])
    p.add_argument("--fleet-reps", type=int, default=3)
    p.add_argument("--cost-searches", type=int, default=10000)
    p.add_argument("--cost-rate", type=float, default=250.0)
    p.add_argument("--cost-reps", type=int, default=5)
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--idle-s", type=float, default=60.0)
    p.add_argument("--micro-reps", type=int, default=5)
    p.add_argument("--only", nargs="+", default=["burst", "fleet", "cost", "idle"])
    args = p.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("bench.py needs root (network namespaces)")

    bench = Bench(args)
    # A signal ends the run through the finally clause below, which removes what was made.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda s, _f: sys.exit(128 + s))
    started = time.monotonic()
    try:
        bench.results["machine"] = machine()
        log(f"machine: {bench.results['machine']}")
        if "idle" in args.only:
            bench.idle_and_micro()
        if "burst" in args.only:
            bench.burst()
        if "fleet" in args.only:
            bench.fleet()
        if "cost" in args.only:
            bench.cost()
    finally:
        bench.close()
    bench.results["seconds"] = round(time.monotonic() - started)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(bench.results, f, indent=1, sort_keys=True)
    log(f"figures written to {os.path.join(args.out, 'results.json')} "
        f"after {bench.results['seconds']} s")


if __name__ == "__main__":
    main()
