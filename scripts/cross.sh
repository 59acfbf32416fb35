#!/usr/bin/env bash
# Builds the daemon for a controller's ARM processor on Debian 12, and its package:
#   bash scripts/cross.sh arm64     64-bit ARM (aarch64-linux-gnu)
#   bash scripts/cross.sh armhf     32-bit ARM, hard float (arm-linux-gnueabihf)
# It installs what it lacks: Debian's cross compiler (crossbuild-essential-ARCH), the target's
# libraries through multiarch (dpkg --add-architecture ARCH), and qemu-user, which runs the unit
# tests; it builds in build-ARCH (Release, -Werror like every build, cmake/toolchain-*.cmake) and
# writes build-ARCH/redfish-discovery_<version>_ARCH.deb, checked by lintian. CROSS_TESTS=OFF
# leaves the unit tests out of the build. A second argument does one part only: `install` the
# packages, or `build` (and package) with them in place. Run as root from the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt.sh
arch=${1:-}
part=${2:-all}
case $arch in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *)
    echo "usage: $0 arm64|armhf" >&2
    exit 2
    ;;
esac
build=build-$arch
jobs=$(nproc)

# Runs a step and says how long it took.
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "-- $arch: $name in $((SECONDS - start)) s"
}

install_packages() {
  # The target's libraries come from its own Debian archive: its architecture must be known.
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  # The build machine's tools, then the target's libraries. easylogging++ is built from its
  # source and headers, which serve every architecture.
  local packages=(cmake scdoc dpkg-dev lintian libeasyloggingpp-dev qemu-user
                  "crossbuild-essential-$arch" "libjsoncpp-dev:$arch")
  [[ ${CROSS_TESTS:-ON} == OFF ]] || packages+=("libgtest-dev:$arch")
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  apt_update
  APT_OPTIONS=--no-install-recommends apt_install "${missing[@]}"
}

build() {
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON -DDISCOVERY_TESTS="${CROSS_TESTS:-ON}" \
    -DDISCOVERY_PACKAGE_TEST=OFF --no-warn-unused-cli >/dev/null
  cmake --build "$build" -j"$jobs" >/dev/null
}

package() {
  rm -f "$build"/redfish-discovery_*.deb
  cpack --config "$build/CPackConfig.cmake" -B "$build/cpack" >/dev/null
  mv "$build"/cpack/redfish-discovery_*.deb "$build"/
  lintian --fail-on error,warning "$build"/redfish-discovery_*.deb
}

# What a builder wants to know of the result: the binaries' architecture, their size as
# installed (stripped), the package's size.
summary() {
  local deb
  deb=$(echo "$build"/redfish-discovery_*.deb)
  file "$build/discovery" "$build/ssdp-search" | sed 's/, BuildID[^,]*//'
  dpkg-deb -c "$deb" | awk '/\/bin\/./ { printf "stripped %s: %d bytes\n", $6, $3 }'
  echo "package $deb: $(stat -c %s "$deb") bytes"
}

[[ $part == build ]] || timed install install_packages
[[ $part == install ]] && exit 0
timed build build
timed package package
summary
