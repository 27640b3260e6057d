#!/usr/bin/env bash
# Latency against peers through a WAN-like relay on loopback (bench/latency_relay.py): each
# direction delayed by half a round trip (80 ms RTT), each connection paced to 1 MiB/s, and a new
# connection pays the handshake's round trip before its first byte. Cases:
#   even4, even8     HTTP, 4 / 8 threads, even links             wall         target <= 1.05
#   tail4, tail8     HTTP, 4 / 8 threads, every 4th connection that sends a GET at 1/8 rate
#                                                                 wall         target <= 0.8
#   ttfb             HTTP, 4 threads: round trips from start to the first body byte (and until
#                    every thread has data); curl as the single-stream peer
#                                                                 first RTT    target <= 2.5 RTT
#   dns50            HTTP by host name, 8 threads, a resolver that answers after 50 ms
#                                                                 wall         target <= 1.05
#   dns1s            the same with a 1 s resolver: seconds until the first body byte
#                                                                 first s      (no target)
#   ftp-even4, ftp-tail4   FTP passive through the relay (every 4th data connection slow)
#                                                                 wall         (no target)
# Peers: aria2c, axel, lftp pget (and curl where one stream is fair); a missing peer is skipped
# and named. Ratio = brindle-get's median / the best peer's median. Every download's sha256 is
# checked; the relay logs every connection (connections, GETs, HEADs, first body byte) and the
# DNS responder every query (lookups). The DNS cases need root for a private mount namespace
# (unshare -m) whose resolv.conf names the responder; without it they are skipped.
# Writes bench/results/latency-<date>.txt (or $BENCH_OUT). Not part of ctest, not in CI.
#
# usage: bench/latency_bench.sh [--quick] [--pairs N] [--only "CASE..."] [--keep]
#                               [--brindle-get PATH] [--rtt-ms MS] [--rate BYTES] [--install-deps]
#   --quick         smaller files and one run per tool (about two minutes): a smoke run, since
#                   aria2c and lftp cut no piece under 1 MiB and so open fewer connections there
#   --pairs N       runs per tool and case (3); medians are reported
#   --only CASES    run only these cases (names above)
#   --peers TOOLS   compare with only these peers (default: aria2c axel lftp curl, if installed)
#   --keep          keep the bench files in the servers' data dir for the next run
#   --install-deps  first install the missing peers (bash scripts/install-deps.sh bench)
# Environment: BRINDLE_SERVER_DIR (servers' state dir, default /tmp/brindle-servers),
#              BENCH_WORK (parent of the throwaway work dir, default /tmp)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/lib.sh"

pairs= keep=0 quick=0 rtt_ms=80 rate=1048576 install=0 wanted="aria2c axel lftp curl"
only="even4 even8 tail4 tail8 ttfb dns50 dns1s ftp-even4 ftp-tail4"
brindle=${BRINDLE_GET:-$root/build/src/cli/brindle-get}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; shift ;;
    --pairs) pairs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --peers) wanted=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --brindle-get) brindle=$2; shift 2 ;;
    --rtt-ms) rtt_ms=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --install-deps) install=1; shift ;;
    -h|--help) sed -n '2,34p' "$0"; exit 0 ;;
    *) echo "latency_bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$pairs" ] || { [ "$quick" -eq 1 ] && pairs=1 || pairs=3; }
[[ "$pairs" =~ ^[1-9][0-9]*$ ]] || { echo "latency_bench.sh: --pairs wants a count" >&2; exit 2; }
[[ "$rtt_ms" =~ ^[0-9]+$ && "$rate" =~ ^[1-9][0-9]*$ ]] ||
  { echo "latency_bench.sh: --rtt-ms and --rate want whole numbers" >&2; exit 2; }
[ "$install" -eq 0 ] || bash "$root/scripts/install-deps.sh" bench
[ -x "$brindle" ] || { echo "latency_bench.sh: no brindle-get at $brindle (build first)" >&2; exit 2; }
py=/usr/bin/python3
[ -x "$py" ] || py=$(command -v python3)
for tool in /usr/bin/time timeout; do
  command -v "$tool" >/dev/null ||
    { echo "latency_bench.sh: $tool missing (bash scripts/install-deps.sh bench)" >&2; exit 2; }
