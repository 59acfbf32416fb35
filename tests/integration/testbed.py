"""A throw-away network for one daemon: its own namespace with a veth end named eth1, a second
namespace as the control point, and a temporary working tree laid out as the daemon expects:

    <root>/opt/bin            working directory of the daemon
    <root>/opt/config/log.conf
    <root>/opt/log/           where the test configuration writes its log file
    <root>/data/redfish.json  service information, when the test wants one

Addresses come from 198.18.0.0/15; traffic stays inside the two namespaces."""

import atexit
import itertools
import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time

import netns
from netns import sh  # noqa: F401 (part of this module's interface)

DAEMON = os.environ.get("DISCOVERY_BIN", "build/discovery")
# A command that runs the daemon, as "qemu-aarch64" runs another architecture's build.
WRAPPER = shlex.split(os.environ.get("DISCOVERY_WRAPPER", ""))
SEARCH = os.environ.get("SSDP_SEARCH_BIN", "build/ssdp-search")
FORGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "forge.py")
PRELOAD = os.environ.get("TEST_PRELOAD_LIB", os.path.join(
    os.path.dirname(SEARCH), "tests", "integration", "libtest-preload.so"))
# The daemon runs as the packaged unit runs it: as a user of no privilege (root only builds the
# namespaces and the tree), and with a stock kernel's socket-buffer limits, which this machine's
# sysctls need not have (preload.c).
USER = 65534

DAEMON_IP = "198.18.0.1"
CONSOLE_IP = "198.18.0.2"
DAEMON_IP6 = "fd00::1"
CONSOLE_IP6 = "fd00::2"
# The second port of a two-port testbed (Testbed(second=...)): another veth pair, to a console
# namespace of its own, on subnets of its own.
DAEMON_IP_2 = "198.18.1.1"
CONSOLE_IP_2 = "198.18.1.2"
DAEMON_IP6_2 = "fd00:0:0:1::1"
CONSOLE_IP6_2 = "fd00:0:0:1::2"
# With hex letters, so that a search can spell it in another case.
UUID = "92384634-2938-2342-88a0-4892399054cf"

LOG_CONF = """-- discovery
* GLOBAL:
    FORMAT = "%level|%logger|%func|%msg"
    TO_STANDARD_OUTPUT = true
    TO_FILE = true
    FILENAME = "../log/discovery.log"
-- datamgr
* GLOBAL:
    FORMAT = "%level|%logger|%func|%msg"
    TO_STANDARD_OUTPUT = true
    TO_FILE = true
    FILENAME = "../log/discovery.log"
"""

_counter = itertools.count()

# Run in the control point's namespace by Testbed.probe: one socket, one request, the answers.
_PROBE = """
import json, socket, sys, time
src, port, wait = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
until = int(sys.argv[4]) if len(sys.argv) > 4 else 0  # answers that end the wait early
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((src, port))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
s.sendto(sys.stdin.buffer.read(), ("239.255.255.250", 1900))
print(json.dumps({"sent": True}), flush=True)
deadline = time.monotonic() + wait
heard = 0
while not until or heard < until:
    left = deadline - time.monotonic()
    if left <= 0:
        break
    s.settimeout(left)
    try:
        data, (ip, p) = s.recvfrom(65536)
    except socket.timeout:
        break
    print(json.dumps({"from": ip, "port": p, "payload": data.decode("latin-1")}), flush=True)
    heard += 1
"""


