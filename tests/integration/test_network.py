"""A network that moves under the daemon: its interface's address changes or goes, the interface
is deleted and created again, it has another name, one host floods it with searches. And the
command line that chooses the interface."""

import json
import os
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import netns
from testbed import (CONSOLE_IP, CONSOLE_IP6, CONSOLE_IP_2, DAEMON, DAEMON_IP, DAEMON_IP6,
                     DAEMON_IP6_2, DAEMON_IP_2, Testbed, expected_response, sh)
from test_load import kernel_drops, notes

GROUP = "239.255.255.250"


def answered(bed, wait_ms=1300):
    return [r["payload"] for r in bed.search(mx="1", wait_ms=wait_ms)]


def count(bed, text):
    return sum(m == text for m in bed.messages())


def test_address_changed_while_running_is_announced(running):
    assert answered(running) == [expected_response()]
    running.in_daemon_ns("ip", "addr", "add", "198.18.0.5/16", "dev", "eth1")
    running.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eth1")
    changed = f"The IPv4 address of eth1 changed from {DAEMON_IP} to 198.18.0.5"
    running.wait_for(changed, timeout=1.5)
    assert answered(running) == [expected_response(ip="198.18.0.5")]
    assert count(running, changed) == 1


# Per family: the daemon's options, the search client's, and the places eth1 moves to in turn,
# each (eth1's address, a console's on its subnet, the prefix length), the last where it starts.
MOVES = {
    "IPv4": ([], [], [("198.18.2.1", "198.18.2.2", 24), (DAEMON_IP, CONSOLE_IP, 24)]),
    "IPv6": (["--ipv6"], ["-6"], [("fd00:2::1", "fd00:2::2", 64), (DAEMON_IP6, CONSOLE_IP6, 64)]),
}


@pytest.mark.parametrize("family", MOVES)
def test_search_just_after_an_address_move_is_judged_by_the_new_one(bed, family):
    # The host's addresses were read again every half second: a console on the new subnet was
    # refused as off-link, or answered with the address that had gone.
    daemon_args, search_args, places = MOVES[family]
    if family == "IPv6":
        bed.enable_ipv6()
    nodad = " nodad" if family == "IPv6" else ""
    netns.batch([f"addr add {places[0][1]}/{places[0][2]} dev cp0{nodad}"], bed.cns)
    bed.start(args=daemon_args)
    if family == "IPv6":
        bed.wait_for(f"eth1 has the IPv6 address {DAEMON_IP6}: searches over IPv6 are answered")
    here = places[-1]
    # Away, back and away again: each move at some other moment of the daemon's turn.
    for there in (places + places)[:3]:
        netns.batch([f"addr add {there[0]}/{there[2]} dev eth1{nodad}",
                     f"addr del {here[0]}/{here[2]} dev eth1"], bed.dns)
        time.sleep(0.15)
        found = bed.search(*search_args, mx="1", wait_ms=1300, sources=[there[1]])
        host = there[0] if family == "IPv4" else f"[{there[0]}]"
        assert [(r["from"], r["payload"]) for r in found] == \
            [(there[0], expected_response(ip=host))], bed.messages()[-4:]
        here = there


def test_last_address_removed_then_restored(running):
    running.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eth1")
    gone = "eth1 has no IPv4 address: searches are not answered until it has one"
    running.wait_for(gone, timeout=1.5)
    assert answered(running) == []
    running.in_daemon_ns("ip", "addr", "add", f"{DAEMON_IP}/24", "dev", "eth1")
    back = f"eth1 has the IPv4 address {DAEMON_IP}: searches are answered again"
    running.wait_for(back, timeout=1.5)
    assert answered(running) == [expected_response()]
    assert (count(running, gone), count(running, back)) == (1, 1)
    assert running.messages("WARNING") == [gone]


def recreate_link(bed):
    """A new veth pair in place of the deleted one, made under other names, then named and
    addressed as before. Made in the daemon's namespace, never in the machine's own."""
    a, b = "vc0", "vd0"
    sh("ip", "-n", bed.dns, "link", "add", a, "type", "veth", "peer", "name", b, "netns", bed.cns)
    for ns, old, new, ip in ((bed.dns, a, "eth1", DAEMON_IP), (bed.cns, b, "cp0", "198.18.0.2")):
        for cmd in (["link", "set", old, "name", new], ["addr", "add", f"{ip}/24", "dev", new],
                    ["link", "set", new, "up"], ["route", "add", "224.0.0.0/4", "dev", new]):
            sh("ip", "-n", ns, *cmd)


