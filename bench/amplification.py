#!/usr/bin/env python3
"""Measures how much the daemon can be made to send, for bench/RESULTS.md (the figures behind
SECURITY.md): per response format and search target, the shortest search that is answered and
what comes back; then what floods from one address and from many draw per second within the
bounds, on one interface and on two; with --unicast, the same for searches sent by unicast to
the daemon's address (--unicast) only. Runs the real daemon in throw-away namespaces
(tests/integration/testbed.py); needs root. Run as
    python3 bench/amplification.py [--daemon build-release/discovery] [--unicast]
Every load is bounded in count and time, and goes only to the namespaces' group or the daemon's
address in them."""

import argparse
import json
import os
import select
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))
import netns  # noqa: E402
import testbed  # noqa: E402

REDFISH = "urn:dmtf-org:service:redfish-rest:1"


def shortest(st, family, exact, unicast=False):
    """The shortest search the parser answers: the names exactly, LF line ends, HOST and MAN
    compared on their first 8 characters (over IPv6 HOST names the group whole, the shorter form
    without brackets), MX empty (taken
    as 1); ST compared on 8 characters in the legacy form, whole in the standard form. Sent by
    unicast: no MX, HOST whole, the daemon's address or the group's HOST, whichever is shorter
    (over IPv6 the group without brackets), ST whole."""
    if unicast:
        host = f"{testbed.DAEMON_IP}:1900" if family == 4 else "FF02::C:1900"
        return f'M-SEARCH\nHOST:{host}\nMAN:"ssdp:di\nST:{st}\n'
    host = "239.255." if family == 4 else "FF02::C:1900"
    if not exact:
        st = {"ssdp:all": "ssdp:all", "upnp:rootdevice": "upnp:roo", REDFISH: "urn:dmtf-org"}[st]
    return f'M-SEARCH\nHOST:{host}\nMAN:"ssdp:di\nMX:\nST:{st}\n'


# --- in the console's namespace ------------------------------------------------------------
def probe(opt):
    """Sends opt["payloads"] round the sockets (one per source address, `per_source` each) at
    opt["rate"] a second, opt["count"] datagrams in all, and reports every response: its socket,
    size and arrival time since the first send."""
    family = socket.AF_INET if opt["family"] == 4 else socket.AF_INET6
    index = socket.if_nametoindex(opt["ifname"])
    group = ("239.255.255.250", 1900) if family == socket.AF_INET else ("ff02::c", 1900, 0, index)
    if opt.get("dest"):  # by unicast, to the daemon's address
        group = (opt["dest"], 1900) if family == socket.AF_INET else (opt["dest"], 1900, 0, index)
    socks = []
    for src in opt["sources"]:
        for _ in range(opt.get("per_source", 1)):
            s = socket.socket(family, socket.SOCK_DGRAM)
            s.bind((src, 0))
            if family == socket.AF_INET:
                s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
            else:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
            s.setblocking(False)
            socks.append(s)
    which = {s.fileno(): i for i, s in enumerate(socks)}
    got = []
    start = time.monotonic()

    def drain(timeout):
        ready, _, _ = select.select(socks, [], [], timeout)
        for s in ready:
            while True:
                try:
                    data = s.recv(65536)
                except BlockingIOError:
                    break
                got.append((which[s.fileno()], len(data), time.monotonic() - start))

    payloads = [p.encode("latin-1") for p in opt["payloads"]]
    for n in range(opt["count"]):
        try:
            socks[n % len(socks)].sendto(payloads[n % len(payloads)], group)
        except (BlockingIOError, OSError):
            pass
        ahead = (n + 1) / opt["rate"] - (time.monotonic() - start)
        if ahead > 0 or n % 20 == 19:
            drain(max(0.0, ahead))
        if time.monotonic() - start > 2 * opt["count"] / opt["rate"] + 5:
            break
    sent = time.monotonic() - start
    while time.monotonic() - start < sent + opt["linger"]:
        drain(0.05)
    print(json.dumps({"sent_s": sent, "responses": got, "sockets": len(socks)}))


