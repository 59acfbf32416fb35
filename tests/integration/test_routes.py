"""Routes and answers: an answer to a link-local source never goes through a router, an IPv6
answer leaves from the address of the interface the search came in by, a console on-link only
by a connected route is answered, and so is one behind a router that searches a wider IPv6
scope; a flood of router advertisements leaves the console answered."""

import json
import os
import subprocess

import pytest

import netns
from test_hostile import forged_search
from testbed import (CONSOLE_IP, CONSOLE_IP6, DAEMON_IP, DAEMON_IP6, Testbed, expected_response)

FORGED = "169.254.77.77"


def test_link_local_source_is_never_answered_through_a_router(bed):
    # eth1 carries the default route, through the console's namespace: an answer left to the
    # routing table went to that router for a forged link-local source, for it to deliver
    # wherever that address is. On-link, it waits for a hardware address that no host gives.
    bed.in_daemon_ns("ip", "route", "add", "default", "via", CONSOLE_IP, "dev", "eth1")
    bed.start()
    captured = bed.capture()
    bed.forge([forged_search(FORGED, 5555)])
    # Searched after the forged search: its answer has fallen due by the end of this one's wait.
    assert [r["payload"] for r in bed.search(mx="1", wait_ms=1300)] == [expected_response()]
    wire = {(d["src"], d["dst"], d["sport"]) for d in captured(now=True)}
    assert (DAEMON_IP, CONSOLE_IP, 1900) in wire  # the capture saw the answers that left
    assert [d for d in wire if d[1] == FORGED] == []


# Per case: the commands in the daemon's namespace and in the console's (after IPv6 is on, with
# link-local addresses only on eth1, and eth2 with an address of another prefix), the daemon's
# options, the search client's, its source, and the address the answer comes from and carries.
ANSWERED = {
    "IPv4 console on-link by a connected route only": (
        [f"addr add {DAEMON_IP}/32 dev eth1", f"addr del {DAEMON_IP}/24 dev eth1",
         "route add 198.18.0.0/24 dev eth1"], [], [], [], CONSOLE_IP, DAEMON_IP),
    "IPv6 console on-link by a connected route only": (
        [f"addr add {DAEMON_IP6}/128 dev eth1 nodad", "route add fd00::/64 dev eth1"], [],
        ["--ipv6"], ["-6"], CONSOLE_IP6, DAEMON_IP6),
    # No multicast routing here: the router holds the console's address itself and sends the
    # search onto eth1's segment as a router forwarding it would.
    "IPv6 console behind a router, site scope": (
        [f"addr add {DAEMON_IP6}/64 dev eth1 nodad",
         f"route add fd00:9::/64 via {CONSOLE_IP6} dev eth1"],
        ["addr add fd00:9::2/128 dev lo"],
        ["--ipv6", "--ipv6-scope", "site"], ["-6", "--scope", "site"], "fd00:9::2", DAEMON_IP6),
    # Left to the kernel, the source was eth2's address: RFC 6724 avoids a deprecated address
    # before it prefers the outgoing interface's.
    "IPv6 from eth1's deprecated address, not eth2's": (
        ["addr add fd00:1::1/64 dev eth1 nodad preferred_lft 0"],
        ["addr add fd00:1::2/64 dev cp0 nodad"], ["--ipv6"], ["-6"], "fd00:1::2", "fd00:1::1"),
}


# Regression: past 4,096 routes on an interface, its on-link rule fell back to its own address
# prefixes until an unrelated address came and went, the routes long gone.
for _case in list(ANSWERED)[:2]:
    ANSWERED[f"{_case}, after 4,200 routes came and went"] = ANSWERED[_case]


def churn(case, family):
    if "4,200 routes" not in case:
        return []
    route = ("route {} 10.{}.{}.0/24 dev eth1" if family == 4
             else "route {} fd5b:{}:{}::/64 dev eth1")
    return [route.format(verb, i // 256, i % 256) for verb in ("add", "del") for i in range(4200)]


@pytest.mark.parametrize("case", ANSWERED)
def test_answered_from_and_with_the_arrival_interfaces_address(case):
    daemon_ns, console_ns, daemon_args, search_args, source, address = ANSWERED[case]
    with Testbed(second="eth2") as bed:
        bed.enable_ipv6(daemon_ip6=None)
        netns.batch(daemon_ns, bed.dns)
        netns.batch(console_ns, bed.cns)
        bed.start(args=daemon_args)
        host = address
        if "--ipv6" in daemon_args:
            bed.wait_for(f"eth1 has the IPv6 address {address}: searches over IPv6 are answered",
                         timeout=60)
            host = f"[{address}]"
        netns.batch(churn(case, 6 if "--ipv6" in daemon_args else 4), bed.dns)
        # However long the daemon takes over the churn's events before it reads the search.
        found = bed.search(*search_args, mx="1", until=1, sources=[source])
        assert [(r["from"], r["payload"]) for r in found] == \
            [(address, expected_response(ip=host))], bed.messages("WARNING")


RA_FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ra_flood.py")


# Regression: router advertisements from any host on the segment, each with 45 new on-link
# prefixes, made the host's view follow every route they added, copying and scanning all of them
# per event and per datagram: a console went unanswered and SIGTERM waited. The view now asks the
# kernel of each new sender instead, and keeps answering.
def test_router_advertisement_flood_leaves_the_console_answered(bed):
    bed.enable_ipv6()
    bed.start(args=["--ipv6"])
    flood = subprocess.Popen(["ip", "netns", "exec", bed.cns, "python3", RA_FLOOD, "cp0", "60",
                              "45", "7"], stdout=subprocess.PIPE, text=True)
    # Each search answered, however late a loaded machine lets it come: a console that the flood
    # crowds out gets no answer at all.
    try:
        during = [bool(bed.search(mx="1", until=1)) for _ in range(5)]
    finally:
        sent = json.loads(flood.communicate(timeout=60)[0])
    after = [bool(bed.search(mx="1", until=1)) for _ in range(5)]
    assert sent["sent"] == 420
    assert sum(during + after) >= 9, (during, after)
    assert not [m for m in bed.messages("WARNING") if "RTM_GETROUTE" in m or "routes" in m]
    assert bed.stop(timeout=60)[0] == 0  # a hang guard: a stop that never comes
