"""Sends a bounded flood of datagrams to the SSDP group from the control point's namespace and
counts the responses, per source socket. Run as
    ip netns exec <ns> python3 flood.py '<json options>'
Prints one JSON object. The mix is drawn from a seeded generator, so a run can be repeated.
"src" is an address or a list of them, socket i sending from the i-th, round the list. The
benchmarks' cost load is {"valid": 1, "mx": "1", "batch": 1}: the same search, evenly paced."""

import json
import os
import random
import select
import socket
import sys
import time

GROUP = ("239.255.255.250", 1900)


def search(st="urn:dmtf-org:service:redfish-rest:1", mx="1", host="239.255.255.250:1900",
           man='"ssdp:discover"', method="M-SEARCH * HTTP/1.1"):
    return (f"{method}\r\nHOST: {host}\r\nMAN: {man}\r\nMX: {mx}\r\nST: {st}\r\n\r\n").encode()


def padded(size):
    """A valid search whose headers all lie in the first 1023 bytes, padded to `size` bytes."""
    head = search().replace(b"\r\n\r\n", b"\r\nX-PAD: ")
    return head + b"a" * (size - len(head) - 4) + b"\r\n\r\n"


VALID = [
    search(),
    search(st="ssdp:all"),
    search(st="upnp:rootdevice", mx="0"),
    b'M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nMan:"ssdp:discover"\r\nMx:1\r\n'
    b"St:urn:dmtf-org:service:redfish-rest:1\r\nUser-Agent: Linux/6.1 UPnP/1.1 Flood/1.0\r\n\r\n",
]
BIG = [padded(1023), padded(1024), padded(1500)]
INVALID = [
    b"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
    b"NTS: ssdp:alive\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nST: ssdp:all\r\nUSN: uuid:x\r\n\r\n",
    search(method="m-search * HTTP/1.1"),
    search(man="ssdp:discover"),
    search(st="urn:schemas-upnp-org:device:Basic:1"),
    search(host="[FF02::C]:1900"),
    search().replace(b"ST: urn:dmtf-org:service:redfish-rest:1\r\n", b""),
    # ST pushed past byte 1023: never seen.
    search().replace(b"ST: urn:dmtf-org:service:redfish-rest:1\r\n", b"")
    + b"X-PAD: " + b"a" * 1100 + b"\r\nST: ssdp:all\r\n",
]


def main():
    opt = {"src": "198.18.0.2", "count": 100000, "seconds": 10.0, "sockets": 64,
           "valid": 0.05, "big": 0.03, "empty": 0.10, "junk": 0.40, "linger": 2.5, "seed": 1,
           "mx": None, "batch": 100, "give_up": 1.5}
    opt.update(json.loads(sys.argv[1]) if len(sys.argv) > 1 else {})
    rng = random.Random(opt["seed"])
    junk = [bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 1400))) for _ in range(256)]

    sources = opt["src"] if isinstance(opt["src"], list) else [opt["src"]]
    socks = []
    for i in range(opt["sockets"]):
        src = sources[i % len(sources)]
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((src, 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        s.setblocking(False)
        socks.append(s)
    index = {s.fileno(): i for i, s in enumerate(socks)}
    valid_sent = [0] * len(socks)
    responses = [0] * len(socks)
    kinds = {"valid": 0, "big": 0, "empty": 0, "junk": 0, "invalid": 0}
    send_errors = 0
    payloads = set()

    def drain():
        while True:
            ready, _, _ = select.select(socks, [], [], 0)
            if not ready:
                return
            for s in ready:
                try:
                    data = s.recv(65536)
                except BlockingIOError:
                    continue
                responses[index[s.fileno()]] += 1
                payloads.add(data)

    cuts = [opt["valid"], opt["big"], opt["empty"], opt["junk"]]
    start = time.monotonic()
    batch = opt["batch"]  # datagrams between two checks of the pace
    for n in range(opt["count"]):
        r = rng.random()
        if r < cuts[0]:
            kind, data = "valid", rng.choice(VALID) if opt["mx"] is None else search(mx=opt["mx"])
        elif r < cuts[0] + cuts[1]:
            kind, data = "big", rng.choice(BIG)
        elif r < cuts[0] + cuts[1] + cuts[2]:
            kind, data = "empty", b""
        elif r < sum(cuts):
            kind, data = "junk", rng.choice(junk)
        else:
            kind, data = "invalid", rng.choice(INVALID)
        i = n % len(socks)
        try:
            socks[i].sendto(data, GROUP)
        except (BlockingIOError, OSError):
            send_errors += 1
            continue
        kinds[kind] += 1
        if kind in ("valid", "big"):
            valid_sent[i] += 1
        if n % batch == batch - 1:
            drain()
            # Paced to spread the count over the time given, never beyond it.
            ahead = (n + 1) / opt["count"] * opt["seconds"] - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
            # 0: every datagram is sent, however long a loaded machine takes.
            if opt["give_up"] and time.monotonic() - start > opt["seconds"] * opt["give_up"]:
                break
    sent_seconds = time.monotonic() - start
    deadline = time.monotonic() + opt["linger"]
    while time.monotonic() < deadline:
        select.select(socks, [], [], 0.05)
        drain()
    print(json.dumps({"kinds": kinds, "sent": sum(kinds.values()), "send_errors": send_errors,
                      "seconds": sent_seconds, "valid_sent": valid_sent,
                      "responses": responses, "payloads": [p.decode("latin-1") for p in payloads]}))


if __name__ == "__main__":
    main()
