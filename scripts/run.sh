#!/usr/bin/env bash
# Builds the daemon (release) and starts it in its own working directory,
# run/ at the top of the checkout, with the sample natbridged.ini copied there
# on the first start. Ctrl-C (SIGINT) stops it in order.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh cmake ninja-build g++
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNB_BUILD_TESTS=OFF
ninja -j "$(nproc)" -C build/release natbridge natbridge-probe
mkdir -p run
[ -f run/natbridged.ini ] || cp etc/natbridged.ini run/natbridged.ini
cd run
exec "$root/build/release/natbridge"
