"""Start-up, configuration search, signals and shutdown of the real daemon in its own network."""

import os
import re
import signal
import socket
import subprocess
import time

import pytest

from testbed import (DAEMON, DAEMON_IP, LOG_CONF, UUID, Testbed, expected_response, runnable,
                     stock_limits, unprivileged)

STARTED = "Starting the Storage Server discovery process."
STOPPED = "Stopping the Storage Server discovery process."


def test_startup_records_membership_socket_and_clean_tree(running):
    records = running.records()
    # The record that confirms the start names what an operator checks first.
    root = os.path.realpath(running.root)
    assert [(r[0], r[2], r[3]) for r in records[:7]] == [
        ("INFO", "main", STARTED),
        ("TRACE", "run", ""),
        ("TRACE", "init", ""),
        ("TRACE", "initSocket", ""),
        ("TRACE", "initMulticast", ""),
        ("INFO", "recordStart", f"Joined 239.255.255.250:1900 on eth1 {DAEMON_IP}; service "
         f"information file {root}/data/redfish.json; logging configuration "
         f"{root}/opt/config/log.conf"),
        ("TRACE", "listenerThread", ""),
    ]
    assert all(r[1] == "discovery" for r in records)
    assert "239.255.255.250" in running.in_daemon_ns("ip", "maddr", "show", "dev", "eth1")
    assert "239.255.255.250:1900" in running.in_daemon_ns("ss", "-uln")

    code, _ = running.stop()
    assert code == 0
    # The working tree holds only what the test laid out and the configured log file: no
    # default log file of the logging library anywhere.
    found = set()
    for top, _, files in os.walk(running.root):
        found.update(os.path.relpath(os.path.join(top, f), running.root) for f in files)
    assert found == {"stdout.txt", "opt/config/log.conf", "opt/log/discovery.log",
                     "data/redfish.json"}
    with open(os.path.join(running.root, "opt", "log", "discovery.log")) as f:
        assert STARTED in f.read()


@pytest.mark.parametrize("sig,name", [(signal.SIGTERM, "Terminated"),
                                      (signal.SIGINT, "Interrupt"),
                                      (signal.SIGSEGV, "Segmentation fault")])
def test_stop_signals_end_the_service_in_order(running, sig, name):
    # How soon it stops tells the machine's load: the order of its records tells the stop.
    code, _ = running.stop(sig, timeout=60)
    assert code == 0
    tail = [(r[0], r[2], r[3]) for r in running.records()[7:]]
    assert tail == [
        ("INFO", "processSignal", f"Received signal {int(sig)} signal name is: {name}"),
        ("TRACE", "stop", ""),
        ("INFO", "run", "Exiting..."),
        ("INFO", "main", STOPPED),
    ]


def test_record_only_signals_keep_it_running(running):
    sent = [signal.SIGHUP, signal.SIGUSR1, signal.SIGPIPE, signal.SIGTSTP, signal.SIGALRM,
            signal.SIGQUIT]
    for sig in sent:
        running.send_signal(sig)
        running.wait_for(f"Received signal {int(sig)} signal name is: ")
    time.sleep(0.3)
    assert running.proc.poll() is None
    received = [m for m in running.messages("INFO") if m.startswith("Received signal")]
    assert len(received) == len(sent)
    # Still answering after the signals.
    assert len(running.search_answered(mx="1")) == 1
    code, _ = running.stop()
    assert code == 0


def test_signal_burst_then_sigterm_still_stops(running):
    deadline = time.monotonic() + 5
    for i in range(5000):
        if time.monotonic() > deadline:
            break
        running.send_signal(signal.SIGUSR1 if i % 2 else signal.SIGHUP)
    code, elapsed = running.stop(timeout=20)
    assert code == 0
    msgs = running.messages()
    assert msgs[-2:] == ["Exiting...", STOPPED]
    assert any(m.startswith("Received signal 15 ") for m in msgs)


def test_second_sigterm_is_only_recorded(running):
    running.send_signal(signal.SIGTERM)
    running.send_signal(signal.SIGTERM)
    assert running.wait_exit() == 0
    assert sum(m.startswith("Received signal 15 ") for m in running.messages()) in (1, 2)