def index_of(bed, name):
    return json.loads(bed.in_daemon_ns("ip", "-j", "link", "show", name))[0]["ifindex"]


def test_interface_deleted_and_created_again_is_joined_again(running):
    old = index_of(running, "eth1")
    running.in_daemon_ns("ip", "link", "del", "eth1")
    left = f"Interface eth1 (index {old}) is gone: left {GROUP}"
    running.wait_for(left, timeout=1.5)
    recreate_link(running)
    created = time.monotonic()
    joined = f"Joined {GROUP} on eth1 (index {index_of(running, 'eth1')}) again"
    running.wait_for(joined, timeout=2.0)
    # Answered within 2 s of the interface coming back.
    assert answered(running, wait_ms=2000 - int((time.monotonic() - created) * 1000)) == \
        [expected_response()]
    assert (count(running, left), count(running, joined)) == (1, 1)
    assert GROUP in running.in_daemon_ns("ip", "maddr", "show", "dev", "eth1")
    code, _ = running.stop()
    assert code == 0


def test_chosen_interface_is_followed_and_named():
    with Testbed(ifname="eno1") as bed:
        bed.start(args=["--interface", "eno1"])
        assert answered(bed) == [expected_response()]
        bed.in_daemon_ns("ip", "addr", "add", "198.18.0.5/16", "dev", "eno1")
        bed.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eno1")
        bed.wait_for(f"The IPv4 address of eno1 changed from {DAEMON_IP} to 198.18.0.5", 1.5)
        assert answered(bed) == [expected_response(ip="198.18.0.5")]
        assert not any("eth1" in m for m in bed.messages())


TWO_PORTS = ["-i", "eth0", "-i", "eth1"]

# Per family: the daemon's options, the search client's, the address each port announces, and
# the group the daemon joins.
FAMILIES = {
    "IPv4": ([], [], {"eth0": DAEMON_IP_2, "eth1": DAEMON_IP}, GROUP),
    "IPv6": (["--ipv6"], ["-6"], {"eth0": DAEMON_IP6_2, "eth1": DAEMON_IP6}, "ff02::c"),
}


def consoles(bed):
    """Each port of a two-port testbed with its console's namespace."""
    return {"eth0": bed.cns2, "eth1": bed.cns}


def start_two_ports(bed, family, args=TWO_PORTS):
    """Starts the daemon on both ports in the family, once each has its address; returns the
    host of the URL that each port's console gets."""
    daemon_args, _, addresses, _ = FAMILIES[family]
    if family == "IPv6":
        bed.enable_ipv6()
    bed.start(args=args + daemon_args)
    if family == "IPv4":
        return addresses
    for ifname, address in addresses.items():
        bed.wait_for(f"{ifname} has the IPv6 address {address}: searches over IPv6 are answered")
    return {ifname: f"[{address}]" for ifname, address in addresses.items()}


def answers_by_port(bed, family, ports):
    """The answers to one search from the console of each of the ports (by their names at
    start), the consoles searching at the same time."""
    with ThreadPoolExecutor(len(ports)) as pool:
        searches = {port: pool.submit(bed.search, *FAMILIES[family][1], mx="1", wait_ms=1300,
                                      ns=consoles(bed)[port]) for port in ports}
    return {port: [r["payload"] for r in search.result()] for port, search in searches.items()}


@pytest.mark.parametrize("family", FAMILIES)
def test_each_interface_answers_its_console_with_its_own_url(two_ports, family):
    hosts = start_two_ports(two_ports, family)
    assert answers_by_port(two_ports, family, hosts) == {
        ifname: [expected_response(ip=host)] for ifname, host in hosts.items()}


