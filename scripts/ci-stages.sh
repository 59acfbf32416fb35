#!/usr/bin/env bash
# The reliability stages that follow the plain build and its tests (scripts/test.sh runs them):
#   systemd  the plain build's package under a real systemd (packaging/check-under-systemd.sh)
#   tidy  clang-format (.clang-format) and clang-tidy (.clang-tidy) on the project's own sources
#   asan  unit and integration suites built with AddressSanitizer and UBSan
#   tsan  unit and integration suites built with ThreadSanitizer
#   fuzz  each libFuzzer target for FUZZ_SECONDS (default 60) from the seed corpus
# Any finding, sanitizer report or fuzzer crash fails the run. STAGES picks a subset, e.g.
# STAGES="tidy fuzz" bash scripts/ci-stages.sh. Run as root from the repository, after the plain
# build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
stages=${STAGES:-systemd tidy asan tsan fuzz}
fuzz_seconds=${FUZZ_SECONDS:-60}
plain=${BUILD_DIR:-build}
jobs=$(nproc)
# Tests at once: the integration tests mostly wait (tests/integration/CMakeLists.txt).
test_jobs=${CTEST_JOBS:-$((4 * jobs))}
fuzz_targets=(FuzzSearchParser FuzzJudgeSearch FuzzServiceInfo)

configure_fuzz() {
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DDISCOVERY_TESTS=OFF -DDISCOVERY_FUZZ=ON >/dev/null
}

stage_systemd() {
  local out status=0
  out=$(mktemp -d)
  cpack --config "$plain/CPackConfig.cmake" -B "$out" >/dev/null
  SSDP_SEARCH_BIN=$plain/ssdp-search bash packaging/check-under-systemd.sh \
    "$out"/redfish-discovery_*.deb || status=$?
  rm -rf "$out"
  return "$status"
}

stage_tidy() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
  [[ -f $plain/compile_commands.json ]] ||
    cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  configure_fuzz
  # Project sources only: the logging library's source file is compiled in the build too.
  run-clang-tidy -p "$plain" -quiet -j"$jobs" "$repo/(common|discovery|tools|tests/unit)/[^/]+\.cpp\$"
  run-clang-tidy -p build-fuzz -quiet -j"$jobs" "$repo/tests/fuzz/[^/]+\.cpp\$"
}

# Builds with the given sanitizer flags and runs every unit and integration test. Reports go to
# files that the integration tests check after each test (tests/integration/conftest.py) and
# that are checked again here, so none can pass unseen.
sanitized_suite() {
  local name=$1 flags=$2 build=build-$1
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DDISCOVERY_PACKAGE_TEST=OFF >/dev/null
  cmake --build "$build" -j"$jobs"
  # Outside the checkout, which may sit where other users cannot enter (a home of mode 0700): one
  # integration test runs the daemon as an unprivileged user, who reads the suppressions and
  # writes its reports here (world-writable).
  local shared reports
  shared=$(mktemp -d "${TMPDIR:-/tmp}/discovery-$name.XXXXXX")
  chmod 755 "$shared"
  install -m 644 tests/tsan.supp "$shared/tsan.supp"
  reports=$shared/reports
  mkdir -m 1777 "$reports"
  local status=0
  SANITIZER_REPORTS=$reports DISCOVERY_SANITIZER=$name \
    ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:detect_stack_use_after_return=1" \
    UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1" \
    TSAN_OPTIONS="log_path=$reports/tsan:second_deadlock_stack=1:suppressions=$shared/tsan.supp" \
    ctest --test-dir "$build" --output-on-failure -j"$test_jobs" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports in $reports:"
    head -n 80 "$reports"/*
    return 1
  fi
  rm -rf "$shared"
  return "$status"
}

stage_asan() { sanitized_suite asan "-fsanitize=address,undefined -fno-sanitize-recover=all"; }
stage_tsan() { sanitized_suite tsan "-fsanitize=thread"; }

stage_fuzz() {
  configure_fuzz
  cmake --build build-fuzz -j"$jobs" --target "${fuzz_targets[@]}"
  local findings=$repo/build-fuzz/findings
  rm -rf "$findings"
  mkdir -p "$findings"
  local target seeds args work status
  for target in "${fuzz_targets[@]}"; do
    # The request targets see at most 1023 bytes of a datagram; a little more exercises the cut.
    # The service information is a few hundred bytes at most; 512 stays well below the JSON
    # reader's depth limit of 1,000 levels, where each input costs milliseconds of recursion and
    # unwinding (the unit tests pin that case).
    case $target in
      FuzzServiceInfo)
        seeds=tests/fuzz/corpus/json args=(-dict="$repo/tests/fuzz/json.dict" -max_len=512) ;;
      *) seeds=tests/fuzz/corpus/requests args=(-max_len=1100) ;;
    esac
    work=$(mktemp -d)
    mkdir "$work/corpus"
    status=0
    # New inputs go to the scratch corpus (first directory); the seeds stay untouched.
    TMPDIR=$work "build-fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
      "${args[@]}" "$work/corpus" "$repo/$seeds" >"$work/log" 2>&1 || status=$?
    grep -E 'DONE|stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
      "$work/log" | sed "s/^/$target: /"
    if ((status != 0)); then
      tail -n 60 "$work/log"
      echo "$target failed (status $status); inputs in $findings"
      rm -rf "$work"
      return 1
    fi
    rm -rf "$work"
  done
}

for stage in $stages; do
  start=$SECONDS
  echo "== stage $stage"
  "stage_$stage"
  echo "== stage $stage passed in $((SECONDS - start)) s"
done