# Run in a namespace by Testbed.listen: one socket per port for both families, joined to each
# group on the interface, until its input ends or the time is up; one line per datagram.
_LISTEN = """
import json, select, socket, struct, sys, time
ifname, seconds, ports, groups = json.loads(sys.argv[1])
IP_RECVTTL = 12  # <linux/in.h>; Python names IP_TTL only
SO_TIMESTAMPNS = 35  # <asm-generic/socket.h>; not in Python's socket module
socks = {}
for port in ports:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", port))
    for group in groups:
        if ":" in group:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, socket.inet_pton(
                socket.AF_INET6, group) + struct.pack("@I", socket.if_nametoindex(ifname)))
        else:  # struct ip_mreqn: the group, no local address, the interface's index
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(group)
                         + bytes(4) + struct.pack("@i", socket.if_nametoindex(ifname)))
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVPKTINFO, 1)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVHOPLIMIT, 1)
    s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    socks[s] = port
print("ready", flush=True)
start = time.monotonic()
while (left := start + seconds - time.monotonic()) > 0:
    for s in select.select([sys.stdin, *socks], [], [], left)[0]:
        if s is sys.stdin:
            sys.exit()
        data, anc, _, sender = s.recvmsg(65536, 512)
        got = {(level, kind): value for level, kind, value in anc}
        info = got[socket.IPPROTO_IPV6, socket.IPV6_PKTINFO]
        to = socket.inet_ntop(socket.AF_INET6, info[:16])
        via = socket.if_indextoname(int.from_bytes(info[16:20], sys.byteorder))
        hops = got.get((socket.IPPROTO_IPV6, socket.IPV6_HOPLIMIT),
                       got.get((socket.IPPROTO_IP, socket.IP_TTL)))
        sec, nsec = struct.unpack("@qq", got[socket.SOL_SOCKET, SO_TIMESTAMPNS])
        # IPv4 datagrams come with IPv4-mapped addresses: shown as plain IPv4 ones.
        print(json.dumps({"t": time.monotonic() - start, "port": socks[s],
                          "from": sender[0].removeprefix("::ffff:"),
                          "to": to.removeprefix("::ffff:"), "via": via,
                          "hops": struct.unpack("i", hops)[0],
                          "at": sec + nsec / 1e9,
                          "payload": data.decode("latin-1")}), flush=True)
"""


# Run in a namespace by Testbed.capture: a packet socket on one interface, until its input ends or
# the time is up; one line per UDP datagram in an IPv4 or IPv6 frame (no extension headers).
_CAPTURE = """
import json, select, socket, struct, sys, time
ifname, seconds = sys.argv[1], float(sys.argv[2])
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))  # ETH_P_ALL
s.bind((ifname, 0))
print("ready", flush=True)
start = time.monotonic()
while (left := start + seconds - time.monotonic()) > 0:
    for r in select.select([sys.stdin, s], [], [], left)[0]:
        if r is sys.stdin:
            sys.exit()
        frame = s.recv(65536)
        kind = struct.unpack("!H", frame[12:14])[0]
        if kind == 0x0800 and frame[23] == socket.IPPROTO_UDP:
            udp = frame[14 + (frame[14] & 15) * 4:]
            family, src, dst = socket.AF_INET, frame[26:30], frame[30:34]
        elif kind == 0x86DD and frame[20] == socket.IPPROTO_UDP:
            udp = frame[54:]
            family, src, dst = socket.AF_INET6, frame[22:38], frame[38:54]
        else:
            continue
        sport, dport = struct.unpack("!HH", udp[:4])
        print(json.dumps({"src": socket.inet_ntop(family, src),
                          "dst": socket.inet_ntop(family, dst), "sport": sport,
                          "dport": dport}), flush=True)
"""


def expected_response(uuid=UUID, ip=DAEMON_IP):
    return ("HTTP/1.1 200 OK\r\nCACHE-CONTROL:1800\r\nST:urn:dmtf-org:service:redfish-rest:1\r\n"
            f"USN:uuid:{uuid}::dmtf-org::urn:dmtf-org:service:redfish-rest:1:2\r\n"
            f"AL:https://{ip}/redfish/v1\r\nEXT:\r\n\r\n")


def search_request(st="urn:dmtf-org:service:redfish-rest:1", mx="2"):
    return (f"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
            f"MX: {mx}\r\nST: {st}\r\n\r\n")