@pytest.mark.parametrize("address", ["239.255.255.250", "0.0.0.0"])
def test_port_taken_fails_start_with_status_1(bed, address):
    holder = subprocess.Popen(
        ["ip", "netns", "exec", bed.dns, "python3", "-c",
         "import socket,sys,time\n"
         "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
         f"s.bind(('{address}',1900))\n"
         "print('bound',flush=True)\n"
         "time.sleep(30)"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "bound"
        bed.start(wait_ready=False)
        assert bed.wait_exit() == 1
    finally:
        holder.kill()
        holder.wait()
    warnings = bed.messages("WARNING")
    assert warnings == ["bind() failed" + os.strerror(98), "initSocket() failed"]
    assert bed.messages()[-1] == STOPPED
    assert "Exiting..." not in bed.messages()


# The sanitizers' runtime must come first; the preload's refusal goes unseen behind it.
@pytest.mark.skipif(bool(os.environ.get("DISCOVERY_SANITIZER")), reason="plain")
@pytest.mark.parametrize("call", ["pipe2", "rcvtimeo"])
def test_refused_call_and_ignored_words_recorded(bed, call):
    # Without its relay's pipe no signal would stop the service: the start fails instead. An init
    # script's "start" used to be a usage error.
    bed.start(False, ("/usr/bin/env", f"REFUSE_CALL={call}"), ("start", "now"))
    if call == "pipe2":
        assert bed.wait_exit() == 1
        assert bed.messages("WARNING") == ["pipe2() failed" + os.strerror(24)]
    else:
        bed.wait_for("setsockopt() failed to set recv timeout" + os.strerror(92))
        assert bed.messages("WARNING")[0] == "Arguments that are not options ignored: 'start' 'now'"
        assert len(bed.search_answered(mx="1")) == 1


def test_receive_timeout_set_before_every_receive(running):
    trace = os.path.join(running.root, "strace.txt")
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=setsockopt,recvmsg", "-o",
                               trace, "-p", str(running.pid())])
    try:
        attached = time.monotonic() + 60  # a bound only: the wait ends once strace is attached
        while time.monotonic() < attached:
            if "SO_RCVTIMEO" in (open(trace).read() if os.path.exists(trace) else ""):
                break
            time.sleep(0.05)
        assert all(len(running.search_answered(mx="1")) == 1 for _ in range(3))
    finally:
        tracer.terminate()
        tracer.wait(timeout=10)
    lines = open(trace).read().splitlines()
    timeouts = [line for line in lines if "SO_RCVTIMEO" in line]  # 0 s, 100000 µs: raw or decoded
    assert all(re.search(r'(\{tv_sec=0, tv_usec=100000\}|"(\\0){8}\\240\\206\\1(\\0){5}"), 16',
                         line) for line in timeouts), timeouts
    fd = re.search(r"setsockopt\((\d+),", timeouts[0]).group(1)
    # Each receive on the group socket follows a time-out set since the one before.
    turns = "".join("t" if "SO_RCVTIMEO" in line else "r" for line in lines if f"({fd}," in line)
    assert turns.count("r") >= 3 and "rr" not in turns[turns.index("t"):], turns


@pytest.mark.parametrize("eth1,address,errno_,why", [
    (False, False, 19, "there is no such interface"),
    (True, False, 99, "it has no IPv4 address")])
def test_interface_without_address_fails_start(eth1, address, errno_, why):
    with Testbed(eth1=eth1, address=address) as bed:
        bed.start(wait_ready=False)
        assert bed.wait_exit() == 1
        assert bed.messages("WARNING") == ["ioctl(SIOCGIFADDR) failed" + os.strerror(errno_),
                                           f"Cannot join 239.255.255.250 on interface eth1: {why}",
                                           "initMulticast() failed"]
        assert bed.messages()[-1] == STOPPED


ABSOLUTE_CONF = LOG_CONF.replace('FORMAT = "', 'FORMAT = "ABS ')


