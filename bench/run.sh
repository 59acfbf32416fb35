#!/usr/bin/env bash
# Builds in release mode and runs every benchmark of the daemon, a GSSDP peer and a floor peer on this
# machine, then writes bench/RESULTS.md, bench/results.json and the PNG plots beside them.
# Run as root (network namespaces); takes about 15 to 20 minutes on two cores. Extra arguments
# go to bench/bench.py (for example --only burst).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh gnuplot-nox libgssdp-1.6-dev libbenchmark-dev valgrind linux-perf binutils

build=${BENCH_BUILD_DIR:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDISCOVERY_TESTS=OFF -DDISCOVERY_BENCH=ON \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target discovery ssdp-search micro_bench >/dev/null
# The peer is built here only: it is no part of the daemon's build.
cc -O2 -Wall -Wextra -Werror bench/gssdp-peer.c $(pkg-config --cflags --libs gssdp-1.6) \
  -o "$build/gssdp-peer"
cc -O2 -Wall -Wextra -Werror bench/floor-peer.c -o "$build/floor-peer"

# bench.py removes its namespaces itself; this catches a run that was killed outright.
export BENCH_TAG=$$
cleanup() {
  ip netns list 2>/dev/null | awk -v p="sdb$BENCH_TAG-" 'index($1, p) == 1 {print $1}' |
    while read -r ns; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT

ulimit -n 4096
python3 bench/bench.py --build "$build" --out bench "$@"
# A partial run (--only ...) prints its figures and leaves RESULTS.md as it is.
if (($# == 0)); then python3 bench/report.py bench; fi
