#!/usr/bin/env bash
# Stops the private test servers recorded under the state dir (default /tmp/brindle-servers,
# or $BRINDLE_SERVER_DIR), by their pid files: TERM to each server's process group, KILL after
# 5 seconds. Data and logs stay.
#
# usage: stop.sh [--only-recorded FILE] [STATE_DIR]
#   --only-recorded FILE  stop only the servers named in FILE (written by start.sh --record),
#                         so servers someone else had started keep running; FILE is removed
set -uo pipefail
. "$(dirname "$0")/lib.sh"

recorded=
while [ $# -gt 0 ]; do
  case "$1" in
    --only-recorded) recorded=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    -*) echo "stop.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
STATE=$(state_dir "${1:-}") || exit 1

if [ -n "$recorded" ]; then
  [ -f "$recorded" ] || exit 0
  names=$(sort -u "$recorded")
else
  names=$(cd "$STATE/run" 2>/dev/null && ls -- *.pid 2>/dev/null | sed 's/\.pid$//')
fi

status=0
for name in $names; do
  if pid=$(pid_of "$name"); then
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
    if ! wait_gone "$pid" 5; then
      kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
      wait_gone "$pid" 5 || { echo "stop.sh: $name (pid $pid) does not end" >&2; status=1; }
    fi
    # Session children (vsftpd, ftp-proxy per client) that survived their leader.
    kill -KILL -- "-$pid" 2>/dev/null
    echo "stop.sh: $name stopped"
  fi
  rm -f "$STATE/run/$name.pid"
done
[ -n "$recorded" ] && rm -f "$recorded"
exit $status
