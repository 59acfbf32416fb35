"""End to end: a control point searches over the test network and the real daemon answers."""

import os
import signal
import subprocess

import pytest

from test_notify import Systemd
from testbed import CONSOLE_IP, DAEMON_IP, UUID, expected_response, search_request

TARGETS = ["urn:dmtf-org:service:redfish-rest:1", "ssdp:all", "upnp:rootdevice"]


def common_control_point_request(st, mx):
    return ("M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nMan:\"ssdp:discover\"\r\n"
            f"Mx:{mx}\r\nSt:{st}\r\nUser-Agent: Linux/6.1 UPnP/1.1 Console/2.0\r\n\r\n")


# The delay drawn below MX is the unit tests' (DrawDelayMs, clampMx): here, when an answer
# arrives tells more of the machine's load than of the daemon.
def assert_one_exact_answer(responses):
    assert len(responses) == 1, responses
    r = responses[0]
    assert (r["from"], r["port"]) == (DAEMON_IP, 1900)
    assert r["payload"] == expected_response()
    assert r["bytes"] == 169 + len(UUID) + len(DAEMON_IP)


@pytest.mark.parametrize("st", TARGETS)
@pytest.mark.parametrize("form", ["standard", "common control point"])
def test_each_target_answered_once_exactly(running, st, form):
    mx = 1
    raw = search_request(st, mx) if form == "standard" else common_control_point_request(st, mx)
    responses = running.search_answered(raw=raw, wait_ms=mx * 1000 + 800)
    assert_one_exact_answer(responses)


INVALID = {
    "NOTIFY": "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
              "NTS: ssdp:alive\r\nLOCATION: http://198.18.0.2/\r\n\r\n",
    "response": "HTTP/1.1 200 OK\r\nST: ssdp:all\r\nUSN: uuid:x\r\n\r\n",
    "lower-case method": search_request("ssdp:all", 1).replace("M-SEARCH", "m-search"),
    "MAN unquoted": search_request("ssdp:all", 1).replace('"ssdp:discover"', "ssdp:discover"),
    "other target": search_request("urn:schemas-upnp-org:device:Basic:1", 1),
    # Answered in the standard form only.
    "the service's UUID": search_request(f"uuid:{UUID}", 1),
    "IPv6 host": search_request("ssdp:all", 1).replace("239.255.255.250:1900", "[FF02::C]:1900"),
    "no ST": search_request("ssdp:all", 1).replace("ST: ssdp:all\r\n", ""),
    "junk": "\x00\xff\x01garbage\r\n\r\n",
}


def test_invalid_requests_get_nothing_and_valid_still_answered(running):
    for name, raw in INVALID.items():
        assert running.search(raw=raw, wait_ms=1300) == [], name
    assert len(running.search_answered(mx="1")) == 1
    assert running.messages("WARNING") == []


def test_search_sent_to_unicast_address_is_not_seen(running):
    assert running.search("--dest", f"{DAEMON_IP}:1900", mx="1", wait_ms=1300) == []


@pytest.mark.parametrize("mx", ["0", "-3", "soon", ""])
def test_mx_below_one_still_answered(running, mx):
    responses = running.search_answered(raw=search_request("ssdp:all", mx), wait_ms=1800)
    assert_one_exact_answer(responses)


def test_mx_above_five_answered_as_five(running):
    # Four consoles: with MX taken as 120 s, all four would be answered within the bound with a
    # chance of 1 in 256, where MX 5 leaves 25 s to spare for a busy machine.
    responses = running.search(raw=search_request("ssdp:all", 120), count=4, wait_ms=30000,
                               until=4)
    assert sorted(r["request"] for r in responses) == [0, 1, 2, 3], responses
    for r in responses:
        assert_one_exact_answer([r])