def test_overlapping_subnets_each_console_answered_on_its_own_interface(two_ports):
    # eth1 on eth0's subnet, each with a console: the subnet's route (eth0's, the first) took
    # every answer out of eth0, and the console on eth1's segment got none.
    ports = {"eth0": ("198.18.10.1", two_ports.cns2, CONSOLE_IP_2, "198.18.10.2"),
             "eth1": ("198.18.10.5", two_ports.cns, CONSOLE_IP, "198.18.10.7")}
    old = {"eth0": DAEMON_IP_2, "eth1": DAEMON_IP}
    # A strict reverse-path filter, where the host sets one, would drop eth1's console's search.
    two_ports.in_daemon_ns("sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0",
                           "net.ipv4.conf.eth1.rp_filter=0")
    for ifname, (ip, cns, console_old, console_ip) in ports.items():
        # Each new address before the old one goes, so that no route goes with the last.
        netns.batch([f"addr add {ip}/24 dev {ifname}", f"addr del {old[ifname]}/24 dev {ifname}"],
                    two_ports.dns)
        netns.batch([f"addr add {console_ip}/24 dev cp0", f"addr del {console_old}/24 dev cp0"],
                    cns)
    two_ports.start(args=TWO_PORTS)
    got = {ifname: [(r["from"], r["payload"]) for r in two_ports.search(mx="1", wait_ms=1300,
                                                                        ns=cns)]
           for ifname, (_, cns, _, _) in ports.items()}
    assert got == {ifname: [(ip, expected_response(ip=ip))] for ifname, (ip, _, _, _) in
                   ports.items()}


# Listed interfaces that take each other's names, as udev or an operator renames them: per case,
# the order they are given in, the commands, and the ports left (by their names at start) with
# the names they have then.
RENAMES = {
    "names swapped": (["-i", "eth0", "-i", "eth1"],
                      ["link set eth0 down", "link set eth1 down", "link set eth0 name tmpx",
                       "link set eth1 name eth0", "link set tmpx name eth1", "link set eth0 up",
                       "link set eth1 up"], {"eth0": "eth1", "eth1": "eth0"}),
    "one deleted, the other given its name": (["-i", "eth1", "-i", "eth0"],
                                              ["link del eth1", "link set eth0 down",
                                               "link set eth0 name eth1", "link set eth1 up"],
                                              {"eth0": "eth1"}),
}


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("case", RENAMES)
def test_renamed_interfaces_keep_their_memberships_and_answers(two_ports, case, family):
    # The socket's membership of one index was taken as another watch's, and that watch then
    # left it: the console on that link got no answer until a restart.
    args, commands, left = RENAMES[case]
    group = FAMILIES[family][3]
    for ifname in ("eth0", "eth1"):
        # Over IPv6 the addresses stay through the link's down and up, as over IPv4.
        two_ports.in_daemon_ns("sysctl", "-qw", f"net.ipv6.conf.{ifname}.keep_addr_on_down=1")
    hosts = start_two_ports(two_ports, family, args)
    netns.batch(commands, two_ports.dns)
    changed = time.monotonic()
    # Searched again until answered, for about 2 s: an answer in the moment before the daemon
    # notices is true or not sent.
    got = {port: [] for port in left}
    while (waiting := [port for port in left if not got[port]]) and \
            time.monotonic() - changed < 2.0:
        got.update(answers_by_port(two_ports, family, waiting))
    assert got == {port: [expected_response(ip=hosts[port])] for port in left}
    # More than a follow period (about 0.6 s) later, each interface left holds the group.
    missing = [ifname for ifname in left.values()
               if group not in two_ports.in_daemon_ns("ip", "maddr", "show", "dev", ifname)]
    assert missing == [], two_ports.in_daemon_ns("ip", "maddr", "show")


def test_address_lost_on_one_interface_stops_answers_there_only(two_ports):
    two_ports.start(args=TWO_PORTS)

    def answers():
        return {ifname: [r["payload"] for r in two_ports.search(mx="1", wait_ms=1300, ns=ns)]
                for ifname, ns in consoles(two_ports).items()}
    both = {"eth0": [expected_response(ip=DAEMON_IP_2)], "eth1": [expected_response()]}
    assert answers() == both
    two_ports.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eth1")
    two_ports.wait_for("eth1 has no IPv4 address: searches are not answered until it has one",
                       timeout=1.5)
    assert answers() == {**both, "eth1": []}


