#!/usr/bin/env bash
# Fuzzes the parsers: builds the libFuzzer targets with clang in build-fuzz (a standalone
# configure of tests/fuzz), replays the saved inputs once under the sanitizers, then runs each
# target for the given number of seconds starting from a copy of its seed corpus and its
# regression inputs (the checked-in files are never written). Fails when a target crashes or
# breaks an invariant, and prints the path of the input that did it.
# Usage: fuzz.sh [seconds-per-target (30)] [target...]   targets: url ftp_reply ftp_values
# http_header ini (all by default). New inputs found land in build-fuzz/run/<target>/corpus; to
# keep the useful ones: build-fuzz/fuzz_<target> -merge=1 tests/fuzz/corpus/<target> <that dir>
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(url ftp_reply ftp_values http_header ini)
case "$seconds" in '' | *[!0-9]*) echo "fuzz.sh: seconds must be a number" >&2; exit 2 ;; esac

build=$root/build-fuzz
# The directory may hold a configure of the whole tree; this one is of tests/fuzz alone.
if [ -f "$build/CMakeCache.txt" ] &&
  ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root/tests/fuzz" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
mkdir -p "$build"
log=$build/build.log
CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" -DBRINDLE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build "$build" -j2 >>"$log" 2>&1 || { tail -n 60 "$log"; exit 1; }
echo "fuzz.sh: build done (log in build-fuzz/build.log)"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
ctest --test-dir "$build" -L fuzz --output-on-failure >"$build/replay.log" 2>&1 || {
  failed=1
  cat "$build/replay.log"
  echo "fuzz.sh: a saved input (corpus or regression) fails; fuzzing the targets anyway"
}

run=$build/run
rm -rf "$run"
mkdir -p "$run"
# The INI target writes its file on every input: keep that in memory when possible.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/brindle-fuzz.XXXXXX)
else
  scratch=$(mktemp -d "$run/tmp.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT

for t in "${targets[@]}"; do
  binary=$build/fuzz_$t
  [ -x "$binary" ] || { echo "fuzz.sh: no target '$t'" >&2; exit 2; }
  dir=$run/$t
  mkdir -p "$dir/corpus"
  cp tests/fuzz/corpus/"$t"/* "$dir/corpus/"
  if [ -d tests/fuzz/regressions/"$t" ]; then
    cp tests/fuzz/regressions/"$t"/* "$dir/corpus/" 2>/dev/null || true
  fi
  set +e
  TMPDIR=$scratch "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir.log" 2>&1
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    failed=1
    tail -n 40 "$dir.log"
    found=0
    for input in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$dir"/slow-unit-*; do
      [ -e "$input" ] || continue
      echo "fuzz.sh: $t FAILED on input $input"
      found=1
    done
    [ $found -eq 1 ] || echo "fuzz.sh: $t FAILED (exit $rc) without saving an input; see $dir.log"
  else
    runs=$(grep -o 'Done [0-9]* runs' "$dir.log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$dir.log" | tail -n 1)
    inputs=$(find "$dir/corpus" -type f | wc -l)
    echo "fuzz.sh: $t passed: $runs in ${seconds}s, $cov, corpus $inputs inputs"
  fi
done
exit $failed
