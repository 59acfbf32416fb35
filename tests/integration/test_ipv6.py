"""SSDP over IPv6 (--ipv6): searches to the joined groups answered with the IPv6 URL beside the
unchanged IPv4 answers, the HOST rule over IPv6, a link-local-only interface and its address
followed, IPv6 unusable in the daemon's namespace, and the announcements."""

import json
import re

from testbed import DAEMON_IP6, expected_response, search_request

LINK_LOCAL = r"fe80::[0-9a-f:]+"


def v6_search(bed, scope="link", raw=None):
    return bed.search("-6", "--scope", scope, raw=raw, mx="1", wait_ms=1300)


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
    assert v6_search(bed, "organization") == []
    [ipv4] = bed.search(mx="1", wait_ms=1300)
    assert ipv4["payload"] == expected_response()
    # Over IPv6 the HOST value must name the group the search was sent to.
    for host in ("239.255.255.250:1900", "[FF05::C]:1900"):
        assert v6_search(bed, raw=search_request().replace("239.255.255.250:1900", host)) == []
    assert bed.messages("WARNING") == []


def test_link_local_only_gets_the_zone_then_a_new_address_is_followed(bed):
    bed.enable_ipv6(daemon_ip6=None)
    bed.start(args=["--ipv6"])
    link_local = link_local_of_eth1(bed)
    [answer] = v6_search(bed)
    assert answer["payload"] == expected_response(ip=f"[{link_local}%25eth1]")
    bed.in_daemon_ns("ip", "addr", "add", f"{DAEMON_IP6}/64", "dev", "eth1", "nodad")
    changed = f"The IPv6 address of eth1 changed from {link_local}%eth1 to {DAEMON_IP6}"
    bed.wait_for(changed, timeout=1.5)
    [answer] = v6_search(bed)
    assert answer["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
    assert bed.messages().count(changed) == 1


def test_ipv6_off_in_the_namespace_gives_one_warning_and_ipv4_goes_on(bed):
    bed.disable_ipv6()
    bed.start(args=["--ipv6"])
    warning = "eth1 has no IPv6 address: searches over IPv6 are not answered until it has one"
    bed.wait_for(warning)
    [answer] = bed.search(mx="1", wait_ms=1300)
    assert answer["payload"] == expected_response()
    # Switched on again, with an address: answered over IPv6 too, without a restart.
    bed.enable_ipv6()
    bed.wait_for(f"eth1 has the IPv6 address {DAEMON_IP6}: searches over IPv6 are answered",
                 timeout=1.5)
    [answer] = v6_search(bed)
    assert answer["payload"] == expected_response(ip=f"[{DAEMON_IP6}]")
    assert bed.messages("WARNING") == [warning]
