#!/usr/bin/env bash
# Speed against one peer per case, on loopback with the private servers (scripts/servers):
#   http1    HTTP, 1 thread, nginx, 1 GiB                 vs lftp get          target <= 1.0
#   http4    HTTP, 4 threads, nginx, 1 GiB                vs lftp pget -n 4    target <= 0.45
#   floor    HTTP, 4 threads, 1 GiB                       vs cp of the source  target <= 2.5
#            (the source sits in the page cache: the cost of writing the bytes once)
#   ftp4     FTP passive, 4 threads, vsftpd, 1 GiB        vs lftp pget -n 4    target <= 0.8
#   http10m  HTTP, 4 threads, 10 MiB                      vs lftp pget -n 4    target <= 0.5
#   slow8    nginx /slow/ (limit_rate per connection), 40 MiB, 8 threads
#                                                         vs axel -n 8         target <= 1.0
# brindle-get runs with default settings. Every case runs in pairs, brindle-get and its peer
# back to back, brindle-get first in odd pairs and second in even ones; ratio = brindle-get wall
# / peer wall within a pair, and the table shows the median of the pairs' ratios (lower middle
# for an even count) and the median walls. Every download's sha256 is checked. CPU is user +
# system seconds per GiB from /usr/bin/time; the target is brindle-get's at every thread count
# (1 GiB cases) no more than lftp's with one connection (http1's peer).
# Before every timed run the memory is warmed (bench_warm_memory in lib.sh: 2.5x the file size,
# at most 2.5 GiB), so no tool pays a VM's cost for fresh pages that the other does not.
# Writes bench/results/speed-<date>.txt (or $BENCH_OUT). Two runs of this script take turns (a
# lock under the servers' run dir), so they never share the cores. Not part of ctest.
#
# usage: bench/speed_bench.sh [--quick] [--pairs N] [--only "CASE..."] [--keep]
#                             [--brindle-get PATH]
#   --quick        64 MiB instead of 1 GiB, 8 MiB instead of 40 and 2 pairs (a smoke run)
#   --pairs N      pairs per case (5)
#   --only CASES   run only these cases (names above)
#   --keep         keep the bench files in the servers' data dir for the next run
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (parent of the throwaway download dir, default /tmp)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/lib.sh"

big_mib=1024 slow_mib=40 pairs= keep=0 only="http1 http4 floor ftp4 http10m slow8" quick=0
brindle=${BRINDLE_GET:-$root/build/src/cli/brindle-get}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) big_mib=64 slow_mib=8 quick=1; shift ;;
    --pairs) pairs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --brindle-get) brindle=$2; shift 2 ;;
    -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
    *) echo "speed_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$pairs" ] || { [ "$quick" -eq 1 ] && pairs=2 || pairs=5; }
[ -x "$brindle" ] || { echo "speed_bench.sh: no brindle-get at $brindle (build first)" >&2; exit 2; }
[[ "$pairs" =~ ^[1-9][0-9]*$ ]] || { echo "speed_bench.sh: --pairs wants a count" >&2; exit 2; }
for tool in /usr/bin/time lftp axel; do
  command -v "$tool" >/dev/null ||
    { echo "speed_bench.sh: $tool missing (bash scripts/install-deps.sh bench)" >&2; exit 2; }
done

declare -A desc=([http1]="HTTP, 1 thread, nginx" [http4]="HTTP, 4 threads, nginx"
  [floor]="HTTP, 4 threads, against a page-cache copy" [ftp4]="FTP passive, 4 threads, vsftpd"
  [http10m]="HTTP 10 MiB, 4 threads" [slow8]="throttled, $slow_mib MiB, 8 threads")
declare -A threads=([http1]=1 [http4]=4 [floor]=4 [ftp4]=4 [http10m]=4 [slow8]=8)
declare -A peer=([http1]="lftp get" [http4]="lftp pget -n 4" [floor]=cp
  [ftp4]="lftp pget -n 4" [http10m]="lftp pget -n 4" [slow8]="axel -n 8")
declare -A target=([http1]=1.0 [http4]=0.45 [floor]=2.5 [ftp4]=0.8 [http10m]=0.5 [slow8]=1.0)
for c in $only; do
  [ -n "${desc[$c]:-}" ] || { echo "speed_bench.sh: no case $c" >&2; exit 2; }
done

state=${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}
out=${BENCH_OUT:-$here/results/speed-$(date +%Y%m%d-%H%M).txt}
mkdir -p "$(dirname "$out")"
bash "$root/scripts/servers/start.sh" --only "nginx vsftpd" "$state" >/dev/null
. "$root/scripts/servers/ports.env"
exec 9>"$state/run/speed-bench.lock"
flock -n 9 || { echo "speed_bench.sh: another run holds the lock; waiting for it" >&2; flock 9; }

work=$(mktemp -d "${BENCH_WORK:-/tmp}/brindle-speed.XXXXXX")
big=bench-speed-$((big_mib))m.bin small=bench-speed-10m.bin slow=bench-speed-${slow_mib}m.bin
cleanup() {
  rm -rf "$work"
  [ "$keep" -eq 1 ] || rm -f "$state/data/"{"$big","$small","$slow"}{,.sha256,.tmp}
}
trap cleanup EXIT
bench_make_file "$state/data/$big" "$big_mib"
bench_make_file "$state/data/$small" 10
bench_make_file "$state/data/$slow" "$slow_mib"
cat "$state/data/$big" > /dev/null  # served from the page cache, and cp's source
warm_mib=$((big_mib * 5 / 2 < 2560 ? big_mib * 5 / 2 : 2560))
http="http://127.0.0.1:$BRINDLE_NGINX_PORT" ftp="ftp://127.0.0.1:$BRINDLE_VSFTPD_PORT"
declare -A url=([http1]="$http/$big" [http4]="$http/$big" [floor]="$http/$big"
  [ftp4]="$ftp/$big" [http10m]="$http/$small" [slow8]="$http/slow/$slow")

