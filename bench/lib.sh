# Helpers shared by the benchmarks in bench/ (sourced). They expect set -euo pipefail.

# bench_make_file FILE MIB: FILE holds MIB MiB of random bytes and FILE.sha256 its digest. Made
# only when missing, of another size or without its digest; left world-readable, since nginx's
# workers and vsftpd's anonymous user read it as other users.
bench_make_file() {
  local f=$1 mib=$2
  if [ ! -f "$f" ] || [ "$(stat -c %s "$f")" -ne $((mib * 1048576)) ] || [ ! -s "$f.sha256" ]; then
    head -c $((mib * 1048576)) /dev/urandom > "$f.tmp" && mv "$f.tmp" "$f"
    sha256sum "$f" | cut -d' ' -f1 > "$f.sha256"
  fi
  chmod 644 "$f" "$f.sha256"
}

# bench_warm_memory DIR MIB: writes MIB MiB of zeros to a file in DIR and removes it. On a VM
# whose balloon takes back freed memory (free page reporting), the first run to touch fresh
# pages pays the host for each one, up to 2-3 s per GiB, while a run that follows a big one
# reuses its pages: without this, whichever tool came first in a pair lost. Each timed run
# starts right after the same warm-up, so both find the same memory.
bench_warm_memory() {
  head -c $(($2 * 1048576)) /dev/zero > "$1/warm.bin"
  rm -f "$1/warm.bin"
}

# bench_timed DIR WANT DST CMD...: runs CMD under /usr/bin/time (its output in DIR/tool.log)
# after a sync, so the previous run's dirty pages are not written back on this run's time, then
# checks DST's sha256 against WANT. Prints "wall user sys rss_KiB bytes status", status one of
# ok, exit-failed, SHA-MISMATCH. The wall time comes from the shell's microsecond clock, since
# time's 10 ms steps are too coarse for the small files.
bench_timed() {
  local dir=$1 want=$2 dst=$3 status=ok start end wall user sys rss bytes
  shift 3
  sync
  start=$EPOCHREALTIME
  /usr/bin/time -f "%e %U %S %M" -o "$dir/time.txt" "$@" >"$dir/tool.log" 2>&1 ||
    status=exit-failed
  end=$EPOCHREALTIME
  wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
  read -r _ user sys rss < <(tail -n 1 "$dir/time.txt")
  if [ "$status" = ok ] && [ "$(sha256sum "$dst" | cut -d' ' -f1)" != "$want" ]; then
    status=SHA-MISMATCH
  fi
  bytes=$(stat -c %s "$dst" 2>/dev/null || echo 0)
  echo "$wall $user $sys $rss $bytes $status"
}

# bench_machine: one line on the machine and its load, for a result file's header.
bench_machine() {
  echo "$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB RAM", $2 / 1048576}' /proc/meminfo)," \
       "kernel $(uname -r), load average (1/5/15 min) $(cut -d' ' -f1-3 /proc/loadavg)"
}
