#!/usr/bin/env bash
# The window against brindle-get on loopback: the same file from the private nginx
# (scripts/servers), the same thread count and default settings, run alternately (brindle-get,
# then the window, unless --window-first) RUNS times. The window is the real FtpForm driven by
# bench/gui/GuiBench.cpp on a private Xvfb display (or Qt's offscreen platform with
# --offscreen): its time runs from the click on "Go" to the verdict on the job bar;
# brindle-get's is its process wall time.
# Targets are deleted between runs and every result's sha256 is checked. Prints each run, the
# medians and the ratio window/brindle-get, and writes bench/results/gui-<date>.txt (or
# $BENCH_OUT). Not part of ctest. Before each run it waits (20 minutes at most in all) while
# http_bench.sh or any brindle-get runs, so two benchmarks never share the two cores.
#
# usage: bench/gui_bench.sh [--mib N] [--threads N] [--runs N] [--build DIR] [--offscreen]
#                           [--window-first]
#   --mib N      file size in MiB (1024); a smaller one is a smoke run
#   --threads N  threads for both (4)
#   --runs N     runs of each (3)
#   --build DIR  build dir for brindle-get and brindle-gui-bench (build-guibench): configured
#                from bench/gui when new, and both targets rebuilt (-j2) before the runs
#   --window-first  each pair starts with the window (checks that the order does not matter)
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (scratch dir for downloads, default /tmp/brindle-guibench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

mib=1024 threads=4 runs=3 build=$root/build-guibench platform=xcb limit=1.15 order="cli gui"
while [ $# -gt 0 ]; do
  case "$1" in
    --mib) mib=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --offscreen) platform=offscreen; shift ;;
    --window-first) order="gui cli"; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "gui_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x /usr/bin/time ] || { echo "gui_bench.sh: /usr/bin/time missing (package time)" >&2; exit 2; }

# Both front ends are (re)built here, from the same sources, so they link the same engine.
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "gui_bench.sh: configuring $build from bench/gui (log: $build.log)" >&2
  cmake -S "$here/gui" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.log" 2>&1 ||
    { tail -n 40 "$build.log"; exit 1; }
fi
cmake --build "$build" -j2 --target brindle-get brindle-gui-bench >"$build.build.log" 2>&1 ||
  { tail -n 40 "$build.build.log"; exit 1; }
driver=
for d in "$build/brindle-gui-bench" "$build/bench/gui/brindle-gui-bench"; do
  [ -x "$d" ] && driver=$d && break
done
[ -n "$driver" ] || { echo "gui_bench.sh: no brindle-gui-bench in $build" >&2; exit 2; }
brindle=$build/src/cli/brindle-get
[ -x "$brindle" ] || { echo "gui_bench.sh: no brindle-get at $brindle" >&2; exit 2; }

state=${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}
work=${BENCH_WORK:-/tmp/brindle-guibench}
out=${BENCH_OUT:-$here/results/gui-$(date +%Y%m%d-%H%M).txt}
mkdir -p "$work" "$(dirname "$out")"
bash "$root/scripts/servers/start.sh" --only nginx "$state" >"$work/servers.log" 2>&1 ||
  { cat "$work/servers.log"; exit 1; }
. "$root/scripts/servers/ports.env"
. "$here/lib.sh"

# The bench file: random bytes, made once under the served data dir (as http_bench.sh does).
mkdir -p "$state/data/bench"
name=rand-${mib}m.bin file=$state/data/bench/rand-${mib}m.bin
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne $((mib * 1048576)) ] ||
   [ ! -s "$file.sha256" ]; then
  head -c $((mib * 1048576)) /dev/urandom > "$file.tmp" && mv "$file.tmp" "$file"
  sha256sum "$file" | cut -d' ' -f1 > "$file.sha256"
fi
chmod 644 "$file"
want=$(cat "$file.sha256")
url="http://127.0.0.1:$BRINDLE_NGINX_PORT/bench/$name"