def test_datagram_beyond_1023_bytes_is_cut(running):
    base = search_request("ssdp:all", 1)
    # All four headers inside the first 1023 bytes: answered, the rest is never looked at.
    padded = base + "X-PAD: " + "a" * 2000 + "\r\n"
    assert len(running.search_answered(raw=padded, wait_ms=1500)) == 1
    # ST pushed past byte 1023: its line is not seen, so no answer.
    late_st = base.replace("ST: ssdp:all\r\n", "") + "X-PAD: " + "a" * 1100 + "\r\nST: ssdp:all\r\n"
    assert running.search(raw=late_st, wait_ms=1500) == []


@pytest.mark.parametrize("trouble,error", [
    ("missing", "No such file or directory (nor is there /opt/data/redfish.json)"),
    ("unreadable", "Permission denied")])
def test_info_file_missing_then_present_is_picked_up(bed, trouble, error):
    path = os.path.join(os.path.realpath(bed.root), "data", "redfish.json")
    if trouble == "missing":
        bed.remove_info()
    else:
        os.chown(path, 0, 0)  # root's alone: the daemon runs as another user
        os.chmod(path, 0o600)
    bed.start()
    # Regression: told only at the first search, with neither the path nor the error.
    told = f"Service information file {path} cannot be opened: {error}"
    assert bed.messages("WARNING") == ["Failed to open the redfishd info file", told]
    assert bed.search(mx="1", wait_ms=1300) == []
    bed.write_info('{"uuid": "%s"}' % UUID)
    assert_one_exact_answer(bed.search_answered(mx="1", wait_ms=1800))
    assert f"Service information file {path} read" in bed.messages("INFO")
    assert bed.messages("WARNING") == ["Failed to open the redfishd info file", told]
    # Cached: a rewritten file is not read again.
    bed.write_info('{"uuid": "something-else"}')
    assert bed.search_answered(mx="1", wait_ms=1800)[0]["payload"] == expected_response()


def test_twenty_consoles_at_once_all_answered(running):
    # Each request leaves from its own socket on a host of its own, one after the other.
    responses = running.search(count=20, mx="2", wait_ms=60000, until=20,
                               sources=running.add_consoles(20))
    assert sorted(r["request"] for r in responses) == list(range(20))
    for r in responses:
        assert r["payload"] == expected_response()
    # Random delays spread the answers instead of sending them together: they leave in the
    # order of their drawn times, not in that of the searches (all twenty in order: 1 in 20!),
    # however late the daemon is to send them.
    order = [r["request"] for r in sorted(responses, key=lambda r: r["ms"])]
    assert order != list(range(20)), responses


# Regression: a stop waited for every pending answer's drawn delay (up to 5 s); they now leave at
# once, so each console still hears of the service.
@pytest.mark.parametrize("count", [1, 20])
def test_scheduled_response_still_sent_at_shutdown(bed, count):
    systemd = Systemd(bed)
    try:
        running = bed.start(extra=systemd.env(watchdog=False))
        sources = running.add_consoles(count) if count > 1 else []
        client = subprocess.Popen(
            ["ip", "netns", "exec", running.cns, os.path.abspath(os.environ.get(
                "SSDP_SEARCH_BIN", "build/ssdp-search")), "--json", "--interface", "cp0",
             "--st", "ssdp:all", "--mx", "5", "--wait", "60000", "--until", str(count),
             "--count", str(count)] + (["--source", ",".join(sources)] if sources else []),
            stdout=subprocess.PIPE, text=True)
        # Stopped once the daemon has taken the last search, as its status line tells.
        last = sources[-1] if sources else CONSOLE_IP
        systemd.wait_for(lambda m: m.startswith("STATUS=") and
                         m.endswith(f", last search from {last}"), 60)
        code, _ = running.stop(timeout=60)
    finally:
        systemd.close()
    out, _ = client.communicate(timeout=60)
    assert code == 0
    assert len([line for line in out.splitlines() if line.strip()]) == count
    assert running.messages()[-2:] == ["Exiting...", "Stopping the Storage Server discovery process."]