# --- the host side ----------------------------------------------------------------------------
def run_probe(ns, opt):
    res = subprocess.run(["ip", "netns", "exec", ns, sys.executable, __file__, "--probe",
                          json.dumps(opt)], capture_output=True, text=True, check=True,
                         timeout=opt["count"] / opt["rate"] * 2 + opt["linger"] + 60)
    return json.loads(res.stdout)


def shortest_searches(fmt, family, unicast=False):
    """For each target: the shortest answered search, the datagrams and bytes of its answer, and
    whether each of its one-byte-shorter variants (one byte left out) draws anything. With
    `unicast`, sent to the daemon's address rather than the group."""
    args = ["-f", fmt] + (["--ipv6"] if family == 6 else []) + (["--unicast"] if unicast else [])
    dest = (testbed.DAEMON_IP if family == 4 else testbed.DAEMON_IP6) if unicast else None
    rows = []
    with testbed.Testbed() as bed:
        if family == 6:
            bed.enable_ipv6()
        bed.start(args=args)
        if family == 6:
            bed.wait_for("searches over IPv6 are answered")
        src = testbed.CONSOLE_IP if family == 4 else testbed.CONSOLE_IP6
        # The legacy form never answers a UUID; a search sent by unicast is answered in the
        # standard form.
        uuid = ["uuid:" + testbed.UUID] if fmt == "dsp0266" or unicast else []
        for st in [REDFISH, "upnp:rootdevice", "ssdp:all", *uuid]:
            search = shortest(st, family, fmt == "dsp0266", unicast)
            variants = [search] + [search[:i] + search[i + 1:] for i in range(len(search))]
            res = run_probe(bed.cns, {"family": family, "ifname": "cp0", "sources": [src],
                                      "per_source": len(variants), "payloads": variants,
                                      "count": len(variants), "rate": 200, "linger": 1.5,
                                      "dest": dest})
            sizes = [size for sock, size, _ in res["responses"] if sock == 0]
            shorter = sum(1 for sock, _, _ in res["responses"] if sock > 0)
            rows.append({"format": fmt, "family": family, "unicast": unicast, "target": st,
                         "search": search,
                         "search_bytes": len(search), "datagrams": len(sizes),
                         "bytes": sum(sizes), "sizes": sizes, "shorter_answered": shorter,
                         "ratio": sum(sizes) / len(search)})
            print(json.dumps(rows[-1]), flush=True)
        bed.stop()
    return rows


def flood(fmt, mx, addresses, ports, seconds, rate, unicast=False):
    """Searches for ssdp:all from `addresses` consoles on each of `ports` ports, MX `mx` (with
    `unicast`, none, sent to the daemon's address on one port), at `rate` a second in all for
    `seconds`; returns every response as (port, socket, size, time)."""
    with testbed.Testbed(second="eth0" if ports == 2 else None) as bed:
        spaces = [bed.cns] + ([bed.cns2] if ports == 2 else [])
        sources = []
        for p, ns in enumerate(spaces):
            own = [f"198.18.{p}.{100 + i}" for i in range(addresses)]
            netns.batch([f"addr add {a}/24 dev cp0" for a in own], ns)
            sources.append(own)
        bed.start(args=["-f", fmt] + (["-i", "eth1", "-i", "eth0"] if ports == 2 else []) +
                  (["--unicast"] if unicast else []))
        host = f"{testbed.DAEMON_IP}:1900" if unicast else "239.255.255.250:1900"
        search = (f'M-SEARCH * HTTP/1.1\r\nHOST: {host}\r\nMAN: "ssdp:discover"'
                  + ("" if unicast else f"\r\nMX: {mx}") + "\r\nST: ssdp:all\r\n\r\n")
        procs = [subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, __file__, "--probe",
                                   json.dumps({"family": 4, "ifname": "cp0", "sources": own,
                                               "payloads": [search], "rate": rate / ports,
                                               "count": int(rate / ports * seconds),
                                               "linger": mx + 1,
                                               "dest": testbed.DAEMON_IP if unicast else None})],
                                  stdout=subprocess.PIPE, text=True)
                 for ns, own in zip(spaces, sources)]
        results = [json.loads(p.communicate(timeout=seconds * 3 + 60)[0]) for p in procs]
        records = sum("Too many pending responses" in m for m in bed.messages("WARNING"))
        bed.stop()
    responses = [(p, sock, size, t) for p, r in enumerate(results)
                 for sock, size, t in r["responses"]]
    return responses, min(r["sent_s"] for r in results), records