def run_with_private_opt(bed, absolute_conf, info=None):
    """Runs the daemon with /opt replaced by a private tmpfs holding the absolute configuration
    (or nothing) and the installed tree's service file `info` (or nothing), so the machine's own
    /opt is never touched; root mounts it, the daemon runs as Testbed.start runs it."""
    setup = "mount -t tmpfs none /opt"
    if info is not None:
        with open(os.path.join(bed.root, "absolute.json"), "w") as f:
            f.write(info)
        setup += f" && mkdir -p /opt/data && cp {bed.root}/absolute.json /opt/data/redfish.json"
    if absolute_conf is not None:
        conf = os.path.join(bed.root, "absolute.conf")
        with open(conf, "w") as f:
            f.write(absolute_conf)
        setup += f" && mkdir -p /opt/oobm/config && cp {conf} /opt/oobm/config/log.conf"
    prefix = " ".join(unprivileged() + stock_limits()) + " "
    daemon = runnable(DAEMON)
    bed.out = open(bed.out_path, "w")
    bed.proc = subprocess.Popen(
        ["unshare", "-m", "sh", "-c",
         f"{setup} && exec ip netns exec {bed.dns} {prefix}{daemon}"],
        cwd=bed.cwd, stdout=bed.out, stderr=subprocess.STDOUT)


def test_config_relative_file_preferred_over_absolute():
    with Testbed() as bed:
        run_with_private_opt(bed, ABSOLUTE_CONF)
        bed.wait_for("listenerThread()|")
        bed.send_signal(signal.SIGTERM)
        assert bed.wait_exit() == 0
        assert "ABS " not in bed.output()
        assert bed.messages()[-1] == "Stopping the Storage Server discovery process."


def test_config_absolute_used_when_relative_missing():
    with Testbed(log_conf=None) as bed:
        run_with_private_opt(bed, ABSOLUTE_CONF)
        bed.wait_for("listenerThread()|")
        bed.send_signal(signal.SIGTERM)
        assert bed.wait_exit() == 0
        out = bed.output()
        assert "not found." not in out
        # The function as the compiler names it: clang writes "char **", gcc "char**".
        assert f"ABS INFO|discovery|int main(int, char**)|{STARTED}" in out.replace(" **", "**")


# Started by hand from another directory, the daemon found no service file beside it while the
# installed tree's was there: that one is read, but only when nothing is at the relative path.
@pytest.mark.parametrize("relative", [True, False])
def test_service_file_absolute_read_when_relative_missing(relative):
    with Testbed() as bed:
        if not relative:
            bed.remove_info()
        run_with_private_opt(bed, None, info='{"uuid": "from-opt"}')
        bed.wait_for("listenerThread()|")
        uuid, path = ((UUID, os.path.realpath(bed.root) + "/data/redfish.json") if relative
                      else ("from-opt", "/opt/data/redfish.json"))
        assert [r["payload"] for r in bed.search_answered(mx="1", wait_ms=1300)] == [
            expected_response(uuid=uuid)]
        assert f"; service information file {path};" in bed.messages("INFO")[1]
        assert bed.messages("WARNING") == []
        bed.send_signal(signal.SIGTERM)
        assert bed.wait_exit() == 0


def test_config_missing_everywhere_prints_two_lines_and_exits_1():
    with Testbed(log_conf=None) as bed:
        run_with_private_opt(bed, None)
        assert bed.wait_exit() == 1
        assert bed.output() == ("../config/log.conf not found.\n"
                                "/opt/oobm/config/log.conf not found.\n"
                                "Logger::init() failed\n")


def test_unreadable_relative_config_counts_as_missing():
    # The daemon runs as an unprivileged user here, for whom a mode-000 file is unreadable; the
    # configuration search happens before anything that needs privileges.
    with Testbed() as bed:
        os.chmod(bed.root, 0o755)
        os.chmod(os.path.join(bed.root, "opt", "config", "log.conf"), 0)
        run_with_private_opt(bed, None)
        assert bed.wait_exit() == 1
        assert bed.output() == ("../config/log.conf not found.\n"
                                "/opt/oobm/config/log.conf not found.\n"
                                "Logger::init() failed\n")
