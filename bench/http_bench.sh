#!/usr/bin/env bash
# HTTP download benchmark on loopback: brindle-get against curl, aria2c, axel and lftp pget, all
# fetching from the private nginx (scripts/servers). Every download's sha256 is checked.
#   1 GiB unthrottled with 1, 4 and 8 connections;
#   40 MiB from nginx's /slow/ location (limit_rate per connection) with 1, 4 and 8.
# Prints a table (wall time, MB/s, CPU seconds, peak memory from /usr/bin/time) and writes it to
# bench/results/http-<date>.txt (or $BENCH_OUT). Not part of ctest.
#
# usage: bench/http_bench.sh [--quick] [--brindle-get PATH]
#   --quick  64 MiB instead of 1 GiB, and 8 MiB on the slow location (a smoke run)
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (scratch dir for downloads, default /tmp/brindle-bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

big_mib=1024 slow_mib=40
brindle=${BRINDLE_GET:-$root/build/src/cli/brindle-get}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) big_mib=64; slow_mib=8; shift ;;
    --brindle-get) brindle=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "http_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$brindle" ] || { echo "http_bench.sh: no brindle-get at $brindle (build first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "http_bench.sh: /usr/bin/time missing (package time)" >&2; exit 2; }

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

base="http://127.0.0.1:$BRINDLE_NGINX_PORT"
export BRINDLE_CONFIG_DIR="$work/config"  # defaults only: no settings file there
mkdir -p "$BRINDLE_CONFIG_DIR"

# run_tool TOOL THREADS URL: prints one table row.
run_tool() {
  local tool=$1 n=$2 url=$3 dst="$work/dl.bin" cmd bytes
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
  local status=ok
  if ! /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1; then
    status="exit-failed"
  fi
  read -r wall user sys rss < <(tail -n 1 "$work/time.txt")
  bytes=$(stat -c %s "$dst" 2>/dev/null || echo 0)
  if [ "$status" = ok ]; then
    local want name=${url##*/}
    want=$(cat "$state/data/bench/$name.sha256")
    [ "$(sha256sum "$dst" | cut -d' ' -f1)" = "$want" ] || status="SHA-MISMATCH"
  fi
  awk -v t="$tool" -v n="$n" -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" -v b="$bytes" \
      -v st="$status" -v f="${url#$base}" 'BEGIN {
    printf "%-16s %-22s %3d %8.2f %9.1f %7.2f %8.1f  %s\n", t, f, n, w,
           (w > 0 ? b / w / 1e6 : 0), u + s, m / 1024, st }'
  rm -f "$dst" "$dst"[0-9]*
}

{
  echo "# HTTP benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, nginx on 127.0.0.1"
  echo "# $("$brindle" --version 2>/dev/null | head -n 1); slow location limit_rate" \
       "$BRINDLE_SLOW_RATE B/s per connection; brindle-get uses its default settings (bufsize 4096)"
  echo "# MB/s = 10^6 bytes per wall second; CPU = user + system seconds; RSS = peak MiB"
  printf "%-16s %-22s %3s %8s %9s %7s %8s  %s\n" tool file n wall_s MB/s cpu_s rss_MiB check
  for url in "$base/bench/$big" "$base/slow/bench/$slow"; do
    for n in 1 4 8; do
      for tool in brindle-get brindle-get/16k curl aria2c axel lftp; do
        [ "$tool" = curl ] && [ "$n" -ne 1 ] && continue  # curl uses one connection
        command -v "${tool%%/*}" >/dev/null 2>&1 || [ "${tool%%/*}" = brindle-get ] || {
          echo "# $tool not installed"; continue; }
        run_tool "$tool" "$n" "$url"
      done
    done
  done
} | tee "$out"
echo "results in $out"
