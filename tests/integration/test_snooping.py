"""Behind a bridge that snoops IGMP and MLD, queries once at its start, forgets a membership 10 s
after its last report and floods no unknown group: the memberships reported
again every --membership-refresh seconds, never left."""

import concurrent.futures
import json
import time

from testbed import Testbed, sh

GROUPS = ("239.255.255.250", "ff02::c")

# Run in the bridge's namespace: the time of each IGMP or MLD message naming an SSDP group that
# comes in by `ifname` (MLD follows a hop-by-hop header).
_REPORTS = """
import json, select, socket, sys, time
ifname, seconds = sys.argv[1], float(sys.argv[2])
groups = [socket.inet_pton(socket.AF_INET, "239.255.255.250"),
          socket.inet_pton(socket.AF_INET6, "ff02::c")]
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
s.bind((ifname, 0))
print("ready", flush=True)
end = time.monotonic() + seconds
while (left := end - time.monotonic()) > 0:
    ready = select.select([sys.stdin, s], [], [], left)[0]
    if sys.stdin in ready:
        break
    if ready and (frame := s.recvfrom(65536))[1][2] != socket.PACKET_OUTGOING:
        kind, proto = frame[0][12:14], frame[0][23 if frame[0][12] == 8 else 20]
        family = {(b"\\x08\\x00", 2): 4, (b"\\x86\\xdd", 0): 6}.get((kind, proto))
        if family and groups[family == 6] in frame[0]:
            print(json.dumps({"t": time.monotonic(), "family": family}), flush=True)
"""


def held(bed):
    listed = sh("ip", "-n", bed.dns, "maddr", "show", "dev", "eth1").stdout.split()
    return tuple(group for group in GROUPS if group in listed)


def neighbours(bed):
    """Each end's IPv6 addresses known to the other for good: the bridge drops neighbour
    solicitations too once their groups' memberships, which nobody refreshes, are forgotten."""
    ends = [(ns, dev, json.loads(sh("ip", "-j", "-n", ns, "addr", "show", "dev", dev).stdout)[0])
            for ns, dev in ((bed.dns, "eth1"), (bed.cns, "cp0"))]
    for (ns, dev, _), (_, _, peer) in zip(ends, reversed(ends)):
        for addr in (a["local"] for a in peer["addr_info"] if a["family"] == "inet6"):
            sh("ip", "-n", ns, "neigh", "replace", addr, "lladdr", peer["address"], "dev", dev,
               "nud", "permanent")


def run(versions, refresh, at=25):
    """The daemon behind the bridge snooping IGMP and MLD `versions`: what eth1 held every 5 s,
    the searches answered of five over each family `at` seconds after its start, the report
    rounds heard of each family (the kernel repeats a report within a second), the seconds."""
    bridge = ("mcast_snooping 1 mcast_query_interval 60000 mcast_membership_interval 1000 "
              "mcast_startup_query_count 1 mcast_igmp_version {} mcast_mld_version {}")
    with Testbed(bridge=bridge.format(*versions)) as bed:
        bed.enable_ipv6()
        neighbours(bed)
        sh("ip", "netns", "exec", bed.bns, "sysctl", "-qw", "net.ipv6.conf.br0.accept_dad=0")
        for port in ("pd", "pc"):
            sh("bridge", "-n", bed.bns, "link", "set", "dev", port, "mcast_flood", "off")
        sh("ip", "-n", bed.bns, "link", "set", "br0", "up")
        # The querier once the bridge has its link-local address, without which it sends no MLD
        # query and, knowing no querier, floods (here drops) every IPv6 group.
        for _ in range(100):
            if "fe80::" in sh("ip", "-n", bed.bns, "addr", "show", "dev", "br0").stdout:
                break
            time.sleep(0.05)
        sh("ip", "-n", bed.bns, "link", "set", "br0", "type", "bridge", "mcast_querier", "1")
        time.sleep(10)  # the bridge floods (drops) every group for its first 10 s or so
        heard = Testbed._watch(bed.bns, _REPORTS, "pd", str(at + 20))
        start = time.monotonic()
        bed.start(args=["--ipv6", "--membership-refresh", str(refresh)])
        holding = []
        while (left := start + at - time.monotonic()) > 0:
            holding.append(held(bed))
            time.sleep(min(5, left))
        answered = (len(bed.search(count=5, mx="1", wait_ms=1300)),
                    len(bed.search("-6", count=5, mx="1", wait_ms=1300)))
        holding.append(held(bed))
        reports = heard(now=True)
        times = {f: [r["t"] for r in reports if r["family"] == f] for f in (4, 6)}
        rounds = tuple(len([t for i, t in enumerate(ts) if i == 0 or t - ts[i - 1] > 1.5])
                       for ts in times.values())
        return set(holding), answered, rounds, time.monotonic() - start


def test_memberships_refreshed_behind_snooping_bridges_never_left():
    # The IGMP and MLD versions the bridge snoops and queries with, the refresh period, the
    # searches answered over IPv4 and IPv6, and the report rounds of each family: those of the
    # join, then one per period or none. In IGMPv2 and MLDv1 compatibility mode (an old query
    # heard) the kernel reports no change of filter, and repeats the join within 10 s.
    cases = [((3, 2), 4, (5, 5), 1, 1), ((3, 2), 0, (0, 0), 1, 0), ((2, 1), 4, (0, 0), 2, 0)]
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(lambda case: run(*case[:2]), cases))
    for (versions, refresh, answers, joins, per), result in zip(cases, results):
        holding, answered, rounds, seconds = result
        case = f"{versions} every {refresh} s: answered {answered}, rounds {rounds}"
        assert holding == {GROUPS}, case  # never left
        assert all(min(answers) - 1 <= n <= max(answers) for n in answered), case
        most = joins + per * int(seconds // max(refresh, 1))
        assert all(most - 2 <= n <= most for n in rounds), case