def sustained(fmt, mx, addresses, ports, seconds, rate, unicast=False):
    """A flood long past the bounds: answers and datagrams drawn a second once the pending
    answers are full (after the first MX window), in all and by the busiest address."""
    responses, sent, records = flood(fmt, mx, addresses, ports, seconds, rate, unicast)
    per_search = 3 if fmt == "dsp0266" or unicast else 1
    begin, span = mx, sent - mx
    window = [r for r in responses if begin <= r[3] < sent]
    by_address = {}
    for p, sock, _, _ in window:
        by_address[p, sock] = by_address.get((p, sock), 0) + 1
    row = {"kind": "sustained", "format": fmt, "unicast": unicast, "mx": mx, "ports": ports,
           "addresses": addresses * ports, "rate": rate, "window_s": span,
           "datagrams_per_s": len(window) / span,
           "bytes_per_s": sum(r[2] for r in window) / span,
           "answers_per_s": len(window) / per_search / span,
           "busiest_address_answers_per_s": max(by_address.values(), default=0) / per_search / span,
           "pending_full_records": records}
    print(json.dumps(row), flush=True)
    return row


def burst(fmt, addresses, ports, count, unicast=False):
    """`count` searches with MX 5 within a tenth of a second: what one burst can draw at most,
    about what the bounds let wait at once."""
    responses, _, _ = flood(fmt, 5, addresses, ports, 0.1, count * 10, unicast)
    per_search = 3 if fmt == "dsp0266" or unicast else 1
    by_address = {}
    for p, sock, _, _ in responses:
        by_address[p, sock] = by_address.get((p, sock), 0) + 1
    row = {"kind": "burst", "format": fmt, "unicast": unicast, "ports": ports,
           "addresses": addresses * ports,
           "searches": count, "datagrams": len(responses), "answers": len(responses) / per_search,
           "bytes": sum(r[2] for r in responses),
           "busiest_address_answers": max(by_address.values(), default=0) / per_search}
    print(json.dumps(row), flush=True)
    return row


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--probe", help=argparse.SUPPRESS)
    p.add_argument("--daemon", default="build-release/discovery")
    p.add_argument("--seconds", type=float, default=12.0, help="length of each flood")
    p.add_argument("--out", help="where to write the figures (JSON)")
    p.add_argument("--unicast", action="store_true", help="searches sent by unicast only")
    args = p.parse_args()
    if args.probe:
        return probe(json.loads(args.probe))
    testbed.DAEMON = os.path.abspath(args.daemon)
    out = {"shortest": [], "flood": []}
    if args.unicast:
        # Answered in the standard form whatever the format: the legacy one, the default.
        for family in (4, 6):
            out["shortest"] += shortest_searches("legacy", family, unicast=True)
        out["flood"].append(burst("legacy", 1, 1, 300, unicast=True))
        for addresses, rate in ((1, 1500), (64, 2000)):
            out["flood"].append(sustained("legacy", 1, addresses, 1, max(args.seconds, 4), rate,
                                          unicast=True))
        return write(out, args.out)
    for fmt in ("legacy", "dsp0266"):
        for family in (4, 6):
            out["shortest"] += shortest_searches(fmt, family)
    for fmt, addresses, ports, count in (("dsp0266", 1, 1, 300), ("legacy", 1, 1, 300),
                                         ("dsp0266", 64, 1, 640), ("dsp0266", 32, 2, 640)):
        out["flood"].append(burst(fmt, addresses, ports, count))
    for fmt, mx, addresses, ports, rate in (("dsp0266", 1, 1, 1, 1500), ("legacy", 1, 1, 1, 1500),
                                            ("dsp0266", 5, 1, 1, 600), ("dsp0266", 1, 64, 1, 2000),
                                            ("dsp0266", 1, 32, 2, 2000)):
        seconds = max(args.seconds, 4 * mx)
        out["flood"].append(sustained(fmt, mx, addresses, ports, seconds, rate))
    write(out, args.out)


def write(out, path):
    if path:
        with open(path, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