done
peers=()
missing=
for tool in $wanted; do
  if command -v "$tool" >/dev/null; then peers+=("$tool"); else missing+=" $tool"; fi
done
[ -z "$missing" ] ||
  echo "latency_bench.sh: skipping$missing (bash scripts/install-deps.sh bench, or --install-deps)" >&2

if [ "$quick" -eq 1 ]; then big_mib=8 tail_mib=2 small_mib=1 dns_mib=4 ftp_mib=2
else big_mib=64 tail_mib=64 small_mib=4 dns_mib=16 ftp_mib=16; fi
declare -A desc=([even4]="HTTP, 4 threads, even links" [even8]="HTTP, 8 threads, even links"
  [tail4]="HTTP, 4 threads, 1 GET in 4 slow" [tail8]="HTTP, 8 threads, 1 GET in 4 slow"
  [ttfb]="HTTP, 4 threads, round trips to data" [dns50]="HTTP by name, 8 threads, 50 ms resolver"
  [dns1s]="HTTP by name, 8 threads, 1 s resolver" [ftp-even4]="FTP, 4 threads, even links"
  [ftp-tail4]="FTP, 4 threads, 1 data conn in 4 slow")
declare -A threads=([even4]=4 [even8]=8 [tail4]=4 [tail8]=8 [ttfb]=4 [dns50]=8 [dns1s]=8
  [ftp-even4]=4 [ftp-tail4]=4)
declare -A mib=([even4]=$big_mib [even8]=$big_mib [tail4]=$tail_mib [tail8]=$tail_mib
  [ttfb]=$small_mib [dns50]=$dns_mib [dns1s]=$small_mib [ftp-even4]=$ftp_mib [ftp-tail4]=$ftp_mib)
declare -A relay_of=([even4]=even [even8]=even [tail4]=tail [tail8]=tail [ttfb]=even
  [dns50]=even [dns1s]=even [ftp-even4]=even [ftp-tail4]=tail)
# metric: wall (seconds for the whole job), first_rtt (round trips to the first body byte),
# first_s (seconds to the first body byte)
declare -A metric=([ttfb]=first_rtt [dns1s]=first_s)
declare -A target=([even4]="<= 1.05" [even8]="<= 1.05" [tail4]="<= 0.8" [tail8]="<= 0.8"
  [ttfb]="<= 2.5 RTT" [dns50]="<= 1.05")
for c in $only; do
  [ -n "${desc[$c]:-}" ] || { echo "latency_bench.sh: no case $c" >&2; exit 2; }
done

state=${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}
out=${BENCH_OUT:-$here/results/latency-$(date +%Y%m%d-%H%M).txt}
mkdir -p "$(dirname "$out")"
bash "$root/scripts/servers/start.sh" --only "nginx vsftpd" "$state" >/dev/null
. "$root/scripts/servers/ports.env"
exec 9>"$state/run/latency-bench.lock"
flock -n 9 || { echo "latency_bench.sh: another run holds the lock; waiting for it" >&2; flock 9; }

work=$(mktemp -d "${BENCH_WORK:-/tmp}/brindle-latency.XXXXXX")
started=()  # pids of the relays and responders this run started
files=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  if [ "$keep" -eq 0 ]; then
    for f in "${files[@]}"; do rm -f "$state/data/$f" "$state/data/$f".{sha256,tmp}; done
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_file FILE: up to 10 s for FILE to appear.
wait_file() {
  local i
  for i in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}

declare -A relay_pid relay_http relay_ftp
for r in even tail; do
  every=0
  [ "$r" = tail ] && every=4
  "$py" "$here/latency_relay.py" serve --http "$BRINDLE_NGINX_PORT" --ftp "$BRINDLE_VSFTPD_PORT" \
    --rtt-ms "$rtt_ms" --rate "$rate" --slow-every "$every" --slow-factor 8 \
    --log "$work/relay-$r.log" --state "$work/relay-$r.state" --ready "$work/relay-$r.ready" \
    >"$work/relay-$r.out" 2>&1 &
  relay_pid[$r]=$!
  started+=("$!")
  wait_file "$work/relay-$r.ready" ||
    { echo "latency_bench.sh: relay $r did not start:" >&2; cat "$work/relay-$r.out" >&2; exit 1; }
  relay_http[$r]=$(sed -n 's/^http_port=//p' "$work/relay-$r.ready")
  relay_ftp[$r]=$(sed -n 's/^ftp_port=//p' "$work/relay-$r.ready")
