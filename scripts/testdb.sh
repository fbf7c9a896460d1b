#!/usr/bin/env bash
# The private MariaDB server of the database tests: its own data directory,
# loopback port and socket under DIR (default build/testdb), run as root, with
# a test user that has a password. "start" writes DIR/env, the
# variables the tests read, and reuses a server of DIR that still answers;
# "stop" ends the server by its PID and does nothing when none runs. Both can
# be re-run. Usage: scripts/testdb.sh start|stop [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
action=${1:-}
dir=$(realpath -m "${2:-build/testdb}")
user=nbtest password='nb-test-pw' database=nbtest
pidfile=$dir/mariadbd.pid
# A socket path has room for 107 bytes; a deep checkout keeps its socket in /tmp.
sock=$dir/mariadbd.sock
[ ${#sock} -lt 100 ] || sock=/tmp/nbtestdb-$(printf '%s' "$dir" | md5sum | cut -c1-12).sock

running() { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }
answers() { mariadb-admin --no-defaults --socket="$sock" -uroot --connect-timeout=2 ping >/dev/null 2>&1; }

stop() {
  running || { rm -f "$pidfile"; return 0; }
  local pid; pid=$(cat "$pidfile")
  kill "$pid"
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
  rm -f "$pidfile"
  echo "testdb: server $pid stopped"
}

start() {
  mkdir -p "$dir"
  if running && answers && [ -f "$dir/env" ]; then
    echo "testdb: server $(cat "$pidfile") already running"; return 0
  fi
  stop
  if [ ! -d "$dir/data/mysql" ]; then
    rm -rf "$dir/data"
    mariadb-install-db --no-defaults --user=root --datadir="$dir/data" --skip-test-db \
      --auth-root-authentication-method=socket >"$dir/install.log" 2>&1 \
      || { cat "$dir/install.log"; echo "testdb: mariadb-install-db failed"; return 1; }
  fi
  local port
  for _ in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 30000 ))
    # A port somebody listens on answers; take another.
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    : >"$dir/error.log"
    mariadbd --no-defaults --user=root --datadir="$dir/data" --pid-file="$pidfile" \
      --socket="$sock" --port="$port" --bind-address=127.0.0.1 --skip-name-resolve \
      --log-error="$dir/error.log" \
      --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
      --innodb-buffer-pool-size=32M --max-connections=200 </dev/null >/dev/null 2>&1 &
    local pid=$!
    for _ in $(seq 600); do answers && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if answers; then
      echo "$pid" >"$pidfile"
      break
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    grep -q 'Address already in use' "$dir/error.log" || { cat "$dir/error.log"; echo "testdb: mariadbd did not start"; return 1; }
  done
  running || { echo "testdb: no free port"; return 1; }
  mariadb --no-defaults --socket="$sock" -uroot <<SQL
CREATE USER IF NOT EXISTS '$user'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL ON \`$database%\`.* TO '$user'@'127.0.0.1';
SQL
  cat >"$dir/env" <<ENV
export NB_TEST_DB_HOST=127.0.0.1 NB_TEST_DB_PORT=$port NB_TEST_DB_SOCKET=$sock
export NB_TEST_DB_USER=$user NB_TEST_DB_PASSWORD='$password' NB_TEST_DB_NAME=$database
ENV
  echo "testdb: server $(cat "$pidfile") on 127.0.0.1:$port, socket $sock"
}

case $action in
  start) start ;;
  stop) stop ;;
  *) echo "usage: scripts/testdb.sh start|stop [DIR]"; exit 2 ;;
esac
