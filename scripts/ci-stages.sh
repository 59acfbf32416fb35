#!/usr/bin/env bash
# The plain build's tests and the reliability stages (scripts/test.sh runs them after the plain
# build):
#   plain  the plain build's unit and integration tests, and its package on this machine
#   systemd  the plain build's package under a real systemd (packaging/check-under-systemd.sh)
#   tidy  clang-format (.clang-format) and clang-tidy (.clang-tidy) on the project's own sources
#   asan  unit and integration suites built with AddressSanitizer and UBSan
#   tsan  unit and integration suites built with ThreadSanitizer
#   fuzz  each libFuzzer target for FUZZ_SECONDS (default 30) from the seed corpus
#   cross  arm64 and armhf builds and packages (scripts/cross.sh), their unit tests under
#          qemu-user, and the arm64 and armhf daemons searched in a namespace under it
# Any finding, sanitizer report or fuzzer crash fails the run. STAGES picks a subset, e.g.
# STAGES="tidy fuzz" bash scripts/ci-stages.sh. Run as root from the repository, after the plain
# build.
#
# The work runs in three lanes side by side, because the processor would otherwise idle while the
# integration suites wait out their MX windows: one builds (the sanitized and cross builds,
# clang-tidy), one runs the suites, each once its build is there, and fuzzes, and one installs
# the cross stage's packages. The tests count events, not time, so a loaded machine slows them
# but does not change their verdicts. Each step's output goes to a log of its own, shown (each
# line prefixed with the step's name) when the step ends, with its wall and processor seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
stages=${STAGES:-plain systemd tidy asan tsan fuzz cross}
fuzz_seconds=${FUZZ_SECONDS:-30}
plain=${BUILD_DIR:-build}
jobs=$(nproc)
# Tests at once: the integration tests mostly wait (tests/integration/CMakeLists.txt).
test_jobs=${CTEST_JOBS:-$((4 * jobs))}
fuzz_targets=(FuzzSearchParser FuzzJudgeSearch FuzzServiceInfo)
# One build serves the asan stage and the fuzz targets: clang with AddressSanitizer, UBSan and
# libFuzzer's coverage hooks (which the sanitizer runtime answers in the daemon and the tests).
asan_flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
tsan_flags="-fsanitize=thread"

stage_plain() {
  ctest --test-dir "$plain" --output-on-failure -j"$test_jobs"
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
  # Both tools run, whatever the first finds; either's finding fails the stage.
  local status=0
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror || status=1
  # Compilation databases of every source, the fuzz targets' too: configured, never built. Not
  # the asan build's, whose flags are the sanitizers'.
  local config=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DDISCOVERY_PACKAGE_TEST=OFF
                -DDISCOVERY_FUZZ=ON)
  cmake -S . -B build-tidy "${config[@]}" >/dev/null
  cmake -S . -B build-tidy/unity -DCMAKE_UNITY_BUILD=ON "${config[@]}" >/dev/null
  # The path-sensitive analyzer, file by file, on what the daemon and its client run: it only
  # follows the paths of functions in the file it was given. The tests' own code is left to the
  # sanitizers, which run every line of it.
  run-clang-tidy -p build-tidy -quiet -j"$jobs" -checks='-*,clang-analyzer-*' \
    "$repo/(common|discovery|tools)/[^/]+\.cpp\$" || status=1
  # Every other check on the merged sources of a unity build: most of its time goes into the
  # standard library's and GoogleTest's declarations, which each merged file holds once instead
  # of once per source. The project's sources count as headers there, so the header filter names
  # them; the line filter keeps only findings in them, not in the generated files that merge
  # them (each of whose lines includes a source file). The logging library's is not ours.
  run-clang-tidy -p build-tidy/unity -quiet -j"$jobs" -checks='-clang-analyzer-*' \
    -header-filter="$repo/(common|discovery|tools|tests|tests/unit|tests/fuzz)/[^/]+\.(h|cpp)\$" \
    -line-filter='[{"name":".cpp"},{"name":".h"}]' \
    '^(?!.*easyloggingpp).*/Unity/unity_[0-9]+_cxx\.cxx$' || status=1
  return "$status"
}