done

# The DNS cases: a responder on a loopback address of its own per delay, and a private mount
# namespace per run whose resolv.conf names it, so nothing outside the run sees it.
dns_name=latency.brindle.test dns_skip=
declare -A dns_addr=([dns50]=127.0.0.77 [dns1s]=127.0.0.78) dns_delay=([dns50]=50 [dns1s]=1000)
if [[ " $only " == *" dns"* ]]; then
  if [ "$(id -u)" -ne 0 ]; then dns_skip="needs root for unshare -m and port 53"
  elif ! unshare -m --propagation private true 2>/dev/null; then dns_skip="unshare -m refused here"
  elif timeout 10 getent hosts "$dns_name" >/dev/null 2>&1; then dns_skip="$dns_name already resolves here"
  else
    for c in dns50 dns1s; do
      printf 'nameserver %s\noptions attempts:1 timeout:5\n' "${dns_addr[$c]}" > "$work/resolv-$c.conf"
      "$py" "$here/slow_dns.py" serve --address "${dns_addr[$c]}" --name "$dns_name" \
        --delay-ms "${dns_delay[$c]}" --log "$work/dns-$c.log" --ready "$work/dns-$c.ready" \
        >"$work/dns-$c.out" 2>&1 &
      started+=("$!")
      wait_file "$work/dns-$c.ready" ||
        { dns_skip="the responder could not start: $(head -c 200 "$work/dns-$c.out")"; break; }
    done
  fi
  [ -z "$dns_skip" ] || echo "latency_bench.sh: skipping the DNS cases: $dns_skip" >&2
fi

declare -A file_of
for c in $only; do
  f=bench-latency-${mib[$c]}m.bin
  file_of[$c]=$f
  [[ " ${files[*]} " == *" $f "* ]] && continue
  files+=("$f")
  bench_make_file "$state/data/$f" "${mib[$c]}"
done

export BRINDLE_CONFIG_DIR="$work/config"  # defaults only: no settings file there
mkdir -p "$BRINDLE_CONFIG_DIR"
runs="$work/runs.txt"  # case run tool wall user sys rss bytes status key=value...
: > "$runs"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# relay_idle RELAY: up to 10 s until the relay holds no connection, so the last run's records
# are logged and its connections do not count towards the next one.
relay_idle() {
  local i
  for i in $(seq 100); do
    grep -qx 'active=0' "$work/relay-$1.state" && return 0
    sleep 0.1
  done
  echo "latency_bench.sh: relay $1 still holds connections" >&2
}

run_one() {  # CASE RUN TOOL
  local c=$1 p=$2 tool=$3 n=${threads[$1]} r=${relay_of[$1]} dst=$work/dl.bin host=127.0.0.1
  local u cmd limit t0 t1 res sum dns=
  case "$c" in dns*) host=$dns_name ;; esac
  if [[ "$c" == ftp-* ]]; then u="ftp://$host:${relay_ftp[$r]}/${file_of[$c]}"
  else u="http://$host:${relay_http[$r]}/${file_of[$c]}"; fi
  case "$tool" in
    # Passive like the peers: an active data connection would not pass the relay.
    brindle-get) cmd=("$brindle" -q -y -n "$n" -o "$dst" "$u")
                 [[ "$c" == ftp-* ]] && cmd+=(--passive) ;;
    aria2c) cmd=(aria2c -q -x "$n" -s "$n" -k 1M --file-allocation=none --allow-overwrite=true
                 --auto-file-renaming=false -d "$work" -o dl.bin "$u") ;;
    axel) cmd=(axel -q -n "$n" -o "$dst" "$u") ;;
    lftp) cmd=(lftp -c "set net:connection-limit 0; pget -n $n '$u' -o '$dst'") ;;
    curl) cmd=(curl -s -f -o "$dst" "$u") ;;
  esac
  if [[ "$c" == dns* ]]; then
    cmd=(unshare -m --propagation private sh -c 'mount --bind "$1" /etc/resolv.conf && shift &&
         exec "$@"' sh "$work/resolv-$c.conf" "${cmd[@]}")
  fi
  # Every loop is bounded: a tool that hangs is killed well after the slowest honest run.
  limit=$((60 + ${mib[$c]} * 1048576 * 8 / rate * 2))
  rm -f "$dst" "$dst".* "$dst"[0-9]*
  relay_idle "$r"
  kill -USR1 "${relay_pid[$r]}"  # the slow pattern starts again with this run
  sleep 0.1
  sync  # earlier dirty pages are not written back during this run's first round trips
  t0=$EPOCHREALTIME
  res=$(bench_timed "$work" "$(cat "$state/data/${file_of[$c]}.sha256")" "$dst" \
        timeout -k 5 "$limit" "${cmd[@]}")
  t1=$EPOCHREALTIME
  relay_idle "$r"
  sum=$("$py" "$here/latency_relay.py" summary --log "$work/relay-$r.log" --since "$t0" \
        --until "$t1" --rtt-ms "$rtt_ms" --threads "$n")
  if [[ "$c" == dns* ]]; then
    dns=$("$py" "$here/slow_dns.py" summary --log "$work/dns-$c.log" --since "$t0" --until "$t1")
  fi
  echo "$c $p $tool $res $sum $dns" >> "$runs"
  rm -f "$dst" "$dst".* "$dst"[0-9]*
}

