"""Behind a switch that snoops IGMP and MLD: a Linux bridge whose querier queries once at its start,
which forgets a membership 10 s after its last report and floods no unknown group. The daemon's
memberships are reported again every --membership-refresh seconds and never left."""

import concurrent.futures
import json
import time

from testbed import Testbed, sh

BRIDGE = ("mcast_snooping 1 mcast_querier 0 mcast_query_interval 60000 "
          "mcast_membership_interval 1000 mcast_startup_query_count 1")
PERIOD = 4
GROUPS = ("239.255.255.250", "ff02::c")

# Run in the bridge's namespace: every IGMP or MLD report or leave for the SSDP groups that
# comes in by `ifname`, with its time (the monotonic clock) and its record types (0 for a
# version 1 or 2 report, which has none).
_REPORTS = """
import json, select, socket, struct, sys, time
ifname, seconds, groups = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))  # ETH_P_ALL
s.bind((ifname, 0))
print("ready", flush=True)
end = time.monotonic() + seconds
def records(body, count, size, family):
    out = []
    for _ in range(count):
        kind, aux, sources = struct.unpack("!BBH", body[:4])
        out.append((kind, socket.inet_ntop(family, body[4:4 + size])))
        body = body[4 + size * (1 + sources) + aux * 4:]
    return out
while (left := end - time.monotonic()) > 0:
    for r in select.select([sys.stdin, s], [], [], left)[0]:
        if r is sys.stdin:
            sys.exit()
        frame, address = s.recvfrom(65536)
        kind = struct.unpack("!H", frame[12:14])[0]
        if address[2] == socket.PACKET_OUTGOING:
            continue
        if kind == 0x0800 and frame[23] == 2:  # IGMP
            m, family, size, report, leave, full = frame[14 + (frame[14] & 15) * 4:], 4, 4, 0x16, 0x17, 0x22
        elif kind == 0x86DD and frame[20] == 0:  # MLD, after its hop-by-hop options
            m, family, size, report, leave, full = frame[54 + (frame[55] + 1) * 8:], 6, 16, 131, 132, 143
        else:
            continue
        af = socket.AF_INET if family == 4 else socket.AF_INET6
        if m[0] == full:
            recs = records(m[8:], struct.unpack("!H", m[6:8])[0], size, af)
        elif m[0] in (report, leave):
            at = 4 if family == 4 else 8
            recs = [(0 if m[0] == report else -1, socket.inet_ntop(af, m[at:at + size]))]
        else:
            continue
        kinds = [k for k, group in recs if group in groups]
        if kinds:
            print(json.dumps({"t": time.monotonic(), "family": family, "kinds": kinds}), flush=True)
"""


def held(bed):
    """The SSDP groups that eth1 holds, as `ip maddr` lists them."""
    listed = sh("ip", "-n", bed.dns, "maddr", "show", "dev", "eth1").stdout.split()
    return tuple(group for group in GROUPS if group in listed)


def neighbours(bed):
    """Each end's addresses known to the other for good: the bridge would drop neighbour
    solicitations too, sent to groups whose memberships nobody refreshes."""
    ends = [(ns, json.loads(sh("ip", "-j", "-n", ns, "addr", "show", "dev", dev).stdout)[0])
            for ns, dev in ((bed.dns, "eth1"), (bed.cns, "cp0"))]
    for (ns, _), (_, peer), dev in zip(ends, reversed(ends), ("eth1", "cp0")):
        for addr in peer["addr_info"]:
            if addr["family"] == "inet6":
                sh("ip", "-n", ns, "neigh", "replace", addr["local"], "lladdr", peer["address"],
                   "dev", dev, "nud", "permanent")


def rounds(reports, family):
    """The report rounds of one family: the kernel repeats a report within a second."""
    times = [r["t"] for r in reports if r["family"] == family]
    return [t for i, t in enumerate(times) if i == 0 or t - times[i - 1] > 1.5]


def run(versions, refresh):
    """The daemon behind the bridge snooping IGMP and MLD `versions`: what eth1 held every 5 s,
    the searches answered of five over each family 25 s after the start, the reports heard."""
    igmp, mld = versions
    with Testbed(bridge=f"{BRIDGE} mcast_igmp_version {igmp} mcast_mld_version {mld}") as bed:
        bed.enable_ipv6()
        neighbours(bed)
        sh("ip", "netns", "exec", bed.bns, "sysctl", "-qw", "net.ipv6.conf.br0.accept_dad=0")
        for port in ("pd", "pc"):
            sh("bridge", "-n", bed.bns, "link", "set", "dev", port, "mcast_flood", "off")
        sh("ip", "-n", bed.bns, "link", "set", "br0", "up")
        # The querier once the bridge has its link-local address, without which it sends no MLD
        # query and, knowing no querier, drops every IPv6 group.
        deadline = time.monotonic() + 10
        while "fe80::" not in sh("ip", "-n", bed.bns, "addr", "show", "dev", "br0").stdout:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        sh("ip", "-n", bed.bns, "link", "set", "br0", "type", "bridge", "mcast_querier", "1")
        # The bridge floods every group for its first ten seconds or so.
        time.sleep(10)
        heard = Testbed._watch(bed.bns, _REPORTS, "pd", "45", *GROUPS)
        start = time.monotonic()
        bed.start(args=["--ipv6", "--membership-refresh", str(refresh)])
        bed.wait_for("eth1 has the IPv6 address")
        holding = []
        while time.monotonic() < start + 25:
            holding.append(held(bed))
            time.sleep(min(5, max(0, start + 25 - time.monotonic())))
        answered = (len(bed.search(count=5, mx="1", wait_ms=1300)),
                    len(bed.search("-6", count=5, mx="1", wait_ms=1300)))
        holding.append(held(bed))
        return holding, answered, heard(now=True), time.monotonic() - start


def test_memberships_refreshed_behind_snooping_bridges_never_left():
    # (IGMP, MLD) versions the bridge snoops and queries with, the refresh period, and the
    # searches answered over IPv4 and IPv6 at least. In IGMPv2 and MLDv1 compatibility mode (a
    # version 2 or 1 query heard) the kernel reports no change of filter: there the querier's
    # own queries must keep the membership, and the one at the start reaches no further.
    cases = [((3, 2), PERIOD, (4, 4)), ((3, 2), 0, (0, 0)), ((2, 1), PERIOD, (0, 0))]
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(lambda case: run(case[0], case[1]), cases))
    for (versions, refresh, least), (holding, answered, reports, seconds) in zip(cases, results):
        case = f"{versions} refresh {refresh}: {answered}, {reports}"
        assert set(holding) == {GROUPS}, case  # never left
        assert all(-1 not in r["kinds"] for r in reports), case
        if least == (0, 0):
            assert answered == (0, 0), case
        else:
            assert min(answered[0], answered[1]) >= min(least), case
        for family in (4, 6):
            # The join's round, then one per period, not more, in IGMPv3 or MLDv2 mode.
            # An IGMPv2 or MLDv1 join is repeated within 10 s.
            expected = 1 + (int(seconds / refresh) if refresh and versions == (3, 2) else 0)
            slack = 1 if versions == (2, 1) else 0
            assert expected - 2 <= len(rounds(reports, family)) <= expected + slack, case