# One settings dir for both, with no settings file to begin with: defaults for both (the
# window saves them on close, brindle-get then reads the same values).
export BRINDLE_CONFIG_DIR="$work/config"
rm -rf "$BRINDLE_CONFIG_DIR" && mkdir -p "$BRINDLE_CONFIG_DIR"

xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -f "$work"/dl.bin*
}
trap cleanup EXIT
if [ "$platform" = xcb ]; then
  . "$root/scripts/lib/xvfb.sh"
  start_xvfb 130 160 "$work/xvfb.log" || { echo "gui_bench.sh: no X display" >&2; exit 1; }
fi
export QT_QPA_PLATFORM=$platform

# CPU seconds (user + system) the X server has used so far; 0 without one.
xvfb_cpu() {
  [ -n "$xvfb_pid" ] || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($14 + $15) / hz }' "/proc/$xvfb_pid/stat"
}

# Waits while the brindle-get benchmark (or any other brindle-get download) runs: a 1 GiB run
# must not share the two cores with another one. At most 20 minutes over the whole script.
waited=0
wait_for_quiet() {
  while pgrep -f http_bench.sh >/dev/null || pgrep -x brindle-get >/dev/null; do
    if [ "$waited" -ge 1200 ]; then
      echo "gui_bench.sh: another benchmark still runs after 20 minutes; giving up" >&2
      exit 1
    fi
    echo "# waiting for $(pgrep -af 'http_bench.sh|brindle-get' | head -n 1 | cut -c1-80)" >&2
    sleep 10
    waited=$((waited + 10))
  done
}

dst=$work/dl.bin
clean_targets() { rm -f "$dst" "$dst"[0-9]*; }
# Each run starts with no target, no parts, no dirty pages of the previous run, and nginx up
# (other developers' test runs stop the servers they started).
prepare() {
  clean_targets
  sync
  sleep 1
  wait_for_quiet
  bash "$root/scripts/servers/start.sh" --only nginx "$state" >"$work/servers.log" 2>&1 ||
    { cat "$work/servers.log"; exit 1; }
  # Both front ends start on the same warmed memory (see bench_warm_memory in lib.sh).
  bench_warm_memory "$work" $((mib * 5 / 2 < 2560 ? mib * 5 / 2 : 2560))
  load=$(cut -d' ' -f1 /proc/loadavg)
}

check() {  # prints ok or what is wrong with the result
  if [ ! -f "$dst" ]; then echo "NO-FILE"; return; fi
  if [ "$(sha256sum "$dst" | cut -d' ' -f1)" != "$want" ]; then echo "SHA-MISMATCH"; return; fi
  if compgen -G "$dst[0-9]*" >/dev/null; then echo "PARTS-LEFT"; return; fi
  echo ok
}

rows=() cli_times=() gui_times=() failed=0
row() {  # TOOL RUN WALL CPU EXTRA STATUS
  local r
  r=$(printf "%-12s %-4s %8.2f %7.2f %5s  %-42s %s" "$1" "$2" "$3" "$4" "$load" "$5" "$6")
  rows+=("$r")
  echo "$r" >&2
}

# run_cli RUN / run_gui RUN: one measured run; true when it succeeded and the bytes are right.
run_cli() {
  prepare
  local status=ok wall user sys rss
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" \
    "$brindle" -q -y -n "$threads" -o "$dst" "$url" >"$work/cli.log" 2>&1 ||
    status="exit-failed($(tail -n 1 "$work/cli.log"))"
  read -r wall user sys rss < <(tail -n 1 "$work/time.txt")
  [ "$status" = ok ] && status=$(check)
  [ "$status" = ok ] && cli_times+=("$wall")
  row brindle-get "$1" "$wall" "$(echo "$user + $sys" | bc)" "rss=$((rss / 1024))MiB" "$status"
  [ "$status" = ok ]
}

