#!/usr/bin/env bash
# Times brindle-get failing on a missing file at nginx (one of the test servers): wall time,
# exit status and the requests nginx logged for it. Usage: bench/fail_time.sh [BIN] [ROUNDS]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "${1:-$here/build/src/cli/brindle-get}")
rounds=${2:-5}
port=$(sed -n 's/^BRINDLE_NGINX_PORT=//p' "$here/scripts/servers/ports.env")
log=${BRINDLE_NGINX_LOG:-/tmp/brindle-servers/log/nginx-access.log}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRINDLE_CONFIG_DIR=$work
for i in $(seq 1 "$rounds"); do
    name="missing-$$-$i.bin"
    start=$(date +%s.%N)
    (cd "$work" && "$bin" -q -n 4 "http://127.0.0.1:$port/$name" 2>"$work/err")
    status=$?
    end=$(date +%s.%N)
    requests=$(grep -c "$name" "$log" 2>/dev/null)
    printf '%s  %.3f s  exit %d  requests %s  %s\n' "$name" "$(echo "$end - $start" | bc)" \
        "$status" "$requests" "$(tail -1 "$work/err")"
done
