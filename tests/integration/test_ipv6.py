"""SSDP over IPv6 (--ipv6): searches to the joined groups answered with the IPv6 URL beside the
unchanged IPv4 answers, the HOST rule over IPv6, a link-local-only interface and its address
followed, IPv6 unusable in the daemon's namespace, and the announcements."""

import json
import os
import re

import pytest

from test_network import index_of, recreate_link
from testbed import (DAEMON_IP, DAEMON_IP6, UUID, Testbed, expected_response, search_request,
                     sh)

LINK_LOCAL = r"fe80::[0-9a-f:]+"

def v6_search(bed, scope="link", raw=None, answered=True):
    """A search over IPv6; one that is to be answered is repeated until it is."""
    search = bed.search_answered if answered else bed.search
    return search("-6", "--scope", scope, raw=raw, mx="1", wait_ms=1300)


# Datagrams to the daemon's own addresses at port 1900, which no socket of its takes.
_TO_PORT = """
import socket, sys
for address in sys.argv[1:]:
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    socket.socket(family, socket.SOCK_DGRAM).sendto(b"M-SEARCH", (address, 1900))
"""


def link_local_of_eth1(bed):
    [addr] = [a["local"] for a in json.loads(bed.in_daemon_ns("ip", "-j", "-6", "addr", "show",
                                                               "dev", "eth1"))[0]["addr_info"]
              if a["local"].startswith("fe80:")]
    return addr


