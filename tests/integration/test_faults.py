"""Faults from outside the daemon while it runs: its logging configuration, its interface, the
service-information file written by another daemon, a refused send. Each test
checks the records, that the daemon goes on answering, and a clean stop."""

import errno
import json
import os
import platform
import subprocess

import pytest

from testbed import (CONSOLE_IP, DAEMON_IP, LOG_CONF, UUID, Testbed, expected_response,
                     search_request)

STOPPED = "Stopping the Storage Server discovery process."

# Execs its arguments with socket(AF_NETLINK, ...) failing with EAFNOSUPPORT, under a seccomp
# filter, as a kernel without netlink sockets or a sandbox that forbids them refuses it.
_NO_NETLINK = """
import ctypes, errno, os, platform, socket, struct, sys
# The architecture's AUDIT_ARCH_* value and its number of socket().
arch, socket_nr = {"x86_64": (0xC000003E, 41), "aarch64": (0xC00000B7, 198)}[platform.machine()]
LOAD, JUMP_EQ, RETURN = 0x20, 0x15, 0x06  # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, BPF_RET
ALLOW, ERRNO = 0x7FFF0000, 0x00050000  # SECCOMP_RET_*
def op(code, k, true=0, false=0):  # struct sock_filter; offsets into struct seccomp_data
    return struct.pack("=HBBI", code, true, false, k)
program = ctypes.create_string_buffer(b"".join([
    op(LOAD, 4), op(JUMP_EQ, arch, 0, 4),  # arch
    op(LOAD, 0), op(JUMP_EQ, socket_nr, 0, 2),  # nr
    op(LOAD, 16), op(JUMP_EQ, socket.AF_NETLINK, 1, 0),  # args[0], the domain
    op(RETURN, ALLOW), op(RETURN, ERRNO | errno.EAFNOSUPPORT)]))
class Prog(ctypes.Structure):  # struct sock_fprog
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
prog = Prog(len(program.raw) // 8, ctypes.addressof(program))
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0, ctypes.get_errno()  # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.byref(prog), 0, 0) == 0, ctypes.get_errno()  # a filter
os.execv(sys.argv[1], sys.argv[1:])
"""


def payloads(responses):
    return [r["payload"] for r in responses]


def faults(bed):
    """The WARNING and ERROR records as (level, logger, message)."""
    return [(r[0], r[1], r[3]) for r in bed.records() if r[0] in ("WARNING", "ERROR")]


def assert_clean_stop(bed):
    code, _ = bed.stop()
    assert code == 0
    assert bed.messages()[-2:] == ["Exiting...", STOPPED]


def test_logging_config_without_datamgr_section():
    with Testbed(log_conf=LOG_CONF.split("-- datamgr")[0]) as bed:
        bed.write_info("not json")
        bed.start()
        assert bed.search(mx="1", wait_ms=1300) == []
        bed.wait_for("Failed to parse the redfishd info")
        # The JSON error has no logger to go to; the logging library says so, once, through its
        # own default logger, and the daemon's records go on.
        assert [f[2].split(" /")[0] for f in faults(bed)] == [
            "Failed to parse the redfishd info", "Service information file"]
        assert "Failed to parse configuration" not in bed.output()
        assert bed.output().count("Logger [datamgr] is not registered yet!") == 1
        bed.write_info(json.dumps({"uuid": UUID}))
        assert payloads(bed.search(mx="1", wait_ms=1500)) == [expected_response()]
        assert_clean_stop(bed)


def test_eth1_down_while_running_then_up_again(running):
    assert payloads(running.search(mx="1", until=1)) == [expected_response()]
    # A response scheduled (MX 5) when the link goes down: its send fails and is recorded, unless
    # its random delay let it leave first. Nothing leaves while the link is down, so what the
    # probe did not get by its end, the daemon's failure record says, however late it comes.
    pending = running.probe(search_request("ssdp:all", 5), port=41900, wait=6, background=True)
    running.set_eth1("down")
    answered_before_down = payloads(pending())
    if not answered_before_down:
        running.wait_for(f"Addr: {CONSOLE_IP}:41900", timeout=60)
    assert running.search(mx="1", wait_ms=1300) == []
    assert running.proc.poll() is None

    running.set_eth1("up")
    assert payloads(running.search(mx="1", until=1)) == [expected_response()]
    if answered_before_down:
        assert answered_before_down == [expected_response()]
        assert faults(running) == []
    else:
        assert [f[2] for f in faults(running)] == [
            "sendto() failed" + os.strerror(errno.ENETUNREACH), f"Addr: {CONSOLE_IP}:41900"]
    assert_clean_stop(running)


def test_send_failure_recorded_then_next_search_answered(running):
    # The controller's own firewall refuses the answer to this console's port: the send fails.
    # (An answer is pinned to the interface the search came in by, so no route can refuse it.)
    subprocess.run(["ip", "netns", "exec", running.dns, "nft", "-f", "-"], check=True,
                   input=b"table inet refuse {\n chain out {\n"
                         b"  type filter hook output priority 0;\n  udp dport 41901 drop\n }\n}\n")
    assert running.probe(search_request("ssdp:all", 1), port=41901) == []
    running.wait_for("Addr: ")
    assert faults(running) == [
        ("WARNING", "discovery", "sendto() failed" + os.strerror(errno.EPERM)),
        ("WARNING", "discovery", f"Addr: {CONSOLE_IP}:41901"),
    ]
    assert payloads(running.search(mx="1", wait_ms=1500)) == [expected_response()]
    assert len(faults(running)) == 2
    assert_clean_stop(running)


# "{path}": the file's path from the root.
PARSE_FAILED = [("ERROR", "datamgr", "Failed to parse configuration\n"),
                ("WARNING", "discovery", "Failed to parse the redfishd info"),
                ("WARNING", "discovery", "Service information file {path} is not valid JSON: ")]
