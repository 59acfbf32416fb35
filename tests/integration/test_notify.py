"""What the daemon tells systemd, read from a datagram socket that stands in for systemd's
(NOTIFY_SOCKET): READY=1 once it can answer, STOPPING=1 when a stop begins, a status line that
follows the counters, and WATCHDOG=1 from the listener's loop only, under a flood too. Every other
test runs the daemon without NOTIFY_SOCKET, as by hand."""

import ctypes
import errno
import json
import os
import signal
import socket
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from test_load import flood
from testbed import CONSOLE_IP, DAEMON_IP, USER, Testbed

# Half of it is the daemon's ping interval: 0.5 s.
WATCHDOG_USEC = 1_000_000


class Systemd:
    """The notification socket, and every message received on it with its arrival time."""

    def __init__(self, bed):
        self.path = os.path.join(bed.root, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chown(self.path, USER, USER)  # the daemon's user writes to it, as systemd lets it
        self.messages = []

    def env(self, watchdog=True):
        return ("env", f"NOTIFY_SOCKET={self.path}") + (
            (f"WATCHDOG_USEC={WATCHDOG_USEC}",) if watchdog else ())

    def receive(self, seconds):
        """Collects for `seconds`; returns what arrived in that time."""
        new = []
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                new.append(self.sock.recv(4096).decode())
            except socket.timeout:
                break
        self.messages += new
        return new

    def wait_for(self, predicate, seconds=10.0):
        """Receives until a message satisfies predicate; returns it."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for message in self.receive(0.05):
                if predicate(message):
                    return message
        raise AssertionError(f"nothing matching within {seconds} s; got {self.messages[-10:]}")

    def fill(self):
        """Fills the queue, as a PID 1 that does not read leaves it."""
        for _ in range(100_000):
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
                try:
                    s.sendto(b"x", socket.MSG_DONTWAIT, self.path)
                except BlockingIOError:
                    return
        raise AssertionError("the queue never filled")

    def close(self):
        self.sock.close()


@pytest.fixture
def systemd(bed):
    s = Systemd(bed)
    yield s
    s.close()


def statuses(messages):
    return [m[len("STATUS="):] for m in messages if m.startswith("STATUS=")]


def test_ready_only_once_joined_and_listening(bed, systemd):
    bed.start(wait_ready=False, extra=systemd.env())
    systemd.wait_for(lambda m: m == "READY=1")
    # Looked at the moment READY=1 arrived: the join and the listener came first.
    assert "239.255.255.250" in bed.in_daemon_ns("ip", "maddr", "show", "dev", "eth1")
    assert "listenerThread()|" in bed.output()
    systemd.receive(0.3)
    assert bed.stop()[0] == 0
    systemd.receive(0.1)
    assert systemd.messages.count("READY=1") == 1, systemd.messages


def test_failed_start_never_says_ready():
    with Testbed(address=False) as bed:
        systemd = Systemd(bed)
        bed.start(wait_ready=False, extra=systemd.env())
        assert bed.wait_exit() == 1
        systemd.receive(0.1)
        assert "READY=1" not in systemd.messages, systemd.messages
        systemd.close()


def test_stopping_on_sigterm_only(bed, systemd):
    bed.start(wait_ready=False, extra=systemd.env(watchdog=False))
    systemd.wait_for(lambda m: m == "READY=1")
    bed.send_signal(signal.SIGHUP)
    bed.wait_for("Received signal 1 ")
    systemd.receive(0.3)
    assert "STOPPING=1" not in systemd.messages
    bed.send_signal(signal.SIGTERM)
    systemd.wait_for(lambda m: m == "STOPPING=1")
    assert bed.wait_exit() == 0
    systemd.receive(0.1)
    assert systemd.messages.count("STOPPING=1") == 1


def test_status_follows_the_counters(bed, systemd):
    bed.start(wait_ready=False, extra=systemd.env(watchdog=False))
    systemd.wait_for(lambda m: m == f"STATUS=eth1 {DAEMON_IP}: answered 0, dropped 0")
    # The responder held still while one console sends 200 searches: the listener fills the
    # inbox (128 waiting to be judged) and drops the rest, whatever the pace of either side.
    # The socket's buffer holds all 200 should the listener fall behind, so none is dropped
    # uncounted. Once the drops show, the responder is let go and answers the 128.
    count, inbox = 200, 128
    with ThreadPoolExecutor(1) as pool:
        with ThreadStop(daemon_thread(bed.pid(), "responder")):
            client = pool.submit(bed.search, mx="5", count=count, wait_ms=12000)
            systemd.wait_for(lambda m: m == f"STATUS=eth1 {DAEMON_IP}: answered 0, "
                                            f"dropped {count - inbox}", seconds=60)
        answers = client.result()
    assert len(answers) == inbox
    systemd.wait_for(lambda m: m == f"STATUS=eth1 {DAEMON_IP}: answered {len(answers)}, "
                                    f"dropped {count - len(answers)}, "
                                    f"last search from {CONSOLE_IP}")
    # Nothing changes, so nothing more is said; and never the same line twice in a row.
    assert statuses(systemd.receive(1.5)) == []
    lines = statuses(systemd.messages)
    assert all(a != b for a, b in zip(lines, lines[1:])), lines
    assert bed.stop()[0] == 0


def daemon_thread(pid, role):
    """The daemon's thread in `role`, by the name the daemon gives it."""
    name = {"IPv4 listener": "listen-ipv4", "IPv6 listener": "listen-ipv6",
            "responder": "responder"}[role]
    for _ in range(100):
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() == name:
                    return int(tid)
        time.sleep(0.01)
    raise AssertionError(f"no {role} thread found")


class ThreadStop:
    """Holds one thread of another process still with ptrace, while its other threads run on:
    SIGSTOP would stop them all, and could not tell a ping from the listener from one that a
    timer thread sends."""

    SEIZE, INTERRUPT, DETACH, WALL = 0x4206, 0x4207, 17, 0x40000000

    def __init__(self, tid):
        self.tid = tid
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p,
                                     ctypes.c_void_p]

    def __enter__(self):
        assert self.libc.ptrace(self.SEIZE, self.tid, None, None) == 0, ctypes.get_errno()
        assert self.libc.ptrace(self.INTERRUPT, self.tid, None, None) == 0, ctypes.get_errno()
        os.waitpid(self.tid, self.WALL)
        return self

    def __exit__(self, *exc):
        self.libc.ptrace(self.DETACH, self.tid, None, None)


