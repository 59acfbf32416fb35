"""Throw-away network namespaces joined by veth pairs, shared by the integration tests' testbed
and the benchmarks. Addresses come from 198.18.0.0/15 and fd00::/8; the caller names every
namespace and deletes what it made. Commands go to iproute2 in batches where they can, so that a
segment of a thousand stations builds in seconds."""

import subprocess


def sh(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


def batch(lines, ns=None):
    """Runs iproute2 commands (one `ip` command line each, without `ip`), in namespace ns."""
    if lines:
        sh("ip", *(["-n", ns] if ns else []), "-batch", "-", input="\n".join(lines) + "\n")


def create(*names):
    batch([f"netns add {ns}" for ns in names])
    for ns in names:
        batch(["link set lo up"], ns)


def delete(*names):
    for ns in names:
        sh("ip", "netns", "del", ns, check=False)


def veth(ns, ifname, peer_ns, peer_ifname):
    batch([f"link add {ifname} type veth peer name {peer_ifname} netns {peer_ns}"], ns)


def configure(ns, ifname, cidr=None, ipv6=True, multicast_route=True):
    """Brings ifname up; with an address, also routes the multicast range through it, as a
    host's default route would (one interface of a namespace can have that route)."""
    lines = [f"addr add {cidr} dev {ifname}"] if cidr else []
    if not ipv6:
        lines.append(f"link set {ifname} addrgenmode none")
    lines.append(f"link set {ifname} up")
    if cidr and multicast_route:
        lines.append(f"route add 224.0.0.0/4 dev {ifname}")
    batch(lines, ns)


class Lan:
    """One segment: a bridge in a switch namespace, and stations, each a namespace of its own
    hanging off the bridge through a veth pair. It carries IPv4 only: with IPv6 link-local
    addresses, each station's router solicitations and group reports would be flooded to every
    port, a load that grows with the square of the stations."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.switch = f"{prefix}-sw"
        self.spaces = [self.switch]
        create(self.switch)
        batch(["link add br0 type bridge mcast_snooping 0", "link set br0 addrgenmode none",
               "link set br0 up"], self.switch)

    def stations(self, specs):
        """Adds stations from (role, ifname, cidr) triples; returns their namespace names."""
        names = [f"{self.prefix}-{role}" for role, _, _ in specs]
        first = len(self.spaces) - 1
        create(*names)
        self.spaces += names
        ports = [f"p{first + i}" for i in range(len(specs))]
        batch([f"link add {port} type veth peer name {ifname} netns {ns}"
               for port, ns, (_, ifname, _) in zip(ports, names, specs)], self.switch)
        batch([f"link set {port} {attrs}" for port in ports
               for attrs in ("addrgenmode none", "master br0 up")], self.switch)
        for ns, (_, ifname, cidr) in zip(names, specs):
            configure(ns, ifname, cidr, ipv6=False)
        return names

    def station(self, role, ifname, cidr):
        return self.stations([(role, ifname, cidr)])[0]

    def close(self):
        delete(*reversed(self.spaces))
        self.spaces = []
