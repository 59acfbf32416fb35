"""Searches sent by unicast to the controller's own addresses, port 1900 (--unicast): answered
within a second in the standard form, from the address searched, over both families and to the
link-local address; nothing to a source off the link, nor without the option; the sockets follow
an address that moves; a port taken by another program costs unicast only."""

import json
import time

from test_hostile import in_ns
from test_ipv6 import link_local_of_eth1
from testbed import (CONSOLE_IP, CONSOLE_IP6, DAEMON_IP, DAEMON_IP6, DAEMON_IP_2, UUID,
                     expected_response, sh)

REDFISH = "urn:dmtf-org:service:redfish-rest:1"
# Held by the console's namespace, routed to from the controller through the console: off-link
# for eth1, so never to be answered, though an answer sent there would be heard.
OFF_LINK = "198.19.0.9"
BIND_FAILED = ("bind() failed on 198.18.0.1:1900: Address already in use: unicast searches to it "
               "are not answered")

# Holds 198.18.0.1:1900 in the daemon's namespace, as another SSDP program might, until its
# input ends.
_HOLDER = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 1900))
print("ready", flush=True)
sys.stdin.read()
"""


def unicast_search(host, st=REDFISH, mx=None):
    """A search with HOST `host` and no MX unless given."""
    return (f"M-SEARCH * HTTP/1.1\r\nHOST: {host}\r\nMAN: \"ssdp:discover\"\r\n"
            + (f"MX: {mx}\r\n" if mx is not None else "") + f"ST: {st}\r\n\r\n")


def search_to(bed, address, st=REDFISH, host=None, wait_ms=1300, sources=(), ns=None,
              until=None):
    """A unicast search from the console (or the one in `ns`) to address:1900; the answers.
    With `until`, the wait ends once that many have come, however late."""
    ipv6 = ":" in address
    dest = f"[{address}]:1900" if ipv6 else f"{address}:1900"
    return bed.search(*(["-6"] if ipv6 else []), "--dest", dest,
                      wait_ms=wait_ms if until is None else 60000, until=until,
                      raw=unicast_search(host or dest, st), sources=sources, ns=ns)


def headers(payload):
    lines = payload.split("\r\n")
    return {k.upper(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:] if line)}


def check_answers(answers, source, url, targets):
    """Standard-form answers from source:1900, carrying `url`, one per target. (Their delay,
    below a second, is the unit tests': here it would tell the machine's load.)"""
    assert [(a["from"], a["port"]) for a in answers] == [(source, 1900)] * len(targets), answers
    got = [headers(a["payload"]) for a in answers]
    assert sorted(h["ST"] for h in got) == sorted(targets)
    assert all(h["AL"] == h["LOCATION"] == url and h["CACHE-CONTROL"] == "max-age=1800"
               for h in got)


def test_answered_in_the_standard_form_over_each_family_and_the_link_local_address(bed):
    bed.enable_ipv6()
    bed.start(args=["--unicast", "--ipv6"])
    bed.wait_for(f"eth1 has the IPv6 address {DAEMON_IP6}: searches over IPv6 are answered")
    url4, url6 = f"https://{DAEMON_IP}/redfish/v1", f"https://[{DAEMON_IP6}]/redfish/v1"
    check_answers(search_to(bed, DAEMON_IP, "ssdp:all", until=3), DAEMON_IP, url4,
                  ["upnp:rootdevice", f"uuid:{UUID}", REDFISH])
    # The legacy form goes on over multicast, byte for byte.
    assert [a["payload"] for a in bed.search_answered(mx="1", wait_ms=1300)] == [
        expected_response()]
    check_answers(search_to(bed, DAEMON_IP6, until=1), DAEMON_IP6, url6, [REDFISH])
    # To the link-local address, with the console's zone in HOST, from the console's
    # unique-local one: answered from the address searched, with the advertised one in AL.
    link_local = link_local_of_eth1(bed)
    answers = search_to(bed, link_local, "upnp:rootdevice", host=f"[{link_local}%25cp0]:1900",
                        sources=[CONSOLE_IP6], until=1)
    check_answers(answers, f"{link_local}%cp0", url6, ["upnp:rootdevice"])
    # HOST names another address, or MAN is missing: nothing.
    assert search_to(bed, DAEMON_IP, host=f"{CONSOLE_IP}:1900") == []
    assert bed.search("--dest", f"{DAEMON_IP}:1900", wait_ms=1300, raw=unicast_search(
        f"{DAEMON_IP}:1900").replace("MAN: \"ssdp:discover\"\r\n", "")) == []
    assert bed.messages("WARNING") == []


def test_without_the_option_nothing_is_bound_or_answered(running):
    assert search_to(running, DAEMON_IP) == []
    bound = running.in_daemon_ns("ss", "-Hunl", "sport", "=", ":1900")
    assert "239.255.255.250:1900" in bound and DAEMON_IP not in bound, bound


def test_a_forged_search_from_off_the_link_gets_nothing(bed):
    bed.in_daemon_ns("ip", "route", "add", f"{OFF_LINK}/32", "via", CONSOLE_IP, "dev", "eth1")
    bed.in_daemon_ns("sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0",
                     "net.ipv4.conf.eth1.rp_filter=0")
    bed.add_console_address(f"{OFF_LINK}/32")
    bed.start(args=["--unicast"])
    mac = json.loads(bed.in_daemon_ns("ip", "-j", "link", "show", "eth1"))[0]["address"]
    heard = bed.listen(ports=[41100])
    bed.forge([{"src": OFF_LINK, "sport": 41100, "dst": DAEMON_IP, "dport": 1900, "mac": mac,
                "payload": unicast_search(f"{DAEMON_IP}:1900", "ssdp:all")}])
    # A genuine search in the same run is answered.
    assert len(search_to(bed, DAEMON_IP, until=1)) == 1
    assert heard(now=True) == []
    assert f"Datagram from {OFF_LINK}:41100 dropped: no answer may go to its source" in \
        bed.messages("WARNING")


def test_a_search_to_one_interfaces_address_by_another_gets_nothing(two_ports):
    two_ports.start(args=["-i", "eth1", "-i", "eth0", "--unicast"])
    # eth0's console routes eth1's address through eth0: Linux takes it in all the same.
    sh("ip", "-n", two_ports.cns2, "route", "add", f"{DAEMON_IP}/32", "via", DAEMON_IP_2)
    assert search_to(two_ports, DAEMON_IP, ns=two_ports.cns2) == []
    assert len(search_to(two_ports, DAEMON_IP_2, ns=two_ports.cns2, until=1)) == 1


def test_the_socket_follows_an_address_that_moves(bed):
    bed.start(args=["--unicast"])
    assert len(search_to(bed, DAEMON_IP, until=1)) == 1
    moved = time.monotonic()
    bed.in_daemon_ns("ip", "addr", "add", "198.18.0.5/16", "dev", "eth1")
    bed.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eth1")
    answers = []
    while not answers and time.monotonic() < moved + 60:  # a bound: the loop ends on the answer
        answers = search_to(bed, "198.18.0.5", wait_ms=200)
    assert len(answers) == 1 and "AL: https://198.18.0.5/redfish/v1\r\n" in answers[0]["payload"]
    bound = bed.in_daemon_ns("ss", "-Hunl", "sport", "=", ":1900")
    assert "198.18.0.5:1900" in bound and f"{DAEMON_IP}:1900" not in bound, bound


def test_a_port_taken_on_the_address_gives_one_warning_and_multicast_goes_on(bed):
    with in_ns(bed.dns, _HOLDER, DAEMON_IP):
        bed.start(args=["--unicast"])
        assert [a["payload"] for a in bed.search_answered(mx="1", wait_ms=1300)] == [
            expected_response()]
        assert bed.messages("WARNING") == [BIND_FAILED]
        assert bed.proc.poll() is None
