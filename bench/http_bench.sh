#!/usr/bin/env bash
# HTTP download benchmark on loopback: brindle-get against curl, aria2c, axel and lftp pget, all
# fetching from the private nginx (scripts/servers). Every download's sha256 is checked.
#   1 GiB unthrottled with 1, 4 and 8 connections;
#   40 MiB from nginx's /slow/ location (limit_rate per connection) with 1, 4 and 8.
# Each round runs every tool once per case, tools interleaved (in list order, then backwards),
# so a slow spell of the machine does not land on one tool; the table shows the median wall
# time of the rounds (and that run's CPU and peak memory), the range of the wall times, and
# then checks the targets:
#   unthrottled, 4 threads: brindle-get faster than every multi-connection peer, under 32 MiB;
#   throttled, 4 and 8 threads: brindle-get within 5% of aria2c with as many connections.
# Writes everything to bench/results/http-<date>.txt (or $BENCH_OUT). Not part of ctest.
#
# usage: bench/http_bench.sh [--quick] [--rounds N] [--brindle-get PATH]
#   --quick     64 MiB instead of 1 GiB, and 8 MiB on the slow location (a smoke run)
#   --rounds N  rounds per case (3); the median is reported
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (scratch dir for downloads, default /tmp/brindle-bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

big_mib=1024 slow_mib=40 rounds=3
brindle=${BRINDLE_GET:-$root/build/src/cli/brindle-get}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) big_mib=64; slow_mib=8; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    --brindle-get) brindle=$2; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "http_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$brindle" ] || { echo "http_bench.sh: no brindle-get at $brindle (build first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "http_bench.sh: /usr/bin/time missing (package time)" >&2; exit 2; }
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "http_bench.sh: --rounds wants a count" >&2; exit 2; }

state=${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}
work=${BENCH_WORK:-/tmp/brindle-bench}
out=${BENCH_OUT:-$here/results/http-$(date +%Y%m%d-%H%M).txt}
mkdir -p "$work" "$(dirname "$out")"
bash "$root/scripts/servers/start.sh" --only nginx "$state" >/dev/null
. "$root/scripts/servers/ports.env"

# Bench files: random bytes, made once, under the served data dir.
mkdir -p "$state/data/bench"
make_file() {  # NAME MIB
  local f="$state/data/bench/$1"
  if [ ! -f "$f" ] || [ "$(stat -c %s "$f")" -ne $(($2 * 1048576)) ]; then
    head -c $(($2 * 1048576)) /dev/urandom > "$f.tmp" && mv "$f.tmp" "$f"
    sha256sum "$f" | cut -d' ' -f1 > "$f.sha256"
  fi
  chmod 644 "$f"
}
big=rand-${big_mib}m.bin slow=rand-${slow_mib}m.bin
make_file "$big" "$big_mib"
make_file "$slow" "$slow_mib"
cat "$state/data/bench/$big" > /dev/null  # served from the page cache from the first run on

base="http://127.0.0.1:$BRINDLE_NGINX_PORT"
export BRINDLE_CONFIG_DIR="$work/config"  # defaults only: no settings file there
mkdir -p "$BRINDLE_CONFIG_DIR"
runs="$work/runs.txt"  # one line per run: case key, wall, cpu, rss KiB, status
: > "$runs"

# run_tool TOOL THREADS URL: one timed download, appended to $runs.
run_tool() {
  local tool=$1 n=$2 url=$3 dst="$work/dl.bin" cmd
  rm -f "$dst" "$dst".* "$dst"[0-9]* "$work/dl.bin.aria2"
  case "$tool" in
    brindle-get) cmd=("$brindle" -q -y -n "$n" -o "$dst" "$url") ;;
    brindle-get/16k) cmd=("$brindle" -q -y -n "$n" --buffer-size 16384 -o "$dst" "$url") ;;
    curl) cmd=(curl -s -f -o "$dst" "$url") ;;
    aria2c) cmd=(aria2c -q -x "$n" -s "$n" -k 1M --file-allocation=none --allow-overwrite=true
                 --auto-file-renaming=false -d "$work" -o dl.bin "$url") ;;
    axel) cmd=(axel -q -n "$n" -o "$dst" "$url") ;;
    lftp) cmd=(lftp -c "set net:connection-limit 0; pget -n $n '$url' -o '$dst'") ;;
  esac
  sync  # the previous run's dirty pages are not written back on this run's time
  local status=ok
  if ! /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1; then
    status="exit-failed"
  fi
  local wall user sys rss
  read -r wall user sys rss < <(tail -n 1 "$work/time.txt")
  if [ "$status" = ok ]; then
    local want name=${url##*/}
    want=$(cat "$state/data/bench/$name.sha256")
    [ "$(sha256sum "$dst" | cut -d' ' -f1)" = "$want" ] || status="SHA-MISMATCH"
  fi
  local bytes
  bytes=$(stat -c %s "$dst" 2>/dev/null || echo 0)
  echo "$tool ${url#$base} $n $wall $user $sys $rss $bytes $status" >> "$runs"
  rm -f "$dst" "$dst"[0-9]*
}

tools=(brindle-get brindle-get/16k curl aria2c axel lftp)
for tool in "${tools[@]}"; do
  command -v "${tool%%/*}" >/dev/null 2>&1 || [ "${tool%%/*}" = brindle-get ] ||
    echo "# $tool not installed" >> "$work/missing.txt"
