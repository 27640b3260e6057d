#!/usr/bin/env bash
# HTTPS download benchmark on loopback: brindle-get against curl, aria2c and lftp pget, all
# fetching 1 GiB of random bytes from the private nginx-tls (scripts/servers, test CA) with 1, 2
# and 4 connections. Every download's sha256 is checked.
# Each round runs every case once with the tools interleaved (in list order, then backwards),
# so a busy spell of the machine does not land on one tool; the table shows the median wall
# time of the rounds, that run's CPU seconds (user + system) and peak memory, and the range of
# the wall times, then checks the targets:
#   4 threads: brindle-get faster than every peer (with any number of connections up to 4);
#   1 thread: brindle-get within 1.1x of curl.
# The load average before and after every round goes into the result file, since the numbers
# mean little on a busy machine. Writes bench/results/tls-<date>.txt (or $BENCH_OUT).
#
# usage: bench/tls_bench.sh [--quick] [--rounds N] [--brindle-get PATH]
#   --quick     64 MiB instead of 1 GiB (a smoke run)
#   --rounds N  rounds per case (4); the median is reported
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (scratch dir for downloads, default /tmp/brindle-tls-bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

mib=1024 rounds=4
brindle=${BRINDLE_GET:-$root/build/src/cli/brindle-get}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) mib=64; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    --brindle-get) brindle=$2; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "tls_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$brindle" ] || { echo "tls_bench.sh: no brindle-get at $brindle (build first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "tls_bench.sh: /usr/bin/time missing (package time)" >&2; exit 2; }
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "tls_bench.sh: --rounds wants a count" >&2; exit 2; }

state=${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}
work=${BENCH_WORK:-/tmp/brindle-tls-bench}
out=${BENCH_OUT:-$here/results/tls-$(date +%Y%m%d-%H%M).txt}
mkdir -p "$work" "$(dirname "$out")"
bash "$root/scripts/servers/start.sh" --only nginx-tls "$state" >/dev/null
. "$root/scripts/servers/ports.env"
ca="$state/nginx-tls/certs/ca.crt"

name=rand-${mib}m.bin
file="$state/data/bench/$name"
mkdir -p "$state/data/bench"
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne $((mib * 1048576)) ]; then
  head -c $((mib * 1048576)) /dev/urandom > "$file.tmp" && mv "$file.tmp" "$file"
  sha256sum "$file" | cut -d' ' -f1 > "$file.sha256"
fi
chmod 644 "$file"
want=$(cat "$file.sha256")
cat "$file" > /dev/null  # served from the page cache from the first run on
url="https://127.0.0.1:$BRINDLE_NGINX_TLS_PORT/bench/$name"

export BRINDLE_CONFIG_DIR="$work/config"  # defaults only: no settings file there
mkdir -p "$BRINDLE_CONFIG_DIR"
runs="$work/runs.txt"  # one line per run: tool, n, wall, user, sys, rss KiB, bytes, status
: > "$runs"

run_tool() {  # TOOL THREADS
  local tool=$1 n=$2 dst="$work/dl.bin" cmd
  rm -f "$dst" "$dst"[0-9]* "$work/dl.bin.aria2"
  case "$tool" in
    brindle-get) cmd=("$brindle" -q -y -n "$n" --cacert "$ca" -o "$dst" "$url") ;;
    curl) cmd=(curl -s -f --cacert "$ca" -o "$dst" "$url") ;;
    aria2c) cmd=(aria2c -q -x "$n" -s "$n" -k 1M --file-allocation=none --allow-overwrite=true
                 --auto-file-renaming=false --ca-certificate="$ca" -d "$work" -o dl.bin "$url") ;;
    lftp) cmd=(lftp -c "set net:connection-limit 0; set ssl:ca-file '$ca';
                        pget -n $n '$url' -o '$dst'") ;;
  esac
  sync  # the previous run's dirty pages are not written back on this run's time
  local status=ok wall user sys rss bytes
  if ! /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1; then
    status=exit-failed
  fi
  read -r wall user sys rss < <(tail -n 1 "$work/time.txt")
  if [ "$status" = ok ] && [ "$(sha256sum "$dst" | cut -d' ' -f1)" != "$want" ]; then
    status=SHA-MISMATCH
  fi
  bytes=$(stat -c %s "$dst" 2>/dev/null || echo 0)
  echo "$tool $n $wall $user $sys $rss $bytes $status" >> "$runs"
  rm -f "$dst" "$dst"[0-9]*
}

