#!/usr/bin/env bash
# Runs the packaged unit under a real systemd on a machine where systemd is not PID 1 (a build
# or CI machine): boots systemd in a throw-away container (an overlay over /, its own PID, mount,
# network and cgroup namespaces), installs the package there, and checks that the hardened unit
# scores an exposure of at most 1.5 (systemd-analyze security), starts (systemctl start returning
# only once the daemon answers), answers a search from a second namespace as the package's user
# with no capability left, shows the daemon's status line, restarts a daemon frozen with SIGSTOP
# through the watchdog, takes options from /etc/default/redfish-discovery at a restart (another
# interface, and IPv6, whose addresses the daemon reads under the unit's narrowed /proc), stops
# cleanly, and keeps restarting while eth1 has no address. Nothing outside the container
# is installed. About a minute; CI runs it (scripts/ci-stages.sh, stage systemd).
# Usage, as root: bash packaging/check-under-systemd.sh build/redfish-discovery_*.deb
# Each wait ends on what it waits for; its bound, GUARD seconds, only keeps a hang from lasting:
# a loaded machine may take long over a start, never that long.
set -euo pipefail
GUARD=${GUARD:-180}
deb=$(realpath "$1")
search=${SSDP_SEARCH_BIN:-$(dirname "$(realpath "$0")")/../build/ssdp-search}
[[ -x $search ]] || search=/opt/oobm/bin/ssdp-search
search=$(realpath "$search")
tag=$$
dns=sdu-d$tag
cns=sdu-c$tag
work=$(mktemp -d /tmp/discovery-systemd.XXXXXX)
cgroot=$(findmnt -t cgroup2 -n -o TARGET | head -1)
cg=$cgroot/discovery-check-$tag
init=
failed=0