def unprivileged():
    """The words that run the command after them as USER, without capabilities."""
    return ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups",
            "--inh-caps=-all", "--"]


_copies = {}


def runnable(path):
    """`path` as the daemon's user can read and run it: a copy in a directory open to all, for a
    checkout under one that others cannot enter (such as root's home, mode 0700)."""
    path = os.path.abspath(path)
    if path not in _copies:
        top = tempfile.mkdtemp(prefix="discovery-bin-")
        os.chmod(top, 0o755)
        _copies[path] = shutil.copy(path, top)
        os.chmod(_copies[path], 0o755)
        atexit.register(shutil.rmtree, top, True)
    return _copies[path]


def stock_limits():
    """The words that run the command after them with the stock limits preloaded (and, with
    REFUSE_CALL in their environment, the call it names refused: preload.c)."""
    if not os.path.exists(PRELOAD):
        raise AssertionError(f"{PRELOAD} not built: set TEST_PRELOAD_LIB")
    words = ["/usr/bin/env", f"LD_PRELOAD={runnable(PRELOAD)}"]
    if "ASAN_OPTIONS" in os.environ:
        # AddressSanitizer's runtime wants to come first; this library defines nothing it does.
        words.append(f"ASAN_OPTIONS={os.environ['ASAN_OPTIONS']}:verify_asan_link_order=0")
    return words


def lay_out(root, log_conf=LOG_CONF, uuid=UUID):
    """Lays out the daemon's tree under root, without the parts given as None; returns the
    daemon's working directory."""
    cwd = os.path.join(root, "opt", "bin")
    os.makedirs(cwd)
    os.makedirs(os.path.join(root, "data"))
    if log_conf is not None:
        os.makedirs(os.path.join(root, "opt", "config"))
        with open(os.path.join(root, "opt", "config", "log.conf"), "w") as f:
            f.write(log_conf)
    if uuid is not None:
        with open(os.path.join(root, "data", "redfish.json"), "w") as f:
            json.dump({"uuid": uuid}, f)
    return cwd


