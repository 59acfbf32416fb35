#!/usr/bin/env python3
"""Steady search load for the cost figures: COUNT searches at RATE per second, spread evenly
over time, from a small ring of sockets on the given source address; counts the responses and
waits MX seconds and a half after the last search so that every scheduled answer is in. Prints
one JSON object: searches sent, responses received, seconds taken."""

import argparse
import json
import select
import socket
import time

p = argparse.ArgumentParser()
p.add_argument("--source", required=True)
p.add_argument("--count", type=int, default=10000)
p.add_argument("--rate", type=float, default=250.0)
p.add_argument("--mx", type=int, default=1)
p.add_argument("--sockets", type=int, default=32)
a = p.parse_args()
if not 0 < a.count <= 100000 or not 0 < a.rate <= 5000:
    raise SystemExit("count or rate out of bounds")

request = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           f"MX: {a.mx}\r\nST: urn:dmtf-org:service:redfish-rest:1\r\n\r\n").encode()
group = ("239.255.255.250", 1900)
socks = []
for _ in range(a.sockets):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((a.source, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(a.source))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    s.setblocking(False)
    socks.append(s)

responses = 0


def drain(timeout):
    global responses
    ready, _, _ = select.select(socks, [], [], max(0.0, timeout))
    for s in ready:
        while True:
            try:
                data = s.recv(2048)
            except BlockingIOError:
                break
            if data.startswith(b"HTTP/1.1 200 OK"):
                responses += 1


start = time.monotonic()
for i in range(a.count):
    due = start + i / a.rate
    while (left := due - time.monotonic()) > 0:
        drain(left)
    socks[i % len(socks)].sendto(request, group)
end = time.monotonic() + a.mx + 0.5
while (left := end - time.monotonic()) > 0 and responses < a.count:
    drain(left)
print(json.dumps({"sent": a.count, "responses": responses,
                  "seconds": round(time.monotonic() - start, 2)}))
