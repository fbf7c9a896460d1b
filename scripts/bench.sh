#!/usr/bin/env bash
# Builds the release binaries and runs the benchmarks: bench_relay (the daemon
# against direct loopback TCP and against haproxy forwarding the same bytes,
# same clients, same run), bench_messages (the message layer one way between
# two endpoints over loopback, beside raw TCP carrying the same bytes and the
# cipher and CRC work alone) and bench_crypto. Debian's haproxy package is the
# reference forwarder; bench_relay runs without it (its rows then say so).
# bench_web: static files over keep-alive HTTP, measured by wrk, against a
# CWebServer program and against nginx (Debian's nginx-light) in one run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh cmake ninja-build g++ haproxy wrk nginx-light
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNB_BUILD_TESTS=OFF >/dev/null
ninja -j "$(nproc)" -C build/release natbridge bench_relay bench_messages bench_crypto bench_web
echo "=== bench_relay"
./build/release/bench/bench_relay
echo "=== bench_messages"
./build/release/bench/bench_messages
echo "=== bench_crypto"
./build/release/bench/bench_crypto
echo "=== bench_web"
./build/release/bench/bench_web
