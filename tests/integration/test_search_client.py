"""The search client's own modes, against small Python peers in the test network: listening for
announcements."""

import json
import os
import signal
import subprocess
import time

import pytest

from testbed import DAEMON_IP, SEARCH, UUID, sh

NOTIFY = ("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
          f"NTS: ssdp:alive\r\nUSN: uuid:{UUID}::upnp:rootdevice\r\n"
          "cache-control:max-age=1800\r\n\r\n")

# Run in the daemon's namespace: a search and an announcement multicast from eth1.
_ANNOUNCE = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
s.sendto(b"M-SEARCH * HTTP/1.1\\r\\nHOST: 239.255.255.250:1900\\r\\n\\r\\n", ("239.255.255.250", 1900))
s.sendto(sys.stdin.buffer.read(), ("239.255.255.250", 1900))
"""


@pytest.fixture
def client(bed):
    """Starts the search client in the control point; kills what is left of it at the end."""
    started = []

    def start(*args):
        started.append(subprocess.Popen(["ip", "netns", "exec", bed.cns, os.path.abspath(SEARCH),
                                         *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True))
        return started[-1]
    yield start
    for proc in started:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def wait_members(bed, users):
    """Waits until `users` sockets in the control point have joined the IPv4 group on cp0."""
    deadline = time.monotonic() + 10
    while True:
        igmp = sh("ip", "netns", "exec", bed.cns, "cat", "/proc/net/igmp").stdout
        # The group 239.255.255.250 as /proc/net/igmp writes it, followed by its user count.
        if f"FAFFFFEF     {users} " in igmp:
            return
        assert time.monotonic() < deadline, igmp
        time.sleep(0.05)


def test_listen_prints_each_notify_with_sender_beside_another_listener(bed, client):
    # Two listeners on one port: each sets SO_REUSEADDR, as it must beside a local responder.
    until_interrupted = client("--listen", "--interface", "cp0", "--json")
    with_headers = client("--listen", "-i", "cp0", "--wait", "8000", "--json", "--headers")
    wait_members(bed, 2)
    subprocess.run(["ip", "netns", "exec", bed.dns, "python3", "-c", _ANNOUNCE, DAEMON_IP],
                   input=NOTIFY.encode(), check=True, timeout=30)
    # The search sent alongside is not an announcement: only the NOTIFY is printed.
    first = json.loads(until_interrupted.stdout.readline())
    until_interrupted.send_signal(signal.SIGINT)
    rest, summary = until_interrupted.communicate(timeout=10)
    assert (first["from"], first["payload"], rest) == (DAEMON_IP, NOTIFY, "")
    assert (until_interrupted.returncode, summary) == (0, "1 announcements from 1 senders\n")

    with_headers.send_signal(signal.SIGTERM)
    out, summary = with_headers.communicate(timeout=10)
    [notify] = [json.loads(line) for line in out.splitlines()]
    assert notify["status"] == "NOTIFY * HTTP/1.1"
    assert notify["headers"] == {"HOST": "239.255.255.250:1900", "NT": "upnp:rootdevice",
                                 "NTS": "ssdp:alive", "USN": f"uuid:{UUID}::upnp:rootdevice",
                                 "CACHE-CONTROL": "max-age=1800"}
    assert notify["time"].endswith("Z") and notify["ms"] > 0
    assert (with_headers.returncode, summary) == (0, "1 announcements from 1 senders\n")
