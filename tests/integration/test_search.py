"""End to end: a control point searches over the test network and the real daemon answers."""

import os
import signal
import subprocess
import time

import pytest

from testbed import CONSOLE_IP, DAEMON_IP, UUID, expected_response, search_request

# Scheduling slack on top of the MX window for a shared, busy machine.
SLACK_MS = 400

TARGETS = ["urn:dmtf-org:service:redfish-rest:1", "ssdp:all", "upnp:rootdevice"]


def common_control_point_request(st, mx):
    return ("M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nMan:\"ssdp:discover\"\r\n"
            f"Mx:{mx}\r\nSt:{st}\r\nUser-Agent: Linux/6.1 UPnP/1.1 Console/2.0\r\n\r\n")


def assert_one_exact_answer(responses, mx):
    assert len(responses) == 1, responses
    r = responses[0]
    assert (r["from"], r["port"]) == (DAEMON_IP, 1900)
    assert r["payload"] == expected_response()
    assert r["bytes"] == 169 + len(UUID) + len(DAEMON_IP)
    assert r["ms"] < mx * 1000 + SLACK_MS


@pytest.mark.parametrize("st", TARGETS)
@pytest.mark.parametrize("form", ["standard", "common control point"])
def test_each_target_answered_once_exactly(running, st, form):
    mx = 1
    raw = search_request(st, mx) if form == "standard" else common_control_point_request(st, mx)
    responses = running.search(raw=raw, wait_ms=mx * 1000 + 800)
    assert_one_exact_answer(responses, mx)


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
    assert len(running.search(mx="1")) == 1
    assert running.messages("WARNING") == []


def test_search_sent_to_unicast_address_is_not_seen(running):
    assert running.search("--dest", f"{DAEMON_IP}:1900", mx="1", wait_ms=1300) == []


@pytest.mark.parametrize("mx", ["0", "-3", "soon", ""])
def test_mx_below_one_answered_within_a_second(running, mx):
    responses = running.search(raw=search_request("ssdp:all", mx), wait_ms=1800)
    assert_one_exact_answer(responses, 1)


def test_mx_above_five_answered_within_five_seconds(running):
    responses = running.search(raw=search_request("ssdp:all", 120), wait_ms=6000)
    assert_one_exact_answer(responses, 5)


def test_datagram_beyond_1023_bytes_is_cut(running):
    base = search_request("ssdp:all", 1)
    # All four headers inside the first 1023 bytes: answered, the rest is never looked at.
    padded = base + "X-PAD: " + "a" * 2000 + "\r\n"
    assert len(running.search(raw=padded, wait_ms=1500)) == 1
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
    assert_one_exact_answer(bed.search(mx="1", wait_ms=1800), 1)
    assert f"Service information file {path} read" in bed.messages("INFO")
    assert bed.messages("WARNING") == ["Failed to open the redfishd info file", told]
    # Cached: a rewritten file is not read again.
    bed.write_info('{"uuid": "something-else"}')
    assert bed.search(mx="1", wait_ms=1800)[0]["payload"] == expected_response()


def test_twenty_consoles_at_once_all_answered_within_mx(running):
    # Each request leaves from its own socket on a host of its own; all go out within a few
    # milliseconds.
    responses = running.search(count=20, mx="2", wait_ms=3000, sources=running.add_consoles(20))
    assert sorted(r["request"] for r in responses) == list(range(20))
    for r in responses:
        assert r["payload"] == expected_response()
        assert r["ms"] < 2000 + SLACK_MS, r["ms"]
    # Random delays spread the answers instead of sending them together.
    times = sorted(r["ms"] for r in responses)
    assert times[-1] - times[0] > 300


# Regression: a stop waited for every pending answer's drawn delay (up to 5 s); they now leave at
# once, so each console still hears of the service.
@pytest.mark.parametrize("count", [1, 20])
def test_scheduled_response_still_sent_at_shutdown(running, count):
    sources = running.add_consoles(count) if count > 1 else []
    client = subprocess.Popen(
        ["ip", "netns", "exec", running.cns, os.path.abspath(os.environ.get(
            "SSDP_SEARCH_BIN", "build/ssdp-search")), "--json", "--interface", "cp0",
         "--st", "ssdp:all", "--mx", "5", "--wait", "6500", "--count", str(count)] +
        (["--source", ",".join(sources)] if sources else []),
        stdout=subprocess.PIPE, text=True)
    time.sleep(0.2)
    code, elapsed = running.stop(timeout=15)
    out, _ = client.communicate(timeout=15)
    assert code == 0
    assert elapsed < 5.5
    assert len([line for line in out.splitlines() if line.strip()]) == count
    assert running.messages()[-2:] == ["Exiting...", "Stopping the Storage Server discovery process."]