export BRINDLE_CONFIG_DIR="$work/config"  # defaults only: no settings file there
mkdir -p "$BRINDLE_CONFIG_DIR"
runs="$work/runs.txt"  # one line per run: case pair who wall user sys rss bytes status
loads="$work/loads.txt"
: > "$runs"
echo "start $(cut -d' ' -f1-3 /proc/loadavg)" > "$loads"

run_one() {  # CASE PAIR WHO(brindle|peer)
  local c=$1 p=$2 who=$3 u=${url[$1]} dst=$work/dl.bin name cmd
  name=${u##*/}
  rm -f "$dst" "$dst".* "$dst"[0-9]*
  if [ "$who" = brindle ]; then
    cmd=("$brindle" -q -y -n "${threads[$c]}" -o "$dst" "$u")
  else
    case "${peer[$c]}" in
      "lftp get") cmd=(lftp -c "set net:connection-limit 0; get '$u' -o '$dst'") ;;
      "lftp pget -n 4") cmd=(lftp -c "set net:connection-limit 0; pget -n 4 '$u' -o '$dst'") ;;
      cp) cmd=(cp "$state/data/$name" "$dst") ;;
      "axel -n 8") cmd=(axel -q -n 8 -o "$dst" "$u") ;;
    esac
  fi
  bench_warm_memory "$work" "$warm_mib"
  echo "$c $p $who $(bench_timed "$work" "$(cat "$state/data/$name.sha256")" "$dst" "${cmd[@]}")" \
    >> "$runs"
  rm -f "$dst" "$dst".* "$dst"[0-9]*
}

for p in $(seq "$pairs"); do
  for c in $only; do
    if [ $((p % 2)) -eq 1 ]; then order="brindle peer"; else order="peer brindle"; fi
    for who in $order; do
      run_one "$c" "$p" "$who"
      echo "pair $p/$pairs: $(tail -n 1 "$runs")" >&2
    done
  done
  echo "pair $p $(cut -d' ' -f1-3 /proc/loadavg)" >> "$loads"
done

# median(a, n) sorts a[1..n] in place and returns the lower middle.
median_awk='function median(a, n,   i, j, t) {
  for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j] < a[j-1]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
  return a[int((n + 1) / 2)]
}
'
{
  echo "# Speed benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(bench_machine)"
  echo "# $("$brindle" --version 2>/dev/null | head -n 1) (default settings); peers" \
       "lftp $(lftp --version | head -n 1 | grep -o '[0-9][0-9.]*' | head -n 1), $(axel --version | head -n 1);" \
       "servers on 127.0.0.1: nginx, vsftpd (passive); /slow/ at $BRINDLE_SLOW_RATE B/s per" \
       "connection; files of $big_mib, 10 and $slow_mib MiB of random bytes; downloads to" \
       "$(df --output=fstype "$work" | tail -n 1) ($(dirname "$work"))"
  echo "# load after each pair: $(tr '\n' ';' < "$loads")"
  echo "# $pairs pair(s) per case, order alternating; walls and ratio are medians over the pairs;" \
       "CPU = (user + system) s per GiB, median"
  echo
  echo "| case | brindle-get s | peer | peer s | ratio | target | CPU/GiB brindle-get | CPU/GiB peer | check |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for c in $only; do
    awk -v c="$c" -v desc="${desc[$c]}" -v peer="${peer[$c]}" -v target="${target[$c]}" "$median_awk"'
      $1 == c { w[$2, $3] = $4; cpu[$2, $3] = ($5 + $6) * 1073741824 / ($8 > 0 ? $8 : 1)
                if ($9 != "ok") bad = bad " " $3 ":" $9; if (!($2 in seen)) { seen[$2]; n++ } }
      END {
        if (n == 0) exit
        for (p in seen) { k++; r[k] = w[p, "brindle"] / w[p, "peer"]; bw[k] = w[p, "brindle"]
          pw[k] = w[p, "peer"]; bc[k] = cpu[p, "brindle"]; pc[k] = cpu[p, "peer"] }
        ratio = median(r, k)
        met = bad == "" && ratio <= target + 0 ? "met" : "NOT met"
        printf "| %s | %.3f | %s | %.3f | %.2f | <= %s: %s | %.2f | %.2f | %s |\n", desc,
               median(bw, k), peer, median(pw, k), ratio, target, met, median(bc, k),
               median(pc, k), bad == "" ? "sha256 ok" : "FAILED" bad
      }' "$runs"
  done
  echo
  awk "$median_awk"'
    $1 ~ /^(http1|http4|floor|ftp4)$/ && $8 > 0 {
      v = ($5 + $6) * 1073741824 / $8
      if ($3 == "brindle") { key = $1; b[key, ++nb[key]] = v; keys[key] }
      else if ($1 == "http1") l[++nl] = v
    }
    END {
      if (nl == 0) { print "CPU target: not checked (needs http1)"; exit }
      lftp = median(l, nl); worst = 0; list = ""
      for (key in keys) { delete a; for (i = 1; i <= nb[key]; i++) a[i] = b[key, i]
        v = median(a, nb[key]); list = list sprintf(" %s %.2f", key, v); if (v > worst) worst = v }
      printf "CPU target: brindle-get at most %.2f s/GiB (lftp, one connection); brindle-get:%s: %s\n",
             lftp, list, worst <= lftp ? "met" : "NOT met"
    }' "$runs"
} | tee "$out"
echo "results in $out"
