"""UDP datagrams with whatever source the caller names, sent as whole Ethernet frames through a
packet socket: addresses that no host on the link has, the unspecified address, the receiver's
own. The kernel of the sending namespace never sees them as its own traffic, so it neither
refuses the source nor answers for it. Run as
    ip netns exec <ns> python3 forge.py <interface> <seconds between datagrams> < <json list>
each datagram a {"src", "dst", "sport", "dport", "payload"} object, dst a multicast group, or a
unicast address with "mac", the Ethernet address of the interface that holds it. Prints how many
left and in how many seconds, as a JSON object."""

import ipaddress
import json
import socket
import struct
import sys
import time

ETH_P_IP, ETH_P_IPV6 = 0x0800, 0x86DD


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def multicast_mac(group):
    """The Ethernet address a group's datagrams go to (RFC 1112 section 6.4, RFC 2464 section 7)."""
    raw = group.packed
    if group.version == 4:
        return bytes([0x01, 0x00, 0x5E, raw[1] & 0x7F, raw[2], raw[3]])
    return b"\x33\x33" + raw[12:]


def frame(src_mac, src, dst, sport, dport, payload, hops=1, dst_mac=None):
    """One Ethernet frame carrying a UDP datagram from src:sport to the group dst:dport (or to
    the address dst held by the interface dst_mac), with the IPv4 header's and the UDP checksums
    right."""
    src, dst = ipaddress.ip_address(src), ipaddress.ip_address(dst)
    length = 8 + len(payload)
    udp = struct.pack("!HHHH", sport, dport, length, 0) + payload
    if dst.version == 4:
        pseudo = src.packed + dst.packed + struct.pack("!BBH", 0, socket.IPPROTO_UDP, length)
        head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + length, 0, 0x4000, hops,
                           socket.IPPROTO_UDP, 0, src.packed, dst.packed)
        head = head[:10] + struct.pack("!H", checksum(head)) + head[12:]
        kind = ETH_P_IP
    else:
        pseudo = src.packed + dst.packed + struct.pack("!IxxxB", length, socket.IPPROTO_UDP)
        head = struct.pack("!IHBB16s16s", 6 << 28, length, socket.IPPROTO_UDP, hops, src.packed,
                           dst.packed)
        kind = ETH_P_IPV6
    # A computed 0 is sent as all ones: 0 means "no checksum" over IPv4 and is invalid over IPv6.
    sum_ = checksum(pseudo + udp) or 0xFFFF
    udp = udp[:6] + struct.pack("!H", sum_) + udp[8:]
    dst_mac = bytes.fromhex(dst_mac.replace(":", "")) if dst_mac else multicast_mac(dst)
    return dst_mac + src_mac + struct.pack("!H", kind) + head + udp


def send(interface, datagrams, gap=0.0):
    """Sends datagram i `i * gap` seconds after the first (at once when behind that schedule, so
    that a rate holds, as far as the processor allows); returns the seconds it took."""
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
        s.bind((interface, 0))
        src_mac = s.getsockname()[4]
        start = time.monotonic()
        for i, d in enumerate(datagrams):
            if (ahead := start + i * gap - time.monotonic()) > 0:
                time.sleep(ahead)
            s.send(frame(src_mac, d["src"], d["dst"], d["sport"], d["dport"],
                         d["payload"].encode("latin-1"), dst_mac=d.get("mac")))
        return time.monotonic() - start


if __name__ == "__main__":
    datagrams = json.load(sys.stdin)
    seconds = send(sys.argv[1], datagrams, float(sys.argv[2]))
    print(json.dumps({"sent": len(datagrams), "seconds": seconds}))
