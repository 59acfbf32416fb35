# Installing Debian packages when a registry may be half-synced (sourced by scripts/deps.sh and
# scripts/cross.sh). A mirror caught mid-sync serves an index whose size does not match its
# Release file, and `apt-get update` then fails as a whole although every other index, and the
# packages wanted, may be fine: a failed update is only a warning that names the index, and the
# install decides. Each of update and install is tried again once after a short pause.

# Seconds between a failed attempt and the next.
APT_PAUSE=${APT_PAUSE:-5}
# Waits while another package manager holds the lock (a test that installs a package with dpkg).
APT_LOCK=(-o DPkg::Lock::Timeout=600)

# Refreshes the package indexes; never fails. An index that could not be taken, whether apt
# calls it an error (exit 100: a size or hash that does not match, no Release file) or a warning
# (a mirror that cannot be reached), is named in a WARNING line.
apt_update() {
  local log attempt status failed
  log=$(mktemp)
  for attempt in 1 2; do
    status=0
    apt-get "${APT_LOCK[@]}" update -qq >"$log" 2>&1 || status=$?
    # apt names each index it could not take on a line of its own ("W: Failed to fetch URL  why",
    # "E: The repository 'URL SUITE Release' does not have a Release file.", ...).
    failed=$(grep -E '^(W|E|Err):' "$log" | grep -vE 'Some index files failed|^N:' |
      sed -E 's/^(W|E|Err): *//') || true
    [[ $status == 0 && -z $failed ]] && break
    ((attempt == 2)) || sleep "$APT_PAUSE"
  done
  if [[ $status != 0 || -n $failed ]]; then
    while IFS= read -r line; do
      echo "WARNING: apt-get update: $line" >&2
    done <<<"${failed:-exited $status}"
    echo "WARNING: apt-get update exited $status; installing from the indexes at hand" >&2
  fi
  rm -f "$log"
}

# Installs the packages named, with apt-get's further options before them in APT_OPTIONS; on
# failure stops the script with one line that names a package which cannot be installed and the
# registry's error.
apt_install() {
  local log status attempt
  log=$(mktemp)
  for attempt in 1 2; do
    status=0
    # shellcheck disable=SC2086 # APT_OPTIONS is a list of options
    DEBIAN_FRONTEND=noninteractive apt-get "${APT_LOCK[@]}" install -y -qq ${APT_OPTIONS:-} "$@" \
      >"$log" 2>&1 || status=$?
    ((status != 0 && attempt == 1)) || break
    sleep "$APT_PAUSE"
  done
  if ((status != 0)); then
    local error package p
    error=$(grep -E '^E:' "$log" | head -n 1 | sed -E 's/^E: *//')
    # The package the error names, else the first that apt cannot even plan to install alone.
    for p in "$@"; do
      if grep -qE "(^|[ /'_])${p%%:*}([ '_:]|\$)" <<<"$error"; then
        package=$p
        break
      fi
    done
    if [[ -z ${package:-} ]]; then
      for p in "$@"; do
        apt-get install -s -qq "$p" >/dev/null 2>&1 || {
          package=$p
          break
        }
      done
    fi
    echo "cannot install ${package:-one of: $*}: ${error:-apt-get install exited $status}" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}