cleanup() {
  [[ -n $init ]] && kill -KILL "$init" 2>/dev/null || true
  sleep 0.5
  # The container's systemd made its cgroups below ours: remove them, deepest first.
  [[ -d $cg ]] && find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || true
  ip netns del "$dns" 2>/dev/null || true
  ip netns del "$cns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

check() {
  if eval "$2"; then
    echo "PASS  $1"
  else
    echo "FAIL  $1"
    failed=1
    in_box systemctl status $unit --no-pager -n 5 | sed 's/^/      /' || true
  fi
}

# A veth pair: the daemon's end $1 with $3, the console's end $2 with $4 (both /24), and with
# IPv6 addresses usable at once (no duplicate address detection): link-local ones, and $5::1 and
# $5::2 (both /64).
pair() {
  ip link add d$1$tag type veth peer name c$2$tag
  ip link set d$1$tag netns "$dns"
  ip link set c$2$tag netns "$cns"
  ip -n "$dns" link set d$1$tag name "$1"
  ip -n "$cns" link set c$2$tag name "$2"
  ip -n "$dns" addr add "$3/24" dev "$1"
  ip -n "$cns" addr add "$4/24" dev "$2"
  ip netns exec "$dns" sysctl -qw "net.ipv6.conf.$1.accept_dad=0"
  ip netns exec "$cns" sysctl -qw "net.ipv6.conf.$2.accept_dad=0"
  ip -n "$dns" addr add "$5::1/64" dev "$1" nodad
  ip -n "$cns" addr add "$5::2/64" dev "$2" nodad
  ip -n "$dns" link set "$1" up
  ip -n "$cns" link set "$2" up
}
ip netns add "$dns"
ip netns add "$cns"
for ns in "$dns" "$cns"; do ip -n "$ns" link set lo up; done
pair eth1 cp0 198.19.200.1 198.19.200.2 fd00:200
# A second port, for the options that pick the interface and turn on IPv6.
pair eno1 cp1 198.19.201.1 198.19.201.2 fd00:201
ip -n "$cns" route add 224.0.0.0/4 dev cp0

cat >"$work/boot.sh" <<'EOF'
set -e
w=$1
mkdir -p "$w/layers" "$w/root"
mount -t tmpfs tmpfs "$w/layers"
mkdir "$w/layers/upper" "$w/layers/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$w/layers/upper,workdir=$w/layers/work" "$w/root"
r=$w/root
mount -t proc proc "$r/proc"
mount -t sysfs -o ro sysfs "$r/sys"
mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup"
mount -t tmpfs -o mode=755 tmpfs "$r/dev"
for node in "null c 1 3" "zero c 1 5" "full c 1 7" "random c 1 8" "urandom c 1 9" "tty c 5 0"; do
  set -- $node; mknod -m 666 "$r/dev/$1" "$2" "$3" "$4"
done
mkdir "$r/dev/pts" "$r/dev/shm" "$r/dev/mqueue"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$r/dev/pts"
ln -s pts/ptmx "$r/dev/ptmx"
mount -t tmpfs tmpfs "$r/dev/shm"
mount -t mqueue mqueue "$r/dev/mqueue"
mount -t tmpfs -o mode=755 tmpfs "$r/run"
mount -t tmpfs tmpfs "$r/tmp"
cp "$w/pkg.deb" "$r/tmp/pkg.deb"
chroot "$r" dpkg -i /tmp/pkg.deb >/dev/null
mkdir -p "$r/opt/data"
echo '{"uuid": "92384634-2938-2342-8820-489239905423"}' >"$r/opt/data/redfish.json"
# An empty target to boot into: the checks start the unit themselves.
printf '[Unit]\nDescription=discovery check\n' >"$r/etc/systemd/system/discovery-check.target"
export container=other
# The container's root by pivot_root, not chroot: a process in a chroot may not create a user
# namespace, which the unit's PrivateUsers= needs.
mkdir "$r/.oldroot"
cd "$r"
pivot_root . .oldroot
umount -l /.oldroot
exec /lib/systemd/systemd --system --unit=discovery-check.target --log-target=null
EOF
cp "$deb" "$work/pkg.deb"

mkdir "$cg"
(echo $BASHPID >"$cg/cgroup.procs" &&
 exec ip netns exec "$dns" unshare --pid --fork --mount --uts --ipc --cgroup \
   --propagation private bash "$work/boot.sh" "$work") >"$work/boot.log" 2>&1 &
launcher=$!
# Until systemd runs, or the launcher has ended without it.
until_true() {
  local end=$((SECONDS + GUARD))
  until eval "$1"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
# The launcher has become unshare; its child becomes systemd, the container's PID 1.
started() {
  init=$(pgrep -P "$launcher" -x systemd || true)
  [[ -n $init ]] || ! kill -0 "$launcher" 2>/dev/null
}
until_true started || true
[[ -n $init ]] || { cat "$work/boot.log"; echo "FAIL  systemd did not start"; exit 1; }
in_box() { nsenter -t "$init" -m -p -n -r -w "$@"; }
unit=redfish-discovery.service
wait_state() {
  until_true "[[ \$(in_box systemctl show -p ActiveState --value $unit 2>/dev/null) == $1 ]]"
}

# Up once it answers on its private socket.
until_true "in_box systemctl show -p Version --value >/dev/null 2>&1" || true

joined() { ip -n "$dns" maddr show dev "${1:-eth1}" | grep -q 239.255.255.250; }
# The search's first answer read as it comes, however late: the client is ended then.
answered() {
  local found=0
  grep -q -m1 -F "AL:https://$1/redfish/v1" < <(exec ip netns exec "$cns" "$search" \
    --interface "${2:-cp0}" --mx 1 --wait $((GUARD * 1000)) ${3:-}) || found=1
  kill "$!" 2>/dev/null || true
  return $found
}
show() { in_box systemctl show -p "$1" --value $unit; }
status_line() { in_box systemctl status $unit --no-pager -n 0 | grep -o 'Status: ".*"'; }
# The status line comes from the listener's first turns and then at most once a second.
status_shows() {
  until_true "[[ \$(status_line) == *'$1'* ]]"
}

# The installed unit as systemd-analyze scores it: 0 is the best, 10 a unit with no sandbox.
score=$(in_box systemd-analyze security --offline=true /lib/systemd/system/$unit 2>/dev/null |
  sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
check "the unit's exposure level is at most 1.5" "[[ -n \$score ]] && awk -v s=\$score 'BEGIN { exit !(s <= 1.5) }'"
echo "      exposure level ${score:-not found}"

# Type=notify: start returns once the daemon said READY=1, and it answers at once, no waiting.
check "systemctl start returns only once the daemon answers" \
  "in_box systemctl start $unit && joined && answered 198.19.200.1"
pid=$(show MainPID)
user=$(in_box id -u redfish-discovery)
check "the daemon runs as the package's user, which owns the log directory and files" \
  "in_box grep -Eqx 'Uid:(\s+$user){4}' /proc/$pid/status &&
   [[ \$(in_box stat -c %u /opt/oobm/log /opt/oobm/log/discovery.log | sort -u) == $user ]]"
check "no capability, no new privileges, a system call filter" \
  "in_box grep -qx 'CapEff:.0000000000000000' /proc/$pid/status &&
   in_box grep -qx 'CapBnd:.0000000000000000' /proc/$pid/status &&
   in_box grep -qx 'NoNewPrivs:.1' /proc/$pid/status &&
   in_box grep -qx 'Seccomp:.2' /proc/$pid/status"
check "systemctl status shows the status line with the search answered" \
  "status_shows 'eth1 198.19.200.1: answered 1, dropped 0, last search from 198.19.200.2'"
check "the log file is written" "in_box grep -q 'Starting the Storage Server' /opt/oobm/log/discovery.log"

# Frozen: no WATCHDOG=1 any more. Killed once WatchdogSec has passed, TimeoutAbortSec after the
# SIGABRT, then started again RestartSec later: the time it took is shown, the check waits for
# the restart itself.
seconds() { local v; v=$(show "$1"); echo "${v%s}"; }
watchdog=$(seconds WatchdogUSec)
bound=$((watchdog + $(seconds TimeoutAbortUSec) + $(seconds RestartUSec) + GUARD))
frozen_at=$SECONDS
# A daemon that never started has MainPID 0, and "kill -STOP 0" would stop this script.
((pid > 0)) && in_box kill -STOP "$pid"
restarted() {
  while ((SECONDS - frozen_at <= bound)); do
    local now
    now=$(show MainPID)
    [[ $now != 0 && $now != "$pid" && $(show ActiveState) == active ]] && return 0
    sleep 0.1
  done
  return 1
}
check "a daemon frozen with SIGSTOP is restarted by the watchdog" \
  "restarted && joined && answered 198.19.200.1 &&
   in_box grep -q 'Received signal 6 signal name is: Aborted' /opt/oobm/log/discovery.log"
echo "      restarted $((SECONDS - frozen_at)) s after SIGSTOP (WatchdogSec ${watchdog} s)"

in_box sed -i 's/^DISCOVERY_OPTS=.*/DISCOVERY_OPTS="--interface eno1 --ipv6"/' /etc/default/redfish-discovery
in_box systemctl restart $unit
check "options from /etc/default/redfish-discovery take effect at the restart" \
  "joined eno1 && answered 198.19.201.1 cp1 && status_shows 'eno1 198.19.201.1 fd00:201::1:'"
# The IPv6 addresses come from the daemon's netlink socket, which RestrictAddressFamilies allows.
check "with --ipv6 a search over IPv6 gets the interface's IPv6 address" \
  "answered '[fd00:201::1]' cp1 -6"
in_box sed -i 's/^DISCOVERY_OPTS=.*/DISCOVERY_OPTS=""/' /etc/default/redfish-discovery
in_box systemctl restart $unit

in_box systemctl stop $unit
check "stop ends it with status 0" \
  "[[ \$(show Result) == success && \$(show ExecMainStatus) == 0 ]]"
ip -n "$dns" addr del 198.19.200.1/24 dev eth1
check "no address on eth1: the start fails, exit status 1, restart scheduled" \
  "! in_box systemctl start $unit 2>/dev/null && [[ \$(show ExecMainStatus) == 1 && \$(show SubState) == auto-restart ]]"
ip -n "$dns" addr add 198.19.200.1/24 dev eth1
check "address back: the next restart joins the group" "wait_state active && joined"
exit $failed