configure_sanitized() {
  local name=$1 build=build-$1 flags compiler=() fuzz=OFF
  if [[ $name == asan ]]; then
    flags=$asan_flags compiler=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang) fuzz=ON
  else
    flags=$tsan_flags
  fi
  # -O1 and line tables only, as the sanitizers' own guides suggest: reports keep their files and
  # lines, and the build takes half the time of -O2 -g. A unity build: the library's sources and
  # the unit tests' in a few merged files each, which parse the common headers once per merged
  # file instead of once per source; that halves the compile time.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON "${compiler[@]}" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DDISCOVERY_PACKAGE_TEST=OFF -DDISCOVERY_FUZZ="$fuzz" >/dev/null
}

build_sanitized() {
  configure_sanitized "$1"
  cmake --build "build-$1" -j"$jobs"
}

# Runs every unit and integration test of a sanitized build. Reports go to files that the
# integration tests check after each test (tests/integration/conftest.py) and that are checked
# again here, so none can pass unseen.
sanitized_suite() {
  local name=$1 build=build-$1
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

stage_fuzz() {
  local findings=$repo/build-asan/findings
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
    TMPDIR=$work "build-asan/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 \
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

# The death tests that re-execute the test binary ("threadsafe" style) cannot run under qemu-user
# without binfmt_misc, which a container may not register: execv fails with ENOEXEC. Those are the
# processor-fault cases, two of which are x86-64's own: an integer division by zero yields 0 on
# aarch64 and calls raise(SIGFPE) in armhf's libgcc (a sent signal, not a fault), and aarch64's
# trap instruction is a breakpoint (SIGTRAP), not SIGILL.
cross_left_out='-Faults/ProcessorFault.*'
# Searches in both forms over both families: legacy by multicast over IPv4 and IPv6, the standard
# form by multicast over IPv4 (three answers to ssdp:all) and by unicast over IPv4 and IPv6.
cross_searches=(
  "tests/integration/test_ipv6.py::test_searches_answered_over_the_family_and_group_they_came_by"
  "tests/integration/test_unicast.py::test_answered_in_the_standard_form_over_each_family_and_the_link_local_address"
  "tests/integration/test_standard.py::test_each_target_gets_the_st_and_usn_of_the_upnp_architecture[ssdp:all]"
)

preload=tests/integration/libtest-preload.so

# Runs the searches against one architecture's daemon under its emulator (testbed.py's
# DISCOVERY_WRAPPER); the console is the plain build's search client.
emulated_searches() {
  local arch=$1 wrapper=$2 start=$SECONDS
  DISCOVERY_WRAPPER=$wrapper DISCOVERY_BIN=build-$arch/discovery SSDP_SEARCH_BIN=$plain/ssdp-search \
    TEST_PRELOAD_LIB=$plain/$preload \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider "${cross_searches[@]}"
  echo "-- $arch: searches in $((SECONDS - start)) s"
}

# The cross stage's packages for both architectures, one after the other (apt's lock).
cross_install() {
  bash scripts/cross.sh arm64 install
  bash scripts/cross.sh armhf install
}

cross_build() { bash scripts/cross.sh "$1" build; }

# One architecture's unit tests under its emulator.
emulated_unit_tests() {
  local arch=$1 emulator=$2 start=$SECONDS
  # The emulator finds the target's loader and libraries where multiarch puts them. No -L
  # prefix pointing at the cross toolchain's own tree (/usr/<triplet>): its loader is another
  # build of glibc than the multiarch libc.so.6 it would load, and the first thread's start
  # then crashes (armhf) or hangs (arm64).
  "$emulator" "build-$arch/tests/unit_tests" --gtest_filter="$cross_left_out" --gtest_brief=1
  echo "-- $arch: unit tests in $((SECONDS - start)) s"
}

# Runs two commands side by side; fails if either does. Both in the background, so that errexit
# holds inside them.
both() {
  local first second status=0
  eval "$1" &
  first=$!
  eval "$2" &
  second=$!
  wait "$first" || status=1
  wait "$second" || status=1
  return "$status"
}

stage_cross() {
  # The console's search client and the daemon's preload (the stock limits, for the emulator
  # that runs it) are the build machine's own.
  if [[ ! -x $plain/ssdp-search || ! -e $plain/$preload ]]; then
    cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$plain" -j"$jobs" --target ssdp-search test-preload >/dev/null
  fi
  # One after the other: both bind the SSDP port in this machine's namespace (the send-only
  # sockets' test holds 224.0.0.0:1900 for itself in one case), so side by side one could find it
  # taken.
  emulated_unit_tests arm64 qemu-aarch64
  emulated_unit_tests armhf qemu-arm
  # Debian 12's qemu-aarch64 (QEMU 7.2) passes a 64-bit target's ip_mreqn to the host with its
  # interface index unset, so every IPv4 join fails with ENODEV; the shim hands it on widened
  # to the size that emulator reads (tests/emulation/MembershipShim.cpp). qemu-arm is not
  # affected: a target long is 4 bytes there.
  # Outside the checkout, which may sit where the daemon's user cannot enter (mode 0700).
  local shared shim status=0
  shared=$(mktemp -d "${TMPDIR:-/tmp}/discovery-cross.XXXXXX")
  chmod 755 "$shared"
  shim=$shared/membership-shim.so
  aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -Werror -shared -fPIC -o "$shim" \
    tests/emulation/MembershipShim.cpp
  # Side by side, as the integration tests run anyway: each testbed names its own namespaces.
  both "emulated_searches arm64 'qemu-aarch64 -E LD_PRELOAD=$shim'" \
    "emulated_searches armhf qemu-arm" || status=1
  rm -rf "$shared"
  return "$status"
}

want() { [[ " $stages " == *" $1 "* ]]; }

logs=$(mktemp -d "${TMPDIR:-/tmp}/discovery-ci.XXXXXX")

# Runs one step of a lane with its output in a log of its own, then shows that log, each line
# prefixed with the step's name, ending with the step's wall and processor seconds (its own and
# its children's). A marker, NAME.ok or NAME.failed, tells the other lanes that it is over.
step() {
  local name=$1 status=0
  shift
  # In the background, so that errexit holds inside: a subshell tested with || would drop it.
  (
    TIMEFORMAT="== $name: %0R s wall, %0U+%0S s cpu"
    time "$@"
  ) >"$logs/$name.log" 2>&1 &
  wait "$!" || status=$?
  if ((status == 0)); then
    echo "== $name passed" >>"$logs/$name.log"
    touch "$logs/$name.ok"
  else
    echo "== $name FAILED (status $status)" >>"$logs/$name.log"
    touch "$logs/$name.failed"
  fi
  sed "s/^/[$name] /" "$logs/$name.log"
}

# Runs the rest of the command once step $1 has passed; fails at once if it failed.
after() {
  local name=$1
  shift
  until [[ -e $logs/$name.ok || -e $logs/$name.failed ]]; do sleep 1; done
  [[ -e $logs/$name.ok ]] || {
    echo "not run: $name failed"
    return 1
  }
  "$@"
}

cross_builds() {
  step build-arm64 after install-cross cross_build arm64
  step build-armhf after install-cross cross_build armhf
}

lane_builds() {
  if want asan || want fuzz; then step build-asan build_sanitized asan; fi
  if want tsan; then step build-tsan build_sanitized tsan; fi
  # The cross builds before clang-tidy when their packages are in, so that their emulated tests,
  # the run's last step, go on beside clang-tidy; on a fresh machine whose packages are still
  # coming, clang-tidy goes first.
  if want cross && [[ -e $logs/install-cross.ok ]]; then
    cross_builds
    cross=done
  fi
  if want tidy; then step tidy stage_tidy; fi
  if want cross && [[ ${cross:-} != done ]]; then cross_builds; fi
}

lane_tests() {
  if want plain; then step plain stage_plain; fi
  if want systemd; then step systemd stage_systemd; fi
  if want asan; then step asan after build-asan sanitized_suite asan; fi
  if want fuzz; then step fuzz after build-asan stage_fuzz; fi
  if want tsan; then step tsan after build-tsan sanitized_suite tsan; fi
  if want cross; then step cross after build-arm64 after build-armhf stage_cross; fi
}

lane_installs() {
  if want cross; then step install-cross cross_install; fi
}

start=$SECONDS
lane_installs &
installs=$!
lane_builds &
builds=$!
lane_tests
wait "$installs" "$builds"
echo "== all stages in $((SECONDS - start)) s"
grep -h '^== .* s cpu$' "$logs"/*.log
failed=$(cd "$logs" && ls -- *.failed 2>/dev/null | sed 's/\.failed$//' | paste -sd ' ' -) || true
rm -rf "$logs"
if [[ -n $failed ]]; then
  echo "== FAILED: $failed"
  exit 1
fi
