#!/usr/bin/env bash
# Builds the framework's examples against an INSTALLED framework and runs
# them against each other: installs build/pkg's library, headers, CMake and
# pkg-config files into a temporary prefix, builds examples/ out of tree with
# find_package(natbridge) (and echoclient once more with pkg-config's flags),
# then runs echoclient against echoserver and curl against webapp, and stops
# both servers with SIGINT, expecting exit status 0. Every wait is bounded;
# the exit status is 0 only when every check passed. Re-runnable; leaves
# nothing behind but build/pkg.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh cmake ninja-build g++ curl dpkg-dev
source packaging/build.sh
nb_build_pkg

tmp=$(mktemp -d /tmp/natbridge-examples.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "=== examples: $*"; exit 1; }

echo "=== examples: install into a temporary prefix, build out of tree"
cmake --install build/pkg --prefix "$tmp/prefix" --component dev >/dev/null
cmake -S examples -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_CXX_FLAGS=-Werror >/dev/null
ninja -C "$tmp/build"
pcdir=$(dirname "$(find "$tmp/prefix" -name natbridge.pc)")
# Built without NDEBUG against the release library: the layouts must not depend on it.
g++ -std=c++17 -Wall -Werror $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags natbridge) \
  examples/echoclient.cpp -o "$tmp/build/echoclient-pkgconfig" $(PKG_CONFIG_PATH=$pcdir pkg-config --libs natbridge)

# start NAME PROGRAM...: starts a server, sets $port from its "port N" line.
start() {
  local name=$1; shift
  "$@" >"$tmp/$name.out" 2>&1 &
  pids+=($!)
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^port //p' "$tmp/$name.out")
    [ -n "$port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$tmp/$name.out"
  fail "$name did not start"
}
# stop NAME: SIGINT, at most 10 s to exit, status 0 expected.
stop() {
  local name=$1 status=0
  kill -INT "$server_pid"
  for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$server_pid" 2>/dev/null && fail "$name did not stop on SIGINT"
  wait "$server_pid" || status=$?
  tail -1 "$tmp/$name.out"
  [ "$status" -eq 0 ] || fail "$name exited with status $status"
}

echo "=== examples: echoclient against echoserver"
start echoserver "$tmp/build/echoserver" 0
timeout 30 "$tmp/build/echoclient" 127.0.0.1 "$port" || fail "echoclient failed"
timeout 30 "$tmp/build/echoclient-pkgconfig" 127.0.0.1 "$port" || fail "echoclient (pkg-config build) failed"
stop echoserver

echo "=== examples: curl against webapp"
start webapp "$tmp/build/webapp" 0
url="http://127.0.0.1:$port"
check() {  # what, expected text, curl args...
  local what=$1 expected=$2; shift 2
  local got
  got=$(curl -sS --max-time 10 "$@") || fail "$what: curl failed"
  grep -qF -- "$expected" <<<"$got" || { echo "$got"; fail "$what: no \"$expected\" in the answer"; }
  echo "$what: ok"
}
check "the page" '<form method="post" action="/greet">' "$url/"
check "the form, posted" 'Hello, Ada &lt;Lovelace&gt; &amp; co!' --data-urlencode 'name=Ada <Lovelace> & co' "$url/greet"
check "the form, as a query" 'Hello, Grace Hopper!' "$url/greet?name=Grace+Hopper"
check "an unknown page" '404' -o /dev/null -w '%{http_code}' "$url/nowhere"
stop webapp
echo "=== examples passed"