cases=()
for c in $only; do
  if [[ "$c" == dns* && -n "$dns_skip" ]]; then continue; fi
  cases+=("$c")
done
for p in $(seq "$pairs"); do
  for c in "${cases[@]}"; do
    tools=(brindle-get)
    for t in "${peers[@]}"; do
      # One stream is a fair peer only where the first byte is measured.
      [ "$t" = curl ] && [ -z "${metric[$c]:-}" ] && continue
      tools+=("$t")
    done
    # The order turns with every run, so no tool always follows the same one.
    k=$(( (p - 1) % ${#tools[@]} ))
    for t in "${tools[@]:k}" "${tools[@]:0:k}"; do
      run_one "$c" "$p" "$t"
      echo "run $p/$pairs: $(tail -n 1 "$runs")" >&2
    done
  done
done

tool_list="brindle-get aria2c axel lftp curl"
# median(a, n) sorts a[1..n] in place and returns the lower middle.
table_awk='function median(a, n,   i, j, t) {
  for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j] < a[j-1]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
  return a[int((n + 1) / 2)]
}
function med(key, field,   a, i, n, v) {
  n = 0
  for (i = 1; i <= cnt[key]; i++) { v = val[key, i, field]; if (v != "-" && v != "") a[++n] = v + 0 }
  return n ? median(a, n) : "-"
}
{
  key = $1 SUBSEP $3; cnt[key]++; seen[$1, $3]
  val[key, cnt[key], "wall"] = $4
  for (i = 10; i <= NF; i++) { split($i, kv, "="); val[key, cnt[key], kv[1]] = kv[2] }
  if (val[key, cnt[key], "active_ftp"] > 0) $9 = "active-FTP-bypassed-relay"
  if ($9 != "ok") { bad[$1] = bad[$1] " " $3 ":" $9; val[key, cnt[key], "wall"] = "-"
                    val[key, cnt[key], "first_rtt"] = "-"; val[key, cnt[key], "first_s"] = "-" }
}
function fmt(v, m) { return v == "-" ? "-" : sprintf(m == "first_rtt" ? "%.2f RTT" : "%.2f s", v) }
'
{
  echo "# Latency benchmark, $(date -u +%Y-%m-%dT%H:%MZ), $(bench_machine)"
  echo "# $("$brindle" --version 2>/dev/null | head -n 1) (default settings); peers:" \
       "$(for t in "${peers[@]}"; do case $t in
            aria2c) aria2c --version | head -n 1 ;; axel) axel --version | head -n 1 ;;
            lftp) echo "lftp $(lftp --version | head -n 1 | grep -o '[0-9][0-9.]*' | head -n 1)" ;;
            curl) curl --version | head -n 1 | cut -d' ' -f1-2 ;; esac; done | paste -sd, -)" \
       "${missing:+; not installed:$missing}"
  echo "# relay on 127.0.0.1 to nginx and vsftpd (passive): RTT $rtt_ms ms, $rate B/s per" \
       "connection, a new connection pays one RTT before its first byte; tail cases: every 4th" \
       "connection that sends a GET (FTP: data connection) at 1/8 of the rate"
  echo "# files: $(for c in "${cases[@]}"; do echo "$c ${mib[$c]} MiB"; done | paste -sd, -);" \
       "$pairs run(s) per tool and case, order turning; medians; load average before" \
       "$load_start, after $(cut -d' ' -f1-3 /proc/loadavg)"
  [ -z "$dns_skip" ] || echo "# DNS cases skipped: $dns_skip"
  echo
  echo "| case | metric | brindle-get | aria2c | axel | lftp pget | curl | best peer | ratio | target | check |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for c in "${cases[@]}"; do
    m=${metric[$c]:-wall}
    awk -v c="$c" -v desc="${desc[$c]}" -v m="$m" -v tools="$tool_list" \
        -v target="${target[$c]:-none}" "$table_awk"'
      END {
        nt = split(tools, tl, " "); row = ""; best = ""; bestt = ""
        for (i = 1; i <= nt; i++) {
          t = tl[i]; v = ((c, t) in seen) ? med(c SUBSEP t, m) : "-"; x[t] = v
          row = row " | " (((c, t) in seen) ? fmt(v, m) : "")
          if (t != "brindle-get" && v != "-" && (best == "" || v < best)) { best = v; bestt = t }
        }
        ratio = (x["brindle-get"] != "-" && best != "" && best > 0) ? x["brindle-get"] / best : "-"
        tv = target; sub(/^<= /, "", tv); sub(/ RTT$/, "", tv)
        if (target == "none") met = ""
        else if (target ~ /RTT/) met = (x["brindle-get"] != "-" && x["brindle-get"] <= tv + 0) ? ": met" : ": NOT met"
        else met = (ratio != "-" && ratio <= tv + 0) ? ": met" : ": NOT met"
        printf "| %s | %s%s | %s | %s | %s%s | %s |\n", desc, m == "wall" ? "wall" : (m == "first_rtt" ? "first body byte" : "first data"),
               row, bestt == "" ? "-" : bestt, ratio == "-" ? "-" : sprintf("%.2f", ratio),
               target == "none" ? "-" : target, met, (c in bad) ? "FAILED" bad[c] : "sha256 ok"
      }' "$runs"
  done
  echo
  echo "Per tool (medians): wall, round trips until the first body byte and until every thread" \
       "had body bytes, connections (FTP: + data connections), GET and HEAD requests, slowed" \
       "connections and the MiB they carried, DNS lookups (A queries / all queries)"
  echo
  echo "| case | tool | wall | first byte | all threads | conns | GETs | HEADs | slow conns | lookups | runs |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for c in "${cases[@]}"; do
    awk -v c="$c" -v tools="$tool_list" "$table_awk"'
      END {
        nt = split(tools, tl, " ")
        for (i = 1; i <= nt; i++) {
          t = tl[i]; if (!((c, t) in seen)) continue; k = c SUBSEP t
          conns = med(k, "conns"); dc = med(k, "data_conns")
          dcs = (dc != "-" && dc + 0 > 0) ? " + " dc : ""
          lk = (med(k, "lookups") == "-") ? "-" : med(k, "lookups") " / " med(k, "queries")
          sl = (med(k, "slow") == "-" || med(k, "slow") == 0) ? "0" : sprintf("%d (%.1f MiB)", med(k, "slow"), med(k, "slow_mib"))
          printf "| %s | %s | %s | %s | %s | %s%s | %s | %s | %s | %s | %d |\n", c, t, fmt(med(k, "wall"), "wall"),
                 fmt(med(k, "first_rtt"), "first_rtt"), fmt(med(k, "all_rtt"), "first_rtt"), conns,
                 dcs, med(k, "gets"), med(k, "heads"), sl, lk, cnt[k]
        }
      }' "$runs"
  done
  echo
  echo "Runs (case run tool wall user sys rss_KiB bytes status, relay and resolver counts):"
  sed 's/^/    /' "$runs"
} | tee "$out"
echo "results in $out"
