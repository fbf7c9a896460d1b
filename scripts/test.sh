#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build of every test but
# the death tests (a forked child of a threaded process is outside what TSan
# models), and a libFuzzer run (clang, AddressSanitizer) of every fuzz target,
# about two and a half minutes shared among them. Before the fuzz run the
# examples are built against an installed framework and run against each
# other (scripts/examples.sh), and the Debian packages are built, checked,
# installed, run and purged (scripts/packages.sh). Warnings are errors in
# every build. The database tests of every build use one private MariaDB server,
# started here (scripts/testdb.sh) and stopped on any exit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh cmake ninja-build g++ googletest curl python3 clang libclang-rt-14-dev mariadb-server \
  python3-prometheus-client chromium dpkg-dev lintian adduser util-linux libmariadb3
trap 'bash scripts/testdb.sh stop' EXIT
bash scripts/testdb.sh start
source build/testdb/env
jobs=$(nproc)

run_suite() {  # name, ctest args..., -- cmake args...
  local name=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  echo "=== $name build"
  cmake -S . -B "build/$name" -G Ninja -DNB_BUILD_BENCH=OFF -DNB_WERROR=ON "$@" >/dev/null
  ninja -j "$jobs" -C "build/$name" natbridge natbridge_tests
  echo "=== $name tests"
  ctest --test-dir "build/$name" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

run_suite plain -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite asan -- -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=address
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  run_suite tsan -E 'DeathTest\.' -- -DCMAKE_BUILD_TYPE=Debug -DNB_SANITIZE=thread
# The installed framework and the Debian packages (one release build, build/pkg).
bash scripts/examples.sh
bash scripts/packages.sh
echo "=== fuzz build"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNB_FUZZ=ON -DNB_WERROR=ON -DNB_BUILD_TESTS=OFF -DNB_BUILD_BENCH=OFF >/dev/null
# Every fuzz/NAME.cpp is a target fuzz_NAME with its seeds in fuzz/seeds/NAME;
# the stage's time is shared out among them.
fuzz_seconds=150
targets=()
for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
ninja -j "$jobs" -C build/fuzz "${targets[@]/#/fuzz_}"
each=$(( fuzz_seconds / ${#targets[@]} ))
for name in "${targets[@]}"; do
  echo "=== fuzz run: $name ($each s)"
  mkdir -p "build/fuzz/corpus/$name"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  if ! ASAN_OPTIONS=detect_leaks=1 "./build/fuzz/fuzz_$name" -max_total_time="$each" -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="build/fuzz/$name-" "build/fuzz/corpus/$name" "${seeds[@]}" > "build/fuzz/$name.log" 2>&1; then
    tail -60 "build/fuzz/$name.log"
    echo "=== fuzzing $name found a failure: the input is saved under build/fuzz/ ($name-crash-*, -leak-*, -timeout-*)"
    exit 1
  fi
  grep -E 'DONE|^Done' "build/fuzz/$name.log" | tail -1
done
echo "=== all test builds passed"
