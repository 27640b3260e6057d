#!/usr/bin/env bash
# Builds the core and its tests under ASan+UBSan and under TSan and runs the unit and
# protocol tests (no real servers, no GUI); any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for kind in address thread; do
  dir=build-san-$kind
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DBRINDLE_SANITIZE=$kind -DBRINDLE_GUI=OFF \
    >"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
  cmake --build "$dir" -j2 >>"$dir.log" 2>&1 || { tail -n 80 "$dir.log"; exit 1; }
  echo "sanitize.sh: $kind build done"
  ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600 -L 'net|settings|engine|job|cli'
done
