#!/usr/bin/env bash
# Builds the Debian packages natbridge and libnatbridge-dev (CPack, from
# build/pkg), checks them with lintian (its warnings are listed, an error
# fails) and the unit with systemd-analyze, installs natbridge with dpkg -i
# and starts the installed daemon as its unit does, without systemd: the
# unit's user, working directory, open-files limit and umask, no new
# privileges, the packaged configuration through the link in the working
# directory (its port set to 0, so the system picks a free one). It checks
# the relay with natbridge-probe, stops it with SIGINT expecting exit status
# 0, then installs libnatbridge-dev and builds the examples against /usr,
# and purges both packages, checking that nothing of them is left. Every
# wait is bounded. Refuses to run when either package is already known to
# dpkg (it would purge an operator's installation); on any failure the
# packages are purged all the same, so it can be run again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh cmake ninja-build g++ dpkg-dev lintian adduser util-linux libmariadb3
for pkg in natbridge libnatbridge-dev; do
  if dpkg-query -W "$pkg" >/dev/null 2>&1; then
    echo "=== packages: $pkg is already known to dpkg; purge it first (dpkg --purge $pkg)"
    exit 1
  fi
done
source packaging/build.sh
nb_build_pkg

tmp=$(mktemp -d /tmp/natbridge-packages.XXXXXX)
daemon_pid=""
server_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  for pkg in libnatbridge-dev natbridge; do
    dpkg-query -W "$pkg" >/dev/null 2>&1 && dpkg --purge "$pkg" >/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "=== packages: $*"; exit 1; }

echo "=== packages: cpack"
rm -f build/pkg/*.deb
(cd build/pkg && cpack -G DEB >"$tmp/cpack.log") || { cat "$tmp/cpack.log"; fail "cpack failed"; }
daemon_deb=$(ls build/pkg/natbridge_*.deb)
dev_deb=$(ls build/pkg/libnatbridge-dev_*.deb)
contains() {  # deb, path...
  local deb=$1 list; shift
  list=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do grep -qxF ".$path" <<<"$list" || fail "$(basename "$deb") lacks $path"; done
}
contains "$daemon_deb" /usr/sbin/natbridge /usr/bin/natbridge-probe /lib/systemd/system/natbridge.service \
  /etc/natbridge/natbridged.ini
dpkg-deb -f "$daemon_deb" Depends | grep -q adduser || fail "natbridge does not depend on adduser"
contains "$dev_deb" /usr/include/natbridge/common/src/datatypes/string.h /usr/include/natbridge/common/src/cbase.h \
  /usr/lib/x86_64-linux-gnu/libnatbridge.a /usr/lib/x86_64-linux-gnu/cmake/natbridge/natbridgeConfig.cmake \
  /usr/lib/x86_64-linux-gnu/cmake/natbridge/natbridgeConfigVersion.cmake \
  /usr/lib/x86_64-linux-gnu/pkgconfig/natbridge.pc
ls -l "$daemon_deb" "$dev_deb" | awk '{print $5, $9}'

echo "=== packages: lintian"
lintian_status=0
lintian --fail-on error "$daemon_deb" "$dev_deb" >"$tmp/lintian.txt" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$tmp/lintian.txt" || true
echo "lintian: $(grep -c '^E:' "$tmp/lintian.txt" || true) errors, $(grep -c '^W:' "$tmp/lintian.txt" || true) warnings"
[ "$lintian_status" -eq 0 ] || fail "lintian found errors"

echo "=== packages: install natbridge"
dpkg -i "$daemon_deb" >/dev/null
unit=/lib/systemd/system/natbridge.service
conf=/etc/natbridge/natbridged.ini
getent passwd natbridge >/dev/null || fail "no system user natbridge"
dpkg-query -W -f='${Conffiles}\n' natbridge | grep -q "$conf" || fail "$conf is not a conffile"
[ "$(readlink /var/lib/natbridge/natbridged.ini)" = "$conf" ] || fail "the working directory does not link $conf"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" || fail "systemd-analyze verify rejects the unit"
  echo "systemd-analyze verify: ok"
  systemd-analyze security --offline=true "$unit" 2>/dev/null | tail -1 || true
else
  echo "systemd-analyze not installed: the unit is not verified"
fi

# The unit's own settings, so the start below follows the installed unit.
setting() { sed -n "s/^$1=//p" "$unit" | tail -1; }
user=$(setting User); group=$(setting Group); workdir=$(setting WorkingDirectory)
exec_start=$(setting ExecStart); nofile=$(setting LimitNOFILE); umask_value=$(setting UMask)
[ "$(setting KillSignal)" = SIGINT ] || fail "the unit does not stop the daemon with SIGINT"
[ "$(stat -c %U "$workdir")" = "$user" ] || fail "$workdir is not owned by $user"

echo "=== packages: the installed daemon as $user in $workdir"
# A machine (a container without CAP_SYS_RESOURCE) may cap the hard limit
# below the unit's; systemd could not do more there either.
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt "$nofile" ]; then
  echo "open-files limit: the unit's $nofile is above this machine's hard limit $hard; using $hard"
  nofile=$hard
fi
sed -i 's/^\( *Port *=\).*/\1 0/' "$conf"
(
  cd "$workdir"
  umask "$umask_value"
  exec prlimit --nofile="$nofile:$nofile" -- setpriv --reuid="$user" --regid="$group" --init-groups \
    --no-new-privs -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$exec_start"
) >"$tmp/daemon.out" 2>&1 &
daemon_pid=$!
log="$workdir/logs/natbridge(0).txt"
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*Proxy Server Port= \([0-9]*\).*/\1/p' "$log" 2>/dev/null | tail -1 || true)
  [ -n "$port" ] && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$tmp/daemon.out"; fail "the daemon did not start"; }
