#!/usr/bin/env bash
# Sets everything up and runs every test: unit tests and the integration tests that run the real
# daemon in throw-away network namespaces, and the reliability stages beside them (clang-tidy,
# sanitizer builds, fuzzing, cross builds: scripts/ci-stages.sh). Run as root from the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
BUILD_DIR=$build bash scripts/ci-stages.sh