NOT_OBJECT = [("WARNING", "discovery", "Service information file {path} is not a JSON object")]
NOT_STRING = [("WARNING", "discovery",
               'Service information file {path} has a "uuid" that is not a string')]
NO_UUID = [("WARNING", "discovery", 'Service information file {path} has no "uuid" string')]
LONG_UUID = "0123456789abcdef" * 250

# File contents; the UUID answered with (None: no answer); the fault records expected.
INFO_CASES = [
    ("empty", "", None, PARSE_FAILED),
    ("not JSON", "uuid=" + UUID, None, PARSE_FAILED),
    ("nested deeper than the JSON reader's limit", '{"uuid": ' + "[" * 1500 + "]" * 1500 + "}",
     None, PARSE_FAILED),
    ("top-level array", json.dumps([UUID]), None, NOT_OBJECT),
    ("top-level number", "42", None, NOT_OBJECT),
    ("uuid null", '{"uuid": null}', None, NO_UUID),
    ("uuid absent", '{"id": "%s"}' % UUID, None, NO_UUID),
    ("uuid in capitals", '{"UUID": "%s"}' % UUID, None,
     [(*NO_UUID[0][:2], NO_UUID[0][2] + ' (but "UUID": member names are case-sensitive)')]),
    ("uuid numeric", '{"uuid": 42}', "42", []),
    ("uuid boolean", '{"uuid": true}', "true", []),
    ("uuid array", json.dumps({"uuid": [UUID]}), None, NOT_STRING),
    ("uuid object", json.dumps({"uuid": {"id": UUID}}), None, NOT_STRING),
    ("uuid empty string", '{"uuid": ""}', "", []),
    ("uuid of 4000 characters", json.dumps({"uuid": LONG_UUID}), LONG_UUID, []),
]


@pytest.mark.parametrize("content,uuid,records",
                         [pytest.param(c, u, r, id=name) for name, c, u, r in INFO_CASES])
def test_service_information_contents(bed, content, uuid, records):
    bed.write_info(content)
    bed.start()
    responses = bed.search(mx="1", wait_ms=1300)
    assert bed.proc.poll() is None, bed.output()
    if uuid is None:
        assert responses == []
    else:
        assert payloads(responses) == [expected_response(uuid=uuid)]
        assert responses[0]["bytes"] == 169 + len(uuid) + len(DAEMON_IP)
    found = faults(bed)
    path = os.path.join(os.path.realpath(bed.root), "data", "redfish.json")
    records = [(level, logger, text.format(path=path)) for level, logger, text in records]
    assert [f[:2] for f in found] == [r[:2] for r in records]
    assert all(f[2].startswith(r[2]) for f, r in zip(found, records)), found

    # The file is read again until it yields a UUID, and a UUID once taken is kept.
    bed.write_info(json.dumps({"uuid": UUID}))
    kept = uuid if uuid else UUID
    assert payloads(bed.search(mx="1", wait_ms=1500)) == [expected_response(uuid=kept)]
    assert len(faults(bed)) == len(records)
    assert_clean_stop(bed)


# What may sit at the service file's path instead of a file, and what its WARNING calls it.
NOT_A_FILE = {"FIFO": (os.mkfifo, "a FIFO"),
              "link to /dev/zero": (lambda path: os.symlink("/dev/zero", path),
                                    "a character device")}


# Regression: a FIFO held the responder in open(), and /dev/zero was read until memory ran out:
# no search was answered and SIGTERM was never honoured.
@pytest.mark.parametrize("kind", NOT_A_FILE)
def test_service_file_that_is_not_a_file_counts_as_missing(bed, kind):
    make, named = NOT_A_FILE[kind]
    bed.remove_info()
    make(os.path.join(bed.root, "data", "redfish.json"))
    path = os.path.join(os.path.realpath(bed.root), "data", "redfish.json")
    warning = ("WARNING", "discovery",
               f"Service information file {path} is not a regular file ({named})")
    for replaced in (False, True):
        bed.start()
        assert bed.search(mx="1", wait_ms=1300) == []
        if replaced:
            bed.write_info(json.dumps({"uuid": UUID}))
        answers = payloads(bed.search(mx="1", wait_ms=1500))
        assert answers == ([expected_response()] if replaced else [])
        assert faults(bed) == [warning]
        assert bed.stop(timeout=1.0)[0] == 0


@pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64"),
                    reason="the filter knows the system call numbers of these only")
def test_netlink_refused_no_search_is_answered(bed):
    # Without the host's view no sender can be told apart from this host, nor judged on-link: a
    # link-local source, on-link on every link, was answered all the same.
    link_local = "169.254.3.3"
    bed.add_console_address(f"{link_local}/16")
    # As the daemon's user: the system's interpreter, not one in root's home.
    bed.start(extra=["/usr/bin/python3", "-c", _NO_NETLINK])
    probes = [bed.probe(search_request(mx="1"), src=src, wait=1.3, background=True)
              for src in (CONSOLE_IP, link_local)]
    assert [probe() for probe in probes] == [[], []]
    refused = ("socket(AF_NETLINK) failed" + os.strerror(errno.EAFNOSUPPORT) +
               ": the host's addresses are unknown, so no search is answered")
    # Tried again once a second meanwhile: written once.
    assert bed.messages("WARNING").count(refused) == 1, bed.messages("WARNING")
    # The drops blamed the consoles ("no answer may go to its source"): now the view, once.
    drops = [m for m in bed.messages("WARNING") if m.startswith("Datagram from")]
    assert len(drops) == 1 and "the host's view is unknown" in drops[0], drops
    assert bed.proc.poll() is None