def test_searches_answered_over_the_family_and_group_they_came_by(bed):
    bed.enable_ipv6()
    bed.start(args=["--ipv6", "--ipv6-scope", "site"])
    bed.wait_for(f"eth1 has the IPv6 address {DAEMON_IP6}: searches over IPv6 are answered")
    # A link-scoped search leaves cp0 from its link-local address: the answer goes back there,
    # from eth1's link-local address.
    [link] = v6_search(bed)
    assert re.fullmatch(LINK_LOCAL + "%cp0", link["from"]) and link["port"] == 1900
    [site] = v6_search(bed, "site")
    assert (site["from"], site["port"]) == (DAEMON_IP6, 1900)
    assert link["payload"] == site["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
    assert v6_search(bed, "organization", answered=False) == []
    [ipv4] = bed.search_answered(mx="1", wait_ms=1300)
    assert ipv4["payload"] == expected_response()
    # Over IPv6 the HOST value must name the group the search was sent to.
    for host in ("239.255.255.250:1900", "[FF05::C]:1900"):
        assert v6_search(bed, raw=search_request().replace("239.255.255.250:1900", host),
                         answered=False) == []
    # DMTF's Redfish Protocol Validator writes it without brackets.
    validator = search_request(mx="1").replace("HOST: 239.255.255.250:1900", "Host: ff02::c:1900")
    assert [a["payload"] for a in v6_search(bed, raw=validator)] == [link["payload"]]
    assert bed.messages("WARNING") == []
    # The answers of each class of senders leave through a socket of its own, at port 1900 too,
    # which nothing is delivered to: unread, a datagram would stay there, and a flood of them
    # would hold memory. Searches to the groups and datagrams to the port came above and here.
    # Two classes per family, opened with the interface: a second IPv4 class once failed to bind.
    sh("ip", "netns", "exec", bed.cns, "python3", "-c", _TO_PORT, DAEMON_IP, DAEMON_IP6)
    sockets = bed.in_daemon_ns("ss", "-uanH", "sport = :1900").splitlines()
    assert len(sockets) == 6 and all(line.split()[1] == "0" for line in sockets), sockets
    assert sum("224.0.0.0:1900" in line for line in sockets) == 2, sockets


def test_ipv6_only_link_local_gets_the_zone_then_a_new_address_is_followed():
    with Testbed(address=False) as bed:
        bed.enable_ipv6(daemon_ip6=None)
        bed.start(args=["--ipv6"])
        # Without an IPv4 address the daemon starts all the same, for IPv6.
        assert bed.messages("WARNING") == [
            "eth1 has no IPv4 address: searches over IPv4 are not answered until it has one"]
        link_local = link_local_of_eth1(bed)
        [answer] = v6_search(bed)
        assert answer["payload"] == expected_response(ip=f"[{link_local}%25eth1]")
        bed.in_daemon_ns("ip", "addr", "add", f"{DAEMON_IP6}/64", "dev", "eth1", "nodad")
        changed = f"The IPv6 address of eth1 changed from {link_local}%eth1 to {DAEMON_IP6}"
        bed.wait_for(changed, timeout=60)
        [answer] = v6_search(bed)
        assert answer["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
        assert bed.messages().count(changed) == 1


def test_interface_created_again_is_joined_again_over_ipv6(bed):
    bed.enable_ipv6()
    bed.start(args=["--ipv6"])
    old = index_of(bed, "eth1")
    bed.in_daemon_ns("ip", "link", "del", "eth1")
    left = f"Interface eth1 (index {old}) is gone: left FF02::C"
    bed.wait_for(left, timeout=60)
    recreate_link(bed)
    bed.enable_ipv6()
    joined = f"Joined FF02::C on eth1 (index {index_of(bed, 'eth1')})"
    bed.wait_for(joined, timeout=60)
    [answer] = v6_search(bed)
    assert answer["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
    assert bed.messages().count(left) == bed.messages().count(joined) == 1


def test_ipv6_off_in_the_namespace_gives_one_warning_and_ipv4_goes_on(bed):
    bed.disable_ipv6()
    bed.start(args=["--ipv6"])
    warning = "eth1 has no IPv6 address: searches over IPv6 are not answered until it has one"
    bed.wait_for(warning)
    [answer] = bed.search_answered(mx="1", wait_ms=1300)
    assert answer["payload"] == expected_response()
    # Switched on again, with an address: answered over IPv6 too, without a restart.
    bed.enable_ipv6()
    # The link-local address may be told first ("has the IPv6 address fe80::…"), then the move
    # to DAEMON_IP6: changes are followed as the kernel tells of them.
    bed.wait_for(f" {DAEMON_IP6}", timeout=60)
    [answer] = v6_search(bed)
    assert answer["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
    assert bed.messages("WARNING") == [warning]


def test_announcements_go_to_each_joined_group_with_the_hop_limit(bed):
    bed.enable_ipv6()
    heard = bed.listen("ff02::c", "ff05::c", seconds=120)  # a bound: the waits end on the events

    def each_group(nts, count):
        return lambda got: all(len([n for n in got if n["to"] == group and
                                    f"NTS: ssdp:{nts}" in n["payload"]]) >= count
                               for group in ("ff02::c", "ff05::c"))
    bed.start(args=["--ipv6", "--ipv6-scope", "site", "--notify-interval", "1800",
                    "--notify-ttl", "7"])
    heard(until=each_group("alive", 9))  # the three rounds at start
    assert bed.stop()[0] == 0
    heard(until=each_group("byebye", 3))
    notes = heard(now=True)
    assert {n["hops"] for n in notes} == {7}
    for group in ("ff02::c", "ff05::c"):
        to_group = [n["payload"] for n in notes if n["to"] == group]
        alive = [p for p in to_group if "NTS: ssdp:alive\r\n" in p]
        byebye = [p for p in to_group if "NTS: ssdp:byebye\r\n" in p]
        assert (len(alive), len(byebye), len(to_group)) == (9, 3, 12)
        assert all(f"HOST: [{group.upper()}]:1900\r\n" in p for p in to_group)
        assert all(f"LOCATION: https://[{DAEMON_IP6}]/redfish/v1\r\n" in p for p in alive)
        assert f"USN: uuid:{UUID}::upnp:rootdevice\r\n" in byebye[0]


# GSSDP-based consoles with a unique-local or global address search FF0E::C: only the global
# scope joins it and announces there, the organization scope stops at FF08::C.
@pytest.mark.parametrize("scope,groups", [("organization", ["ff08::c"]),
                                          ("global", ["ff08::c", "ff0e::c"])])
def test_the_global_group_only_with_the_global_scope(bed, scope, groups):
    bed.enable_ipv6()
    heard = bed.listen("ff08::c", "ff0e::c", seconds=120)
    bed.start(args=["--ipv6", "--ipv6-scope", scope, "--notify-interval", "10"])
    joined = ", ".join(g.upper() for g in ["ff02::c", "ff05::c", *groups])
    bed.wait_for(f"Joined {joined} on eth1 (index ")
    # Until the start's set is heard at each group it goes to.
    heard(until=lambda got: len([n for n in got if n["payload"].startswith("NOTIFY ")]) >=
          9 * len(groups))
    expected = [expected_response(ip=f"[{DAEMON_IP6}]")] if "ff0e::c" in groups else []
    assert [a["payload"] for a in v6_search(bed, "global", answered=bool(expected))] == expected
    assert bed.stop()[0] == 0
    # The listener hears the console's own search too, looped back.
    notes = [n for n in heard(now=True) if n["payload"].startswith("NOTIFY ")]
    assert sorted({n["to"] for n in notes}) == groups
    assert all(f"HOST: [{n['to'].upper()}]:1900\r\n" in n["payload"] for n in notes)