run_gui() {
  prepare
  local status=ok x0 x1 wall proc user sys rss jobv paints ui
  x0=$(xvfb_cpu)
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" \
    timeout 1000 "$driver" "$url" "$dst" "$threads" 900 >"$work/gui.log" 2>"$work/gui.err" ||
    status="exit-failed($(sed -n 's/^verdict=//p' "$work/gui.log"))"
  x1=$(xvfb_cpu)
  read -r proc user sys rss < <(tail -n 1 "$work/time.txt")
  wall=$(sed -n 's/^gui_seconds=//p' "$work/gui.log")
  jobv=$(sed -n 's/^job_verdict_ms=//p' "$work/gui.log")
  paints=$(sed -n 's/^bar_paints=//p' "$work/gui.log")
  ui=$(sed -n 's/^ui_thread_cpu=//p' "$work/gui.log")
  [ -n "$wall" ] || wall=0
  [ "$status" = ok ] && status=$(check)
  [ "$status" = ok ] && gui_times+=("$wall")
  [ "$status" = ok ] || grep -m 3 -i -E "fail|error|refused" "$work/gui.err" >&2 || true
  row window "$1" "$wall" "$(echo "$user + $sys" | bc)" \
    "job=${jobv}ms ui=${ui}s X=$(echo "$x1 - $x0" | bc)s paints=$paints" "$status"
  [ "$status" = ok ]
}

# The median of the arguments, or nan for none.
median() {
  [ $# -gt 0 ] || { echo nan; return; }
  printf "%s\n" "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A failed run is shown and run once more (a test suite may have stopped nginx meanwhile);
# a second failure fails the benchmark.
echo "# $mib MiB, $threads threads, $runs runs each, platform $platform: $url" >&2
for i in $(seq "$runs"); do
  for front in $order; do
    "run_$front" "$i" || "run_$front" "${i}r" || failed=1
  done
done

cli_median=$(median "${cli_times[@]}")
gui_median=$(median "${gui_times[@]}")
fastest() { [ $# -gt 0 ] && printf "%s\n" "$@" | sort -g | head -n 1 || echo nan; }
cli_fastest=$(fastest "${cli_times[@]}")
gui_fastest=$(fastest "${gui_times[@]}")
ratio=$(awk -v g="$gui_median" -v c="$cli_median" 'BEGIN {
  if (g == "nan" || c == "nan" || c <= 0) print "nan"; else printf "%.3f\n", g / c }')
verdict=$(awk -v r="$ratio" -v l="$limit" 'BEGIN {
  if (r == "nan") print "NO RESULT"; else if (r <= l) print "PASS"; else print "FAIL" }')
{
  echo "# The window against brindle-get, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores," \
       "nginx on 127.0.0.1"
  echo "# sources: $(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown)," \
       "both front ends built together in $build"
  echo "# $("$brindle" --version | head -n 1); $mib MiB file, $threads threads, default settings" \
       "(bufsize 4096); runs alternate, $([ "$order" = "cli gui" ] && echo brindle-get ||
       echo the window) first"
  echo "# window: FtpForm in brindle-gui-bench on the Qt platform" \
       "'$platform'$([ "$platform" = xcb ] && echo " (Xvfb)"); wall = click on Go to verdict" \
       "on the job bar; job = verdict given by" \
       "the job (ms); ui = UI thread CPU seconds, click to verdict; X = X server CPU seconds"
  echo "# brindle-get: wall = process wall time (-q -y); cpu = user + system seconds of the" \
       "process; load = 1-minute load average before the run; run 2r = run 2 again after a failure"
  printf "%-12s %-4s %8s %7s %5s  %-42s %s\n" tool run wall_s cpu_s load extra check
  printf "%s\n" "${rows[@]}"
  echo "median brindle-get ${cli_median} s, window ${gui_median} s, ratio ${ratio}" \
       "(limit ${limit}): ${verdict}"
  echo "fastest brindle-get ${cli_fastest} s, window ${gui_fastest} s"
} | tee "$out"
echo "results in $out" >&2
[ "$failed" -eq 0 ] && [ "$verdict" != "NO RESULT" ]