done
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for url in "$base/bench/$big" "$base/slow/bench/$slow"; do
  for round in $(seq "$rounds"); do
    # Odd rounds run the tools in list order, even rounds backwards, so no tool always runs
    # right after the same one: on a VM whose host backs guest memory lazily, a run that needs
    # more page cache than the previous run freed pays for the rest, and that would always
    # land on whoever follows a light tool.
    order=()
    for tool in "${tools[@]}"; do
      if [ $((round % 2)) -eq 1 ]; then order+=("$tool"); else order=("$tool" "${order[@]}"); fi
    done
    for n in 1 4 8; do
      for tool in "${order[@]}"; do
        [ "$tool" = curl ] && [ "$n" -ne 1 ] && continue  # curl uses one connection
        command -v "${tool%%/*}" >/dev/null 2>&1 || [ "${tool%%/*}" = brindle-get ] || continue
        run_tool "$tool" "$n" "$url"
        echo "round $round/$rounds: $(tail -n 1 "$runs")" >&2
      done
    done
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

{
  echo "# HTTP benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores," \
       "$(awk '/MemTotal/ {printf "%.0f GiB RAM", $2 / 1048576}' /proc/meminfo)," \
       "kernel $(uname -r), nginx on 127.0.0.1; load average $load_before before, $load_after after"
  echo "# $("$brindle" --version 2>/dev/null | head -n 1); slow location limit_rate" \
       "$BRINDLE_SLOW_RATE B/s per connection; brindle-get with default settings (bufsize 4096)," \
       "brindle-get/16k with --buffer-size 16384"
  echo "# $rounds round(s) per case; wall_s = median of the rounds, range = fastest-slowest;" \
       "MB/s = 10^6 bytes per median wall second; CPU = user + system seconds and RSS = peak" \
       "MiB, both of the median run"
  [ -f "$work/missing.txt" ] && cat "$work/missing.txt" && rm -f "$work/missing.txt"
  printf "%-16s %-24s %3s %8s %13s %8s %7s %8s  %s\n" \
         tool file n wall_s range MB/s cpu_s rss_MiB check
  # Median per case (tool, file, n), in the order the cases first ran.
  awk '
    { key = $1 " " $2 " " $3
      if (!(key in count)) order[++cases] = key
      i = ++count[key]; wall[key, i] = $4; cpu[key, i] = $5 + $6; rss[key, i] = $7
      bytes[key, i] = $8; if ($9 != "ok") bad[key] = $9 }
    END {
      for (c = 1; c <= cases; c++) {
        key = order[c]; k = count[key]
        # sort the runs of this case by wall time (insertion sort: a handful of runs)
        for (i = 1; i <= k; i++) idx[i] = i
        for (i = 2; i <= k; i++) for (j = i; j > 1 && wall[key, idx[j]] < wall[key, idx[j-1]]; j--) {
          t = idx[j]; idx[j] = idx[j-1]; idx[j-1] = t }
        m = idx[int((k + 1) / 2)]
        split(key, f, " ")
        w = wall[key, m]
        printf "%-16s %-24s %3d %8.2f %6.2f-%-6.2f %8.1f %7.2f %8.1f  %s\n", f[1], f[2], f[3], w,
               wall[key, idx[1]], wall[key, idx[k]], (w > 0 ? bytes[key, m] / w / 1e6 : 0),
               cpu[key, m], rss[key, m] / 1024, (key in bad ? bad[key] : "ok")
      }
    }' "$runs" > "$work/table.txt"
  cat "$work/table.txt"
  echo "# targets"
  awk -v big="/bench/$big" -v slow="/slow/bench/$slow" '
    { wall[$1 " " $2 " " $3] = $4; rss[$1 " " $2 " " $3] = $8; ok[$1 " " $2 " " $3] = ($9 == "ok") }
    function verdict(met) { return met ? "met" : "NOT met" }
    END {
      for (v = 1; v <= 2; v++) {
        tool = v == 1 ? "brindle-get" : "brindle-get/16k"
        key = tool " " big " 4"
        if (!(key in wall)) continue
        best = ""; bestWall = 0
        for (k in wall) {
          split(k, f, " ")
          if (f[2] != big || f[3] != 4 || f[1] ~ /^brindle-get/) continue
          if (best == "" || wall[k] < bestWall) { best = f[1]; bestWall = wall[k] }
        }
        printf "unthrottled, 4 threads, %s: %.2f s vs fastest peer %s %.2f s (%+.0f%%), peak %.1f MiB: %s\n",
               tool, wall[key], best, bestWall, (wall[key] / bestWall - 1) * 100, rss[key],
               verdict(ok[key] && wall[key] < bestWall && rss[key] < 32)
      }
      for (n = 4; n <= 8; n += 4) {
        key = "brindle-get " slow " " n; peer = "aria2c " slow " " n
        if (!(key in wall) || !(peer in wall)) continue
        printf "throttled, %d threads: brindle-get %.2f s vs aria2c %.2f s (%+.1f%%): %s\n", n,
               wall[key], wall[peer], (wall[key] / wall[peer] - 1) * 100,
               verdict(ok[key] && wall[key] <= wall[peer] * 1.05)
      }
    }' "$work/table.txt"
} | tee "$out"
echo "results in $out (every run in $runs)"