# Each thread held in turn stops the pings within about two seconds: the IPv4 listener at once
# (it sends them), the IPv6 listener and the responder a second after they should have turned.
# The responder, waiting for work with no wake time, is late once a search waits for it a second.
# Regression: only the IPv4 listener's own turns counted, and a waiting responder never.
@pytest.mark.parametrize("role", ["IPv4 listener", "IPv6 listener", "responder"])
def test_watchdog_pings_stop_while_any_thread_is_held(bed, systemd, role):
    bed.enable_ipv6()
    bed.start(wait_ready=False, extra=systemd.env(), args=["--ipv6"])
    systemd.wait_for(lambda m: m == "READY=1")
    bed.wait_for("has the IPv6 address")
    # Idle and healthy: a ping every half second.
    assert systemd.receive(3.0).count("WATCHDOG=1") >= 5
    with ThreadStop(daemon_thread(bed.pid(), role)):
        if role == "responder":
            bed.search(mx="1", wait_ms=200)
        # Pings sent before the thread counted as late.
        systemd.receive(0.1 if role == "IPv4 listener" else 1.4)
        held = systemd.receive(2.0)
        # The rest of the daemon runs on: a signal is still recorded by the relay thread.
        bed.send_signal(signal.SIGUSR1)
        bed.wait_for("Received signal 10 ")
        held += systemd.receive(0.5)
        assert "WATCHDOG=1" not in held, held
    systemd.wait_for(lambda m: m == "WATCHDOG=1", seconds=3.0)
    assert bed.stop()[0] == 0


# Regression: with the queue full, the listener sat in sendto(): no search was answered, and
# SIGTERM left the daemon running, its stop waiting to say STOPPING=1.
def test_full_notification_queue_holds_neither_answers_nor_a_stop(bed, systemd):
    systemd.fill()
    bed.start(extra=systemd.env())
    # The first search could slip through before the listener's first ping waits: two.
    for _ in range(2):
        assert len(bed.search(mx="1", wait_ms=1500)) == 1, bed.output()
    assert bed.stop(timeout=5.0)[0] == 0
    dropped = [m for m in bed.messages("WARNING") if "NOTIFY_SOCKET" in m]
    assert len(dropped) == 1 and os.strerror(errno.EAGAIN) in dropped[0], dropped


def bytes_read(pid):
    """What the process has read with read() and the like: files, not datagrams."""
    with open(f"/proc/{pid}/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("rchar:"))


# Regression: until a UUID was known the service file was parsed for every datagram; with 1 MB
# of JSON and no uuid, a flood of 1,000 datagrams a second took a whole processor and no ping
# went out for 27 s. It is now read again only once it changes: counted in bytes read, whatever
# the speed, and the pings go on once the flood has been taken.
def test_flood_with_a_large_file_without_uuid_keeps_the_pings(bed, systemd):
    info = json.dumps({"Members": [{"Id": str(i), "Name": f"member {i:010d}"}
                                   for i in range(25000)]})
    assert len(info) > 1_000_000
    bed.write_info(info)
    bed.start(wait_ready=False, extra=systemd.env())
    systemd.wait_for(lambda m: m == "READY=1", seconds=60)
    read_before = bytes_read(bed.pid())
    with ThreadPoolExecutor(1) as pool:
        load = pool.submit(flood, bed, count=8000, seconds=8.0, linger=0.5)
        while not load.done():
            systemd.receive(0.05)  # the pings taken as they come, the queue never full
        result = load.result()
    assert result["sent"] >= 7500 and sum(result["responses"]) == 0
    # Read once more at most (a change seen), where one read per datagram is gigabytes.
    assert bytes_read(bed.pid()) - read_before < 2 * len(info) + 1_000_000
    # The daemon turns again after the flood, however long it took over it: pings go on.
    systemd.receive(0.05)
    systemd.messages.clear()
    systemd.wait_for(lambda m: m == "WATCHDOG=1", seconds=60)
    assert bed.stop()[0] == 0
