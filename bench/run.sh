#!/usr/bin/env bash
# Builds in release mode and runs every benchmark of the daemon, the floor peer and the GSSDP peer
# on this machine, then writes the figures of bench/RESULTS.md and the PNG plots beside it; the
# raw figures stay in the build directory (bench-results.json). Run as root (network
# namespaces); takes about 15 to 20 minutes on two cores. Extra arguments go to bench/bench.py:
# a partial run (--only cost, --before OLD-BINARY) prints its figures and leaves RESULTS.md alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh gnuplot-nox libgssdp-1.6-dev libbenchmark-dev valgrind strace binutils

build=${BENCH_BUILD_DIR:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDISCOVERY_TESTS=OFF -DDISCOVERY_BENCH=ON \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target discovery ssdp-search micro_bench >/dev/null
# The peers are built here only: they are no part of the daemon's build.
cc -O2 -Wall -Wextra -Werror bench/gssdp-peer.c $(pkg-config --cflags --libs gssdp-1.6) \
  -o "$build/gssdp-peer"
cc -O2 -Wall -Wextra -Werror bench/floor-peer.c -o "$build/floor-peer"

# bench.py removes its namespaces and restores the neighbour table limits itself; this catches a
# run that was killed outright.
export BENCH_TAG=$$
neigh=/proc/sys/net/ipv4/neigh/default/gc_thresh
limits=$(cat "${neigh}1" "${neigh}2" "${neigh}3")
cleanup() {
  ip netns list 2>/dev/null | awk -v p="sdb$BENCH_TAG-" 'index($1, p) == 1 {print $1}' |
    while read -r ns; do ip netns del "$ns" 2>/dev/null || true; done
  set -- $limits
  echo "$1" >"${neigh}1" && echo "$2" >"${neigh}2" && echo "$3" >"${neigh}3" || true
}
trap cleanup EXIT

ulimit -n 8192
python3 bench/bench.py --build "$build" --out "$build/bench-results.json" "$@"
if (($#)); then
  python3 bench/report.py --print "$build/bench-results.json"
else
  python3 bench/report.py "$build/bench-results.json"
fi