tools=(brindle-get curl aria2c lftp)
loads="$work/loads.txt"
echo "start $(cut -d' ' -f1-3 /proc/loadavg)" > "$loads"
for round in $(seq "$rounds"); do
  order=()
  for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || [ "$tool" = brindle-get ] || continue
    if [ $((round % 2)) -eq 1 ]; then order+=("$tool"); else order=("$tool" "${order[@]}"); fi
  done
  for n in 1 2 4; do
    for tool in "${order[@]}"; do
      [ "$tool" = curl ] && [ "$n" -ne 1 ] && continue  # curl uses one connection
      run_tool "$tool" "$n"
      echo "round $round/$rounds: $(tail -n 1 "$runs")" >&2
    done
  done
  echo "round $round $(cut -d' ' -f1-3 /proc/loadavg)" >> "$loads"
done

{
  echo "# TLS benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores," \
       "$(awk '/MemTotal/ {printf "%.0f GiB RAM", $2 / 1048576}' /proc/meminfo)," \
       "kernel $(uname -r); nginx $(nginx -v 2>&1 | sed 's/.*nginx\///') with TLS on 127.0.0.1," \
       "$(openssl version | cut -d' ' -f1-2); $mib MiB of random bytes"
  echo "# machine load (1/5/15-minute load averages) at the start and after each round:" \
       "$(tr '\n' ';' < "$loads")"
  echo "# shared machine: other builds may run meanwhile; nginx's own TLS work shares the cores"
  echo "# $rounds round(s) per case, tools interleaved (odd rounds in list order, even ones" \
       "backwards); wall_s = median, range = fastest-slowest, MB/s = 10^6 bytes per median" \
       "wall second, cpu_s = user + system seconds and rss = peak MiB of the median run"
  printf "%-12s %3s %8s %13s %8s %7s %8s  %s\n" tool n wall_s range MB/s cpu_s rss_MiB check
  awk '
    { key = $1 " " $2
      if (!(key in count)) order[++cases] = key
      i = ++count[key]; wall[key, i] = $3; cpu[key, i] = $4 + $5; rss[key, i] = $6
      bytes[key, i] = $7; if ($8 != "ok") bad[key] = $8 }
    END {
      for (c = 1; c <= cases; c++) {
        key = order[c]; k = count[key]
        for (i = 1; i <= k; i++) idx[i] = i
        for (i = 2; i <= k; i++) for (j = i; j > 1 && wall[key, idx[j]] < wall[key, idx[j-1]]; j--) {
          t = idx[j]; idx[j] = idx[j-1]; idx[j-1] = t }
        m = idx[int((k + 1) / 2)]
        split(key, f, " ")
        w = wall[key, m]
        printf "%-12s %3d %8.2f %6.2f-%-6.2f %8.1f %7.2f %8.1f  %s\n", f[1], f[2], w,
               wall[key, idx[1]], wall[key, idx[k]], (w > 0 ? bytes[key, m] / w / 1e6 : 0),
               cpu[key, m], rss[key, m] / 1024, (key in bad ? bad[key] : "ok")
      }
    }' "$runs" | sort -s -k2,2n > "$work/table.txt"
  cat "$work/table.txt"
  echo "# targets"
  awk '
    { wall[$1 " " $2] = $3; ok[$1 " " $2] = ($8 == "ok") }
    function verdict(met) { return met ? "met" : "NOT met" }
    END {
      key = "brindle-get 4"
      best = ""; bestWall = 0
      for (k in wall) {
        split(k, f, " ")
        if (f[1] == "brindle-get") continue
        if (best == "" || wall[k] < bestWall) { best = k; bestWall = wall[k] }
      }
      if (key in wall && best != "")
        printf "4 threads: brindle-get %.2f s vs fastest peer run (%s) %.2f s (%+.0f%%): %s\n",
               wall[key], best, bestWall, (wall[key] / bestWall - 1) * 100,
               verdict(ok[key] && wall[key] < bestWall)
      if (("brindle-get 1" in wall) && ("curl 1" in wall))
        printf "1 thread: brindle-get %.2f s vs curl %.2f s (%.2fx): %s\n", wall["brindle-get 1"],
               wall["curl 1"], wall["brindle-get 1"] / wall["curl 1"],
               verdict(ok["brindle-get 1"] && wall["brindle-get 1"] <= wall["curl 1"] * 1.1)
    }' "$work/table.txt"
} | tee "$out"
echo "results in $out (every run in $runs)"
