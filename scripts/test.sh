#!/usr/bin/env bash
# Sets everything up and runs every test: unit tests and the integration tests that run the real
# daemon in throw-away network namespaces, then the reliability stages (clang-tidy, sanitizer
# builds, fuzzing: scripts/ci-stages.sh). Run as root from the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# Four tests per processor at once: the integration tests mostly wait (tests/integration).
ctest --test-dir "$build" --output-on-failure -j"${CTEST_JOBS:-$((4 * $(nproc)))}"
bash scripts/ci-stages.sh
