#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the daemon need, and any
# further packages named as arguments (the benchmark command's).
set -euo pipefail
source "$(dirname "$0")/apt.sh"
packages=("$@"
          build-essential cmake pkg-config libeasyloggingpp-dev libjsoncpp-dev
          googletest libgtest-dev iproute2 python3 python3-pytest util-linux
          dpkg-dev systemd scdoc lintian man-db clang libclang-rt-14-dev
          clang-tidy gupnp-tools nmap openssl nftables)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt_update
  apt_install "${missing[@]}"
fi
