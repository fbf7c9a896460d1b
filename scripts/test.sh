#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the
# threaded tests (suites whose names end in "Threads").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh cmake ninja-build g++ googletest curl
jobs=$(nproc)

run_suite() {  # name, ctest args..., -- cmake args...
  local name=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  echo "=== $name build"
  cmake -S . -B "build/$name" -G Ninja -DNB_BUILD_BENCH=OFF "$@" >/dev/null
  ninja -j "$jobs" -C "build/$name" natbridge natbridge_tests
  echo "=== $name tests"
  ctest --test-dir "build/$name" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

run_suite plain -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite asan -- -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite tsan -R 'Threads\.' -- -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=thread
echo "=== all test builds passed"