def test_several_interfaces_at_start(two_ports):
    # A name that no interface has ends the start, so that a mistyped one shows as a failed unit.
    two_ports.start(wait_ready=False, args=["-i", "eth0", "-i", "eth9"])
    assert two_ports.wait_exit() == 1
    assert "ioctl(SIOCGIFADDR) failedNo such device on eth9" in two_ports.messages("WARNING")
    # One without an address is waited for, with one WARNING, while the other is answered; it is
    # joined and answered once its address comes.
    two_ports.in_daemon_ns("ip", "addr", "del", f"{DAEMON_IP}/24", "dev", "eth1")
    two_ports.start(args=TWO_PORTS)
    assert two_ports.messages("WARNING") == [
        "eth1 has no IPv4 address: searches are not answered until it has one"]
    assert two_ports.search(mx="1", wait_ms=1300) == []
    assert [r["payload"] for r in two_ports.search(mx="1", wait_ms=1300, ns=two_ports.cns2)] == [
        expected_response(ip=DAEMON_IP_2)]
    two_ports.in_daemon_ns("ip", "addr", "add", f"{DAEMON_IP}/24", "dev", "eth1")
    two_ports.wait_for(f"eth1 has the IPv4 address {DAEMON_IP}: searches are answered again",
                       timeout=1.5)
    assert [r["payload"] for r in two_ports.search(mx="1", wait_ms=1300)] == [expected_response()]


USAGE_ERRORS = {
    "unknown option": (["--bogus"], "discovery: unknown option --bogus"),
    "unknown short option": (["-x"], "discovery: unknown option -x"),
    "missing value": (["--interface"], "discovery: option --interface needs a value"),
    "empty name": (["-i", ""], "discovery: interface name must be 1 to 15 characters: ''"),
    "name too long": (["-i", "e" * 16],
                      "discovery: interface name must be 1 to 15 characters: '" + "e" * 16 + "'"),
    "unknown option after a word": (["start", "--nonsense"],
                                     "discovery: unknown option --nonsense"),
    "interface twice": (["-i", "eth0", "--interface", "eth1", "-i", "eth0"],
                        "discovery: interface given more than once: 'eth0'"),
    "nine interfaces": ([a for i in range(9) for a in ("-i", f"eth{i}")],
                        "discovery: at most 8 interfaces may be given: 'eth8'"),
    "unknown IPv6 scope": (["--ipv6", "--ipv6-scope", "universe"],
                           "discovery: IPv6 scope must be link, site, organization or global: "
                           "'universe'"),
    "IPv6 scope without IPv6": (["--ipv6-scope", "site"],
                                "discovery: option --ipv6-scope needs --ipv6"),
    "response format": (["--response-format", "xml"],
                        "discovery: response format must be legacy or dsp0266: 'xml'"),
    "interval too short": (["--notify-interval", "9"],
                           "discovery: notify interval must be 0 or 10 to 1800 seconds: '9'"),
    "interval too long": (["-n", "1801"],
                          "discovery: notify interval must be 0 or 10 to 1800 seconds: '1801'"),
    "interval negative": (["-n", "-10"],
                          "discovery: notify interval must be 0 or 10 to 1800 seconds: '-10'"),
    "interval not a number": (["-n", "10s"],
                              "discovery: notify interval must be 0 or 10 to 1800 seconds: '10s'"),
    "TTL zero": (["--notify-ttl", "0"], "discovery: notify TTL must be 1 to 255: '0'"),
    "TTL too large": (["-t", "256"], "discovery: notify TTL must be 1 to 255: '256'"),
}


@pytest.mark.parametrize("case", list(USAGE_ERRORS))
def test_usage_error_exits_2_before_logging(bed, case):
    args, message = USAGE_ERRORS[case]
    res = subprocess.run([os.path.abspath(DAEMON), *args], cwd=bed.cwd, capture_output=True,
                         text=True, timeout=10)
    assert res.returncode == 2
    lines = res.stderr.splitlines()
    # The error and a pointer to --help, not the usage: under systemd the journal's tail was the
    # usage's last lines.
    assert lines == [message, "Try 'discovery --help' for more information."]
    assert res.stdout == ""
    assert not os.path.exists(os.path.join(bed.root, "opt", "log"))


