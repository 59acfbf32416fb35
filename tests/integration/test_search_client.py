"""The search client's own modes, against small Python peers in the test network: listening for
announcements, searching over IPv6, and the warning near the neighbour-table limit; and its
refusal of an MX it cannot wait for."""

import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from testbed import DAEMON_IP, DAEMON_IP6, SEARCH, UUID, sh

NOTIFY = ("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
          f"NTS: ssdp:alive\r\nUSN: uuid:{UUID}::upnp:rootdevice\r\n"
          "cache-control:max-age=1800\r\n\r\n")

# Run in the daemon's namespace: a search and an announcement multicast out of eth1 to argv[1].
_ANNOUNCE = """
import socket, sys
if ":" in sys.argv[1]:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex("eth1"))
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[2]))
for payload in (b"M-SEARCH * HTTP/1.1\\r\\n\\r\\n", sys.stdin.buffer.read()):
    s.sendto(payload, (sys.argv[1], 1900))
"""

# Run in the daemon's namespace: joins argv[1] on eth1, answers the first datagram and prints it.
_RESPOND = """
import json, socket, struct, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.bind(("::", 1900))
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, socket.inet_pton(
    socket.AF_INET6, sys.argv[1]) + struct.pack("@I", socket.if_nametoindex("eth1")))
print("ready", flush=True)
s.settimeout(20)
data, sender = s.recvfrom(65536)
answer = sys.argv[2] if len(sys.argv) > 2 else "HTTP/1.1 200 OK\\r\\nST: ssdp:all\\r\\n\\r\\n"
s.sendto(answer.encode("latin-1"), sender)
print(json.dumps(data.decode("latin-1")))
"""


@pytest.fixture
def spawn():
    """Starts a command in a namespace; kills what is left of it at the end."""
    started = []

    def start(ns, *cmd):
        started.append(subprocess.Popen(["ip", "netns", "exec", ns, *cmd], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True))
        return started[-1]
    yield start
    for proc in started:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


LINK_LOCAL_ON_CP0 = r"fe80::[0-9a-f:]+%cp0"

# Per family: the client's options, the group, how /proc lists the group joined by two sockets
# on cp0, and the announcement's sender as printed.
FAMILIES = {
    "IPv4": ([], "239.255.255.250", "/proc/net/igmp", r"\n\s+FAFFFFEF\s+2\s",
             re.escape(DAEMON_IP)),
    "IPv6": (["-6"], "ff02::c", "/proc/net/igmp6", r"cp0\s+ff02000000000000000000000000000c\s+2\s",
             LINK_LOCAL_ON_CP0),
}


@pytest.mark.parametrize("family", FAMILIES)
def test_listen_prints_each_notify_with_sender_beside_another_listener(bed, spawn, family):
    options, group, table, joined, sender = FAMILIES[family]
    bed.enable_ipv6()
    # Two listeners on one port: each sets SO_REUSEADDR, as it must beside a local responder.
    search = os.path.abspath(SEARCH)
    until_interrupted = spawn(bed.cns, search, *options, "--listen", "--interface", "cp0", "-j")
    with_headers = spawn(bed.cns, search, *options, "-l", "-i", "cp0", "-w", "120000", "-j",
                         "-H")
    deadline = time.monotonic() + 60  # a bound: the loop ends once both have joined
    while not re.search(joined, sh("ip", "netns", "exec", bed.cns, "cat", table).stdout):
        assert time.monotonic() < deadline and with_headers.poll() is None, with_headers.stderr
        time.sleep(0.05)
    sh("ip", "netns", "exec", bed.dns, "python3", "-c", _ANNOUNCE, group, DAEMON_IP,
       input=NOTIFY, timeout=30)
    # The search sent alongside is not an announcement: only the NOTIFY is printed.
    first = json.loads(until_interrupted.stdout.readline())
    until_interrupted.send_signal(signal.SIGINT)
    rest, summary = until_interrupted.communicate(timeout=10)
    assert (first["payload"], rest) == (NOTIFY, "")
    assert re.fullmatch(sender, first["from"]), first
    assert (until_interrupted.returncode, summary) == (0, "1 announcement from 1 sender\n")

    with_headers.send_signal(signal.SIGTERM)
    out, summary = with_headers.communicate(timeout=10)
    [notify] = [json.loads(line) for line in out.splitlines()]
    assert notify["status"] == "NOTIFY * HTTP/1.1"
    assert notify["headers"] == {"HOST": "239.255.255.250:1900", "NT": "upnp:rootdevice",
                                 "NTS": "ssdp:alive", "USN": f"uuid:{UUID}::upnp:rootdevice",
                                 "CACHE-CONTROL": "max-age=1800"}
    assert notify["time"].endswith("Z") and notify["ms"] > 0
    assert (with_headers.returncode, summary) == (0, "1 announcement from 1 sender\n")


