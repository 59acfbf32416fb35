#!/usr/bin/env bash
# Sets everything up and shows the daemon's job in a throw-away network: the daemon in its own
# namespace with a veth end named eth1, a control point in a second namespace that searches for
# the Redfish service, the response as received, and a clean stop. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# Each step named as it begins: on a fresh machine the packages and the build take a minute.
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Installing the packages the build needs (scripts/deps.sh)"
bash scripts/deps.sh
say "Configuring the build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
say "Building discovery and ssdp-search"
cmake --build build -j"$(nproc)" --target discovery ssdp-search >/dev/null
echo "built: build/discovery, build/ssdp-search"

tag=$$
dns=sd-demo-d$tag
cns=sd-demo-c$tag
tree=$(mktemp -d /tmp/discovery-demo.XXXXXX)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  ip netns del "$dns" 2>/dev/null || true
  ip netns del "$cns" 2>/dev/null || true
  rm -rf "$tree"
}
trap cleanup EXIT

say "Network: $dns (eth1 198.18.0.1) <-> $cns (cp0 198.18.0.2)"
ip netns add "$dns"
ip netns add "$cns"
ip link add va$tag type veth peer name vb$tag
ip link set va$tag netns "$dns"
ip link set vb$tag netns "$cns"
ip -n "$dns" link set va$tag name eth1
ip -n "$cns" link set vb$tag name cp0
ip -n "$dns" addr add 198.18.0.1/24 dev eth1
ip -n "$cns" addr add 198.18.0.2/24 dev cp0
for ns in "$dns" "$cns"; do ip -n "$ns" link set lo up; done
ip -n "$dns" link set eth1 up
ip -n "$cns" link set cp0 up
ip -n "$dns" route add 224.0.0.0/4 dev eth1
ip -n "$cns" route add 224.0.0.0/4 dev cp0

say "Working tree $tree: opt/bin (working directory), opt/config/log.conf, data/redfish.json"
mkdir -p "$tree/opt/bin" "$tree/opt/config" "$tree/data"
cp "$repo/config/log.conf" "$tree/opt/config/log.conf"
cp "$repo/data/redfish.json" "$tree/data/redfish.json"
cat "$tree/data/redfish.json"

say "Starting the daemon in $dns"
(cd "$tree/opt/bin" && exec ip netns exec "$dns" "$repo/build/discovery") >"$tree/stdout.txt" 2>&1 &
pid=$!
# Ready once it is in the group: the sample configuration leaves TRACE records off.
for _ in $(seq 100); do
  ip -n "$dns" maddr show dev eth1 | grep -q 239.255.255.250 && break
  sleep 0.05
done
cat "$tree/stdout.txt"

say "Group membership on eth1 (ip maddr show dev eth1)"
ip -n "$dns" maddr show dev eth1

say "Control point searches for urn:dmtf-org:service:redfish-rest:1 with MX 2 (listens 2.5 s)"
ip netns exec "$cns" "$repo/build/ssdp-search" --interface cp0 --mx 2 | cat -A | sed -e 's/\^M\$$/\\r\\n/' -e 's/\$$//'

say "SIGTERM"
kill -TERM "$pid"
wait "$pid" && echo "exit status 0" || echo "exit status $?"
pid=

say "The daemon's log ($tree/opt/log/discovery.log)"
cat "$tree/opt/log/discovery.log"