class Testbed:
    __test__ = False

    def __init__(self, eth1=True, address=True, uuid=UUID, log_conf=LOG_CONF, ifname="eth1",
                 second=None, bridge=None):
        """With `second`, the daemon's namespace gets a second port of that name, joined to a
        second console (namespace cns2, its end also named cp0) on DAEMON_IP_2's subnet. With
        `bridge` (attributes of `ip link add br0 type bridge`), eth1 and cp0 meet at the ports
        pd and pc of a bridge br0, down, in a namespace of its own (bns)."""
        # Names of this process's own: pytest processes run side by side (ctest -j).
        tag = f"{os.getpid()}x{next(_counter)}"
        self.ifname = ifname
        self.second = second
        self.dns = f"sdd-{tag}"
        self.cns = f"sdc-{tag}"
        self.cns2 = f"sde-{tag}" if second else None
        self.bns = f"sdw-{tag}" if bridge else None
        self.root = tempfile.mkdtemp(prefix="discovery-it-")
        self.cwd = lay_out(self.root, log_conf, uuid)
        for path, _, files in os.walk(self.root):
            for name in [path, *(os.path.join(path, f) for f in files)]:
                os.chown(name, USER, USER)
        self.proc = None
        self.out_path = os.path.join(self.root, "stdout.txt")
        self.spaces = [self.dns, self.cns] + ([self.cns2] if second else [])
        self.spaces += [self.bns] if bridge else []
        netns.create(*self.spaces)
        if bridge:
            netns.batch([f"link add br0 type bridge {bridge}"], self.bns)
        # (daemon's interface, its console's namespace, daemon's and console's IPv6 addresses)
        self.ports = []
        if eth1:
            self._port(ifname, self.cns, DAEMON_IP if address else None, CONSOLE_IP, DAEMON_IP6,
                       CONSOLE_IP6)
        if second:
            self._port(second, self.cns2, DAEMON_IP_2, CONSOLE_IP_2, DAEMON_IP6_2, CONSOLE_IP6_2)

    def _port(self, ifname, cns, daemon_ip, console_ip, daemon_ip6, console_ip6):
        if self.bns and not self.ports:
            netns.veth(self.bns, "pd", self.dns, ifname)
            netns.veth(self.bns, "pc", cns, "cp0")
            netns.batch([f"link set {port} master br0 up" for port in ("pd", "pc")], self.bns)
        else:
            netns.veth(self.dns, ifname, cns, "cp0")
        netns.configure(self.dns, ifname, f"{daemon_ip}/24" if daemon_ip else None,
                        multicast_route=not self.ports)
        netns.configure(cns, "cp0", f"{console_ip}/24")
        self.ports.append((ifname, cns, daemon_ip6, console_ip6))

    # --- the tree -------------------------------------------------------------------------
    def write_info(self, content):
        path = os.path.join(self.root, "data", "redfish.json")
        with open(path + ".tmp", "w") as f:
            f.write(content)
        os.replace(path + ".tmp", path)

    def remove_info(self):
        try:
            os.remove(os.path.join(self.root, "data", "redfish.json"))
        except FileNotFoundError:
            pass

    # --- the daemon -----------------------------------------------------------------------
    def start(self, wait_ready=True, extra=(), args=(), privileged=False):
        """`extra` runs before the daemon, as the test user (execing it in place); `privileged`:
        as root, with this machine's own socket-buffer limits."""
        if self.proc is not None:
            self.out.close()  # a restart: the new daemon's output replaces the old one's
        self.out = open(self.out_path, "w")
        user = [] if privileged else [*unprivileged(), *extra, *stock_limits()]
        self.proc = subprocess.Popen(["ip", "netns", "exec", self.dns, *user, *WRAPPER,
                                      runnable(DAEMON), *args],
                                     cwd=self.cwd, stdout=self.out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        if wait_ready:
            self.wait_for("listenerThread()|")
        return self

    def output(self):
        with open(self.out_path) as f:
            return f.read()

    def records(self):
        """The daemon's records as (level, logger, function, message) tuples."""
        result = []
        for line in self.output().split("\n"):
            parts = line.split("|", 3)
            if len(parts) == 4 and parts[0] in ("TRACE", "INFO", "WARNING", "ERROR", "DEBUG",
                                                "FATAL"):
                # "%func" is the full signature: keep the bare function name.
                parts[2] = parts[2].split("(")[0].split("::")[-1].split(" ")[-1]
                result.append(tuple(parts))
            elif result and line:
                # continuation of a record whose message holds line feeds
                level, logger, func, msg = result[-1]
                result[-1] = (level, logger, func, msg + "\n" + line)
        return result

    def messages(self, level=None):
        return [r[3] for r in self.records() if level is None or r[0] == level]

    def wait_for(self, text, timeout=60.0):  # a bound only: ends on the text
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return
            if self.proc is not None and self.proc.poll() is not None:
                raise AssertionError(f"daemon exited ({self.proc.returncode}) before "
                                     f"{text!r}:\n{self.output()}")
            time.sleep(0.02)
        raise AssertionError(f"timed out waiting for {text!r}:\n{self.output()}")

    def pid(self):
        """The daemon's own pid (ip netns exec execs it in place)."""
        return self.proc.pid

    def send_signal(self, sig):
        os.kill(self.pid(), sig)

    def stop(self, sig=signal.SIGTERM, timeout=60.0):
        """Sends sig and waits; returns (exit status, seconds until exit)."""
        start = time.monotonic()
        self.send_signal(sig)
        code = self.proc.wait(timeout=timeout)
        return code, time.monotonic() - start

    def wait_exit(self, timeout=60.0):
        return self.proc.wait(timeout=timeout)

    # --- the control point ----------------------------------------------------------------
    def search(self, *args, raw=None, wait_ms=None, count=1, mx="2", st=None, sources=(),
               ns=None, until=None):
        """Runs the search client in the control point's namespace (or `ns`, another console's);
        returns its responses. With `sources`, request i leaves from the i-th of those
        addresses, round the list. With `until`, returns as soon as that many responses have
        come, `wait_ms` (default 30 s) being only the bound for a daemon that never answers:
        a slow daemon's late answer still counts."""
        cmd = ["ip", "netns", "exec", ns or self.cns, os.path.abspath(SEARCH), "--json",
               "--interface", "cp0", "--count", str(count), "--mx", mx]
        if sources:
            cmd += ["--source", ",".join(sources)]
        if st is not None:
            cmd += ["--st", st]
        if wait_ms is not None or until is not None:
            cmd += ["--wait", str(30000 if wait_ms is None else wait_ms)]
        if until is not None:
            cmd += ["--until", str(until)]
        if raw is not None:
            cmd += ["--raw", "-"]
        cmd += list(args)
        res = subprocess.run(cmd, input=raw.encode("latin-1") if raw is not None else None,
                             capture_output=True, timeout=60)
        return [json.loads(line) for line in res.stdout.decode().splitlines() if line.strip()]

    def search_answered(self, *args, cap=60.0, **kwargs):
        """search(), repeated until a search is answered or `cap` seconds are up: on a busy
        machine an answer may come after its client stopped listening. Returns the answered
        search's responses (or the last, empty, list)."""
        deadline = time.monotonic() + cap
        while not (responses := self.search(*args, **kwargs)) and time.monotonic() < deadline:
            pass
        return responses

    def probe(self, raw, src=CONSOLE_IP, port=0, wait=1.5, background=False, until=None):
        """Sends `raw` to the group from src:port in the control point's namespace and returns
        what arrives on that socket within `wait` seconds (or, with `until`, until that many
        answers have come), as dicts with from, port, payload.
        With background=True, returns once the request is sent, with a function that waits for
        and returns that list."""
        proc = subprocess.Popen(["ip", "netns", "exec", self.cns, "python3", "-c", _PROBE, src,
                                 str(port), str(wait), *([str(until)] if until else [])],
                                stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
        proc.stdin.write(raw.encode("latin-1"))
        proc.stdin.close()
        assert json.loads(proc.stdout.readline()) == {"sent": True}

        def result():
            out = proc.stdout.read().decode()
            proc.wait(timeout=wait + 30)
            return [json.loads(line) for line in out.splitlines() if line.strip()]
        return result if background else result()

    def listen(self, *groups, seconds=30.0, ns=None, ports=(1900,)):
        """Listens on each of `ports`, for both families, in the control point's namespace (or
        `ns`), joined to each of the IPv4 or IPv6 `groups` on cp0 (eth1 in the daemon's
        namespace). Returns once listening, with a function that waits until `seconds` are up
        (or, with now=True, ends at once) and returns each datagram heard as a dict: t (seconds
        since listening began), port, from, to (the destination address), via (the interface it
        came in by), hops (the TTL or hop limit it arrived with), at (the kernel's time of
        arrival, in seconds of the real-time clock: unlike t, not later for a listener that was
        slow to read) and payload."""
        ns = ns or self.cns
        ifname = self.ifname if ns == self.dns else "cp0"
        return self._watch(ns, _LISTEN, json.dumps([ifname, seconds, list(ports), list(groups)]))

    def capture(self, seconds=30.0, ns=None, ifname="cp0"):
        """Captures every UDP datagram that crosses `ifname` in the control point's namespace (or
        `ns`), either way, whether or not any socket there takes it. Returns once capturing,
        with a function like listen()'s, which returns each datagram as a dict: src, dst, sport
        and dport."""
        return self._watch(ns or self.cns, _CAPTURE, ifname, str(seconds))

    @staticmethod
    def _watch(ns, script, *args):
        """Runs `script` in namespace ns until it has said it is ready; returns the function that
        waits for its end (or, with now=True, ends it at once) and returns its lines as dicts."""
        proc = subprocess.Popen(["ip", "netns", "exec", ns, "python3", "-c", script, *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "ready\n"
        got = []

        def heard(now=False, until=None):
            """With `until`, returns as soon as until(what was heard so far) holds, or the time is
            up, and the watch goes on."""
            while until is not None and not until(got):
                line = proc.stdout.readline()
                if not line:
                    return list(got)
                if line.strip():
                    got.append(json.loads(line))
            if until is not None:
                return list(got)
            if now:
                proc.stdin.close()
            out = proc.stdout.read()
            proc.stdin.close()
            # A listener that failed must not read as one that heard nothing.
            assert proc.wait(timeout=30) == 0, out
            got.extend(json.loads(line) for line in out.splitlines() if line.strip())
            return list(got)
        return heard

    def add_link(self, ifname, daemon_cidr, peer, console_cidr):
        """Another link between the two namespaces, beside eth1 and cp0."""
        netns.veth(self.dns, ifname, self.cns, peer)
        for ns, dev, cidr in ((self.dns, ifname, daemon_cidr), (self.cns, peer, console_cidr)):
            netns.batch([f"addr add {cidr} dev {dev}", f"link set {dev} up"], ns)

    def forge(self, datagrams, gap=0.0, ns=None):
        """Sends each datagram ({"src", "dst", "sport", "dport", "payload"}) out of cp0 (of the
        control point, or of namespace `ns`) as a forged frame, `gap` seconds apart: from any
        source address and port, one that no host holds or the daemon's own. Returns {"sent",
        "seconds"}: how many left in how long."""
        out = sh("ip", "netns", "exec", ns or self.cns, "python3", FORGE, "cp0", str(gap),
                 input=json.dumps(datagrams), timeout=60).stdout
        return json.loads(out)

    def add_console_address(self, cidr):
        sh("ip", "-n", self.cns, "addr", "add", cidr, "dev", "cp0")

    def add_consoles(self, n):
        """n more addresses on the control point, each a console host of its own."""
        addresses = [f"198.18.0.{100 + i}" for i in range(n)]
        for a in addresses:
            self.add_console_address(f"{a}/24")
        return addresses

    def enable_ipv6(self, daemon_ip6=DAEMON_IP6):
        """Gives eth1 and cp0 fresh link-local addresses and DAEMON_IP6, CONSOLE_IP6, all usable
        at once: duplicate address detection off, IPv6 switched off and on to apply that. With
        daemon_ip6=None eth1 keeps its link-local address only. A second port gets
        DAEMON_IP6_2 and CONSOLE_IP6_2 the same way."""
        for i, (ifname, cns, port_ip6, console_ip6) in enumerate(self.ports):
            daemon_addr = daemon_ip6 if i == 0 else port_ip6
            for ns, dev, addr in ((self.dns, ifname, daemon_addr), (cns, "cp0", console_ip6)):
                for setting in ("accept_dad=0", "disable_ipv6=1", "disable_ipv6=0"):
                    sh("ip", "netns", "exec", ns, "sysctl", "-qw",
                       f"net.ipv6.conf.{dev}.{setting}")
                if addr is not None:
                    sh("ip", "-n", ns, "addr", "add", f"{addr}/64", "dev", dev, "nodad")

    def disable_ipv6(self):
        """Switches IPv6 off for every interface in the daemon's namespace."""
        self.in_daemon_ns("sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")

    def set_eth1(self, state):
        sh("ip", "-n", self.dns, "link", "set", self.ifname, state)

    def rss_kb(self):
        with open(f"/proc/{self.pid()}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.pid()}/fd"))

    def in_daemon_ns(self, *args):
        return sh("ip", "netns", "exec", self.dns, *args).stdout

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc is not None:
            self.out.close()
        netns.delete(*self.spaces)
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