# A search whose one answer is waited for however late it comes.
ANSWERED = ("--wait", "60000", "--until", "1")
# Per scope: the group, and the sender the answer comes from. A link-scoped search leaves from
# cp0's link-local address, so it is answered from eth1's, which prints with its zone.
SCOPES = {"link": ("FF02::C", LINK_LOCAL_ON_CP0),
          "site": ("FF05::C", re.escape(DAEMON_IP6)),
          "organization": ("FF08::C", re.escape(DAEMON_IP6))}


@pytest.mark.parametrize("scope", SCOPES)
def test_ipv6_search_goes_to_the_scope_group_and_prints_the_sender(bed, spawn, scope):
    group, sender = SCOPES[scope]
    bed.enable_ipv6()
    responder = spawn(bed.dns, "python3", "-c", _RESPOND, group)
    assert responder.stdout.readline() == "ready\n"
    search = spawn(bed.cns, os.path.abspath(SEARCH), "-6", "--scope", scope, "-i", "cp0",
                   "--st", "ssdp:all", "--mx", "1", *ANSWERED)
    out, errors = search.communicate(timeout=90)
    request = json.loads(responder.communicate(timeout=30)[0])
    assert request == (f"M-SEARCH * HTTP/1.1\r\nHOST: [{group}]:1900\r\n"
                       "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: ssdp:all\r\n\r\n")
    # Read as text, so the response's CR LF arrive as LF.
    assert re.fullmatch(rf"--- response from \[{sender}\]:1900 to request 0 after [0-9.]+ ms "
                        r"\(\d+ bytes\)\nHTTP/1.1 200 OK\nST: ssdp:all\n\n"
                        r"1 response; 1 of 1 request answered\n", out), out
    assert (search.returncode, errors) == (0, "")


@pytest.mark.parametrize("gc_thresh2,warning", [
    ("1", "ssdp-search: warning: answers from 1 address, past net.ipv4.neigh.default.gc_thresh2"
          " = 1: a console on a large segment loses answers silently; raise it (see README)\n"),
    ("2", ""),  # one responder is below 90% of 2
])
def test_warning_near_the_neighbour_table_limit(running, tmp_path, gc_thresh2, warning):
    # A namespace shows no neighbour-table limits of its own (the table is the host's): lay out
    # the files that the client reads there, in the client's own mount namespace.
    (tmp_path / "default").mkdir()
    (tmp_path / "default" / "gc_thresh2").write_text(gc_thresh2 + "\n")
    (tmp_path / "default" / "gc_thresh3").write_text("1024\n")
    res = sh("ip", "netns", "exec", running.cns, "sh", "-c",
             'mount --bind "$0" /proc/sys/net/ipv4/neigh && exec "$@"', str(tmp_path),
             os.path.abspath(SEARCH), "-i", "cp0", "--mx", "1", "--quiet", *ANSWERED, timeout=90)
    assert (res.stdout, res.stderr) == ("1 response; 1 of 1 request answered\n", warning)


# A hostile responder's bytes: a title set (ESC ... BEL), a screen cleared, a line overwritten.
HOSTILE = "HTTP/1.1 200 OK\r\nST: ssdp:all\x1b]0;owned\x07\r\nAL: /\x1b[2J\rAL: /x\r\n\r\n"


# Regression: the answer reached the terminal as it came, ESC and BEL included.
@pytest.mark.parametrize("output", [[], ["--headers"]])
def test_control_characters_in_an_answer_are_shown_escaped(bed, spawn, output):
    bed.enable_ipv6()
    responder = spawn(bed.dns, "python3", "-c", _RESPOND, "FF05::C", HOSTILE)
    assert responder.stdout.readline() == "ready\n"
    search = spawn(bed.cns, os.path.abspath(SEARCH), "-6", "--scope", "site", "-i", "cp0",
                   "--mx", "1", *ANSWERED, *output)
    out = search.communicate(timeout=90)[0]
    assert "ssdp:all\\x1b]0;owned\\x07" in out and "/\\x1b[2J\\x0dAL: /x" in out, out
    assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", out), out


# Regression: --mx was read with atoi and its wait computed as MX * 1000 + 500 in an int, so
# 3000000 waited no time at all and 9999999 about 16 days. Outside 1 to 120 is a usage error.
@pytest.mark.parametrize("mx", ["0", "-1", "121", "3000000", "9999999", "99999999999999999999",
                                "2x", ""])
def test_mx_out_of_range_is_a_usage_error_and_sends_nothing(mx):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as peer:
        peer.bind(("127.0.0.1", 0))
        peer.settimeout(10)
        dest = f"127.0.0.1:{peer.getsockname()[1]}"
        res = sh(os.path.abspath(SEARCH), "--dest", dest, "--mx", mx, check=False, timeout=10)
        assert (res.returncode, res.stdout) == (2, "")
        assert res.stderr.startswith(f"ssdp-search: bad value '{mx}' for --mx\nusage: ")
        # The request of a run with a good MX is the first to arrive: the one above sent none.
        sh(os.path.abspath(SEARCH), "--dest", dest, "--mx", "120", "--wait", "0", check=False,
           timeout=10)
        assert b"\r\nMX: 120\r\n" in peer.recv(2048)
