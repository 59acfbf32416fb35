"""Behind a bridge that snoops IGMP and MLD, queries once at its start, forgets a membership 10 s
after its last report and floods no unknown group: the memberships reported again every
--membership-refresh seconds, never left."""

import concurrent.futures
import json
import time

from testbed import Testbed, sh


def neighbours(bed):
    """Each end's IPv6 addresses known to the other for good: the bridge drops neighbour
    solicitations too once their groups' memberships, which nobody refreshes, are forgotten."""
    ends = [(ns, dev, json.loads(sh("ip", "-j", "-n", ns, "addr", "show", "dev", dev).stdout)[0])
            for ns, dev in ((bed.dns, "eth1"), (bed.cns, "cp0"))]
    for (ns, dev, _), (_, _, peer) in zip(ends, reversed(ends)):
        for addr in (a["local"] for a in peer["addr_info"] if a["family"] == "inet6"):
            sh("ip", "-n", ns, "neigh", "replace", addr, "lladdr", peer["address"], "dev", dev,
               "nud", "permanent")


def run(versions, refresh, answers):
    """The daemon behind the bridge snooping IGMP and MLD `versions`: eth1's groups every 5 s,
    and the searches answered of five over IPv4 and over IPv6 25 s after the daemon's start."""
    with Testbed(bridge="mcast_snooping 1 mcast_query_interval 60000 mcast_membership_interval "
                 "1000 mcast_startup_query_count 1 mcast_igmp_version {} mcast_mld_version {}"
                 .format(*versions)) as bed:
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
        start = time.monotonic()
        bed.start(args=["--ipv6", "--membership-refresh", str(refresh)])
        # The main thread joins IPv6 after the listener's first record: sampled once joined.
        while not {"239.255.255.250", "ff02::c"} <= set(held(bed)) and \
                time.monotonic() < start + 60:
            time.sleep(0.05)
        groups = []
        while (left := start + 25 - time.monotonic()) > 0:
            groups.append(held(bed))
            time.sleep(min(5, left))
        # Late answers count; where none may come, a wait of several MX.
        until = answers or None
        wait = None if answers else 5000
        return groups, (len(bed.search(count=5, mx="1", wait_ms=wait, until=until)),
                        len(bed.search("-6", count=5, mx="1", wait_ms=wait, until=until)))


def held(bed):
    return sh("ip", "-n", bed.dns, "maddr", "show", "dev", "eth1").stdout.split()


def test_memberships_refreshed_behind_snooping_bridges_never_left():
    # The IGMP and MLD versions the bridge snoops and queries with, the refresh period, and the
    # searches answered of five over each family. In IGMPv2 and MLDv1 compatibility mode (an
    # old query heard within about 260 s) the kernel reports no change of source filter.
    cases = [((3, 2), 4, 5), ((3, 2), 0, 0), ((2, 1), 4, 0)]
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(lambda case: run(*case), cases))
    for (versions, refresh, answers), (groups, answered) in zip(cases, results):
        case = f"{versions} every {refresh} s: answered {answered}"
        assert all({"239.255.255.250", "ff02::c"} <= set(held) for held in groups), case
        assert all(answers - 1 <= n <= answers for n in answered), case
