#!/usr/bin/env bash
# Set-up, build and every suite: a normal build (-Werror), then the same suites
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the threaded suites
# under ThreadSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
bash scripts/setup
jobs=$(nproc)
status=0

echo "== normal build"
./build.sh build
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600) || status=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
./build.sh build-asan -DUPDATER_SANITIZE=ON -DUPDATER_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs" --timeout 900) || status=1

if grep -rqs 'LABELS.*threaded' tests --include=CMakeLists.txt; then
  echo "== ThreadSanitizer build (threaded suites)"
  ./build.sh build-tsan -DUPDATER_TSAN=ON -DUPDATER_BENCH=OFF
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --output-on-failure -j"$jobs" -L threaded --timeout 900) || status=1
fi
exit $status