[ "$(ps -o user= -p "$daemon_pid")" = "$user" ] || fail "the daemon does not run as $user"
[ "$(stat -c %U "$log")" = "$user" ] || fail "the log is not written by $user"
probe=$(timeout 30 /usr/bin/natbridge-probe 127.0.0.1 "$port") || { echo "$probe"; fail "natbridge-probe failed"; }
echo "$probe"
[[ "$probe" == *" OK" ]] || fail "natbridge-probe did not print OK"
kill -INT "$daemon_pid"
for _ in $(seq 150); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$daemon_pid" 2>/dev/null && fail "the daemon did not stop on SIGINT"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
[ "$status" -eq 0 ] || { cat "$tmp/daemon.out"; fail "the daemon exited with status $status"; }
grep -q "Server shutdown." "$log" || fail "no \"Server shutdown.\" in the log"
echo "the daemon stopped on SIGINT with status 0"

echo "=== packages: install libnatbridge-dev, build the examples against /usr"
dpkg -i "$dev_deb" >/dev/null
cmake -S examples -B "$tmp/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
ninja -C "$tmp/examples" >/dev/null
"$tmp/examples/echoserver" 0 >"$tmp/echoserver.out" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^port //p' "$tmp/echoserver.out" || true); [ -n "$port" ] && break; sleep 0.1
done
[ -n "$port" ] || fail "echoserver (built against /usr) did not start"
timeout 30 "$tmp/examples/echoclient" 127.0.0.1 "$port" | tail -1 || fail "echoclient (built against /usr) failed"
kill -INT "$server_pid"
wait "$server_pid" || fail "echoserver did not exit with status 0"
server_pid=""

echo "=== packages: purge"
dpkg --purge libnatbridge-dev natbridge >/dev/null
left=()
for path in /usr/sbin/natbridge /usr/bin/natbridge-probe "$unit" /etc/natbridge /var/lib/natbridge \
    /usr/include/natbridge /usr/lib/x86_64-linux-gnu/libnatbridge.a /usr/lib/x86_64-linux-gnu/cmake/natbridge; do
  [ -e "$path" ] || [ -L "$path" ] && left+=("$path")
done
while IFS= read -r path; do left+=("$path"); done < <(find /etc/systemd /var/lib/systemd -name 'natbridge*' 2>/dev/null)
getent passwd natbridge >/dev/null && left+=("user natbridge")
getent group natbridge >/dev/null && left+=("group natbridge")
[ ${#left[@]} -eq 0 ] || fail "left after the purge: ${left[*]}"
echo "=== packages passed"