def test_help_and_version(bed):
    for args, first in ((["-h"], "usage: discovery [options]"), (["--version"], "discovery ")):
        res = subprocess.run([os.path.abspath(DAEMON), *args], cwd=bed.cwd, capture_output=True,
                             text=True, timeout=10)
        assert res.returncode == 0 and res.stdout.startswith(first) and res.stderr == ""
    assert not os.path.exists(os.path.join(bed.root, "opt", "log"))


# Run in the control point's namespace: rounds of searches from the flooding address, the next
# sent only once the daemon's socket has been read empty (/proc/<pid>/net/udp: its queue, in the
# daemon's namespace) and its responder has slept since (its inbox taken), so that no round waits
# behind another in the kernel or the inbox, however slow the daemon. Once the daemon has recorded
# the flooding address refused, one of the console's searches follows each round. Prints the
# rounds and the requests of the console answered.
_ROUNDS = """
import json, os, select, socket, sys, time
pid, log, rounds, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
FULL = "Too many pending responses, search from 198.18.0.2 dropped"
GROUP = ("239.255.255.250", 1900)
def search(mx):
    return (f"M-SEARCH * HTTP/1.1\\r\\nHOST: 239.255.255.250:1900\\r\\nMX: {mx}\\r\\n"
            "MAN: \\"ssdp:discover\\"\\r\\nST: urn:dmtf-org:service:redfish-rest:1\\r\\n"
            "\\r\\n").encode()
def queued():
    rows = [line.split() for line in open(f"/proc/{pid}/net/udp").read().splitlines()[1:]]
    return sum(int(row[4].split(":")[1], 16) for row in rows if row[1].endswith(":076C"))
responder = next(t for t in os.listdir(f"/proc/{pid}/task")
                 if open(f"/proc/{pid}/task/{t}/comm").read().strip() == "responder")
def sleeps():
    # It sleeps only with its inbox empty (or, a moment, on the inbox's lock).
    with open(f"/proc/{pid}/task/{responder}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("voluntary_ctxt_switches"))
def sock(src):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((src, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
    return s
flooders = [sock("198.18.0.2") for _ in range(8)]
consoles = [sock("198.18.0.3") for _ in range(rounds)]
sent = flooded = 0
while sent < rounds and flooded < 1000:  # a hang guard only
    for i in range(size):
        flooders[i % len(flooders)].sendto(search(5), GROUP)
    flooded += 1
    # Once the pool has refused the flooding address, each round has one of the console's behind.
    if FULL in open(log).read():
        consoles[sent].sendto(search(1), GROUP)
        sent += 1
    deadline = time.monotonic() + 60  # a hang guard only
    while queued() and time.monotonic() < deadline:
        time.sleep(0.001)
    slept = sleeps()
    while sleeps() == slept and time.monotonic() < deadline:
        time.sleep(0.001)
answered = set()
deadline = time.monotonic() + 30  # a hang guard only: each answer ends the wait for it early
while len(answered) < rounds and (left := deadline - time.monotonic()) > 0:
    for s in select.select(consoles, [], [], left)[0]:
        s.recv(65536)
        answered.add(consoles.index(s))
print(json.dumps({"rounds": sent, "flooded": flooded, "answered": sorted(answered)}))
"""


def test_one_flooding_address_does_not_crowd_out_another_console(running):
    running.add_console_address("198.18.0.3/24")
    # Rounds of 100 searches (MX 5) fill the pool of pending answers; each fits the socket's
    # buffer and the daemon's inbox.
    out = sh("ip", "netns", "exec", running.cns, "python3", "-c", _ROUNDS, str(running.pid()),
             running.out_path, "12", "100", timeout=600).stdout
    result = json.loads(out)
    # Counted, not timed: each of the console's searches answered, however late, unless the
    # daemon lost it before judging it (a full inbox, or its socket's buffer: both counted),
    # while the flooding address is refused (below).
    warnings = running.messages("WARNING")
    lost = kernel_drops(running) + len([w for w in warnings if w.startswith("Receive queue full")])
    lost += sum(notes(running, "Receive queue full"))
    assert result["rounds"] == 12 and len(result["answered"]) >= 12 - lost, (result, warnings)
    drops = [m for m in warnings
             if m.startswith("Too many pending responses, search from 198.18.0.2 dropped")]
    assert drops and not any("198.18.0.3" in m for m in warnings), (result, warnings)
